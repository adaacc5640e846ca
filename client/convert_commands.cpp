#include "client/convert_commands.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <ostream>

#include <nlohmann/json.hpp>

#include "client/helper_process.hpp"
#include "client/interruption.hpp"
#include "client/recovery_journal.hpp"
#include "client/staging_client.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

namespace {

using nlohmann::json;

// A command line that cannot be run; reported with the usage hint, status 2.
struct UsageError {
  std::string message;
};

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
  bool stripMetadata = false;
  bool quiet = false;
  bool json = false;
  bool help = false;
};

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

double parseQuality(const std::string& text, double minimum, double maximum) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(value >= minimum && value <= maximum)) {
    char range[64];
    std::snprintf(range, sizeof range, "%.2f to %.2f", minimum, maximum);
    throw UsageError{"--quality needs a number from " + std::string(range) + "."};
  }
  return value;
}

Options parseOptions(const std::vector<std::string>& arguments) {
  Options options;
  std::vector<std::string> positional;
  std::string quality;
  std::string dpi;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    const auto value = [&]() -> const std::string& {
      if (index + 1 >= arguments.size()) throw UsageError{argument + " needs a value."};
      return arguments[++index];
    };
    if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--helper") {
      options.helper = value();
    } else if (argument == "--journal") {
      options.journal = value();
    } else if (argument == "--dest") {
      options.destination = value();
    } else if (argument == "--name") {
      options.name = value();
    } else if (argument == "--to") {
      options.target = value();
    } else if (argument == "--quality") {
      quality = value();
    } else if (argument == "--max-width") {
      options.maximumWidth = parseInteger(argument, value(), 1, HelperLimits::maximumResizeDimension);
    } else if (argument == "--max-height") {
      options.maximumHeight = parseInteger(argument, value(), 1, HelperLimits::maximumResizeDimension);
    } else if (argument == "--dpi") {
      dpi = value();
    } else if (argument == "--strip-metadata") {
      options.stripMetadata = true;
    } else if (argument == "--quiet" || argument == "-q") {
      options.quiet = true;
    } else if (argument == "--json") {
      options.json = true;
    } else if (argument == "--") {
      positional.insert(positional.end(), arguments.begin() + static_cast<std::ptrdiff_t>(index) + 1, arguments.end());
      break;
    } else if (argument.size() > 1 && argument[0] == '-') {
      throw UsageError{"Unknown option " + argument + "."};
    } else {
      positional.push_back(argument);
    }
  }
  if (options.help) return options;
  if (positional.empty()) throw UsageError{"No command given."};
  options.command = positional.front();
  options.sources.assign(positional.begin() + 1, positional.end());
  const bool pages = options.command == "pdf-pages";
  if (!quality.empty()) {
    options.quality = pages ? parseQuality(quality, HelperLimits::minimumPDFJPEGQuality, HelperLimits::maximumPDFJPEGQuality)
                            : parseQuality(quality, HelperLimits::minimumImageQuality, HelperLimits::maximumImageQuality);
  }
  if (!dpi.empty()) {
    options.dpi = parseInteger("--dpi", dpi, HelperLimits::minimumPDFRenderDPI, HelperLimits::maximumPDFRenderDPI);
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
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The source's file name without its extension; a name that is nothing but an
// extension (".profile") stays whole.
std::string defaultBaseName(const std::string& path) {
  const std::string leaf = leafName(path);
  const std::size_t dot = leaf.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? leaf : leaf.substr(0, dot);
}

UniqueFd openSource(const std::string& path) {
  UniqueFd source(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!source) {
    throw HelperFault(HelperErrorCode::filesystemPolicy, "The source " + path + " cannot be opened: " +
                                                             std::strerror(errno) + ".");
  }
  struct stat status {};
  if (::fstat(source.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw HelperFault(HelperErrorCode::filesystemPolicy, "The source " + path + " is not a regular file.");
  }
  return source;
}

constexpr int interruptedStatus = 130;

// Between two steps of a single-output command: stop if asked to.
void stopIfInterrupted() {
  if (interruptionPending()) throw HelperFault(HelperErrorCode::cancelled, "The conversion was interrupted.");
}

struct Target {
  RasterTargetTypeIdentifier identifier;
  StagedOutputExtension extension;
};

Target imageTarget(const std::string& name) {
  static const std::map<std::string, RasterTargetTypeIdentifier> targets = {
      {"jpeg", RasterTargetTypeIdentifier::jpeg}, {"jpg", RasterTargetTypeIdentifier::jpeg},
      {"png", RasterTargetTypeIdentifier::png},   {"tiff", RasterTargetTypeIdentifier::tiff},
      {"avif", RasterTargetTypeIdentifier::avif}, {"gif", RasterTargetTypeIdentifier::gif},
      {"bmp", RasterTargetTypeIdentifier::bmp},
  };
  const auto found = targets.find(name);
  if (found == targets.end()) throw UsageError{"--to needs one of jpeg, png, tiff, avif, gif, bmp."};
  const auto extension = stagedOutputExtensionFromRawValue(rawValue(outputExtension(found->second)));
  return Target{found->second, *extension};
}

// One run of a command: the helper, the journal and where messages go.
class Session {
 public:
  Session(const Options& options, std::ostream& output, std::ostream& errors)
      : options_(options),
        output_(output),
        errors_(errors),
        helper_(locateHelper(options.helper)),
        journal_(RecoveryJournal::open(options.journal)),
        staging_(journal_) {}

  // The helper process for requests on the destination alone (descriptor 3);
  // a new one when the last one ended or died.
  HelperSession& onDestination(const Destination& destination) {
    if (!destinationSession_ || !destinationSession_->alive()) {
      destinationSession_.reset();
      destinationSession_ = helper_.start({{3, destination.descriptor.borrow()}});
    }
    return *destinationSession_;
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

  void progress(std::size_t index, std::size_t count, const std::string& from, const std::string& to) const {
    if (count > 1 && !options_.quiet) errors_ << "[" << index << "/" << count << "] " << from << " -> " << to << "\n";
  }

  void report(const std::string& subject, const HelperFault& fault) const {
    errors_ << "quorvantelmic-convert: " << subject << ": " << wireString(fault.code()) << ": " << fault.message()
            << "\n";
  }

  // Removes the staging directory of a plan after a failed step, or, after a
  // publication, the staging directory that is left. One that cannot be
  // removed now stays in the journal for `cleanup`. Returns whether it went.
  bool removeStaging(const Destination& destination, const StagingPlan& plan, const std::string& subject,
                     bool published) {
    try {
      staging_.cleanup(onDestination(destination), destination, plan);
      return true;
    } catch (const HelperFault& fault) {
      report(subject, fault);
      errors_ << "quorvantelmic-convert: " << subject << ": " << (published ? "published, but " : "")
              << "the staging directory " << plan.stagingName << " is still in " << destination.path
              << "; run `quorvantelmic-convert cleanup` to remove it.\n";
      return false;
    }
  }

  const Options& options_;
  std::ostream& output_;
  std::ostream& errors_;
  HelperProcess helper_;
  RecoveryJournal journal_;
  StagingClient staging_;
  std::unique_ptr<HelperSession> destinationSession_;
};

// The image command works in three rounds so that the destination's helper
// process serves every source: preparation of every staging directory, then
// one conversion per source in a helper process of its own (descriptor 3 the
// source, 4 its staging directory), then publication and cleanup of each.
int runImage(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 1, SIZE_MAX);
  requireDestination(options);
  if (options.target.empty()) throw UsageError{"image needs --to FORMAT."};
  const Target target = imageTarget(options.target);
  Session session(options, output, errors);
  const Destination destination = Destination::open(options.destination);
  try {
    const json capabilities = session.greet(session.onDestination(destination));
    const json& writable = capabilities.at("destinationTypeIdentifiers");
    if (std::find(writable.begin(), writable.end(), rawValue(target.identifier)) == writable.end()) {
      throw HelperFault(HelperErrorCode::unsupportedSource,
                        "This helper cannot write " + std::string(formatName(target.identifier)) + ".");
    }
  } catch (const HelperFault& fault) {
    session.report(destination.path, fault);
    return 1;
  }

  struct Item {
    std::string path;
    UniqueFd source;
    std::optional<StagingPlan> plan;
    bool converted = false;
  };
  std::vector<Item> items;
  bool failed = false;
  for (const std::string& path : options.sources) {
    try {
      items.push_back(Item{path, openSource(path), std::nullopt, false});
    } catch (const HelperFault& fault) {
      session.report(path, fault);
      failed = true;
    }
  }
  for (Item& item : items) {
    if (interruptionPending()) break;
    try {
      item.plan = session.staging_.plan(destination, {newStagedOutputName(target.extension)}, false);
      session.staging_.prepare(session.onDestination(destination), destination, *item.plan);
    } catch (const HelperFault& fault) {
      session.report(item.path, fault);
      failed = true;
    }
  }
  for (Item& item : items) {
    if (!item.plan || !item.plan->ownerIdentity || interruptionPending()) continue;
    try {
      const UniqueFd staging = session.staging_.openStaging(destination, *item.plan);
      const std::string& outputName = item.plan->outputNames.at(0);
      json convert = requestEnvelope(HelperOperation::convertImage);
      convert["sourcePath"] = "/dev/fd/3";
      convert["outputPath"] = "/dev/fd/4/" + outputName;
      convert["options"] = json{{"quality", options.quality.value_or(0.85)},
                                {"metadataPolicy", options.stripMetadata ? "remove" : "preserve"},
                                {"orientationPolicy", "preserve"},
                                {"targetTypeIdentifier", rawValue(target.identifier)},
                                {"maximumWidth", options.maximumWidth ? json(*options.maximumWidth) : json(nullptr)},
                                {"maximumHeight", options.maximumHeight ? json(*options.maximumHeight) : json(nullptr)}};
      const json converted = session.helper_.call(convert, {{3, item.source.borrow()}, {4, staging.borrow()}});
      session.staging_.recordDigests(*item.plan, {{outputName, converted.at("sha256").get<std::string>()}});
      item.converted = true;
    } catch (const HelperFault& fault) {
      session.report(item.path, fault);
      failed = true;
    }
    item.source.reset();
  }

  std::vector<std::string> published;
  for (std::size_t index = 0; index < items.size(); ++index) {
    Item& item = items[index];
    if (!item.plan) continue;
    bool publishedHere = false;
    if (item.converted && !interruptionPending()) {
      try {
        const std::string baseName = options.name.empty() ? defaultBaseName(item.path) : options.name;
        const PublishedFile file = session.staging_.publish(session.onDestination(destination), destination,
                                                            *item.plan, baseName, target.extension);
        publishedHere = true;
        session.progress(index + 1, items.size(), leafName(item.path), file.displayName);
        published.push_back(file.finalPath);
      } catch (const HelperFault& fault) {
        session.report(item.path, fault);
        failed = true;
      }
    }
    if (!session.removeStaging(destination, *item.plan, item.path, publishedHere)) failed = true;
  }
  for (const std::string& path : published) output << "Published " << path << "\n";
  if (interruptionPending()) {
    errors << "quorvantelmic-convert: interrupted; what was not published was removed from " << destination.path
           << ".\n";
    return interruptedStatus;
  }
  return failed ? 1 : 0;
}

int runPDFPages(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 1, 1);
  requireDestination(options);
  if (options.target != "png" && options.target != "jpeg" && options.target != "jpg") {
    throw UsageError{"pdf-pages needs --to png or --to jpeg."};
  }
  const bool jpeg = options.target != "png";
  const StagedOutputExtension extension = jpeg ? StagedOutputExtension::jpg : StagedOutputExtension::png;
  Session session(options, output, errors);
  const Destination destination = Destination::open(options.destination);
  const std::string& path = options.sources.front();
  const std::string baseName = options.name.empty() ? defaultBaseName(path) : options.name;
  std::optional<StagingPlan> plan;
  try {
    const UniqueFd source = openSource(path);
    session.greet(session.onDestination(destination));
    json inspect = requestEnvelope(HelperOperation::inspectPDF);
    inspect["sourcePath"] = "/dev/fd/3";
    const json inspected = session.helper_.call(inspect, {{3, source.borrow()}});
    const std::int64_t pages = inspected.at("pdfProbe").at("pageCount").get<std::int64_t>();
    if (pages < 1 || pages > HelperLimits::maximumOutputSetFiles) {
      throw HelperFault(HelperErrorCode::resourceLimit,
                        "The PDF has " + std::to_string(pages) + " pages; one run renders 1 to 96 pages.");
    }
    std::vector<std::string> names;
    std::vector<std::string> baseNames;
    for (std::int64_t page = 1; page <= pages; ++page) {
      names.push_back(newStagedOutputName(extension));
      baseNames.push_back(baseName + " page " + std::to_string(page));
    }
    stopIfInterrupted();
    plan = session.staging_.plan(destination, names, true);
    session.staging_.prepare(session.onDestination(destination), destination, *plan);
    stopIfInterrupted();
    {
      const UniqueFd staging = session.staging_.openStaging(destination, *plan);
      json render = requestEnvelope(jpeg ? HelperOperation::pdfPagesToJPEG : HelperOperation::pdfPagesToPNG);
      render["sourcePath"] = "/dev/fd/3";
      render["outputPaths"] = json::array();
      for (const std::string& name : names) render["outputPaths"].push_back("/dev/fd/4/" + name);
      render["options"] = json{{"dpi", options.dpi.value_or(144)}};
      if (jpeg) render["options"]["jpegQuality"] = options.quality.value_or(0.85);
      const json rendered = session.helper_.call(render, {{3, source.borrow()}, {4, staging.borrow()}});
      std::map<std::string, std::string> digests;
      for (const json& record : rendered.at("outputs")) {
        digests[names.at(record.at("index").get<std::size_t>())] = record.at("sha256").get<std::string>();
      }
      session.staging_.recordDigests(*plan, digests);
    }
    stopIfInterrupted();
    const std::vector<PublishedFile> files =
        session.staging_.publishSet(session.onDestination(destination), destination, *plan, baseNames, extension);
    for (std::size_t index = 0; index < files.size(); ++index) {
      session.progress(index + 1, files.size(), leafName(path), files[index].displayName);
    }
    const bool cleaned = session.removeStaging(destination, *plan, path, true);
    for (const PublishedFile& file : files) output << "Published " << file.finalPath << "\n";
    return cleaned ? 0 : 1;
  } catch (const HelperFault& fault) {
    session.report(path, fault);
    if (plan) session.removeStaging(destination, *plan, path, false);
    return fault.code() == HelperErrorCode::cancelled ? interruptedStatus : 1;
  }
}

int runImagesToPDF(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 1, static_cast<std::size_t>(HelperLimits::maximumPDFImageSources));
  requireDestination(options);
  if (options.name.empty()) throw UsageError{"images-to-pdf needs --name BASE."};
  Session session(options, output, errors);
  const Destination destination = Destination::open(options.destination);
  std::optional<StagingPlan> plan;
  std::string subject = options.name;
  try {
    // Sources on 3, 5, 6, ...: descriptor 4 is always the staging directory.
    std::vector<UniqueFd> sources;
    DescriptorMap descriptors;
    json build = requestEnvelope(HelperOperation::imagesToPDF);
    build["sourcePaths"] = json::array();
    int number = 3;
    for (const std::string& path : options.sources) {
      subject = path;
      sources.push_back(openSource(path));
      descriptors.emplace(number, sources.back().borrow());
      build["sourcePaths"].push_back("/dev/fd/" + std::to_string(number));
      number = number == 3 ? 5 : number + 1;
    }
    subject = options.name;
    session.greet(session.onDestination(destination));
    stopIfInterrupted();
    plan = session.staging_.plan(destination, {newStagedOutputName(StagedOutputExtension::pdf)}, false);
    session.staging_.prepare(session.onDestination(destination), destination, *plan);
    stopIfInterrupted();
    {
      const UniqueFd staging = session.staging_.openStaging(destination, *plan);
      descriptors.emplace(4, staging.borrow());
      build["outputPath"] = "/dev/fd/4/" + plan->outputNames.at(0);
      const json built = session.helper_.call(build, descriptors);
      session.staging_.recordDigests(*plan,
                                     {{plan->outputNames.at(0), built.at("outputs").at(0).at("sha256").get<std::string>()}});
    }
    stopIfInterrupted();
    const PublishedFile file = session.staging_.publish(session.onDestination(destination), destination, *plan,
                                                        options.name, StagedOutputExtension::pdf);
    for (std::size_t index = 0; index < options.sources.size(); ++index) {
      session.progress(index + 1, options.sources.size(), leafName(options.sources[index]), file.displayName);
    }
    const bool cleaned = session.removeStaging(destination, *plan, options.name, true);
    output << "Published " << file.finalPath << "\n";
    return cleaned ? 0 : 1;
  } catch (const HelperFault& fault) {
    session.report(subject, fault);
    if (plan) session.removeStaging(destination, *plan, options.name, false);
    return fault.code() == HelperErrorCode::cancelled ? interruptedStatus : 1;
  }
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
  Session session(options, output, errors);
  const std::string& path = options.sources.front();
  try {
    const UniqueFd source = openSource(path);
    char head[5] = {};
    const ssize_t got = ::pread(source.get(), head, sizeof head, 0);
    const bool pdf = got == 5 && std::string_view(head, 5) == "%PDF-";
    json inspect = requestEnvelope(pdf ? HelperOperation::inspectPDF : HelperOperation::inspectImage);
    inspect["sourcePath"] = "/dev/fd/3";
    const std::unique_ptr<HelperSession> helper = session.helper_.start({{3, source.borrow()}});
    const json response = helper->send(inspect);
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
    session.report(path, fault);
    return 1;
  }
}

