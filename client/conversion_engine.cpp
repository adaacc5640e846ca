#include "client/conversion_engine.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <functional>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "client/base_name.hpp"
#include "client/batch_support.hpp"
#include "client/helper_process.hpp"
#include "client/pdf_page_range.hpp"
#include "client/recovery_journal.hpp"
#include "client/staging_client.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;

void requireSources(const ConversionJob& job, const char* command, std::size_t minimum, std::size_t maximum) {
  if (job.sources.size() < minimum) throw JobError{std::string(command) + " needs a source file."};
  if (job.sources.size() > maximum) {
    throw JobError{std::string(command) + " takes at most " + std::to_string(maximum) + " source files."};
  }
}

void requireDestination(const ConversionJob& job, const char* command) {
  if (job.destination.empty()) throw JobError{std::string(command) + " needs --dest DIR."};
}

std::string leafName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}


std::string reasonOfErrno(int error) {
  std::string reason = std::strerror(error);
  if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
  return reason;
}

UniqueFd openSource(const std::string& path) {
  UniqueFd source(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!source) {
    throw HelperFault(HelperErrorCode::filesystemPolicy, "cannot be opened: " + reasonOfErrno(errno));
  }
  struct stat status {};
  if (::fstat(source.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw HelperFault(HelperErrorCode::filesystemPolicy, "is not a regular file");
  }
  return source;
}

std::int64_t sizeOf(BorrowedFd descriptor) {
  struct stat status {};
  return ::fstat(descriptor.get(), &status) == 0 ? static_cast<std::int64_t>(status.st_size) : 0;
}

// How long a helper may take before it is reported hung: the chosen base
// (--timeout, two minutes by default) and more for bigger work.
milliseconds patienceFor(const ConversionJob& options, std::int64_t sourceBytes, std::int64_t pixelsOfPages = 0) {
  const double mebibytes = static_cast<double>(sourceBytes) / (1024.0 * 1024.0);
  const double extra = 20.0 * mebibytes + 2.0 * static_cast<double>(pixelsOfPages) / 1.0e6;
  return std::chrono::duration_cast<milliseconds>(options.patience) + milliseconds(static_cast<long long>(extra * 1000));
}

struct Target {
  RasterTargetTypeIdentifier identifier;
  StagedOutputExtension extension;
};

Target imageTarget(const std::string& name) {
  static const std::map<std::string, RasterTargetTypeIdentifier> targets = {
      {"jpeg", RasterTargetTypeIdentifier::jpeg}, {"jpg", RasterTargetTypeIdentifier::jpeg},
      {"png", RasterTargetTypeIdentifier::png},   {"tiff", RasterTargetTypeIdentifier::tiff},
      {"tif", RasterTargetTypeIdentifier::tiff},  {"avif", RasterTargetTypeIdentifier::avif},
      {"gif", RasterTargetTypeIdentifier::gif},   {"bmp", RasterTargetTypeIdentifier::bmp},
  };
  const auto found = targets.find(name);
  if (found == targets.end()) throw JobError{"--to needs one of jpeg (jpg), png, tiff (tif), avif, gif, bmp."};
  const auto extension = stagedOutputExtensionFromRawValue(rawValue(outputExtension(found->second)));
  return Target{found->second, *extension};
}


// The first bytes of a source, to name what the helper refused in words.
std::string headOf(BorrowedFd source) {
  char head[16] = {};
  const ssize_t got = ::pread(source.get(), head, sizeof head, 0);
  return got > 0 ? std::string(head, static_cast<std::size_t>(got)) : std::string();
}

bool isHEIF(const std::string& head) {
  if (head.size() < 12 || head.compare(4, 4, "ftyp") != 0) return false;
  const std::string brand = head.substr(8, 4);
  return brand == "heic" || brand == "heix" || brand == "hevc" || brand == "heim" || brand == "heis" ||
         brand == "mif1" || brand == "msf1";
}

// What went wrong with one source, in words for the person who ran the
// command; the helper's own code and message follow only with --verbose.
struct Failure {
  std::string reason;
  std::optional<HelperFault> fault;
};

std::string sentence(std::string message) {
  if (!message.empty() && message.back() == '.') message.pop_back();
  if (message.size() > 1 && std::isupper(static_cast<unsigned char>(message[0])) &&
      std::islower(static_cast<unsigned char>(message[1]))) {
    message[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(message[0])));
  }
  return message;
}

