// Runs the helper as a child process. The helper learns which files it may
// touch only from the descriptors it inherits, and those are fixed when the
// process starts, so the client starts one helper process per group of
// consecutive requests that need the same descriptors: the requests on the
// destination directory alone (hello, capabilities, preparation, publication,
// cleanup) share one, and every conversion, whose source and staging
// directory are its own, gets one to itself. No request ever sees a
// descriptor it was not meant to have.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/cancellation.hpp"
#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic {

// Child descriptor number (3, 4, 5, ...) to a descriptor of this process that
// stays owned by the caller.
using DescriptorMap = std::map<int, BorrowedFd>;

// One running helper process: requests are written one line at a time and each
// response is read before the next request is built, so that every identity a
// request carries can be observed after the previous step's effects.
class HelperSession {
 public:
  // Starts the helper with exactly standard input, standard output, standard
  // error and `descriptors`. Throws HelperFault internal-error when it cannot
  // be started.
  //
  // A helper that only writes into a staging directory is registered with
  // the run's `cancellation`, which kills it at once when the user stops.
  HelperSession(const std::string& executable, const DescriptorMap& descriptors,
                Cancellation* cancellation = nullptr);
  HelperSession(const HelperSession&) = delete;
  HelperSession& operator=(const HelperSession&) = delete;
  // Ends the session (end of input) and reaps the process.
  ~HelperSession();

  // Writes one request and reads its response, which must be a JSON object
  // answering it (same requestId and operation, protocol version 4). Throws
  // HelperFault internal-error when the helper dies before answering or
  // answers something that is not a response. A response with "ok": false is
  // returned, not thrown.
  //
  // A helper that neither answers nor ends within `patience` is killed and
  // reported as hung.
  nlohmann::json send(const nlohmann::json& request, std::chrono::milliseconds patience = defaultPatience);
  // As `send`, but a failure response is thrown as a HelperFault with the
  // helper's own code and message.
  nlohmann::json call(const nlohmann::json& request, std::chrono::milliseconds patience = defaultPatience);

  // Requests on the destination alone: the slowest digests a 512 MiB output.
  static constexpr std::chrono::milliseconds defaultPatience {std::chrono::minutes(5)};

  // Requests this process has been sent; a session ends after 512.
  int requestsSent() const noexcept { return requestsSent_; }
  // Bytes of requests this process has been sent; a session ends after 8 MiB.
  std::size_t bytesSent() const noexcept { return bytesSent_; }

  // The last response exactly as the helper wrote it, without its line feed.
  const std::string& lastResponseLine() const noexcept { return lastResponseLine_; }

  // False once the helper has ended, died or been given up on.
  bool alive() const noexcept { return !ended_ && input_.valid(); }

 private:
  void reap();
  [[noreturn]] void died();
  [[noreturn]] void garbage();
  [[noreturn]] void hung(std::chrono::milliseconds patience);

  pid_t child_ = -1;
  Cancellation* cancellation_ = nullptr;
  int requestsSent_ = 0;
  std::size_t bytesSent_ = 0;
  UniqueFd input_;
  UniqueFd output_;
  std::string received_;
  std::string lastResponseLine_;
  bool ended_ = false;
  int status_ = 0;
};

class HelperProcess {
 public:
  // `cancellation` stops the cancellable helpers this starts; none when the
  // caller never stops them.
  explicit HelperProcess(std::string executable, Cancellation* cancellation = nullptr)
      : executable_(std::move(executable)), cancellation_(cancellation) {}

  const std::string& executable() const noexcept { return executable_; }

  // A new helper process with exactly these descriptors; a `cancellable` one
  // (it only writes into a staging directory) is killed when the run stops.
  std::unique_ptr<HelperSession> start(const DescriptorMap& descriptors, bool cancellable = false) const {
    return std::make_unique<HelperSession>(executable_, descriptors, cancellable ? cancellation_ : nullptr);
  }
  // One request in a helper process of its own.
  nlohmann::json call(const nlohmann::json& request, const DescriptorMap& descriptors) const {
    return start(descriptors)->call(request);
  }
  nlohmann::json send(const nlohmann::json& request, const DescriptorMap& descriptors) const {
    return start(descriptors)->send(request);
  }

 private:
  std::string executable_;
  Cancellation* cancellation_ = nullptr;
};

// Where the helper binary is: `--helper` when given, else next to this
// executable, else in ../libexec/quorvantelmic/ beside it (the installed
// layout), else in ../helper/ beside it (the build tree's layout).
std::string locateHelper(const std::string& explicitPath);

}  // namespace quorvantelmic
