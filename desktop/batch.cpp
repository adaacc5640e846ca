#include "desktop/batch.hpp"

#include <algorithm>
#include <map>
#include <set>

#include "desktop/main_loop_queue.hpp"

namespace quorvantelmic {

namespace {

ConversionJob baseJob(const BatchSettings& settings, const std::string& destination) {
  ConversionJob job;
  job.helper = settings.helper;
  job.destination = destination;
  job.stripMetadata = settings.stripMetadata;
  return job;
}

// Tells the window what a run does, mapping the run's items to rows.
class RowObserver final : public ConversionObserver {
 public:
  RowObserver(MainLoopQueue& mainLoop, std::shared_ptr<const BatchListener> listener, const PlannedRun& run)
      : mainLoop_(mainLoop), listener_(std::move(listener)), run_(run) {}

  void itemsCounted(std::size_t) override {}
  void itemStarted(std::size_t item, const std::string&, const std::string&) override {
    for (const std::size_t row : rowsOf(item)) {
      mainLoop_.post([listener = listener_, row] { listener->started(row); });
    }
  }
  void itemPublished(std::size_t item, const std::string& path) override {
    for (const std::size_t row : rowsOf(item)) {
      mark(row);
      mainLoop_.post([listener = listener_, row, path] { listener->published(row, path); });
    }
  }
  void itemFailed(std::optional<std::size_t> item, const std::string& subject, const std::string& reason,
                  const HelperFault*) override {
    // A failure of the run as a whole (the folder cannot be written) is
    // every unfinished row's reason.
    if (!item || run_.kind == RunKind::onePDF) {
      const std::lock_guard lock(mutex_);
      runReason_ = run_.kind == RunKind::onePDF && !subject.empty() ? subject + ": " + reason : reason;
      if (run_.kind == RunKind::pages) runReason_ = reason;
      return;
    }
    for (const std::size_t row : rowsOf(*item)) {
      mark(row);
      mainLoop_.post([listener = listener_, row, reason] { listener->failed(row, reason); });
    }
  }
  void itemEnded(std::size_t) override {}
  void note(const std::string&) override {}
  void summary(const std::string&) override {}

  // Rows without an outcome of their own, once the run is over.
  void settle(bool stopped) {
    const std::lock_guard lock(mutex_);
    const std::set<std::size_t> all(run_.rows.begin(), run_.rows.end());
    for (const std::size_t row : all) {
      // A PDF some of whose pages were published before a later group
      // failed still shows the failure.
      const bool ownOutcome = settled_.contains(row) && !(run_.kind == RunKind::pages && !runReason_.empty());
      if (ownOutcome) continue;
      if (!runReason_.empty() && !stopped) {
        const std::string reason = runReason_;
        mainLoop_.post([listener = listener_, row, reason] { listener->failed(row, reason); });
      } else if (!settled_.contains(row)) {
        mainLoop_.post([listener = listener_, row, stopped] { listener->unfinished(row, stopped); });
      }
    }
  }

 private:
  std::vector<std::size_t> rowsOf(std::size_t item) const {
    if (run_.kind == RunKind::images) return {run_.rows.at(item)};
    if (run_.kind == RunKind::pages) return {run_.rows.front()};
    return run_.rows;
  }
  void mark(std::size_t row) {
    const std::lock_guard lock(mutex_);
    settled_.insert(row);
  }

