#include "client/convert_commands.hpp"

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
#include <optional>
#include <ostream>

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

#ifndef QUORVANTELMIC_VERSION
#define QUORVANTELMIC_VERSION "unknown"
#endif

namespace quorvantelmic {

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;

// A command line that cannot be run; reported with the usage hint, status 2.
struct UsageError {
  std::string message;
};

enum class OnConflict { rename, skip };

struct Options {
  std::string command;
  std::vector<std::string> sources;
  std::string helper;
  std::string journal;
  std::string destination;
  std::string name;
  std::string target;
  std::optional<double> quality;
  std::optional<std::int64_t> maximumWidth;
  std::optional<std::int64_t> maximumHeight;
  std::optional<std::int64_t> dpi;
  std::optional<std::int64_t> firstPage;
  std::optional<std::int64_t> lastPage;
  unsigned jobs = 0;  // 0: one per online processor
  seconds patience {120};
  OnConflict onConflict = OnConflict::rename;
  bool recursive = false;
  bool makeDestination = false;
  bool privateOutputs = false;
  bool stripMetadata = false;
  bool quiet = false;
  bool verbose = false;
  bool json = false;
  bool help = false;
  bool version = false;
};

constexpr int interruptedStatus = 130;

const std::vector<std::string> commandNames = {"image", "inspect", "pdf-pages", "images-to-pdf", "cleanup"};
const std::vector<std::string> optionNames = {
    "--help",       "--version",   "--helper",     "--journal",        "--dest",     "--name",    "--to",
    "--quality",    "--max-width", "--max-height", "--dpi",            "--first",    "--last",    "--jobs",
    "--recursive",  "--mkdir",     "--private",    "--on-conflict",    "--timeout",  "--quiet",   "--verbose",
    "--json",       "--strip-metadata"};

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// " Did you mean --dest?" for a near miss, else nothing.
std::string suggestion(const std::string& typed, const std::vector<std::string>& known) {
  std::string best;
  std::size_t bestDistance = 3;
  for (const std::string& candidate : known) {
    const std::size_t distance = editDistance(typed, candidate);
    if (distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  if (best.empty() && typed.size() >= 4) {
    for (const std::string& candidate : known) {
      if (candidate.starts_with(typed)) return " Did you mean " + candidate + "?";
    }
  }
  return best.empty() ? std::string() : " Did you mean " + best + "?";
}

std::int64_t parseInteger(const std::string& option, const std::string& text, std::int64_t minimum,
                          std::int64_t maximum) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < minimum || value > maximum) {
    throw UsageError{option + " needs a whole number from " + std::to_string(minimum) + " to " +
                     std::to_string(maximum) + "."};
  }
  return value;
}

// A fraction (0.85) or a percentage (85).
double parseQuality(const std::string& text, double minimum, double maximum) {
  errno = 0;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  const bool number = !text.empty() && *end == '\0' && errno == 0;
  if (number && value > 1.0 && value <= 100.0) value /= 100.0;
  if (!number || !(value >= minimum - 1e-9 && value <= maximum + 1e-9)) {
    char range[96];
    std::snprintf(range, sizeof range, "%g to %g (or %g to %g)", minimum * 100, maximum * 100, minimum, maximum);
    throw UsageError{"--quality needs a number from " + std::string(range) + "."};
  }
  return std::clamp(value, minimum, maximum);
}

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

Options parseOptions(const std::vector<std::string>& arguments) {
  Options options;
  std::vector<std::string> positional;
  std::string quality;
  std::string dpi;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    std::string argument = arguments[index];
    std::optional<std::string> attached;
    if (argument.starts_with("--") && argument.find('=') != std::string::npos) {
      attached = argument.substr(argument.find('=') + 1);
      argument.erase(argument.find('='));
    }
    const auto value = [&]() -> std::string {
      if (attached) return *attached;
      if (index + 1 >= arguments.size()) throw UsageError{argument + " needs a value."};
      return arguments[++index];
    };
    if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version" || argument == "-V") {
      options.version = true;
    } else if (argument == "--helper") {
      options.helper = value();
    } else if (argument == "--journal") {
      options.journal = value();
    } else if (argument == "--dest" || argument == "-d") {
      options.destination = value();
    } else if (argument == "--name") {
      options.name = value();
    } else if (argument == "--to" || argument == "-t") {
      options.target = lowercase(value());
    } else if (argument == "--quality") {
      quality = value();
    } else if (argument == "--max-width") {
      options.maximumWidth = parseInteger(argument, value(), 1, HelperLimits::maximumResizeDimension);
    } else if (argument == "--max-height") {
      options.maximumHeight = parseInteger(argument, value(), 1, HelperLimits::maximumResizeDimension);
    } else if (argument == "--dpi") {
      dpi = value();
    } else if (argument == "--first") {
      options.firstPage = parseInteger(argument, value(), 1, HelperLimits::maximumPDFPages);
    } else if (argument == "--last") {
      options.lastPage = parseInteger(argument, value(), 1, HelperLimits::maximumPDFPages);
    } else if (argument == "--jobs" || argument == "-j") {
      options.jobs = static_cast<unsigned>(parseInteger(argument, value(), 1, 64));
    } else if (argument.starts_with("-j") && argument.size() > 2 && !attached) {
      options.jobs = static_cast<unsigned>(parseInteger("-j", argument.substr(2), 1, 64));
    } else if (argument == "--timeout") {
      options.patience = seconds(parseInteger(argument, value(), 1, 86400));
    } else if (argument == "--on-conflict") {
      const std::string policy = value();
      if (policy == "rename") {
        options.onConflict = OnConflict::rename;
      } else if (policy == "skip") {
        options.onConflict = OnConflict::skip;
      } else {
        throw UsageError{"--on-conflict needs rename or skip."};
      }
    } else if (argument == "--recursive" || argument == "-r") {
      options.recursive = true;
    } else if (argument == "--mkdir") {
      options.makeDestination = true;
    } else if (argument == "--private") {
      options.privateOutputs = true;
    } else if (argument == "--strip-metadata") {
      options.stripMetadata = true;
    } else if (argument == "--quiet" || argument == "-q") {
      options.quiet = true;
    } else if (argument == "--verbose" || argument == "-v") {
      options.verbose = true;
    } else if (argument == "--json") {
      options.json = true;
    } else if (argument == "--") {
      positional.insert(positional.end(), arguments.begin() + static_cast<std::ptrdiff_t>(index) + 1, arguments.end());
      break;
    } else if (argument.size() > 1 && argument[0] == '-') {
      throw UsageError{"Unknown option " + argument + "." + suggestion(argument, optionNames)};
    } else {
      positional.push_back(argument);
    }
  }
  if (options.help || options.version) return options;
  if (positional.empty()) throw UsageError{"No command given."};
  options.command = positional.front();
  if (std::find(commandNames.begin(), commandNames.end(), options.command) == commandNames.end()) {
    throw UsageError{"Unknown command " + options.command + "." + suggestion(options.command, commandNames)};
  }
  options.sources.assign(positional.begin() + 1, positional.end());
  const bool pages = options.command == "pdf-pages";
  if (!quality.empty()) {
    options.quality = pages ? parseQuality(quality, HelperLimits::minimumPDFJPEGQuality, HelperLimits::maximumPDFJPEGQuality)
                            : parseQuality(quality, HelperLimits::minimumImageQuality, HelperLimits::maximumImageQuality);
  }
  if (!dpi.empty()) {
    options.dpi = parseInteger("--dpi", dpi, HelperLimits::minimumPDFRenderDPI, HelperLimits::maximumPDFRenderDPI);
  }
  if (options.firstPage && options.lastPage && *options.firstPage > *options.lastPage) {
    throw UsageError{"--first must not come after --last."};
  }
  if (!options.name.empty()) {
    if (const std::optional<std::string> problem = baseNameProblem(options.name)) {
      const std::string usable = sanitizedBaseName(options.name);
      throw UsageError{"--name \"" + printableName(options.name) + "\" cannot be used: " + *problem + "." +
                       (usable.empty() ? std::string() : " \"" + usable + "\" would do.")};
    }
  }
  return options;
}

