#include "helper_core/image/container_structure.hpp"

#include <algorithm>
#include <array>
#include <optional>

namespace quorvantelmic {
namespace {

bool brandMatches(ByteView bytes, std::uint64_t offset, const BrandSet& expected) {
  const std::optional<std::string> brand = asciiString(bytes, offset, 4);
  return brand && expected.contains(*brand);
}

}  // namespace

const BrandSet& avifBrands() {
  static const BrandSet brands = {"avif", "avis"};
  return brands;
}

const BrandSet& heicBrands() {
  static const BrandSet brands = {"heic", "heix", "hevc", "hevx"};
  return brands;
}

bool hasCompleteContainerSignature(ByteView bytes, RasterTargetTypeIdentifier target) {
  const std::uint64_t size = bytes.size();
  switch (target) {
    case RasterTargetTypeIdentifier::jpeg:
      return size >= 4 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[size - 2] == 0xFF && bytes[size - 1] == 0xD9;
    case RasterTargetTypeIdentifier::png:
      return completePNGStructure(bytes);
    case RasterTargetTypeIdentifier::tiff:
      return size >= 8 && ((bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 0x2A && bytes[3] == 0x00) ||
                           (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0x00 && bytes[3] == 0x2A));
    case RasterTargetTypeIdentifier::avif:
      return completeBmffStructure(bytes, avifBrands());
    case RasterTargetTypeIdentifier::heic:
      return completeBmffStructure(bytes, heicBrands());
    case RasterTargetTypeIdentifier::gif: {
      if (size < 14) return false;
      const std::optional<std::string> signature = asciiString(bytes, 0, 6);
      if (!signature || (*signature != "GIF87a" && *signature != "GIF89a")) return false;
      const bool hasWidth = bytes[6] != 0 || bytes[7] != 0;
      const bool hasHeight = bytes[8] != 0 || bytes[9] != 0;
      return hasWidth && hasHeight && bytes[size - 1] == 0x3B;
    }
    case RasterTargetTypeIdentifier::bmp:
      return size >= 54 && bytes[0] == 'B' && bytes[1] == 'M' && integer(bytes, 2, 4, true) == size;
  }
  return false;
}

bool completePNGStructure(ByteView bytes) {
  static constexpr std::array<std::uint8_t, 8> signature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  const std::uint64_t size = bytes.size();
  if (size < 20 || !std::equal(signature.begin(), signature.end(), bytes.begin())) return false;
  std::uint64_t position = 8;
  bool first = true;
  bool sawData = false;
  while (size - position >= 12) {
    const std::uint64_t length = *bigEndianInteger(bytes, position, 4);
    if (length > size - position - 12) return false;
    const std::optional<std::string> type = asciiString(bytes, position + 4, 4);
    if (!type) return false;
    if (first && (*type != "IHDR" || length != 13)) return false;
    first = false;
    if (*type == "IDAT") sawData = true;
    if (*type == "IEND") return length == 0 && sawData && position + 12 == size;
    position += length + 12;
  }
  return false;
}

bool completeBmffStructure(ByteView bytes, const BrandSet& expectedBrands) {
  const std::uint64_t size = bytes.size();
  if (size < 16) return false;
  std::uint64_t position = 0;
  bool sawFileType = false;
  bool brandMatched = false;
  bool sawContent = false;
  while (position < size) {
    const std::uint64_t remaining = size - position;
    if (remaining < 8) return false;
    const std::optional<BmffBoxHeader> header = readBmffBoxHeader(bytes, position, remaining);
    if (!header) return false;
    const std::string& type = header->type;
    const std::uint64_t headerSize = header->headerSize;
    const std::uint64_t boxSize = header->boxSize;

    if (type == "ftyp") {
      if (position != 0 || sawFileType) return false;
      if (boxSize < headerSize + 8 || boxSize % 4 != 0) return false;
      sawFileType = true;
      const std::uint64_t boxEnd = position + boxSize;
      brandMatched = brandMatches(bytes, position + headerSize, expectedBrands);
      // Compatible brands follow the major brand and the minor version.
      for (std::uint64_t brand = position + headerSize + 8; boxEnd - brand >= 4; brand += 4) {
        if (brandMatches(bytes, brand, expectedBrands)) brandMatched = true;
      }
    } else {
      if (position == 0) return false;
      if (type == "meta" || type == "mdat") sawContent = true;
    }
    position += boxSize;
  }
  return position == size && sawFileType && brandMatched && sawContent;
}

}  // namespace quorvantelmic
