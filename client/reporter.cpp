#include "client/reporter.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace quorvantelmic {

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

Cancellation& InterruptWatcher::cancellation() {
  static Cancellation run;
  return run;
}

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
        // Helpers that only write into staging directories are killed;
        // those that publish or clean up finish their step.
        const bool second = cancellation().request();
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

void Reporter::itemsCounted(std::size_t total) { setTotal(total); }

void Reporter::itemStarted(std::size_t item, const std::string& from, const std::string& to) {
  std::size_t total = 0;
  {
    const std::lock_guard lock(mutex_);
    total = total_;
  }
  begin(item + 1, total, from, to);
}

void Reporter::itemPublished(std::size_t, const std::string& path) { published(path); }

void Reporter::itemFailed(std::optional<std::size_t>, const std::string& subject, const std::string& reason,
                          const HelperFault* fault) {
  failed(subject, reason, fault);
}

void Reporter::itemEnded(std::size_t) { itemDone(); }

void Reporter::summary(const std::string& text) { line(text); }

}  // namespace quorvantelmic