int runCleanup(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 0, 0);
  Session session(options, output, errors);
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
      session.report(subject, fault);
      failed = true;
    }
  }
  if (cleaned == 0 && inUse == 0 && !failed) output << "Nothing to clean up.\n";
  return failed ? 1 : 0;
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
        [--max-width N] [--max-height N] [--strip-metadata]
      Converts each still image (JPEG, PNG, TIFF, WebP, GIF, BMP, AVIF) to
      FORMAT: jpeg, png, tiff, avif, gif or bmp. The output is named after the
      source without its extension, or BASE (several sources with one BASE
      become BASE, BASE 2, ...). --quality is 0.6 to 1.0 (default 0.85);
      --max-width and --max-height scale down to fit; metadata is kept unless
      --strip-metadata removes it (GPS position included).

  inspect SOURCE [--json]
      Describes an image, or a PDF when the file starts with "%PDF-". --json
      prints the helper's response line as it is.

  pdf-pages SOURCE --to png|jpeg --dest DIR [--name BASE] [--dpi N] [--quality Q]
      Renders every page (at most 96) at N dots per inch (36 to 300, default
      144); JPEG quality is 0.6 to 0.95 (default 0.85). Pages are published as
      one set named "BASE page 1.png", "BASE page 2.png", ...; if any of those
      names is taken, the whole set moves to the next free index together, as
      "BASE page 1 2.png", "BASE page 2 2.png", ...

  images-to-pdf SOURCE... --dest DIR --name BASE
      Builds one PDF with a page per image (at most 500 images), published as
      "BASE.pdf".

  cleanup [--dest DIR]
      Removes the staging directories that an interrupted run left behind
      (all of them, or only those in DIR), using the recovery journal. An output
      that was already published stays; nothing unpublished is ever kept.

