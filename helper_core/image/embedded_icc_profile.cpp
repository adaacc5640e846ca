#include "helper_core/image/embedded_icc_profile.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace quorvantelmic {
namespace {

bool bytesEqual(ByteView bytes, std::uint64_t offset, std::string_view expected) {
  if (!rangeFits(bytes.size(), offset, expected.size())) return false;
  return std::memcmp(bytes.data() + offset, expected.data(), expected.size()) == 0;
}

std::optional<std::uint64_t> littleEndian(ByteView bytes, std::uint64_t offset, int byteCount) {
  return integer(bytes, offset, byteCount, true);
}

// ---------------------------------------------------------------------------
// GIF helpers

// Size of a colour table announced by a packed field whose bit 7 is set.
std::uint64_t gifColorTableBytes(std::uint8_t packed) {
  return 3u * (std::uint64_t{1} << ((packed & 7u) + 1u));
}

// Skips a chain of data sub-blocks starting at `position`; answers the
// position after the zero-length terminator, or none when a block runs past
// the end.
std::optional<std::uint64_t> skipGifSubBlocks(ByteView bytes, std::uint64_t position) {
  const std::uint64_t size = bytes.size();
  while (true) {
    if (position >= size) return std::nullopt;
    const std::uint64_t length = bytes[position];
    position += 1;
    if (length == 0) return position;
    if (!rangeFits(size, position, length)) return std::nullopt;
    position += length;
  }
}

constexpr std::string_view iccProfileIdentifier{"ICC_PROFILE\0", 12};

}  // namespace

bool embeddedIccProfileExists(ByteView bytes, std::string_view sourceType) {
  if (sourceType == "public.jpeg") return jpegContainsEmbeddedIccProfile(bytes);
  if (sourceType == "public.heic" || sourceType == "public.heif" || sourceType == "public.avif") {
    return scanBmffBoxes(bytes, 0, bytes.size(), 0);
  }
  if (sourceType == "public.png") return pngContainsEmbeddedIccProfile(bytes);
  if (sourceType == "public.tiff") return tiffContainsEmbeddedIccProfile(bytes);
  if (sourceType == "org.webmproject.webp") return webPContainsEmbeddedIccProfile(bytes);
  if (sourceType == "com.microsoft.bmp") return bmpContainsEmbeddedIccProfile(bytes);
  if (sourceType == "com.compuserve.gif") return gifContainsEmbeddedIccProfile(bytes);
  return false;
}

bool jpegContainsEmbeddedIccProfile(ByteView bytes) {
  const std::uint64_t size = bytes.size();
  if (size < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return false;
  std::uint64_t position = 2;
  while (true) {
    if (position + 1 >= size) return false;
    if (bytes[position] != 0xFF) return false;
    // Any number of FF fill bytes may precede the marker code.
    std::uint64_t markerPosition = position + 1;
    while (markerPosition < size && bytes[markerPosition] == 0xFF) ++markerPosition;
    if (markerPosition >= size) return false;
    const std::uint8_t marker = bytes[markerPosition];
    // The search ends before entropy-coded data: a profile after the start of
    // scan is not where decoders look for one.
    if (marker == 0xD9 || marker == 0xDA) return false;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
      position = markerPosition + 1;
      continue;
    }
    const std::optional<std::uint64_t> length = bigEndianInteger(bytes, markerPosition + 1, 2);
    if (!length || *length < 2 || size - (markerPosition + 1) < *length) return false;
    if (marker == 0xE2 && *length - 2 >= iccProfileIdentifier.size() &&
        bytesEqual(bytes, markerPosition + 3, iccProfileIdentifier)) {
      return true;
    }
    position = markerPosition + 1 + *length;
  }
}

