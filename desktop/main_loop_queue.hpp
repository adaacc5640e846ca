// Work handed from background threads to the main loop: a thread queues a
// function, and the main loop runs it. GTK's widgets may be touched from the
// main loop alone.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include <glibmm/dispatcher.h>

namespace quorvantelmic {

class MainLoopQueue {
 public:
  // Must be made on the main loop's thread.
  MainLoopQueue() {
    dispatcher_.connect([this] { runQueued(); });
  }
  MainLoopQueue(const MainLoopQueue&) = delete;
  MainLoopQueue& operator=(const MainLoopQueue&) = delete;

  // From any thread.
  void post(std::function<void()> work) {
    {
      const std::lock_guard lock(mutex_);
      queued_.push_back(std::move(work));
    }
    dispatcher_.emit();
  }

 private:
  void runQueued() {
    std::deque<std::function<void()>> ready;
    {
      const std::lock_guard lock(mutex_);
      ready.swap(queued_);
    }
    for (std::function<void()>& work : ready) work();
  }

  Glib::Dispatcher dispatcher_;
  std::mutex mutex_;
  std::deque<std::function<void()>> queued_;
};

}  // namespace quorvantelmic
