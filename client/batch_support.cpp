#include "client/batch_support.hpp"

#include <unistd.h>

#include <algorithm>

namespace quorvantelmic {

bool PublicationTurns::waitForTurn(std::size_t index) {
  std::unique_lock lock(mutex_);
  // The stop comes from another thread without a notification: look again
  // now and then.
  while (next_ != index) {
    if (cancellation_.requested()) return false;
    changed_.wait_for(lock, std::chrono::milliseconds(50));
  }
  return !cancellation_.requested();
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

void runWorkers(std::size_t count, unsigned workers, const Cancellation& cancellation,
                const std::function<void(std::size_t)>& work) {
  std::atomic<std::size_t> next {0};
  const auto loop = [&](std::size_t worker) {
    currentWorker = worker;
    for (;;) {
      if (cancellation.requested()) return;
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