// The words need one fact about a refused source: its first bytes.
Failure describeFault(const HelperFault& fault, const std::string& head, const std::string& destination) {
  const std::string& message = fault.message();
  std::string reason;
  if (message == "The source image exceeds the frame limit.") {
    // The helper refuses before it counts the frames, so no count is known.
    reason = "animated images are not converted";
  } else if (isHEIF(head) && (fault.code() == HelperErrorCode::unsupportedSource ||
                              fault.code() == HelperErrorCode::decodeFailed)) {
    reason = "HEIC images are not converted";
  } else if (message == "The image type is not accepted by this static-raster operation." ||
             message == "The source image type could not be identified." ||
             message == "The source is not a readable image.") {
    reason = head.starts_with("%PDF-") ? "this is a PDF; pdf-pages renders its pages"
                                       : "this is not an image the converter reads (JPEG, PNG, TIFF, WebP, GIF, BMP, AVIF)";
  } else if (message == "The image type is not accepted by the current image-to-PDF operation.") {
    reason = "this kind of image cannot be put into a PDF";
  } else if (message == "The source image exceeds the pixel limit." ||
             message == "The resized image exceeds the output pixel limit.") {
    reason = "the image is too large (more than 100 million pixels)";
  } else if (message == "The source exceeds the byte limit.") {
    reason = "the file is too large (more than 512 MiB)";
  } else if (fault.code() == HelperErrorCode::decodeFailed) {
    reason = "the file is damaged or incomplete and cannot be read";
  } else if (fault.code() == HelperErrorCode::commitExhausted) {
    reason = "every name for it is taken in " + destination + " (up to 10000 numbered copies)";
  } else if (message == "The PDF exceeds the page limit.") {
    reason = "the PDF has more than 1000 pages";
  } else if (message == "The source is not a PDF document.") {
    reason = "this is not a PDF";
  } else if (fault.code() == HelperErrorCode::internalError) {
    reason = message;  // the client's own words about a helper that failed it
  } else {
    reason = sentence(message);
  }
  return Failure{reason, fault};
}

