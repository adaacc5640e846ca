// The one symbol the metadata module exports: the metadata adapter's
// functions, which the helper's forwarder calls.
#include "helper/metadata_module.hpp"

extern "C" __attribute__((visibility("default"))) const quorvantelmic::MetadataFunctions*
quorvantelmicMetadataFunctions() {
  using namespace quorvantelmic;
  static const MetadataFunctions functions{
      &detail::lockExiv2,
      &detail::readMetadata,
      &detail::outputMetadataBlobs,
      &detail::exifWithOrientationOnly,
      &detail::tiffPictureTags,
      &detail::writeTiffMetadata,
      [](const ImageMetadata& metadata) { return metadata.copyTags(); },
  };
  return &functions;
}
