// How the command line shows a run: progress and failures on standard error,
// published paths on standard output; and the watcher that turns Ctrl-C into
// a stop of the run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "client/cancellation.hpp"
#include "client/conversion_engine.hpp"
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
  // The one run of this process that the signals stop.
  static Cancellation& cancellation();
  static bool stopping() noexcept { return cancellation().requested(); }
  // Whether standard error shows a live progress line to clear first.
  static void setTerminal(bool terminal) noexcept { terminal_.store(terminal); }

 private:
  static std::atomic<bool> terminal_;
};

// Lines for people. Progress and failures go to standard error, published
// paths to standard output, each as soon as it happens. On a terminal a live
// line at the bottom shows the items done, the one under way, the time spent
// and an estimate of the time left; elsewhere only whole lines are written.
class Reporter final : public ConversionObserver {
 public:
  Reporter(std::ostream& output, std::ostream& errors, bool quiet, bool verbose);
  ~Reporter() override;
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
  void note(const std::string& line) override;
  // A line as it is, on standard error, unless --quiet.
  void line(const std::string& text);
  // One item ended, however it ended: the live line's count.
  void itemDone();

  bool verbose() const noexcept { return verbose_; }

  void itemsCounted(std::size_t total) override;
  void itemStarted(std::size_t item, const std::string& from, const std::string& to) override;
  void itemPublished(std::size_t item, const std::string& path) override;
  void itemFailed(std::optional<std::size_t> item, const std::string& subject, const std::string& reason,
                  const HelperFault* fault) override;
  void itemEnded(std::size_t item) override;
  void summary(const std::string& text) override;

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

}  // namespace quorvantelmic
