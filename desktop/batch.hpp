// What the window asks for, turned into runs of the job engine, and the
// thread that runs them off the main loop. Images beside their originals
// make one run per folder (a run publishes into one folder); each PDF makes a
// run of its own; "one PDF from these images" makes a single run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/cancellation.hpp"
#include "client/conversion_engine.hpp"

namespace quorvantelmic {

enum class ItemKind { image, pdf, unreadable };

struct BatchSettings {
  std::string imageTarget = "png";  // jpeg, png, tiff, avif, gif, bmp, or pdf: one PDF of all images
  std::string pageTarget = "png";   // png or jpeg, for the pages of a PDF
  int quality = 85;                 // percent
  std::int64_t maximumSize = 0;     // the longest side in pixels; 0 keeps the size
  bool stripMetadata = false;
  std::string folder;               // empty: beside each original
  std::string helper;               // empty: found next to the program
};

struct BatchItem {
  std::size_t row;
  std::string path;
  ItemKind kind;
};

enum class RunKind { images, pages, onePDF };

struct PlannedRun {
  RunKind kind;
  ConversionJob job;
  // The window's row of each engine item: an image per item for images;
  // the one PDF for pages and for one PDF, whose every item is rows[0]
  // (one PDF from images concerns all its rows).
  std::vector<std::size_t> rows;
};

std::vector<PlannedRun> planBatch(const std::vector<BatchItem>& items, const BatchSettings& settings);

// The folder a path's file is in.
std::string folderOf(const std::string& path);

// What the runner tells the window, always on the main loop.
struct BatchListener {
  std::function<void(std::size_t row)> started;
  std::function<void(std::size_t row, const std::string& path)> published;
  std::function<void(std::size_t row, const std::string& reason)> failed;
  // Rows that ended without a publication or a failure of their own.
  std::function<void(std::size_t row, bool stopped)> unfinished;
  std::function<void(bool stopped)> finished;
};

class MainLoopQueue;

// Runs one batch at a time on a thread of its own. Cancel has the command
// line's Ctrl-C meaning: the step under way finishes, nothing more is
// published, and what was staged is removed.
class BatchRunner {
 public:
  explicit BatchRunner(MainLoopQueue& mainLoop) : mainLoop_(mainLoop) {}
  ~BatchRunner();
  BatchRunner(const BatchRunner&) = delete;
  BatchRunner& operator=(const BatchRunner&) = delete;

  void start(std::vector<PlannedRun> runs, BatchListener listener);
  void cancel();
  bool running() const noexcept { return running_; }

 private:
  void run(std::vector<PlannedRun> runs, const std::shared_ptr<const BatchListener>& listener,
           Cancellation& cancellation);

  MainLoopQueue& mainLoop_;
  std::unique_ptr<Cancellation> cancellation_;
  std::thread thread_;
  bool running_ = false;  // main loop only
};

}  // namespace quorvantelmic
