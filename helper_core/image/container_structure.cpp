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

namespace {

// The children of a box's payload, by type (the first of each type).
struct BoxRange {
  std::uint64_t start = 0;  // first byte after the header (and a full box's version and flags)
  std::uint64_t end = 0;
  std::uint8_t version = 0;
};

std::optional<BoxRange> findChildBox(ByteView bytes, std::uint64_t start, std::uint64_t end, std::string_view type,
                                     bool fullBox) {
  std::uint64_t position = start;
  while (position < end) {
    const std::optional<BmffBoxHeader> header = readBmffBoxHeader(bytes, position, end - position);
    if (!header) return std::nullopt;
    if (header->type == type) {
      BoxRange range{position + header->headerSize, position + header->boxSize, 0};
      if (fullBox) {
        if (range.end - range.start < 4) return std::nullopt;
        range.version = bytes[range.start];
        range.start += 4;
      }
      return range;
    }
    position += header->boxSize;
  }
  return std::nullopt;
}

// A cursor over big-endian fields of varying width inside [position, end).
struct FieldReader {
  ByteView bytes;
  std::uint64_t position;
  std::uint64_t end;

  std::optional<std::uint64_t> next(int byteCount) {
    if (byteCount == 0) return 0;
    if (!rangeFits(end, position, static_cast<std::uint64_t>(byteCount))) return std::nullopt;
    const std::optional<std::uint64_t> value = bigEndianInteger(bytes, position, byteCount);
    position += static_cast<std::uint64_t>(byteCount);
    return value;
  }
};

std::optional<std::uint64_t> primaryItemId(ByteView bytes, const BoxRange& meta) {
  const std::optional<BoxRange> pitm = findChildBox(bytes, meta.start, meta.end, "pitm", true);
  if (!pitm) return std::nullopt;
  FieldReader reader{bytes, pitm->start, pitm->end};
  return reader.next(pitm->version == 0 ? 2 : 4);
}

// The item type of `item` from its "infe" entry (version 2 or 3).
std::optional<std::string> itemType(ByteView bytes, const BoxRange& meta, std::uint64_t item) {
  const std::optional<BoxRange> iinf = findChildBox(bytes, meta.start, meta.end, "iinf", true);
  if (!iinf) return std::nullopt;
  std::uint64_t position = iinf->start + (iinf->version == 0 ? 2 : 4);
  while (position < iinf->end) {
    const std::optional<BmffBoxHeader> header = readBmffBoxHeader(bytes, position, iinf->end - position);
    if (!header) return std::nullopt;
    if (header->type == "infe" && header->boxSize >= header->headerSize + 4) {
      const std::uint64_t body = position + header->headerSize;
      const std::uint8_t version = bytes[body];
      FieldReader reader{bytes, body + 4, position + header->boxSize};
      if (version == 2 || version == 3) {
        const std::optional<std::uint64_t> id = reader.next(version == 2 ? 2 : 4);
        const std::optional<std::uint64_t> protection = reader.next(2);
        if (!id || !protection) return std::nullopt;
        if (*id == item) return asciiString(bytes, reader.position, 4);
      }
    }
    position += header->boxSize;
  }
  return std::nullopt;
}

// Where the first extent of `item`'s data starts, as an offset into the file.
std::optional<std::uint64_t> itemDataOffset(ByteView bytes, const BoxRange& meta, std::uint64_t item) {
  const std::optional<BoxRange> iloc = findChildBox(bytes, meta.start, meta.end, "iloc", true);
  if (!iloc || iloc->version > 2) return std::nullopt;
  FieldReader reader{bytes, iloc->start, iloc->end};
  const std::optional<std::uint64_t> sizes = reader.next(1);
  const std::optional<std::uint64_t> moreSizes = reader.next(1);
  if (!sizes || !moreSizes) return std::nullopt;
  const int offsetSize = static_cast<int>(*sizes >> 4);
  const int lengthSize = static_cast<int>(*sizes & 0x0F);
  const int baseOffsetSize = static_cast<int>(*moreSizes >> 4);
  const int indexSize = iloc->version >= 1 ? static_cast<int>(*moreSizes & 0x0F) : 0;
  const auto validSize = [](int n) { return n == 0 || n == 4 || n == 8; };
  if (!validSize(offsetSize) || !validSize(lengthSize) || !validSize(baseOffsetSize) || !validSize(indexSize)) {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> count = reader.next(iloc->version < 2 ? 2 : 4);
  if (!count) return std::nullopt;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const std::optional<std::uint64_t> id = reader.next(iloc->version < 2 ? 2 : 4);
    const std::optional<std::uint64_t> method = iloc->version >= 1 ? reader.next(2) : std::optional<std::uint64_t>(0);
    const std::optional<std::uint64_t> reference = reader.next(2);
    const std::optional<std::uint64_t> base = reader.next(baseOffsetSize);
    const std::optional<std::uint64_t> extents = reader.next(2);
    if (!id || !method || !reference || !base || !extents) return std::nullopt;
    std::optional<std::uint64_t> first;
    for (std::uint64_t e = 0; e < *extents; ++e) {
      const std::optional<std::uint64_t> index = reader.next(indexSize);
      const std::optional<std::uint64_t> offset = reader.next(offsetSize);
      const std::optional<std::uint64_t> length = reader.next(lengthSize);
      if (!index || !offset || !length) return std::nullopt;
      if (e == 0) first = offset;
    }
    if (*id != item) continue;
    if (!first || *reference != 0) return std::nullopt;
    const std::uint64_t relative = *base + *first;
    if (relative < *base) return std::nullopt;
    switch (*method & 0x0F) {
      case 0:
        return relative;
      case 1: {
        const std::optional<BoxRange> idat = findChildBox(bytes, meta.start, meta.end, "idat", false);
        if (!idat || relative > idat->end - idat->start) return std::nullopt;
        return idat->start + relative;
      }
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<PrimaryItemGrid> primaryItemGrid(ByteView bytes) {
  const std::optional<BoxRange> meta = findChildBox(bytes, 0, bytes.size(), "meta", true);
  if (!meta) return std::nullopt;
  const std::optional<std::uint64_t> primary = primaryItemId(bytes, *meta);
  if (!primary) return std::nullopt;
  const std::optional<std::string> type = itemType(bytes, *meta, *primary);
  if (!type) return std::nullopt;
  if (*type != "grid") return PrimaryItemGrid{};
  const std::optional<std::uint64_t> record = itemDataOffset(bytes, *meta, *primary);
  if (!record) return std::nullopt;
  // ImageGrid: version, flags (bit 0: 32-bit sizes), rows - 1, columns - 1,
  // output width, output height.
  FieldReader reader{bytes, *record, bytes.size()};
  const std::optional<std::uint64_t> version = reader.next(1);
  const std::optional<std::uint64_t> flags = reader.next(1);
  if (!version || !flags || *version != 0 || !reader.next(2)) return std::nullopt;
  const int fieldSize = (*flags & 1) != 0 ? 4 : 2;
  const std::optional<std::uint64_t> width = reader.next(fieldSize);
  const std::optional<std::uint64_t> height = reader.next(fieldSize);
  if (!width || !height) return std::nullopt;
  return PrimaryItemGrid{true, *width, *height};
}

}  // namespace quorvantelmic
