// The exiv2 side of metadata: reading EXIF, IPTC and XMP from a container or
// from blobs into the property tree and the XMP tag list, and preparing the
// blobs a destination writes. Every exiv2 call runs under one process-wide
// lock, because exiv2's XMP toolkit and tag tables are not safe to use from
// two threads, and exiv2's own log output is silenced.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "helper_core/image/platform/format_unit.hpp"

namespace quorvantelmic::detail {

std::unique_lock<std::mutex> lockExiv2();

struct ReadMetadata {
  PropertyDictionary exif;
  PropertyDictionary tiff;
  PropertyDictionary gps;
  PropertyDictionary iptc;
  std::vector<std::pair<std::string, PropertyDictionary>> unsupported;
  std::optional<PropertyValue> exifOrientation;
  std::vector<ImageMetadataTag> xmpTags;
  std::optional<double> gainMapHeadroom;
  bool xmpDeclaresGainMap = false;
  bool xmpDeclaresDepth = false;
  std::shared_ptr<const ImageMetadata::Contents> contents;  // null when there is no metadata
};

// Reads the metadata of frame 0. Unreadable metadata reads as none. Never
// throws where the adapter is linked; the helper, which opens it from a module
// on first use, fails here when the module cannot be loaded.
ReadMetadata readMetadata(const ContainerDescription& description, const SharedBytes& bytes);

// The blobs an output carries, with the source's structural tags removed and
// the output's own orientation and pixel size recorded.
struct OutputMetadataBlobs {
  ImageBytes exifTiff;   // TIFF structure, no "Exif\0\0" prefix; empty when there is no EXIF
  std::string xmpPacket;  // empty when there is no XMP
  ImageBytes iptcIim;    // IPTC-IIM records; empty when there is no IPTC
  ImageBytes photoshopIrb;  // the IPTC wrapped as a Photoshop resource block (JPEG APP13, PNG)
};

std::optional<OutputMetadataBlobs> outputMetadataBlobs(const ImageMetadata& metadata, int orientation,
                                                      std::size_t width, std::size_t height);

// A TIFF-structure EXIF blob holding only an orientation.
std::optional<ImageBytes> exifWithOrientationOnly(int orientation);

// Picture tags of IFD0 that exiv2 counts among a TIFF file's own image tags:
// it keeps them as the TIFF writer wrote them and never takes them from the
// EXIF it is given, so the TIFF writer has to write them itself.
struct TiffPictureTags {
  std::optional<float> xResolution;
  std::optional<float> yResolution;
  std::optional<std::uint16_t> resolutionUnit;
  std::optional<std::array<std::uint16_t, 2>> pageNumber;
  std::optional<std::array<float, 2>> whitePoint;
  std::optional<std::array<float, 6>> primaryChromaticities;
  // libtiff takes rational tags as floats and writes the nearest binary
  // fraction (3127/10000 becomes 10492471/33554432). The source's own
  // fractions, by tag number, for the rational tags above that it stores as
  // unsigned rationals, so that the encoder can put them back.
  struct ExactRational {
    std::uint16_t tag = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> fractions;
  };
  std::vector<ExactRational> exactRationals;
};
TiffPictureTags tiffPictureTags(const ImageMetadata& metadata);

// Writes EXIF (IFD0 user tags, EXIF and GPS), IPTC and XMP into an encoded TIFF
// in place. False when exiv2 refuses.
bool writeTiffMetadata(ImageBytes& tiff, const ImageMetadata& metadata, int orientation, std::size_t width,
                       std::size_t height);

}  // namespace quorvantelmic::detail