Options for every command:
  --helper PATH    the helper to run (default: quorvantelmic-helper next to this
                   program, or in ../helper/ beside it)
  --journal DIR    the recovery journal (default:
                   $XDG_STATE_HOME/quorvantelmic-convert/journal, or
                   ~/.local/state/quorvantelmic-convert/journal)
  --quiet, -q      no progress lines on standard error
  --help, -h       this text

Progress ("[2/5] Holiday.jpg -> Holiday.png") and errors ("CODE: message", with
the helper's own code and message) go to standard error; the published paths
go to standard output. Ctrl-C stops a run after the step under way and removes
what it has not published. Exit status: 0 when everything was done, 1 when
something failed, 2 for a command line that cannot be run, 130 when interrupted.
)";
}

int runConvertCommand(const std::vector<std::string>& arguments, std::ostream& output, std::ostream& errors) {
  try {
    const Options options = parseOptions(arguments);
    if (options.help) {
      output << convertUsage();
      return 0;
    }
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
    errors << "quorvantelmic-convert: " << wireString(fault.code()) << ": " << fault.message() << "\n";
    return 1;
  } catch (const nlohmann::json::exception&) {
    // A success response without the fields its operation must carry.
    errors << "quorvantelmic-convert: internal-error: The helper answered with something that is not a response.\n"
           << "Run quorvantelmic-convert cleanup to remove what this run left.\n";
    return 1;
  }
}

}  // namespace quorvantelmic
