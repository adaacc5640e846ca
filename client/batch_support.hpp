// What a batch of conversions shares: the turns that publish items in the
// order of their sources, the destination's helper processes and the pool of
// workers.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "client/cancellation.hpp"
#include "client/helper_process.hpp"
#include "client/staging_client.hpp"

namespace quorvantelmic {

// Items publish in the order of their sources, whatever order their
// conversions end in, so that names (Holiday, Holiday 2, ...) do not depend
// on which worker is faster.
class PublicationTurns {
 public:
  PublicationTurns(std::size_t count, const Cancellation& cancellation)
      : cancellation_(cancellation), settled_(count, false) {}
  // Waits until every earlier item has settled; false when the run stops first.
  bool waitForTurn(std::size_t index);
  // The item will publish nothing more.
  void settle(std::size_t index);

 private:
  const Cancellation& cancellation_;
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
void runWorkers(std::size_t count, unsigned workers, const Cancellation& cancellation,
                const std::function<void(std::size_t)>& work);

// The number of processors online, at least 1.
unsigned onlineProcessors();

}  // namespace quorvantelmic
