#include "helper/metadata_module.hpp"

#include <utility>

#include "helper/module_path.hpp"
#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {
namespace {

struct LoadOutcome {
  const MetadataFunctions* functions = nullptr;
  std::string reason;  // why it did not load, when functions is null
};

LoadOutcome loadModule(const std::string& path) {
  const OpenedModule opened = openModule(path, metadataModuleEntry, "metadata");
  return {static_cast<const MetadataFunctions*>(opened.entryResult), opened.reason};
}

// The adapter's callers reach it through free functions, so the module is
// looked for once per process, on the first call that needs it, and the
// outcome never changes afterwards. Its path is found as the process entry
// found it for the confinement (reading /proc/self/exe stays allowed). Once
// loaded, the module stays for the life of the process: the metadata it read
// is held by images, and exiv2's registries are process-wide.
const LoadOutcome& module() {
  static const LoadOutcome outcome = loadModule(modulePathBesideExecutable(QUORVANTELMIC_METADATA_MODULE_NAME));
  return outcome;
}

// For the functions that have no way to fail but throwing.
const MetadataFunctions& requireModule() {
  const LoadOutcome& outcome = module();
  if (outcome.functions == nullptr) {
    throw HelperFault(HelperErrorCode::unsupportedSource,
                      "Image metadata support could not be loaded: " + outcome.reason + ".");
  }
  return *outcome.functions;
}

}  // namespace

// Contents exist only once the module has made them, so it is loaded here
// whenever there are tags to copy.
std::vector<ImageMetadataTag> ImageMetadata::copyTags() const {
  const MetadataFunctions* functions = module().functions;
  if (functions == nullptr) return {};
  return functions->copyTags(*this);
}

namespace detail {

std::unique_lock<std::mutex> lockExiv2() { return requireModule().lockExiv2(); }

ReadMetadata readMetadata(const ContainerDescription& description, const SharedBytes& bytes) {
  return requireModule().readMetadata(description, bytes);
}

std::optional<OutputMetadataBlobs> outputMetadataBlobs(const ImageMetadata& metadata, int orientation,
                                                      std::size_t width, std::size_t height) {
  const MetadataFunctions* functions = module().functions;
  if (functions == nullptr) return std::nullopt;
  return functions->outputMetadataBlobs(metadata, orientation, width, height);
}

std::optional<ImageBytes> exifWithOrientationOnly(int orientation) {
  const MetadataFunctions* functions = module().functions;
  if (functions == nullptr) return std::nullopt;
  return functions->exifWithOrientationOnly(orientation);
}

// Without the module no tags can be told; the TIFF encoder then fails on
// writeTiffMetadata below, as it does when exiv2 refuses.
TiffPictureTags tiffPictureTags(const ImageMetadata& metadata) {
  const MetadataFunctions* functions = module().functions;
  if (functions == nullptr) return {};
  return functions->tiffPictureTags(metadata);
}

bool writeTiffMetadata(ImageBytes& tiff, const ImageMetadata& metadata, int orientation, std::size_t width,
                       std::size_t height) {
  const MetadataFunctions* functions = module().functions;
  if (functions == nullptr) return false;
  return functions->writeTiffMetadata(tiff, metadata, orientation, width, height);
}

}  // namespace detail
}  // namespace quorvantelmic