bool pngContainsEmbeddedIccProfile(ByteView bytes) {
  static constexpr std::array<std::uint8_t, 8> signature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  const std::uint64_t size = bytes.size();
  if (size < 20 || !std::equal(signature.begin(), signature.end(), bytes.begin())) return false;
  std::uint64_t position = 8;
  while (true) {
    if (size - position < 12) return false;
    const std::uint64_t length = *bigEndianInteger(bytes, position, 4);
    if (length > size - position - 12) return false;
    const std::optional<std::string> type = asciiString(bytes, position + 4, 4);
    if (!type) return false;
    if (*type == "iCCP" && length > 2) return true;
    if (*type == "IEND") return false;
    position += length + 12;
  }
}

bool tiffContainsEmbeddedIccProfile(ByteView bytes) {
  static constexpr std::uint64_t iccProfileTag = 34675;
  static constexpr std::size_t maximumDirectories = 64;
  static constexpr std::uint64_t maximumEntries = 4096;
  if (bytes.size() < 8) return false;
  bool little;
  if (bytes[0] == 'I' && bytes[1] == 'I') {
    little = true;
  } else if (bytes[0] == 'M' && bytes[1] == 'M') {
    little = false;
  } else {
    return false;
  }
  if (integer(bytes, 2, 2, little) != 42u) return false;
  std::optional<std::uint64_t> directory = integer(bytes, 4, 4, little);
  if (!directory) return false;

  std::vector<std::uint64_t> visited;
  visited.reserve(maximumDirectories);
  while (true) {
    // A chain that loops or never ends stops here instead of spinning.
    if (visited.size() >= maximumDirectories) return false;
    if (std::find(visited.begin(), visited.end(), *directory) != visited.end()) return false;
    visited.push_back(*directory);

    const std::uint64_t offset = *directory;
    const std::optional<std::uint64_t> entryCount = integer(bytes, offset, 2, little);
    if (!entryCount || *entryCount > maximumEntries) return false;
    if (!rangeFits(bytes.size(), offset + 2, *entryCount * 12)) return false;
    for (std::uint64_t i = 0; i < *entryCount; ++i) {
      const std::uint64_t entry = offset + 2 + 12 * i;
      const std::optional<std::uint64_t> tag = integer(bytes, entry, 2, little);
      const std::optional<std::uint64_t> valueCount = integer(bytes, entry + 4, 4, little);
      if (!tag || !valueCount) return false;
      if (*tag == iccProfileTag && *valueCount != 0) return true;
    }
    directory = integer(bytes, offset + 2 + 12 * *entryCount, 4, little);
    if (!directory || *directory == 0) return false;
  }
}

bool bmpContainsEmbeddedIccProfile(ByteView bytes) {
  // The info header starts after the 14-byte file header; a V5 header (124
  // bytes) is the only one with profile fields.
  static constexpr std::uint64_t infoHeaderStart = 14;
  // bV5CSType PROFILE_EMBEDDED ('MBED'); PROFILE_LINKED ('LINK') points at a
  // file name instead of a profile.
  static constexpr std::uint64_t profileEmbedded = 0x4D424544;
  const std::uint64_t size = bytes.size();
  if (size < 138 || bytes[0] != 'B' || bytes[1] != 'M') return false;
  const std::uint64_t headerSize = *littleEndian(bytes, 14, 4);
  if (headerSize <= 123) return false;
  if (*littleEndian(bytes, infoHeaderStart + 56, 4) != profileEmbedded) return false;
  const std::uint64_t profileOffset = *littleEndian(bytes, 126, 4);
  const std::uint64_t profileSize = *littleEndian(bytes, 130, 4);
  if (profileOffset == 0 || profileSize == 0) return false;
  // The profile offset counts from the start of the info header, so the
  // profile must lie wholly inside the file from there.
  return rangeFits(size, infoHeaderStart + profileOffset, profileSize);
}

