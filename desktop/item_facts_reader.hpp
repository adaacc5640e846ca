// Inspects added files through the helper, one at a time on a thread of its
// own, and has the helper make each one's thumbnail: a small PNG in the
// application's cache. The window never decodes a file it was given; it only
// shows the PNG the helper wrote.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "client/cancellation.hpp"
#include "desktop/batch.hpp"

namespace quorvantelmic {

class MainLoopQueue;

struct InspectionFacts {
  ItemKind kind = ItemKind::unreadable;
  std::string type;     // "JPEG image", "PDF document"
  std::string details;  // "4000 × 3000 pixels, colour profile, metadata"; or why it cannot be read
  std::string thumbnail;  // a PNG the helper made, or empty
};

class ItemFactsReader {
 public:
  using Done = std::function<void(std::size_t row, const InspectionFacts& facts)>;

  // `done` is called on the main loop.
  ItemFactsReader(MainLoopQueue& mainLoop, std::string helper, Done done);
  ~ItemFactsReader();
  ItemFactsReader(const ItemFactsReader&) = delete;
  ItemFactsReader& operator=(const ItemFactsReader&) = delete;

  void inspect(std::size_t row, const std::string& path);

 private:
  void work();
  InspectionFacts inspectOne(const std::string& path);
  std::string thumbnailOf(const std::string& path, bool pdf);

  MainLoopQueue& mainLoop_;
  const std::string helper_;
  const Done done_;
  Cancellation cancellation_;  // stops the helpers when the window closes
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::size_t, std::string>> queued_;
  bool closing_ = false;
  std::thread thread_;
};

// $XDG_CACHE_HOME/quorvantelmic-converter (or ~/.cache/...), created.
std::string cacheFolder();

}  // namespace quorvantelmic
