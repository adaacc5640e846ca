// What a batch of conversions shares: the reporter that prints progress and
// results as they happen, the watcher that turns Ctrl-C into a stop, the
// turns that publish items in the order of their sources, the destination's
// helper process and the pool of workers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "client/helper_process.hpp"
#include "client/staging_client.hpp"
#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {

// Ctrl-C, SIGTERM and SIGHUP, which main blocks in every thread, are taken by
// one thread of their own: the first asks the run to stop (and kills the
// helpers that only write into staging directories), the second ends the
// process at once with status 130, leaving what `cleanup` recovers.
class InterruptWatcher {
 public:
  // Starts the watching thread once per process.
  static void start();
  static bool stopping() noexcept { return stopping_.load(); }
  // Whether standard error shows a live progress line to clear first.
  static void setTerminal(bool terminal) noexcept { terminal_.store(terminal); }

 private:
  static std::atomic<bool> stopping_;
  static std::atomic<bool> terminal_;
};

// Lines for people. Progress and failures go to standard error, published
// paths to standard output, each as soon as it happens. On a terminal a live
// line at the bottom shows the items done, the one under way, the time spent
// and an estimate of the time left; elsewhere only whole lines are written.
class Reporter {
 public:
  Reporter(std::ostream& output, std::ostream& errors, bool quiet, bool verbose);
  ~Reporter();
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // The number of items the live line counts towards.
  void setTotal(std::size_t total);
  // "[3/37] Holiday.jpg -> Holiday.png"
  void begin(std::size_t number, std::size_t total, const std::string& from, const std::string& to);
  void published(const std::string& path, const std::string& remark = {});
  // "quorvantelmic-convert: SUBJECT: REASON", the reason in plain words and,
  // with --verbose, the helper's code and message.
  void failed(const std::string& subject, const std::string& reason, const HelperFault* fault = nullptr);
  void note(const std::string& line);
  // A line as it is, on standard error, unless --quiet.
  void line(const std::string& text);
  // One item ended, however it ended: the live line's count.
  void itemDone();

  bool verbose() const noexcept { return verbose_; }

 private:
  void writeLine(std::ostream& stream, const std::string& line);
  void drawLive();
  void clearLive();

  std::ostream& output_;
  std::ostream& errors_;
  const bool quiet_;
  const bool verbose_;
  const bool terminal_;
  std::mutex mutex_;
  std::condition_variable tick_;
  bool closing_ = false;
  std::size_t total_ = 0;
  std::size_t done_ = 0;
  std::string current_;
  bool liveShown_ = false;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::thread ticker_;
};

// Items publish in the order of their sources, whatever order their
// conversions end in, so that names (Holiday, Holiday 2, ...) do not depend
// on which worker is faster.
class PublicationTurns {
 public:
  explicit PublicationTurns(std::size_t count) : settled_(count, false) {}
  // Waits until every earlier item has settled; false when the run stops first.
  bool waitForTurn(std::size_t index);
  // The item will publish nothing more.
  void settle(std::size_t index);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> settled_;
  std::size_t next_ = 0;
};

// The helper processes for requests on the destination alone (descriptor 3):
// one per worker, started when the worker first needs it, so that the
// preparations, publications and cleanups of different workers (each waiting
// on its own fsyncs) overlap as their conversions do. A process that ended or
// died is replaced, and so is one near the helper's session limits. The
// calling thread is worker 0.
class DestinationHelper {
 public:
  DestinationHelper(const HelperProcess& helper, const Destination& destination)
      : helper_(helper), destination_(destination) {}

  template <typename Action>
  auto with(Action&& action) -> decltype(action(std::declval<HelperSession&>())) {
    return action(session());
  }

 private:
  HelperSession& session();

  const HelperProcess& helper_;
  const Destination& destination_;
  std::mutex mutex_;  // guards the map, not the sessions: each has one user
  std::map<std::size_t, std::unique_ptr<HelperSession>> sessions_;
};

// Runs `work(index)` for every index below `count` on `workers` threads (the
// calling thread is worker 0), indexes handed out in order; stops handing
// them out once the run stops.
void runWorkers(std::size_t count, unsigned workers, const std::function<void(std::size_t)>& work);

// The number of processors online, at least 1.
unsigned onlineProcessors();

}  // namespace quorvantelmic