bool gifContainsEmbeddedIccProfile(ByteView bytes) {
  const std::uint64_t size = bytes.size();
  if (size < 13) return false;
  if (!bytesEqual(bytes, 0, "GIF87a") && !bytesEqual(bytes, 0, "GIF89a")) return false;
  std::uint64_t position = 13;
  if ((bytes[10] & 0x80u) != 0) position += gifColorTableBytes(bytes[10]);
  if (position > size) return false;
  while (true) {
    if (position >= size) return false;
    const std::uint8_t introducer = bytes[position];
    if (introducer == 0x2C) {
      if (!rangeFits(size, position, 10)) return false;
      const std::uint8_t packed = bytes[position + 9];
      std::uint64_t next = position + 10;
      if ((packed & 0x80u) != 0) {
        const std::uint64_t table = gifColorTableBytes(packed);
        if (!rangeFits(size, next, table)) return false;
        next += table;
      }
      // The LZW minimum code size, then the image data sub-blocks.
      if (next >= size) return false;
      const std::optional<std::uint64_t> after = skipGifSubBlocks(bytes, next + 1);
      if (!after) return false;
      position = *after;
    } else if (introducer == 0x21) {
      if (!rangeFits(size, position, 3)) return false;
      const std::uint8_t label = bytes[position + 1];
      const std::uint64_t blockSize = bytes[position + 2];
      if (!rangeFits(size, position + 3, blockSize)) return false;
      if (label == 0xFF && blockSize == 11 && bytesEqual(bytes, position + 3, "ICCRGBG1012")) return true;
      const std::optional<std::uint64_t> after = skipGifSubBlocks(bytes, position + 3 + blockSize);
      if (!after) return false;
      position = *after;
    } else {
      // The trailer (3B) or anything unknown ends the search.
      return false;
    }
  }
}

bool webPContainsEmbeddedIccProfile(ByteView bytes) {
  const std::uint64_t size = bytes.size();
  if (size < 12 || !bytesEqual(bytes, 0, "RIFF") || !bytesEqual(bytes, 8, "WEBP")) return false;
  if (*littleEndian(bytes, 4, 4) > size - 8) return false;
  std::uint64_t position = 12;
  while (size - position >= 8) {
    const std::optional<std::string> code = asciiString(bytes, position, 4);
    if (!code) return false;
    const std::uint64_t chunkSize = *littleEndian(bytes, position + 4, 4);
    const std::uint64_t available = size - position - 8;
    if (chunkSize > available) return false;
    if (*code == "ICCP" && chunkSize != 0) return true;
    // Chunks are padded to an even length.
    const std::uint64_t padded = chunkSize + (chunkSize & 1u);
    if (padded > available) return false;
    position += 8 + padded;
  }
  return false;
}

bool scanBmffBoxes(ByteView bytes, std::uint64_t rangeStart, std::uint64_t rangeEnd, int depth) {
  static constexpr int maximumDepth = 4;
  if (depth > maximumDepth) return false;
  if (rangeEnd > bytes.size() || rangeStart > rangeEnd) return false;
  std::uint64_t position = rangeStart;
  while (rangeEnd - position >= 8) {
    const std::uint64_t remaining = rangeEnd - position;
    const std::optional<BmffBoxHeader> header = readBmffBoxHeader(bytes, position, remaining);
    if (!header) return false;
    const std::string& type = header->type;
    const std::uint64_t headerSize = header->headerSize;
    const std::uint64_t boxSize = header->boxSize;
    const std::uint64_t payload = position + headerSize;
    const std::uint64_t boxEnd = position + boxSize;

    if (type == "colr") {
      if (boxSize - headerSize >= 4 && (bytesEqual(bytes, payload, "prof") || bytesEqual(bytes, payload, "rICC"))) {
        return true;
      }
    } else if (type == "meta") {
      // A full box: version and flags come before the children.
      if (boxSize - headerSize >= 4 && scanBmffBoxes(bytes, payload + 4, boxEnd, depth + 1)) return true;
    } else if (type == "iprp" || type == "ipco") {
      if (scanBmffBoxes(bytes, payload, boxEnd, depth + 1)) return true;
    }
    position = boxEnd;
  }
  return false;
}

}  // namespace quorvantelmic
