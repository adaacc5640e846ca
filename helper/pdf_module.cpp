#include "helper/pdf_module.hpp"

#include <dlfcn.h>

#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {

HelperResponse PDFModule::execute(const HelperRequest& request) const {
  if (loaded_ == nullptr) {
    // RTLD_NOW: a module whose symbols do not all resolve against this helper
    // and its libraries is refused here, whole, rather than failing halfway
    // through a request. RTLD_LOCAL: nothing of it is visible to anything
    // loaded later.
    void* handle = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* reason = ::dlerror();
      throw HelperFault(HelperErrorCode::unsupportedSource,
                        std::string("PDF support could not be loaded: ") +
                            (reason != nullptr ? reason : "the module did not open") + ".");
    }
    using Entry = const PDFRoute* (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(handle, pdfModuleEntry));
    const PDFRoute* route = entry != nullptr ? entry() : nullptr;
    if (route == nullptr) {
      (void)::dlclose(handle);
      throw HelperFault(HelperErrorCode::unsupportedSource,
                        "PDF support could not be loaded: " + path_ + " is not this helper's PDF module.");
    }
    // The handle stays open for the life of the process (see loaded_).
    loaded_ = route;
  }
  return loaded_->execute(request);
}

}  // namespace quorvantelmic
