#include "client/batch_support.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

std::atomic<bool> InterruptWatcher::stopping_ {false};
std::atomic<bool> InterruptWatcher::terminal_ {false};

namespace {

void writeAll(const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t wrote = ::write(STDERR_FILENO, text, length);
    if (wrote <= 0) return;
    text += wrote;
    length -= static_cast<std::size_t>(wrote);
  }
}

std::string clock(std::chrono::seconds elapsed) {
  const long long total = elapsed.count();
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

}  // namespace

void InterruptWatcher::start() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::thread([] {
      sigset_t signals;
      sigemptyset(&signals);
      sigaddset(&signals, SIGINT);
      sigaddset(&signals, SIGTERM);
      sigaddset(&signals, SIGHUP);
      for (;;) {
        int received = 0;
        if (::sigwait(&signals, &received) != 0) continue;
        const bool second = stopping_.exchange(true);
        // Helpers that only write into staging directories hold nothing the
        // user can see yet; those that publish or clean up finish their step.
        stopCancellableHelpers();
        if (second) {
          static constexpr char now[] = "\nquorvantelmic-convert: stopped; run `quorvantelmic-convert cleanup` "
                                        "to remove what is left.\n";
          writeAll(now, sizeof now - 1);
          ::_exit(130);
        }
        static constexpr char clear[] = "\r\033[K";
        if (terminal_.load()) writeAll(clear, sizeof clear - 1);
        static constexpr char stopping[] = "quorvantelmic-convert: stopping\u2026\n";
        writeAll(stopping, sizeof stopping - 1);
      }
    }).detach();
  });
}

Reporter::Reporter(std::ostream& output, std::ostream& errors, bool quiet, bool verbose)
    : output_(output),
      errors_(errors),
      quiet_(quiet),
      verbose_(verbose),
      terminal_(!quiet && &errors == &std::cerr && ::isatty(STDERR_FILENO) == 1) {
  InterruptWatcher::setTerminal(terminal_);
  if (terminal_) {
    ticker_ = std::thread([this] {
      std::unique_lock lock(mutex_);
      while (!closing_) {
        tick_.wait_for(lock, std::chrono::seconds(1));
        if (!closing_ && total_ > 0) drawLive();
      }
    });
  }
}

Reporter::~Reporter() {
  {
    const std::lock_guard lock(mutex_);
    closing_ = true;
    clearLive();
  }
  tick_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  InterruptWatcher::setTerminal(false);
}

void Reporter::clearLive() {
  if (liveShown_) {
    errors_ << "\r\033[K" << std::flush;
    liveShown_ = false;
  }
}

void Reporter::drawLive() {
  if (!terminal_ || total_ == 0) return;
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_);
  constexpr std::size_t width = 24;
  const std::size_t filled = width * done_ / total_;
  std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " +
                    std::to_string(done_) + "/" + std::to_string(total_) + "  " + clock(elapsed);
  if (done_ > 0 && done_ < total_) {
    const auto left = elapsed * static_cast<long long>(total_ - done_) / static_cast<long long>(done_);
    bar += ", about " + clock(left) + " left";
  }
  if (!current_.empty()) bar += "  " + current_;
  // One terminal line: long item names are cut, never wrapped.
  if (bar.size() > 78) bar = bar.substr(0, 77) + "\u2026";
  errors_ << "\r\033[K" << bar << std::flush;
  liveShown_ = true;
}

void Reporter::writeLine(std::ostream& stream, const std::string& line) {
  const std::lock_guard lock(mutex_);
  clearLive();
  stream << line << "\n" << std::flush;
  drawLive();
}

void Reporter::setTotal(std::size_t total) {
  const std::lock_guard lock(mutex_);
  total_ = total;
  drawLive();
}

void Reporter::begin(std::size_t number, std::size_t total, const std::string& from, const std::string& to) {
  if (quiet_) return;
  {
    const std::lock_guard lock(mutex_);
    current_ = from;
  }
  writeLine(errors_, "[" + std::to_string(number) + "/" + std::to_string(total) + "] " + from + " -> " + to);
}

void Reporter::published(const std::string& path, const std::string& remark) {
  writeLine(output_, "Published " + path);
  if (!remark.empty() && !quiet_) writeLine(errors_, "quorvantelmic-convert: " + path + ": " + remark);
}

void Reporter::failed(const std::string& subject, const std::string& reason, const HelperFault* fault) {
  std::string line = "quorvantelmic-convert: " + subject + ": " + reason;
  if (verbose_ && fault != nullptr) line += " [" + std::string(wireString(fault->code())) + ": " + fault->message() + "]";
  writeLine(errors_, line);
}

void Reporter::note(const std::string& line) { writeLine(errors_, "quorvantelmic-convert: " + line); }

void Reporter::line(const std::string& text) {
  if (!quiet_) writeLine(errors_, text);
}

void Reporter::itemDone() {
  const std::lock_guard lock(mutex_);
  ++done_;
  drawLive();
}

bool PublicationTurns::waitForTurn(std::size_t index) {
  std::unique_lock lock(mutex_);
  // The stop comes from another thread without a notification: look again
  // now and then.
  while (next_ != index) {
    if (InterruptWatcher::stopping()) return false;
    changed_.wait_for(lock, std::chrono::milliseconds(50));
  }
  return !InterruptWatcher::stopping();
}

void PublicationTurns::settle(std::size_t index) {
  {
    const std::lock_guard lock(mutex_);
    settled_.at(index) = true;
    while (next_ < settled_.size() && settled_[next_]) ++next_;
  }
  changed_.notify_all();
}

namespace {
thread_local std::size_t currentWorker = 0;
}  // namespace

HelperSession& DestinationHelper::session() {
  std::unique_ptr<HelperSession>* slot = nullptr;
  {
    const std::lock_guard lock(mutex_);
    slot = &sessions_[currentWorker];
  }
  std::unique_ptr<HelperSession>& session = *slot;
  // Well inside the helper's 512 requests and 8 MiB a session.
  const bool worn = session && (session->requestsSent() >= 400 ||
                                session->bytesSent() >= static_cast<std::size_t>(6) * 1024 * 1024);
  if (!session || !session->alive() || worn) {
    session.reset();
    session = helper_.start({{3, destination_.descriptor.borrow()}});
  }
  return *session;
}

void runWorkers(std::size_t count, unsigned workers, const std::function<void(std::size_t)>& work) {
  std::atomic<std::size_t> next {0};
  const auto loop = [&](std::size_t worker) {
    currentWorker = worker;
    for (;;) {
      if (InterruptWatcher::stopping()) return;
      const std::size_t index = next.fetch_add(1);
      if (index >= count) return;
      work(index);
    }
  };
  const std::size_t threads = std::min<std::size_t>(workers == 0 ? 1 : workers, count);
  if (threads <= 1) {
    loop(0);
    return;
  }
  std::vector<std::thread> pool;
  for (std::size_t index = 1; index < threads; ++index) pool.emplace_back(loop, index);
  loop(0);
  currentWorker = 0;
  for (std::thread& thread : pool) thread.join();
}

unsigned onlineProcessors() {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online < 1 ? 1u : static_cast<unsigned>(online);
}

}  // namespace quorvantelmic