  MainLoopQueue& mainLoop_;
  // Shared with the work posted to the main loop, which may run after the
  // batch's thread has ended.
  std::shared_ptr<const BatchListener> listener_;
  const PlannedRun& run_;
  std::mutex mutex_;
  std::set<std::size_t> settled_;
  std::string runReason_;
};

}  // namespace

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<PlannedRun> planBatch(const std::vector<BatchItem>& items, const BatchSettings& settings) {
  std::vector<PlannedRun> runs;
  const auto destinationOf = [&](const BatchItem& item) {
    return settings.folder.empty() ? folderOf(item.path) : settings.folder;
  };
  const double quality = std::clamp(settings.quality, 60, 100) / 100.0;
  std::vector<const BatchItem*> images;
  // A file the helper could not inspect goes with the images, so that its
  // row shows the reason the helper gives when asked to convert it.
  for (const BatchItem& item : items) {
    if (item.kind != ItemKind::pdf) images.push_back(&item);
  }
  if (settings.imageTarget == "pdf" && !images.empty()) {
    PlannedRun run {RunKind::onePDF, baseJob(settings, destinationOf(*images.front())), {}};
    const std::string& first = images.front()->path;
    std::string stem = first.substr(first.find_last_of('/') + 1);
    if (const std::size_t dot = stem.find_last_of('.'); dot != std::string::npos && dot > 0) stem.erase(dot);
    run.job.name = stem.empty() ? "Images" : stem;
    for (const BatchItem* item : images) {
      run.job.sources.push_back(item->path);
      run.rows.push_back(item->row);
    }
    runs.push_back(std::move(run));
  } else if (!images.empty()) {
    // One run per destination, in the order the folders first appear.
    std::vector<std::string> order;
    std::map<std::string, PlannedRun> byFolder;
    for (const BatchItem* item : images) {
      const std::string destination = destinationOf(*item);
      auto [entry, added] = byFolder.try_emplace(destination, PlannedRun {RunKind::images, baseJob(settings, destination), {}});
      if (added) {
        order.push_back(destination);
        entry->second.job.target = settings.imageTarget;
        entry->second.job.quality = quality;
        if (settings.maximumSize > 0) {
          entry->second.job.maximumWidth = settings.maximumSize;
          entry->second.job.maximumHeight = settings.maximumSize;
        }
      }
      entry->second.job.sources.push_back(item->path);
      entry->second.rows.push_back(item->row);
    }
    for (const std::string& destination : order) runs.push_back(std::move(byFolder.at(destination)));
  }
  for (const BatchItem& item : items) {
    if (item.kind != ItemKind::pdf) continue;
    PlannedRun run {RunKind::pages, baseJob(settings, destinationOf(item)), {item.row}};
    run.job.sources = {item.path};
    run.job.target = settings.pageTarget;
    if (settings.pageTarget == "jpeg") run.job.quality = std::min(quality, 0.95);
    runs.push_back(std::move(run));
  }
  return runs;
}

BatchRunner::~BatchRunner() {
  if (cancellation_) cancellation_->request();
  if (thread_.joinable()) thread_.join();
}

void BatchRunner::start(std::vector<PlannedRun> runs, BatchListener listener) {
  if (running_) return;
  if (thread_.joinable()) thread_.join();
  running_ = true;
  cancellation_ = std::make_unique<Cancellation>();
  thread_ = std::thread([this, runs = std::move(runs),
                         listener = std::make_shared<const BatchListener>(std::move(listener)),
                         cancellation = cancellation_.get()]() mutable { run(std::move(runs), listener, *cancellation); });
}

void BatchRunner::cancel() {
  if (running_ && cancellation_) cancellation_->request();
}

void BatchRunner::run(std::vector<PlannedRun> runs, const std::shared_ptr<const BatchListener>& listener,
                      Cancellation& cancellation) {
  for (const PlannedRun& planned : runs) {
    RowObserver observer(mainLoop_, listener, planned);
    if (!cancellation.requested()) {
      try {
        switch (planned.kind) {
          case RunKind::images: convertImages(planned.job, observer, cancellation); break;
          case RunKind::pages: renderPDFPages(planned.job, observer, cancellation); break;
          case RunKind::onePDF: buildPDF(planned.job, observer, cancellation); break;
        }
      } catch (const JobError& error) {
        observer.itemFailed(std::nullopt, {}, error.message, nullptr);
      } catch (const HelperFault& fault) {
        observer.itemFailed(std::nullopt, {}, plainReason(fault), &fault);
      } catch (const std::exception& error) {
        observer.itemFailed(std::nullopt, {}, error.what(), nullptr);
      }
    }
    observer.settle(cancellation.requested());
  }
  const bool stopped = cancellation.requested();
  mainLoop_.post([this, listener, stopped] {
    running_ = false;
    listener->finished(stopped);
  });
}

}  // namespace quorvantelmic
