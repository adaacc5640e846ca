#include "helper/pdf_module.hpp"

#include "helper/module_path.hpp"
#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {

HelperResponse PDFModule::execute(const HelperRequest& request) const {
  if (loaded_ == nullptr) {
    const OpenedModule opened = openModule(path_, pdfModuleEntry, "PDF");
    if (opened.entryResult == nullptr) {
      throw HelperFault(HelperErrorCode::unsupportedSource, "PDF support could not be loaded: " + opened.reason + ".");
    }
    loaded_ = static_cast<const PDFRoute*>(opened.entryResult);
  }
  return loaded_->execute(request);
}

}  // namespace quorvantelmic