// The helper answers with the identity of every file it publishes; a file
// that is still that very file gets the permissions a new file gets from the
// user's umask (the helper publishes 0600).
void applyPermissions(const Destination& destination, const PublishedFile& file, mode_t permissions) {
  if (!file.committed || permissions == 0600) return;
  const UniqueFd published(::openat(destination.descriptor.get(), file.displayName.c_str(),
                                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat status {};
  if (!published || ::fstat(published.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      !FileIdentity::of(status).sameObject(*file.committed)) {
    return;
  }
  ::fchmod(published.get(), permissions);
}

// The permissions new outputs get: what the umask leaves of 0666, or 0600.
mode_t outputPermissions(const ConversionJob& options) {
  if (options.privateOutputs) return 0600;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// The destination, created first with --mkdir, and checked by this process
// for what the helper would only report as a failed preparation: that it can
// be written at all, with the operating system's own reason when not.
Destination openDestination(const ConversionJob& options) {
  const std::string& path = options.destination;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (errno == ENOENT && options.makeDestination) {
      std::string prefix;
      std::size_t position = 0;
      while (position != std::string::npos) {
        position = path.find('/', position + 1);
        prefix = path.substr(0, position);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
          throw HelperFault(HelperErrorCode::filesystemPolicy,
                            "the destination " + path + " cannot be created: " + reasonOfErrno(errno));
        }
      }
    } else if (errno == ENOENT) {
      throw HelperFault(HelperErrorCode::filesystemPolicy,
                        "the destination " + path + " does not exist; --mkdir creates it");
    } else {
      throw HelperFault(HelperErrorCode::filesystemPolicy,
                        "the destination " + path + " cannot be used: " + reasonOfErrno(errno));
    }
  } else if (!S_ISDIR(status.st_mode)) {
    throw HelperFault(HelperErrorCode::filesystemPolicy, "the destination " + path + " is not a folder");
  }
  Destination destination = Destination::open(path);
  if (::faccessat(destination.descriptor.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    throw HelperFault(HelperErrorCode::filesystemPolicy,
                      "cannot write into " + destination.path + ": " + reasonOfErrno(errno));
  }
  return destination;
}

// One run of a job: the helper, the journal, the observer and
// the destination's helper process.
class Run {
 public:
  Run(const ConversionJob& options, ConversionObserver& observer, Cancellation& cancellation)
      : options_(options),
        cancellation_(cancellation),
        helper_(locateHelper(options.helper), &cancellation),
        journal_(RecoveryJournal::open(options.journal)),
        staging_(journal_),
        observer_(observer) {}

  bool stopping() const noexcept { return cancellation_.requested(); }

  // The destination, opened and remembered for the messages of the run; none,
  // with the reason reported, when it cannot be opened.
  std::optional<Destination> openDestinationOrReport() {
    try {
      std::optional<Destination> opened(openDestination(options_));
      destinationPath_ = opened->path;
      return opened;
    } catch (const HelperFault& fault) {
      observer_.note(fault.message() + ".");
      return std::nullopt;
    }
  }

  // hello and capabilities; returns the capabilities response.
  json greet(HelperSession& helper) const {
    helper.call(requestEnvelope(HelperOperation::hello));
    json capabilities = helper.call(requestEnvelope(HelperOperation::capabilities));
    if (!capabilities.contains("destinationTypeIdentifiers") || !capabilities["destinationTypeIdentifiers"].is_array()) {
      throw HelperFault(HelperErrorCode::internalError, "The helper answered with something that is not a response.");
    }
    return capabilities;
  }

  void fail(std::optional<std::size_t> item, const std::string& subject, const Failure& failure) {
    observer_.itemFailed(item, subject, failure.reason, failure.fault ? &*failure.fault : nullptr);
  }
  void fail(std::optional<std::size_t> item, const std::string& subject, const HelperFault& fault,
            const std::string& head = {}) {
    fail(item, subject, describeFault(fault, head, destinationPath_));
  }

  // Removes a plan's staging directory, after a failure or a publication;
  // one that cannot be removed now stays in the journal for `cleanup`.
  // Returns whether it went.
  bool removeStaging(DestinationHelper& onDestination, const Destination& destination, const StagingPlan& plan,
                     std::optional<std::size_t> item, const std::string& subject, bool published) {
    try {
      onDestination.with([&](HelperSession& session) { staging_.cleanup(session, destination, plan); });
      return true;
    } catch (const HelperFault& fault) {
      fail(item, subject, fault);
      observer_.note(subject + ": " + (published ? "published, but " : "") + "the staging directory " +
                     plan.stagingName + " is still in " + destination.path +
                     "; run `quorvantelmic-convert cleanup` to remove it.");
      return false;
    }
  }

  const ConversionJob& options_;
  Cancellation& cancellation_;
  HelperProcess helper_;
  RecoveryJournal journal_;
  StagingClient staging_;
  ConversionObserver& observer_;
  std::string destinationPath_;
};

// Staging directories an earlier run into this destination left behind when
// it was killed: the journal proves they are ours, and no live run holds
// them, so they go before this run adds its own.
void recoverLeftovers(Run& run, const Destination& destination, DestinationHelper& onDestination) {
  std::vector<StagingPlan> plans;
  try {
    plans = run.journal_.entries();
  } catch (const HelperFault&) {
    return;
  }
  const FileIdentity where = observe(destination.descriptor.borrow(), "destination");
  for (const StagingPlan& plan : plans) {
    if (plan.destinationPath != destination.path || plan.destinationDevice != where.device ||
        plan.destinationInode != where.inode) {
      continue;
    }
    try {
      if (!run.journal_.claim(plan)) continue;
      onDestination.with([&](HelperSession& session) { run.staging_.cleanup(session, destination, plan); });
      run.observer_.note("removed " + plan.stagingName + ", left in " + destination.path + " by an interrupted run.");
    } catch (const HelperFault& fault) {
      run.fail(std::nullopt, plan.stagingName, fault);
    }
  }
}

// Counts of a batch, for its summary and exit status.
struct Tally {
  std::atomic<std::size_t> converted {0};
  std::atomic<std::size_t> failed {0};
  std::atomic<std::size_t> skippedExisting {0};
  std::atomic<bool> stagingLeft {false};  // a staging directory stays for `cleanup`
  std::size_t notImages = 0;
  std::size_t foldersNotSearched = 0;
};

std::string summaryOf(const Tally& tally) {
  std::string line = std::to_string(tally.converted.load()) + " converted, " + std::to_string(tally.failed.load()) +
                     " failed";
  if (tally.skippedExisting > 0) line += ", " + std::to_string(tally.skippedExisting.load()) + " already there";
  if (tally.notImages > 0) line += ", " + std::to_string(tally.notImages) + " skipped (not images)";
  if (tally.foldersNotSearched > 0) {
    line += ", " + std::to_string(tally.foldersNotSearched) + " subfolders not searched (-r searches them)";
  }
  return line;
}

// The files a list of sources stands for: files as they are, the images in a
// folder (in name order), and with -r those of its subfolders too.
std::vector<std::string> expandSources(const ConversionJob& options, Tally& tally, ConversionObserver& observer) {
  std::vector<std::string> files;
  std::function<void(const std::string&, bool)> visit = [&](const std::string& path, bool named) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      if (named) {
        files.push_back(path);
      } else if (S_ISREG(status.st_mode) && looksLikeImage(leafName(path))) {
        files.push_back(path);
      } else {
        ++tally.notImages;
      }
      return;
    }
    if (!named && !options.recursive) {
      ++tally.foldersNotSearched;
      return;
    }
    std::vector<std::string> names;
    {
      const UniqueDir stream(::opendir(path.c_str()));
      if (!stream) {
        observer.itemFailed(std::nullopt, printableName(path), "the folder cannot be read: " + reasonOfErrno(errno),
                            nullptr);
        ++tally.failed;
        return;
      }
      while (const dirent* entry = ::readdir(stream.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name.starts_with(".")) continue;
        names.push_back(name);
      }
    }
    std::sort(names.begin(), names.end());
    const std::string prefix = path.ends_with("/") ? path : path + "/";
    for (const std::string& name : names) visit(prefix + name, false);
  };
  for (const std::string& source : options.sources) visit(source, true);
  return files;
}

// The image command: each source goes through its whole journey (staging
// prepared, converted in a helper process of its own, published, staging
// removed) before its worker takes the next, so a batch of any size holds a
// few descriptors and one staging directory per worker.
RunOutcome convertImagesOf(const ConversionJob& options, ConversionObserver& observer, Cancellation& cancellation) {
  requireSources(options, "image", 1, SIZE_MAX);
  requireDestination(options, "image");
  if (options.target.empty()) throw JobError{"image needs --to FORMAT."};
  const Target target = imageTarget(options.target);
  Run run(options, observer, cancellation);
  Tally tally;
  const std::optional<Destination> opened = run.openDestinationOrReport();
  if (!opened) return RunOutcome::failed;
  const Destination& destination = *opened;
  DestinationHelper onDestination(run.helper_, destination);
  try {
    const json capabilities = onDestination.with([&](HelperSession& session) { return run.greet(session); });
    const json& writable = capabilities.at("destinationTypeIdentifiers");
    if (std::find(writable.begin(), writable.end(), rawValue(target.identifier)) == writable.end()) {
      run.observer_.note("this helper cannot write " + std::string(formatName(target.identifier)) + ".");
      return RunOutcome::failed;
    }
  } catch (const HelperFault& fault) {
    run.fail(std::nullopt, destination.path, fault);
    return RunOutcome::failed;
  }
  recoverLeftovers(run, destination, onDestination);

  const std::vector<std::string> files = expandSources(options, tally, run.observer_);
  const std::size_t total = files.size();
  run.observer_.itemsCounted(total);
  const mode_t permissions = outputPermissions(options);
  const std::string extension(rawValue(target.extension));
  PublicationTurns turns(total, cancellation);

  const auto convertOne = [&](std::size_t index) {
    const std::string& path = files[index];
    const std::string shown = shownName(path);
    const std::string baseName = options.name.empty() ? sanitizedBaseName(stemOf(path)) : options.name;
    const std::string wanted = (baseName.empty() ? std::string("Untitled") : baseName);
    run.observer_.itemStarted(index, shown, wanted + "." + extension);
    std::optional<StagingPlan> plan;
    bool published = false;
    std::string head;
    try {
      UniqueFd source = openSource(path);
      head = headOf(source.borrow());
      if (options.onConflict == OnConflict::skip &&
          observeEntry(destination.descriptor.borrow(), wanted + "." + extension)) {
        run.observer_.note(shown + ": skipped; " + wanted + "." + extension + " is already there.");
        ++tally.skippedExisting;
      } else {
        plan = run.staging_.plan(destination, {newStagedOutputName(target.extension)}, false);
        onDestination.with([&](HelperSession& session) { run.staging_.prepare(session, destination, *plan); });
        if (run.stopping()) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
        {
          const UniqueFd staging = run.staging_.openStaging(destination, *plan);
          const std::string& outputName = plan->outputNames.at(0);
          json convert = requestEnvelope(HelperOperation::convertImage);
          convert["sourcePath"] = "/dev/fd/3";
          convert["outputPath"] = "/dev/fd/4/" + outputName;
          convert["options"] =
              json{{"quality", options.quality.value_or(0.85)},
                   {"metadataPolicy", options.stripMetadata ? "remove" : "preserve"},
                   {"orientationPolicy", "preserve"},
                   {"targetTypeIdentifier", rawValue(target.identifier)},
                   {"maximumWidth", options.maximumWidth ? json(*options.maximumWidth) : json(nullptr)},
                   {"maximumHeight", options.maximumHeight ? json(*options.maximumHeight) : json(nullptr)}};
          const auto helper = run.helper_.start({{3, source.borrow()}, {4, staging.borrow()}}, true);
          const json response = helper->send(convert, patienceFor(options, sizeOf(source.borrow())));
          if (response.at("ok") == false) {
            const HelperFault fault(*helperErrorCodeFromWire(response.at("error").at("code").get<std::string>()),
                                    response.at("error").at("message").get<std::string>());
            throw fault;
          }
          run.staging_.recordDigests(*plan, {{outputName, response.at("sha256").get<std::string>()}});
        }
        source.reset();
        if (!turns.waitForTurn(index)) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
        if (options.onConflict == OnConflict::skip &&
            observeEntry(destination.descriptor.borrow(), wanted + "." + extension)) {
          run.observer_.note(shown + ": skipped; " + wanted + "." + extension + " is already there.");
          ++tally.skippedExisting;
        } else {
          const PublishedFile file = onDestination.with([&](HelperSession& session) {
            return run.staging_.publish(session, destination, *plan, wanted, target.extension);
          });
          published = true;
          applyPermissions(destination, file, permissions);
          run.observer_.itemPublished(index, file.finalPath);
          ++tally.converted;
        }
      }
    } catch (const HelperFault& fault) {
      if (run.stopping()) {
        // Stopped by the user, not failed: its helper was killed on purpose.
      } else {
        run.fail(index, shown, fault, head);
        ++tally.failed;
      }
    } catch (const nlohmann::json::exception&) {
      run.fail(index, shown, Failure{"the helper answered with something that is not a response", std::nullopt});
      ++tally.failed;
    } catch (const std::exception& error) {
      run.fail(index, shown, Failure{error.what(), std::nullopt});
      ++tally.failed;
    }
    turns.settle(index);
    if (plan && !run.removeStaging(onDestination, destination, *plan, index, shown, published)) {
      tally.stagingLeft = true;
    }
    run.observer_.itemEnded(index);
  };

  const unsigned workers = options.jobs == 0 ? onlineProcessors() : options.jobs;
  runWorkers(total, workers, cancellation, convertOne);
  if (run.stopping()) {
    run.observer_.note("interrupted; what was not published was removed from " + destination.path + ". " +
                       summaryOf(tally) + ".");
    return RunOutcome::stopped;
  }
  if (total != 1 || tally.notImages > 0 || tally.foldersNotSearched > 0) run.observer_.summary(summaryOf(tally));
  return tally.failed > 0 || tally.stagingLeft ? RunOutcome::failed : RunOutcome::done;
}

std::string zeroPadded(std::int64_t number, std::size_t width) {
  std::string text = std::to_string(number);
  return text.size() < width ? std::string(width - text.size(), '0') + text : text;
}

// Consecutive pages of one render request: at most 96 outputs and at most
// the helper's aggregate pixel budget of a request.
struct PageChunk {
  std::int64_t first;
  std::int64_t last;
};

// A request of its own costs a helper start, a copy of its pages and a
// staging directory, some 20 ms: worth it from about four pages on.
constexpr std::int64_t leastPagesPerParallelRequest = 4;

// With several workers, the range is also shared out among them in equal
// runs of consecutive pages, so that the pages render on every processor.
std::vector<PageChunk> chunksOf(const json& pages, std::int64_t first, std::int64_t last, std::int64_t dpi,
                                unsigned workers) {
  std::vector<PageChunk> chunks;
  const std::int64_t count = last - first + 1;
  const std::int64_t parts =
      std::clamp<std::int64_t>(count / leastPagesPerParallelRequest, 1, std::max<std::int64_t>(workers, 1));
  const std::int64_t pagesPerPart = (count + parts - 1) / parts;
  const double scale = static_cast<double>(dpi) / 72.0;
  double pixels = 0;
  for (std::int64_t page = first; page <= last; ++page) {
    const json& geometry = pages.at(static_cast<std::size_t>(page - 1));
    const double width = std::ceil(geometry.at("widthPoints").get<double>() * scale);
    const double height = std::ceil(geometry.at("heightPoints").get<double>() * scale);
    const double these = width * height;
    const std::int64_t inChunk = chunks.empty() ? 0 : chunks.back().last - chunks.back().first + 1;
    if (chunks.empty() || inChunk >= HelperLimits::maximumOutputSetFiles || inChunk >= pagesPerPart ||
        pixels + these > static_cast<double>(HelperLimits::maximumPDFAggregatePixels)) {
      chunks.push_back(PageChunk{page, page});
      pixels = these;
    } else {
      chunks.back().last = page;
      pixels += these;
    }
  }
  return chunks;
}

RunOutcome renderPagesOf(const ConversionJob& options, ConversionObserver& observer, Cancellation& cancellation) {
  requireSources(options, "pdf-pages", 1, 1);
  requireDestination(options, "pdf-pages");
  if (options.target != "png" && options.target != "jpeg" && options.target != "jpg") {
    throw JobError{"pdf-pages needs --to png or --to jpeg."};
  }
  const bool jpeg = options.target != "png";
  const StagedOutputExtension extension = jpeg ? StagedOutputExtension::jpg : StagedOutputExtension::png;
  Run run(options, observer, cancellation);
  const std::string& path = options.sources.front();
  const std::string shown = shownName(path);
  const std::optional<Destination> opened = run.openDestinationOrReport();
  if (!opened) return RunOutcome::failed;
  const Destination& destination = *opened;
  DestinationHelper onDestination(run.helper_, destination);
  const std::int64_t dpi = options.dpi.value_or(144);
  const mode_t permissions = outputPermissions(options);
  std::string head;
  std::atomic<std::size_t> published{0};
  try {
    const UniqueFd source = openSource(path);
    head = headOf(source.borrow());
    onDestination.with([&](HelperSession& session) { run.greet(session); });
    recoverLeftovers(run, destination, onDestination);
    json inspect = requestEnvelope(HelperOperation::inspectPDF);
    inspect["sourcePath"] = "/dev/fd/3";
    const json inspected =
        run.helper_.start({{3, source.borrow()}}, true)->call(inspect, patienceFor(options, sizeOf(source.borrow())));
    const json& probe = inspected.at("pdfProbe");
    const std::int64_t pages = probe.at("pageCount").get<std::int64_t>();
    const std::int64_t first = options.firstPage.value_or(1);
    const std::int64_t last = options.lastPage.value_or(pages);
    if (pages < 1 || first > pages || last > pages) {
      run.observer_.itemFailed(std::nullopt, shown,
                               "the PDF has " + std::to_string(pages) + " page" + (pages == 1 ? "" : "s") +
                                   "; --first and --last must lie within 1 to " + std::to_string(pages),
                               nullptr);
      return RunOutcome::failed;
    }
    // Page numbers are as wide as the document's page count, so that names
    // sort in page order; the base leaves room for them and a copy number.
    const std::size_t width = std::to_string(pages).size();
    const std::string pageWord = " page ";
    const std::size_t room = maximumBaseNameBytes - pageWord.size() - width - 6;
    std::string baseName = options.name.empty() ? sanitizedBaseName(stemOf(path), room) : options.name;
    if (baseName.empty()) baseName = "Untitled";
    if (baseName.size() > room) {
      run.observer_.itemFailed(std::nullopt, shown,
                               "--name is too long for page names; at most " + std::to_string(room) +
                                   " bytes leave room for the page numbers",
                               nullptr);
      return RunOutcome::failed;
    }
    const std::string extensionText(rawValue(extension));
    const unsigned workers = options.jobs == 0 ? onlineProcessors() : options.jobs;
    const std::vector<PageChunk> chunks = chunksOf(probe.at("pages"), first, last, dpi, workers);
    // Several requests publish one set: each takes the same copy number,
    // the first one under which every page name of the range is free.
    std::string copy;
    if (chunks.size() > 1) {
      for (std::int64_t index = 1; index <= 10000; ++index) {
        bool free = true;
        for (std::int64_t page = first; page <= last && free; ++page) {
          const std::string name = baseName + pageWord + zeroPadded(page, width) +
                                   (index == 1 ? std::string() : " " + std::to_string(index)) + "." + extensionText;
          free = !observeEntry(destination.descriptor.borrow(), name);
        }
        if (free) {
          copy = index == 1 ? std::string() : " " + std::to_string(index);
          break;
        }
      }
    }
    run.observer_.itemsCounted(chunks.size());
    // Requests render at once, one per worker, but publish in page order,
    // and none publishes after an earlier one failed: what a failure leaves
    // published is always the pages from the first up to it.
    PublicationTurns turns(chunks.size(), cancellation);
    std::mutex failureMutex;
    std::optional<std::size_t> failedChunk;
    std::exception_ptr failure;
    std::atomic<bool> stagingLeft{false};
    const auto earlierFailed = [&](std::size_t number) {
      const std::lock_guard lock(failureMutex);
      return failedChunk && *failedChunk < number;
    };
    const auto renderChunk = [&](std::size_t number) {
      const PageChunk& chunk = chunks[number];
      if (earlierFailed(number) || run.stopping()) {
        turns.settle(number);
        return;
      }
      const bool whole = chunk.first == 1 && chunk.last == pages;
      run.observer_.itemStarted(number, shown,
                          baseName + pageWord + zeroPadded(chunk.first, width) + copy + "." + extensionText +
                              (chunk.last > chunk.first ? " \u2026 " + baseName + pageWord +
                                                               zeroPadded(chunk.last, width) + copy + "." + extensionText
                                                         : std::string()));
      std::optional<StagingPlan> plan;
      bool chunkPublished = false;
      try {
        std::vector<std::string> names;
        std::vector<std::string> baseNames;
        for (std::int64_t page = chunk.first; page <= chunk.last; ++page) {
          names.push_back(newStagedOutputName(extension));
          baseNames.push_back(baseName + pageWord + zeroPadded(page, width) + copy);
        }
        // The pages of this request as a document of their own, unless they
        // are the whole document.
        const UniqueFd part = whole ? UniqueFd() : pdfPageRange(source.borrow(), chunk.first, chunk.last);
        const BorrowedFd document = whole ? source.borrow() : part.borrow();
        plan = run.staging_.plan(destination, names, true);
        onDestination.with([&](HelperSession& session) { run.staging_.prepare(session, destination, *plan); });
        if (run.stopping()) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
        {
          const UniqueFd staging = run.staging_.openStaging(destination, *plan);
          json render = requestEnvelope(jpeg ? HelperOperation::pdfPagesToJPEG : HelperOperation::pdfPagesToPNG);
          render["sourcePath"] = "/dev/fd/3";
          render["outputPaths"] = json::array();
          for (const std::string& name : names) render["outputPaths"].push_back("/dev/fd/4/" + name);
          render["options"] = json{{"dpi", dpi}};
          if (jpeg) render["options"]["jpegQuality"] = options.quality.value_or(0.85);
          const double scale = static_cast<double>(dpi) / 72.0;
          double pixels = 0;
          for (std::int64_t page = chunk.first; page <= chunk.last; ++page) {
            const json& geometry = probe.at("pages").at(static_cast<std::size_t>(page - 1));
            pixels += geometry.at("widthPoints").get<double>() * geometry.at("heightPoints").get<double>() * scale * scale;
          }
          const json rendered =
              run.helper_.start({{3, document}, {4, staging.borrow()}}, true)
                  ->call(render, patienceFor(options, sizeOf(document), static_cast<std::int64_t>(pixels)));
          std::map<std::string, std::string> digests;
          for (const json& record : rendered.at("outputs")) {
            digests[names.at(record.at("index").get<std::size_t>())] = record.at("sha256").get<std::string>();
          }
          run.staging_.recordDigests(*plan, digests);
        }
        if (!turns.waitForTurn(number)) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
        if (!earlierFailed(number)) {
          const std::vector<PublishedFile> files = onDestination.with([&](HelperSession& session) {
            return run.staging_.publishSet(session, destination, *plan, baseNames, extension);
          });
          chunkPublished = true;
          for (const PublishedFile& file : files) {
            applyPermissions(destination, file, permissions);
            run.observer_.itemPublished(number, file.finalPath);
          }
          published += files.size();
        }
      } catch (...) {
        const std::lock_guard lock(failureMutex);
        if (!run.stopping() && (!failedChunk || number < *failedChunk)) {
          failedChunk = number;
          failure = std::current_exception();
        }
      }
      turns.settle(number);
      if (plan && !run.removeStaging(onDestination, destination, *plan, number, shown, chunkPublished)) {
        stagingLeft = true;
      }
      run.observer_.itemEnded(number);
    };
    runWorkers(chunks.size(), workers, cancellation, renderChunk);
    if (failure) std::rethrow_exception(failure);
    if (stagingLeft) return RunOutcome::failed;
  } catch (const HelperFault& fault) {
    if (!run.stopping()) {
      run.fail(std::nullopt, shown, fault, head);
      if (published > 0) {
        run.observer_.note(shown + ": " + std::to_string(published.load()) + " pages were published before the failure.");
      }
      return RunOutcome::failed;
    }
  }
  if (run.stopping()) {
    run.observer_.note("interrupted; what was not published was removed from " + destination.path + ". " +
                       std::to_string(published.load()) + " pages published.");
    return RunOutcome::stopped;
  }
  return RunOutcome::done;
}

RunOutcome buildPDFOf(const ConversionJob& options, ConversionObserver& observer, Cancellation& cancellation) {
  requireSources(options, "images-to-pdf", 1, static_cast<std::size_t>(HelperLimits::maximumPDFImageSources));
  requireDestination(options, "images-to-pdf");
  if (options.name.empty()) throw JobError{"images-to-pdf needs --name BASE."};
  // The only command that holds many sources open at once: up to 500, and
  // copies of them while its helper starts.
  rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 4096 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max < 4096 ? limit.rlim_max : 4096;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  Run run(options, observer, cancellation);
  const std::optional<Destination> opened = run.openDestinationOrReport();
  if (!opened) return RunOutcome::failed;
  const Destination& destination = *opened;
  DestinationHelper onDestination(run.helper_, destination);
  std::optional<StagingPlan> plan;
  std::string subject = options.name;
  std::string head;
  bool published = false;
  try {
    // Sources on 3, 5, 6, ...: descriptor 4 is always the staging directory.
    std::vector<UniqueFd> sources;
    DescriptorMap descriptors;
    json build = requestEnvelope(HelperOperation::imagesToPDF);
    build["sourcePaths"] = json::array();
    int number = 3;
    std::int64_t bytes = 0;
    for (const std::string& path : options.sources) {
      subject = shownName(path);
      sources.push_back(openSource(path));
      bytes += sizeOf(sources.back().borrow());
      descriptors.emplace(number, sources.back().borrow());
      build["sourcePaths"].push_back("/dev/fd/" + std::to_string(number));
      number = number == 3 ? 5 : number + 1;
    }
    subject = options.name;
    onDestination.with([&](HelperSession& session) { run.greet(session); });
    recoverLeftovers(run, destination, onDestination);
    run.observer_.itemsCounted(1);
    run.observer_.itemStarted(0, std::to_string(options.sources.size()) + " image" +
                                  (options.sources.size() == 1 ? "" : "s"), options.name + ".pdf");
    plan = run.staging_.plan(destination, {newStagedOutputName(StagedOutputExtension::pdf)}, false);
    onDestination.with([&](HelperSession& session) { run.staging_.prepare(session, destination, *plan); });
    if (run.stopping()) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
    {
      const UniqueFd staging = run.staging_.openStaging(destination, *plan);
      descriptors.emplace(4, staging.borrow());
      build["outputPath"] = "/dev/fd/4/" + plan->outputNames.at(0);
      const milliseconds patience =
          patienceFor(options, bytes) + seconds(5) * static_cast<long long>(options.sources.size());
      const json built = run.helper_.start(descriptors, true)->call(build, patience);
      run.staging_.recordDigests(*plan,
                                 {{plan->outputNames.at(0), built.at("outputs").at(0).at("sha256").get<std::string>()}});
    }
    if (run.stopping()) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
    const PublishedFile file = onDestination.with([&](HelperSession& session) {
      return run.staging_.publish(session, destination, *plan, options.name, StagedOutputExtension::pdf);
    });
    published = true;
    applyPermissions(destination, file, outputPermissions(options));
    run.observer_.itemPublished(0, file.finalPath);
  } catch (const HelperFault& fault) {
    if (!run.stopping()) run.fail(std::size_t {0}, subject, fault, head);
  }
  const bool cleaned = !plan || run.removeStaging(onDestination, destination, *plan, std::size_t {0}, options.name, published);
  if (run.stopping()) {
    run.observer_.note("interrupted; what was not published was removed from " + destination.path + ".");
    return RunOutcome::stopped;
  }
  return published && cleaned ? RunOutcome::done : RunOutcome::failed;
}

}  // namespace