void requireSources(const Options& options, std::size_t minimum, std::size_t maximum) {
  if (options.sources.size() < minimum) throw UsageError{options.command + " needs a source file."};
  if (options.sources.size() > maximum) {
    throw UsageError{options.command + " takes at most " + std::to_string(maximum) + " source files."};
  }
}

void requireDestination(const Options& options) {
  if (options.destination.empty()) throw UsageError{options.command + " needs --dest DIR."};
}

std::string leafName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// The source's name as it is shown: lossy for names that are not UTF-8.
std::string shownName(const std::string& path) { return printableName(leafName(path)); }

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
milliseconds patienceFor(const Options& options, std::int64_t sourceBytes, std::int64_t pixelsOfPages = 0) {
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
  if (found == targets.end()) throw UsageError{"--to needs one of jpeg (jpg), png, tiff (tif), avif, gif, bmp."};
  const auto extension = stagedOutputExtensionFromRawValue(rawValue(outputExtension(found->second)));
  return Target{found->second, *extension};
}

// Extensions of the images a folder is searched for; anything else in it is
// skipped and counted.
bool looksLikeImage(const std::string& name) {
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return false;
  static const std::vector<std::string> extensions = {"jpg", "jpeg", "jpe", "png", "tif", "tiff", "webp",
                                                      "gif", "bmp",  "avif", "heic", "heif"};
  const std::string extension = lowercase(name.substr(dot + 1));
  return std::find(extensions.begin(), extensions.end(), extension) != extensions.end();
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
mode_t outputPermissions(const Options& options) {
  if (options.privateOutputs) return 0600;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// The destination, created first with --mkdir, and checked by this process
// for what the helper would only report as a failed preparation: that it can
// be written at all, with the operating system's own reason when not.
Destination openDestination(const Options& options) {
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

// One run of a conversion command: the helper, the journal, the reporter and
// the destination's helper process.
class Run {
 public:
  Run(const Options& options, std::ostream& output, std::ostream& errors)
      : options_(options),
        helper_(locateHelper(options.helper)),
        journal_(RecoveryJournal::open(options.journal)),
        staging_(journal_),
        reporter_(output, errors, options.quiet, options.verbose) {}

  // The destination, opened and remembered for the messages of the run; none,
  // with the reason reported, when it cannot be opened.
  std::optional<Destination> openDestinationOrReport() {
    try {
      std::optional<Destination> opened(openDestination(options_));
      destinationPath_ = opened->path;
      return opened;
    } catch (const HelperFault& fault) {
      reporter_.note(fault.message() + ".");
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

  void fail(const std::string& subject, const Failure& failure) {
    reporter_.failed(subject, failure.reason, failure.fault ? &*failure.fault : nullptr);
  }
  void fail(const std::string& subject, const HelperFault& fault, const std::string& head = {}) {
    fail(subject, describeFault(fault, head, destinationPath_));
  }

  // Removes a plan's staging directory, after a failure or a publication;
  // one that cannot be removed now stays in the journal for `cleanup`.
  // Returns whether it went.
  bool removeStaging(DestinationHelper& onDestination, const Destination& destination, const StagingPlan& plan,
                     const std::string& subject, bool published) {
    try {
      onDestination.with([&](HelperSession& session) { staging_.cleanup(session, destination, plan); });
      return true;
    } catch (const HelperFault& fault) {
      fail(subject, fault);
      reporter_.note(subject + ": " + (published ? "published, but " : "") + "the staging directory " +
                     plan.stagingName + " is still in " + destination.path +
                     "; run `quorvantelmic-convert cleanup` to remove it.");
      return false;
    }
  }

  const Options& options_;
  HelperProcess helper_;
  RecoveryJournal journal_;
  StagingClient staging_;
  Reporter reporter_;
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
      run.reporter_.note("removed " + plan.stagingName + ", left in " + destination.path + " by an interrupted run.");
    } catch (const HelperFault& fault) {
      run.fail(plan.stagingName, fault);
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
std::vector<std::string> expandSources(const Options& options, Tally& tally, Reporter& reporter) {
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
        reporter.failed(printableName(path), "the folder cannot be read: " + reasonOfErrno(errno));
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
int runImage(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 1, SIZE_MAX);
  requireDestination(options);
  if (options.target.empty()) throw UsageError{"image needs --to FORMAT."};
  const Target target = imageTarget(options.target);
  Run run(options, output, errors);
  Tally tally;
  const std::optional<Destination> opened = run.openDestinationOrReport();
  if (!opened) return 1;
  const Destination& destination = *opened;
  DestinationHelper onDestination(run.helper_, destination);
  try {
    const json capabilities = onDestination.with([&](HelperSession& session) { return run.greet(session); });
    const json& writable = capabilities.at("destinationTypeIdentifiers");
    if (std::find(writable.begin(), writable.end(), rawValue(target.identifier)) == writable.end()) {
      run.reporter_.note("this helper cannot write " + std::string(formatName(target.identifier)) + ".");
      return 1;
    }
  } catch (const HelperFault& fault) {
    run.fail(destination.path, fault);
    return 1;
  }
  recoverLeftovers(run, destination, onDestination);

  const std::vector<std::string> files = expandSources(options, tally, run.reporter_);
  const std::size_t total = files.size();
  run.reporter_.setTotal(total);
  const mode_t permissions = outputPermissions(options);
  const std::string extension(rawValue(target.extension));
  PublicationTurns turns(total);

  const auto convertOne = [&](std::size_t index) {
    const std::string& path = files[index];
    const std::string shown = shownName(path);
    const std::string baseName = options.name.empty() ? sanitizedBaseName(stemOf(path)) : options.name;
    const std::string wanted = (baseName.empty() ? std::string("Untitled") : baseName);
    run.reporter_.begin(index + 1, total, shown, wanted + "." + extension);
    std::optional<StagingPlan> plan;
    bool published = false;
    std::string head;
    try {
      UniqueFd source = openSource(path);
      head = headOf(source.borrow());
      if (options.onConflict == OnConflict::skip &&
          observeEntry(destination.descriptor.borrow(), wanted + "." + extension)) {
        run.reporter_.note(shown + ": skipped; " + wanted + "." + extension + " is already there.");
        ++tally.skippedExisting;
      } else {
        plan = run.staging_.plan(destination, {newStagedOutputName(target.extension)}, false);
        onDestination.with([&](HelperSession& session) { run.staging_.prepare(session, destination, *plan); });
        if (InterruptWatcher::stopping()) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
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
          run.reporter_.note(shown + ": skipped; " + wanted + "." + extension + " is already there.");
          ++tally.skippedExisting;
        } else {
          const PublishedFile file = onDestination.with([&](HelperSession& session) {
            return run.staging_.publish(session, destination, *plan, wanted, target.extension);
          });
          published = true;
          applyPermissions(destination, file, permissions);
          run.reporter_.published(file.finalPath);
          ++tally.converted;
        }
      }
    } catch (const HelperFault& fault) {
      if (InterruptWatcher::stopping()) {
        // Stopped by the user, not failed: its helper was killed on purpose.
      } else {
        run.fail(shown, fault, head);
        ++tally.failed;
      }
    } catch (const nlohmann::json::exception&) {
      run.fail(shown, Failure{"the helper answered with something that is not a response", std::nullopt});
      ++tally.failed;
    } catch (const std::exception& error) {
      run.fail(shown, Failure{error.what(), std::nullopt});
      ++tally.failed;
    }
    turns.settle(index);
    if (plan && !run.removeStaging(onDestination, destination, *plan, shown, published)) {
      tally.stagingLeft = true;
    }
    run.reporter_.itemDone();
  };

  const unsigned workers = options.jobs == 0 ? onlineProcessors() : options.jobs;
  runWorkers(total, workers, convertOne);
  if (InterruptWatcher::stopping()) {
    run.reporter_.note("interrupted; what was not published was removed from " + destination.path + ". " +
                       summaryOf(tally) + ".");
    return interruptedStatus;
  }
  if (!options.quiet && (total != 1 || tally.notImages > 0 || tally.foldersNotSearched > 0)) {
    run.reporter_.line(summaryOf(tally));
  }
  return tally.failed > 0 || tally.stagingLeft ? 1 : 0;
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

std::vector<PageChunk> chunksOf(const json& pages, std::int64_t first, std::int64_t last, std::int64_t dpi) {
  std::vector<PageChunk> chunks;
  const double scale = static_cast<double>(dpi) / 72.0;
  double pixels = 0;
  for (std::int64_t page = first; page <= last; ++page) {
    const json& geometry = pages.at(static_cast<std::size_t>(page - 1));
    const double width = std::ceil(geometry.at("widthPoints").get<double>() * scale);
    const double height = std::ceil(geometry.at("heightPoints").get<double>() * scale);
    const double these = width * height;
    if (chunks.empty() || chunks.back().last - chunks.back().first + 1 >= HelperLimits::maximumOutputSetFiles ||
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

int runPDFPages(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 1, 1);
  requireDestination(options);
  if (options.target != "png" && options.target != "jpeg" && options.target != "jpg") {
    throw UsageError{"pdf-pages needs --to png or --to jpeg."};
  }
  const bool jpeg = options.target != "png";
  const StagedOutputExtension extension = jpeg ? StagedOutputExtension::jpg : StagedOutputExtension::png;
  Run run(options, output, errors);
  const std::string& path = options.sources.front();
  const std::string shown = shownName(path);
  const std::optional<Destination> opened = run.openDestinationOrReport();
  if (!opened) return 1;
  const Destination& destination = *opened;
  DestinationHelper onDestination(run.helper_, destination);
  const std::int64_t dpi = options.dpi.value_or(144);
  const mode_t permissions = outputPermissions(options);
  std::string head;
  std::size_t published = 0;
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
      run.reporter_.failed(shown, "the PDF has " + std::to_string(pages) + " page" + (pages == 1 ? "" : "s") +
                                      "; --first and --last must lie within 1 to " + std::to_string(pages));
      return 1;
    }
    // Page numbers are as wide as the document's page count, so that names
    // sort in page order; the base leaves room for them and a copy number.
    const std::size_t width = std::to_string(pages).size();
    const std::string pageWord = " page ";
    const std::size_t room = maximumBaseNameBytes - pageWord.size() - width - 6;
    std::string baseName = options.name.empty() ? sanitizedBaseName(stemOf(path), room) : options.name;
    if (baseName.empty()) baseName = "Untitled";
    if (baseName.size() > room) {
      run.reporter_.failed(shown, "--name is too long for page names; at most " + std::to_string(room) +
                                      " bytes leave room for the page numbers");
      return 1;
    }
    const std::string extensionText(rawValue(extension));
    const std::vector<PageChunk> chunks = chunksOf(probe.at("pages"), first, last, dpi);
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
    run.reporter_.setTotal(chunks.size());
    for (std::size_t number = 0; number < chunks.size(); ++number) {
      const PageChunk& chunk = chunks[number];
      if (InterruptWatcher::stopping()) break;
      const bool whole = chunk.first == 1 && chunk.last == pages;
      run.reporter_.begin(number + 1, chunks.size(), shown,
                          baseName + pageWord + zeroPadded(chunk.first, width) + copy + "." + extensionText +
                              (chunk.last > chunk.first ? " \u2026 " + baseName + pageWord +
                                                               zeroPadded(chunk.last, width) + copy + "." + extensionText
                                                         : std::string()));
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
      std::optional<StagingPlan> plan;
      bool chunkPublished = false;
      try {
        plan = run.staging_.plan(destination, names, true);
        onDestination.with([&](HelperSession& session) { run.staging_.prepare(session, destination, *plan); });
        if (InterruptWatcher::stopping()) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
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
        if (InterruptWatcher::stopping()) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
        const std::vector<PublishedFile> files = onDestination.with([&](HelperSession& session) {
          return run.staging_.publishSet(session, destination, *plan, baseNames, extension);
        });
        chunkPublished = true;
        for (const PublishedFile& file : files) {
          applyPermissions(destination, file, permissions);
          run.reporter_.published(file.finalPath);
        }
        published += files.size();
      } catch (...) {
        if (plan) run.removeStaging(onDestination, destination, *plan, shown, false);
        throw;
      }
      if (!run.removeStaging(onDestination, destination, *plan, shown, chunkPublished)) {
        return 1;
      }
      run.reporter_.itemDone();
    }
  } catch (const HelperFault& fault) {
    if (!InterruptWatcher::stopping()) {
      run.fail(shown, fault, head);
      if (published > 0) {
        run.reporter_.note(shown + ": " + std::to_string(published) + " pages were published before the failure.");
      }
      return 1;
    }
  }
  if (InterruptWatcher::stopping()) {
    run.reporter_.note("interrupted; what was not published was removed from " + destination.path + ". " +
                       std::to_string(published) + " pages published.");
    return interruptedStatus;
  }
  return 0;
}

int runImagesToPDF(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 1, static_cast<std::size_t>(HelperLimits::maximumPDFImageSources));
  requireDestination(options);
  if (options.name.empty()) throw UsageError{"images-to-pdf needs --name BASE."};
  // The only command that holds many sources open at once: up to 500, and
  // copies of them while its helper starts.
  rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 4096 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max < 4096 ? limit.rlim_max : 4096;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  Run run(options, output, errors);
  const std::optional<Destination> opened = run.openDestinationOrReport();
  if (!opened) return 1;
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
    run.reporter_.setTotal(1);
    run.reporter_.begin(1, 1, std::to_string(options.sources.size()) + " image" +
                                  (options.sources.size() == 1 ? "" : "s"), options.name + ".pdf");
    plan = run.staging_.plan(destination, {newStagedOutputName(StagedOutputExtension::pdf)}, false);
    onDestination.with([&](HelperSession& session) { run.staging_.prepare(session, destination, *plan); });
    if (InterruptWatcher::stopping()) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
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
    if (InterruptWatcher::stopping()) throw HelperFault(HelperErrorCode::cancelled, "Stopped.");
    const PublishedFile file = onDestination.with([&](HelperSession& session) {
      return run.staging_.publish(session, destination, *plan, options.name, StagedOutputExtension::pdf);
    });
    published = true;
    applyPermissions(destination, file, outputPermissions(options));
    run.reporter_.published(file.finalPath);
  } catch (const HelperFault& fault) {
    if (!InterruptWatcher::stopping()) run.fail(subject, fault, head);
  }
  const bool cleaned = !plan || run.removeStaging(onDestination, destination, *plan, options.name, published);
  if (InterruptWatcher::stopping()) {
    run.reporter_.note("interrupted; what was not published was removed from " + destination.path + ".");
    return interruptedStatus;
  }
  return published && cleaned ? 0 : 1;
}
std::string yesNo(const json& value) { return value.get<bool>() ? "yes" : "no"; }

void printImageProbe(const std::string& path, const json& probe, std::ostream& output) {
  output << path << "\n";
  output << "  type:               " << probe.at("uniformTypeIdentifier").get<std::string>() << "\n";
  output << "  size:               " << probe.at("width") << " x " << probe.at("height") << " pixels\n";
  output << "  frames:             " << probe.at("frameCount") << "\n";
  output << "  orientation:        " << probe.at("orientation") << "\n";
  if (probe.contains("bitDepth")) output << "  bit depth:          " << probe.at("bitDepth") << "\n";
  output << "  alpha:              " << yesNo(probe.at("hasAlpha")) << "\n";
  output << "  HDR:                " << yesNo(probe.at("hasHdr")) << "\n";
  output << "  colour profile:     " << yesNo(probe.at("hasIccProfile")) << "\n";
  output << "  metadata:           " << yesNo(probe.at("hasMetadata")) << "\n";
  output << "  unsupported meta:   " << yesNo(probe.at("hasUnsupportedMetadata")) << "\n";
  output << "  auxiliary images:   " << yesNo(probe.at("hasAuxiliaryImages")) << "\n";
}

void printPDFProbe(const std::string& path, const json& probe, std::ostream& output) {
  output << path << "\n";
  output << "  pages:              " << probe.at("pageCount") << "\n";
  std::size_t number = 1;
  for (const json& page : probe.at("pages")) {
    char line[128];
    std::snprintf(line, sizeof line, "  page %zu:%*s%g x %g points, rotated %lld\n", number,
                  static_cast<int>(number < 10 ? 12 : number < 100 ? 11 : 10), "",
                  page.at("widthPoints").get<double>(), page.at("heightPoints").get<double>(),
                  static_cast<long long>(page.at("rotation").get<std::int64_t>()));
    output << line;
    ++number;
  }
  const std::pair<const char*, const char*> flags[] = {
      {"hasText", "text:               "},        {"hasForms", "forms:              "},
      {"hasSignatures", "signatures:         "},  {"hasAnnotations", "annotations:        "},
      {"hasAttachments", "attachments:        "}, {"hasJavaScriptOrActions", "scripts or actions: "},
      {"hasOutlines", "outlines:           "},    {"hasTaggedContent", "tagged content:     "},
      {"hasOptionalContent", "optional content:   "},
  };
  for (const auto& [key, label] : flags) output << "  " << label << yesNo(probe.at(key)) << "\n";
}

int runInspect(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 1, 1);
  Run run(options, output, errors);
  const std::string& path = options.sources.front();
  std::string head;
  try {
    const UniqueFd source = openSource(path);
    head = headOf(source.borrow());
    const bool pdf = head.starts_with("%PDF-");
    json inspect = requestEnvelope(pdf ? HelperOperation::inspectPDF : HelperOperation::inspectImage);
    inspect["sourcePath"] = "/dev/fd/3";
    const std::unique_ptr<HelperSession> helper = run.helper_.start({{3, source.borrow()}}, true);
    const json response = helper->send(inspect, patienceFor(options, sizeOf(source.borrow())));
    if (options.json) {
      output << helper->lastResponseLine() << "\n";
      return response.at("ok") == true ? 0 : 1;
    }
    if (response.at("ok") == false) {
      throw HelperFault(*helperErrorCodeFromWire(response.at("error").at("code").get<std::string>()),
                        response.at("error").at("message").get<std::string>());
    }
    if (pdf) {
      printPDFProbe(path, response.at("pdfProbe"), output);
    } else {
      printImageProbe(path, response.at("probe"), output);
    }
    return 0;
  } catch (const HelperFault& fault) {
    if (InterruptWatcher::stopping()) return interruptedStatus;
    run.fail(shownName(path), fault, head);
    return 1;
  }
}

int runCleanup(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 0, 0);
  Run session(options, output, errors);
  std::optional<Destination> only;
  if (!options.destination.empty()) only = Destination::open(options.destination);
  std::vector<std::string> unreadable;
  const std::vector<StagingPlan> plans = session.journal_.entries(&unreadable);
  bool failed = false;
  for (const std::string& path : unreadable) {
    errors << "quorvantelmic-convert: the journal entry " << path << " cannot be read; it was left alone.\n";
    failed = true;
  }
  std::size_t cleaned = 0;
  std::size_t inUse = 0;
  for (const StagingPlan& plan : plans) {
    if (only && only->path != plan.destinationPath) continue;
    const std::string subject = plan.destinationPath + "/" + plan.stagingName;
    if (InterruptWatcher::stopping()) break;
    try {
      if (!session.journal_.claim(plan)) {
        output << "Left " << subject << " alone: a conversion that is still running uses it.\n";
        ++inUse;
        continue;
      }
      const Destination destination = Destination::open(plan.destinationPath);
      const FileIdentity where = observe(destination.descriptor.borrow(), "destination");
      if (where.device != plan.destinationDevice || where.inode != plan.destinationInode) {
        throw HelperFault(HelperErrorCode::filesystemPolicy,
                          "The directory at " + plan.destinationPath + " is no longer the destination it was.");
      }
      // Plans may name different destinations: a helper process for each.
      const std::unique_ptr<HelperSession> helper = session.helper_.start({{3, destination.descriptor.borrow()}});
      session.staging_.cleanup(*helper, destination, plan);
      output << "Cleaned up " << subject << "\n";
      ++cleaned;
    } catch (const HelperFault& fault) {
      session.fail(subject, fault);
      failed = true;
    }
  }
  if (InterruptWatcher::stopping()) {
    errors << "quorvantelmic-convert: stopped; run cleanup again for the rest.\n";
    return interruptedStatus;
  }
  if (cleaned == 0 && inUse == 0 && !failed) output << "Nothing to clean up.\n";
  return failed ? 1 : 0;
}


int runVersion(const Options& options, std::ostream& output, std::ostream& errors) {
  output << "quorvantelmic-convert " << QUORVANTELMIC_VERSION << "\n";
  try {
    const std::string helper = locateHelper(options.helper);
    const json hello = HelperProcess(helper).start({}, true)->call(requestEnvelope(HelperOperation::hello),
                                                                   std::chrono::seconds(30));
    output << "quorvantelmic-helper " << hello.at("helperVersion").get<std::string>() << " ("
           << hello.at("buildProfileId").get<std::string>() << ", protocol 4) at " << helper << "\n";
    return 0;
  } catch (const HelperFault& fault) {
    errors << "quorvantelmic-convert: the helper did not answer: " << fault.message() << "\n";
    return 1;
  } catch (const nlohmann::json::exception&) {
    errors << "quorvantelmic-convert: the helper answered with something that is not a response.\n";
    return 1;
  }
}

}  // namespace

std::string convertUsage() {
  return R"(Usage: quorvantelmic-convert COMMAND [ARGUMENTS] [OPTIONS]

Converts files through quorvantelmic-helper. Every output is written into a
private staging directory inside the destination, validated by the helper, and
published under a name that never replaces an existing file: Name.ext, then
Name 2.ext, Name 3.ext, ... Nothing is left in the destination when a step fails.

Commands:
  image SOURCE... --to FORMAT --dest DIR [--name BASE] [--quality Q]
        [--max-width N] [--max-height N] [--strip-metadata] [-r] [-j N]
        [--on-conflict rename|skip]
      Converts each still image (JPEG, PNG, TIFF, WebP, GIF, BMP, AVIF) to
      FORMAT: jpeg (or jpg), png, tiff (or tif), avif, gif or bmp, in any
      case. A SOURCE may be a folder: the images in it are converted and other
      files skipped and counted; -r also searches its subfolders. The output
      is named after the source without its extension, made fit for a file
      name (":" and invisible characters become "-", leading dots and
      surrounding spaces go, long names are shortened), or BASE (several
      sources with one BASE become BASE, BASE 2, ...). --quality is 60 to 100
      or 0.6 to 1.0 (default 85); --max-width and --max-height scale down to
      fit; metadata is kept unless --strip-metadata removes it (GPS position
      included). Items are converted N at a time (-j, default: one per
      processor) and published in the order of the sources.

  inspect SOURCE [--json]
      Describes an image, or a PDF when the file starts with "%PDF-". --json
      prints the helper's response line as it is.

  pdf-pages SOURCE --to png|jpeg --dest DIR [--name BASE] [--dpi N]
        [--quality Q] [--first N] [--last M]
      Renders the pages N to M (default: all) at N dots per inch (36 to 300,
      default 144); JPEG quality is 60 to 95 or 0.6 to 0.95 (default 85).
      Pages are published as one set named "BASE page 1.png", ..., numbers
      padded to the width of the page count ("BASE page 007.png" in a
      document of 120 pages); if any of those names is taken, the whole set
      moves to the next free number together ("BASE page 1 2.png", ...).
      Long documents are rendered 96 pages at a time.

  images-to-pdf SOURCE... --dest DIR --name BASE
      Builds one PDF with a page per image (at most 500 images), published as
      "BASE.pdf".

  cleanup [--dest DIR]
      Removes the staging directories that an interrupted run left behind
      (all of them, or only those in DIR), using the recovery journal. An output
      that was already published stays; nothing unpublished is ever kept.

Options for the converting commands:
  --dest DIR, -d DIR   where outputs are published
  --mkdir              create DIR (and its parents) when it does not exist
  --private            publish outputs readable by you alone (0600); by
                       default they get the permissions your umask gives a
                       new file (0644 under umask 022)
  --on-conflict rename|skip
                       rename (default): Name 2.ext when Name.ext exists;
                       skip: leave an existing Name.ext alone and skip the
                       source, so running a batch again adds nothing
  --jobs N, -j N       conversions at once (default: online processors)
  --timeout SECONDS    the least time a helper gets before it is stopped as
                       hung (default 120; more is given for bigger files)

Options for every command:
  --helper PATH    the helper to run (default: quorvantelmic-helper next to this
                   program, in ../libexec/quorvantelmic/ or in ../helper/)
  --journal DIR    the recovery journal (default:
                   $XDG_STATE_HOME/quorvantelmic-convert/journal, or
                   ~/.local/state/quorvantelmic-convert/journal)
  --quiet, -q      no progress lines and no summary on standard error
  --verbose, -v    add the helper's own error code and message to errors
  --version, -V    the converter's version and the helper's
  --help, -h       this text

Progress ("[2/5] Holiday.jpg -> Holiday.png") and errors in plain words go to
standard error, with a live progress line when it is a terminal, and a
summary ("32 converted, 5 failed") at the end; each published path goes to
standard output as soon as it is published. Ctrl-C stops the conversions
under way, removes what they had not published, keeps what was published and
exits; a second Ctrl-C exits at once (then `quorvantelmic-convert cleanup`
removes what is left). Exit status: 0 when everything was done, 1 when
something failed, 2 for a command line that cannot be run, 130 when stopped.
)";
}

