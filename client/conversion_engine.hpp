// The job engine both front ends drive: it converts images, renders the pages
// of a PDF and builds a PDF from images through the real helper, each item
// staged, converted in a helper process of its own, published and its staging
// removed, several items at once. What happens is told to an observer as it
// happens; a Cancellation stops the run (the step under way finishes, nothing
// more is published, what was staged is removed).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/cancellation.hpp"
#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {

// A job that cannot be run as asked (a missing destination, an unknown
// format): nothing was started. The message is a sentence for the user.
struct JobError {
  std::string message;
};

enum class OnConflict { rename, skip };

// What to convert and how. Empty and unset fields take the defaults.
struct ConversionJob {
  std::vector<std::string> sources;
  std::string helper;       // the helper binary; empty: locateHelper's search
  std::string journal;      // the recovery journal's folder; empty: the default
  std::string destination;  // the folder outputs are published in
  std::string name;         // the base name of outputs; empty: each source's own
  std::string target;       // jpeg, png, tiff, avif, gif or bmp (lowercase)
  std::optional<double> quality;
  std::optional<std::int64_t> maximumWidth;
  std::optional<std::int64_t> maximumHeight;
  std::optional<std::int64_t> dpi;
  std::optional<std::int64_t> firstPage;
  std::optional<std::int64_t> lastPage;
  unsigned jobs = 0;  // conversions at once; 0: one per online processor
  std::chrono::seconds patience {120};
  OnConflict onConflict = OnConflict::rename;
  bool recursive = false;
  bool makeDestination = false;
  bool privateOutputs = false;
  bool stripMetadata = false;
};

// Told what a run does, from whichever worker thread does it. An item is an
// image of a conversion batch, a group of pages of a PDF, or the one PDF
// built from images, numbered from 0 in the order of the sources.
class ConversionObserver {
 public:
  virtual ~ConversionObserver() = default;
  // The number of items, once the sources are known.
  virtual void itemsCounted(std::size_t total) = 0;
  // The item's work begins: its source's name and the name it is meant to get.
  virtual void itemStarted(std::size_t item, const std::string& from, const std::string& to) = 0;
  // A file of the item was published (a group of pages publishes several).
  virtual void itemPublished(std::size_t item, const std::string& path) = 0;
  // Something failed: the reason in plain words, with the helper's own fault
  // when it had one. No item when the failure concerns the whole run.
  virtual void itemFailed(std::optional<std::size_t> item, const std::string& subject, const std::string& reason,
                          const HelperFault* fault) = 0;
  // The item's work is over, however it ended.
  virtual void itemEnded(std::size_t item) = 0;
  // A remark about the run ("skipped; Holiday.png is already there").
  virtual void note(const std::string& line) = 0;
  // The closing count of a batch ("3 converted, 1 failed").
  virtual void summary(const std::string& line) = 0;
};

enum class RunOutcome {
  done,     // everything asked for was published
  failed,   // something failed (and was told to the observer)
  stopped,  // the run was cancelled
};

// Converts every source (a folder stands for the images in it) to
// job.target; outputs are published in the order of the sources. Throws
// JobError for a job that cannot start, HelperFault when the helper or the
// journal cannot be found.
RunOutcome convertImages(const ConversionJob& job, ConversionObserver& observer, Cancellation& cancellation);

// Renders the pages of the one PDF source as PNG (target "png") or JPEG
// ("jpeg") images, published as a set named "BASE page N.ext".
RunOutcome renderPDFPages(const ConversionJob& job, ConversionObserver& observer, Cancellation& cancellation);

// Builds one PDF, job.name + ".pdf", with a page for each image source.
RunOutcome buildPDF(const ConversionJob& job, ConversionObserver& observer, Cancellation& cancellation);

// The helper's description of one source, from inspect-pdf when the file
// starts with "%PDF-", else inspect-image.
struct Inspection {
  bool pdf = false;
  nlohmann::json response;   // the helper's response (ok or not)
  std::string responseLine;  // exactly as the helper wrote it
  std::string head;          // the source's first bytes, for plainReason
};

// Throws HelperFault when the source cannot be opened or the helper fails;
// a refusal by the helper is returned in the response.
Inspection inspectSource(const ConversionJob& job, const std::string& path, Cancellation& cancellation);

// Why the helper refused a source, in words for the person converting it;
// `head` holds the source's first bytes, `destination` the folder's path.
std::string plainReason(const HelperFault& fault, const std::string& head = {}, const std::string& destination = {});

// The fault carried by a response with "ok": false.
HelperFault faultOf(const nlohmann::json& response);

// Whether a file in a folder is taken as an image by its name's extension.
bool looksLikeImage(const std::string& name);

// The source's file name as it is shown: lossy for names that are not UTF-8.
std::string shownName(const std::string& path);

}  // namespace quorvantelmic
