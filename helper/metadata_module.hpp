// Image metadata (EXIF, IPTC, XMP through exiv2), opened from its module
// beside the helper's own executable on first use. exiv2 builds its tag
// tables when it is loaded, a few milliseconds that every helper paid at start
// although a session that only stages or publishes never reads metadata.
//
// The helper does not link the metadata adapter: metadata_module.cpp defines
// the adapter's functions (metadata_exiv2.hpp) in its place and forwards each
// call to the module, loading it on the first call. Tests and tools link the
// adapter itself.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "helper_core/image/platform/metadata_exiv2.hpp"

namespace quorvantelmic {

// The function the module exports, taking no arguments and returning its
// table (`const MetadataFunctions*`, never null).
inline constexpr const char* metadataModuleEntry = "quorvantelmicMetadataFunctions";

// The adapter's functions as the module holds them. ImageMetadata::copyTags
// is among them because only the adapter knows the layout of the contents it
// made.
struct MetadataFunctions {
  std::unique_lock<std::mutex> (*lockExiv2)();
  detail::ReadMetadata (*readMetadata)(const detail::ContainerDescription&, const detail::SharedBytes&);
  std::optional<detail::OutputMetadataBlobs> (*outputMetadataBlobs)(const ImageMetadata&, int, std::size_t,
                                                                    std::size_t);
  std::optional<ImageBytes> (*exifWithOrientationOnly)(int);
  detail::TiffPictureTags (*tiffPictureTags)(const ImageMetadata&);
  bool (*writeTiffMetadata)(ImageBytes&, const ImageMetadata&, int, std::size_t, std::size_t);
  std::vector<ImageMetadataTag> (*copyTags)(const ImageMetadata&);
};

// The module is found beside the helper's executable and loaded on the first
// call that needs it. A module that cannot be loaded (not installed, or not
// this helper's build) fails the request that needed it: reading a source's
// metadata throws unsupported-source with the loader's reason, and preparing
// an output's metadata fails as a refusal by exiv2 does.

}  // namespace quorvantelmic