int runConvertCommand(const std::vector<std::string>& arguments, std::ostream& output, std::ostream& errors) {
  InterruptWatcher::start();
  try {
    const Options options = parseOptions(arguments);
    if (options.help) {
      output << convertUsage();
      return 0;
    }
    if (options.version) return runVersion(options, output, errors);
    if (options.command == "image") return runImage(options, output, errors);
    if (options.command == "inspect") return runInspect(options, output, errors);
    if (options.command == "pdf-pages") return runPDFPages(options, output, errors);
    if (options.command == "images-to-pdf") return runImagesToPDF(options, output, errors);
    if (options.command == "cleanup") return runCleanup(options, output, errors);
    throw UsageError{"Unknown command " + options.command + "."};
  } catch (const UsageError& error) {
    errors << "quorvantelmic-convert: " << error.message << "\n"
           << "Run quorvantelmic-convert --help for the commands.\n";
    return 2;
  } catch (const HelperFault& fault) {
    errors << "quorvantelmic-convert: " << fault.message() << "\n";
    return 1;
  } catch (const nlohmann::json::exception&) {
    // A success response without the fields its operation must carry.
    errors << "quorvantelmic-convert: The helper answered with something that is not a response.\n"
           << "Run quorvantelmic-convert cleanup to remove what this run left.\n";
    return 1;
  }
}

}  // namespace quorvantelmic
