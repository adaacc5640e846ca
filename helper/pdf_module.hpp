// The PDF operations, opened from their module beside the helper's own
// executable on the first PDF request. The module links poppler, qpdf and what
// they pull in (about 40 shared objects); the helper's own code it uses (image
// decoding, the file access layer, the protocol types) it finds in the
// helper, which exports it.
#pragma once

#include <string>

#include "helper_core/session/pdf_route.hpp"

namespace quorvantelmic {

// The function the module exports, taking no arguments and returning its
// route (`const PDFRoute*`, never null).
inline constexpr const char* pdfModuleEntry = "quorvantelmicPDFRoute";

class PDFModule final : public PDFRoute {
 public:
  // Nothing is opened yet; `path` is the module's absolute path.
  explicit PDFModule(std::string path) : path_(std::move(path)) {}

  // Loads the module if it is not loaded yet. A module that cannot be loaded
  // (not installed, or not this helper's build) fails the request with
  // unsupported-source and the loader's reason; the next PDF request tries
  // again.
  HelperResponse execute(const HelperRequest& request) const override;

  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
  // Once found, for the life of the process: the module is never unloaded,
  // since poppler keeps process-wide state that must outlive any request.
  mutable const PDFRoute* loaded_ = nullptr;
};

}  // namespace quorvantelmic