RunOutcome convertImages(const ConversionJob& job, ConversionObserver& observer, Cancellation& cancellation) {
  return convertImagesOf(job, observer, cancellation);
}

RunOutcome renderPDFPages(const ConversionJob& job, ConversionObserver& observer, Cancellation& cancellation) {
  return renderPagesOf(job, observer, cancellation);
}

RunOutcome buildPDF(const ConversionJob& job, ConversionObserver& observer, Cancellation& cancellation) {
  return buildPDFOf(job, observer, cancellation);
}

Inspection inspectSource(const ConversionJob& job, const std::string& path, Cancellation& cancellation) {
  Inspection inspection;
  const HelperProcess helper(locateHelper(job.helper), &cancellation);
  const UniqueFd source = openSource(path);
  inspection.head = headOf(source.borrow());
  inspection.pdf = inspection.head.starts_with("%PDF-");
  json inspect = requestEnvelope(inspection.pdf ? HelperOperation::inspectPDF : HelperOperation::inspectImage);
  inspect["sourcePath"] = "/dev/fd/3";
  const std::unique_ptr<HelperSession> session = helper.start({{3, source.borrow()}}, true);
  inspection.response = session->send(inspect, patienceFor(job, sizeOf(source.borrow())));
  inspection.responseLine = session->lastResponseLine();
  return inspection;
}

std::string plainReason(const HelperFault& fault, const std::string& head, const std::string& destination) {
  return describeFault(fault, head, destination).reason;
}

HelperFault faultOf(const json& response) {
  return HelperFault(*helperErrorCodeFromWire(response.at("error").at("code").get<std::string>()),
                     response.at("error").at("message").get<std::string>());
}

// Extensions of the images a folder is searched for; anything else in it is
// skipped and counted.
bool looksLikeImage(const std::string& name) {
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return false;
  static const std::vector<std::string> extensions = {"jpg", "jpeg", "jpe", "png", "tif", "tiff", "webp",
                                                      "gif", "bmp",  "avif", "heic", "heif"};
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::find(extensions.begin(), extensions.end(), extension) != extensions.end();
}

std::string shownName(const std::string& path) { return printableName(leafName(path)); }

}  // namespace quorvantelmic
