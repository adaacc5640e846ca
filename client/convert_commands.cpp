#include "client/convert_commands.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <ostream>

#include <nlohmann/json.hpp>

#include "client/base_name.hpp"
#include "client/conversion_engine.hpp"
#include "client/helper_process.hpp"
#include "client/recovery_journal.hpp"
#include "client/reporter.hpp"
#include "client/staging_client.hpp"
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

// The job, and how the command line shows it.
struct Options : ConversionJob {
  std::string command;
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

void requireSources(const Options& options, std::size_t minimum, std::size_t maximum) {
  if (options.sources.size() < minimum) throw UsageError{options.command + " needs a source file."};
  if (options.sources.size() > maximum) {
    throw UsageError{options.command + " takes at most " + std::to_string(maximum) + " source files."};
  }
}

// The helper's path, found once for the commands that start it themselves;
// the journal's place is checked as every command checks it.
ConversionJob locatedJob(const Options& options) {
  ConversionJob job = options;
  job.helper = locateHelper(options.helper);
  RecoveryJournal::open(options.journal);
  return job;
}

int runInspect(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 1, 1);
  const ConversionJob job = locatedJob(options);
  Reporter reporter(output, errors, options.quiet, options.verbose);
  const std::string& path = options.sources.front();
  std::string head;
  try {
    const Inspection inspection = inspectSource(job, path, InterruptWatcher::cancellation());
    head = inspection.head;
    if (options.json) {
      output << inspection.responseLine << "\n";
      return inspection.response.at("ok") == true ? 0 : 1;
    }
    if (inspection.response.at("ok") == false) throw faultOf(inspection.response);
    if (inspection.pdf) {
      printPDFProbe(path, inspection.response.at("pdfProbe"), output);
    } else {
      printImageProbe(path, inspection.response.at("probe"), output);
    }
    return 0;
  } catch (const HelperFault& fault) {
    if (InterruptWatcher::stopping()) return interruptedStatus;
    reporter.failed(shownName(path), plainReason(fault, head), &fault);
    return 1;
  }
}

int runCleanup(const Options& options, std::ostream& output, std::ostream& errors) {
  requireSources(options, 0, 0);
  const HelperProcess helper(locateHelper(options.helper), &InterruptWatcher::cancellation());
  RecoveryJournal journal = RecoveryJournal::open(options.journal);
  const StagingClient staging(journal);
  Reporter reporter(output, errors, options.quiet, options.verbose);
  std::optional<Destination> only;
  if (!options.destination.empty()) only = Destination::open(options.destination);
  std::vector<std::string> unreadable;
  const std::vector<StagingPlan> plans = journal.entries(&unreadable);
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
      if (!journal.claim(plan)) {
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
      const std::unique_ptr<HelperSession> session = helper.start({{3, destination.descriptor.borrow()}});
      staging.cleanup(*session, destination, plan);
      output << "Cleaned up " << subject << "\n";
      ++cleaned;
    } catch (const HelperFault& fault) {
      reporter.failed(subject, plainReason(fault), &fault);
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
    const json hello = HelperProcess(helper, &InterruptWatcher::cancellation())
                           .start({}, true)
                           ->call(requestEnvelope(HelperOperation::hello), std::chrono::seconds(30));
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

int usageFailure(const std::string& message, std::ostream& errors) {
  errors << "quorvantelmic-convert: " << message << "\n"
         << "Run quorvantelmic-convert --help for the commands.\n";
  return 2;
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
      Pages render in runs of at most 96, one run per worker at a time (-j),
      published in page order.

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
    if (options.command == "inspect") return runInspect(options, output, errors);
    if (options.command == "cleanup") return runCleanup(options, output, errors);
    const auto run = options.command == "image"       ? &convertImages
                     : options.command == "pdf-pages" ? &renderPDFPages
                     : options.command == "images-to-pdf"
                         ? &buildPDF
                         : nullptr;
    if (run == nullptr) throw UsageError{"Unknown command " + options.command + "."};
    Reporter reporter(output, errors, options.quiet, options.verbose);
    switch (run(options, reporter, InterruptWatcher::cancellation())) {
      case RunOutcome::done: return 0;
      case RunOutcome::failed: return 1;
      case RunOutcome::stopped: return interruptedStatus;
    }
    return 1;
  } catch (const UsageError& error) {
    return usageFailure(error.message, errors);
  } catch (const JobError& error) {
    return usageFailure(error.message, errors);
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
