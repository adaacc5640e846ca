#include "helper_core/image/jpeg_metadata_removal.hpp"

#include "helper_core/image/byte_readers.hpp"

namespace quorvantelmic {
namespace {

constexpr std::uint8_t markerPrefix = 0xFF;
constexpr std::uint8_t startOfImage = 0xD8;
constexpr std::uint8_t endOfImage = 0xD9;
constexpr std::uint8_t startOfScan = 0xDA;
constexpr std::uint8_t comment = 0xFE;
constexpr std::uint8_t adobeSegment = 0xEE;  // APP14

bool isStandalone(std::uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }
bool isApplicationSegment(std::uint8_t marker) { return marker >= 0xE0 && marker <= 0xEF; }
// Start-of-frame markers (C4, C8 and CC are DHT, JPG and DAC).
bool isFrameHeader(std::uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}
// Baseline, extended sequential and progressive, Huffman-coded: what every
// PDF reader's DCT decoder accepts.
bool isAcceptedFrame(std::uint8_t marker) { return marker == 0xC0 || marker == 0xC1 || marker == 0xC2; }

// The end of the entropy-coded data starting at `position`: the offset of the
// marker that follows it (stuffed FF 00 bytes and restart markers are data;
// fill bytes before a marker belong to the marker).
std::optional<std::size_t> endOfEntropyData(std::span<const std::uint8_t> bytes, std::size_t position) {
  for (std::size_t i = position; i + 1 < bytes.size(); ++i) {
    if (bytes[i] != markerPrefix) continue;
    const std::uint8_t next = bytes[i + 1];
    if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
      ++i;
      continue;
    }
    if (next == markerPrefix) continue;  // fill byte, the marker starts later
    return i;
  }
  return std::nullopt;
}

}  // namespace

std::optional<StrippedJpeg> jpegWithoutMetadata(std::span<const std::uint8_t> jpeg) {
  if (jpeg.size() < 4 || jpeg[0] != markerPrefix || jpeg[1] != startOfImage) return std::nullopt;
  StrippedJpeg result;
  result.data.reserve(jpeg.size());
  result.data.insert(result.data.end(), jpeg.begin(), jpeg.begin() + 2);
  bool sawFrame = false;
  bool sawScan = false;
  std::size_t position = 2;
  while (true) {
    if (position >= jpeg.size() || jpeg[position] != markerPrefix) return std::nullopt;
    while (position < jpeg.size() && jpeg[position] == markerPrefix) ++position;  // fill bytes
    if (position >= jpeg.size()) return std::nullopt;
    const std::uint8_t marker = jpeg[position];
    const std::size_t segmentStart = position - 1;
    ++position;
    if (marker == endOfImage) {
      if (!sawFrame || !sawScan) return std::nullopt;
      result.data.push_back(markerPrefix);
      result.data.push_back(endOfImage);
      return result;
    }
    if (marker == 0x00 || marker == startOfImage) return std::nullopt;
    if (isStandalone(marker)) {
      result.data.push_back(markerPrefix);
      result.data.push_back(marker);
      continue;
    }
    const std::optional<std::uint64_t> length = bigEndianInteger(jpeg, position, 2);
    if (!length || *length < 2 || !rangeFits(jpeg.size(), position, *length)) return std::nullopt;
    const std::size_t segmentEnd = position + static_cast<std::size_t>(*length);
    if (isFrameHeader(marker)) {
      // Precision, height, width, component count.
      if (sawFrame || !isAcceptedFrame(marker) || *length < 8) return std::nullopt;
      const std::optional<std::uint64_t> precision = bigEndianInteger(jpeg, position + 2, 1);
      const std::optional<std::uint64_t> height = bigEndianInteger(jpeg, position + 3, 2);
      const std::optional<std::uint64_t> width = bigEndianInteger(jpeg, position + 5, 2);
      const std::optional<std::uint64_t> components = bigEndianInteger(jpeg, position + 7, 1);
      if (precision != 8u || !height || *height == 0 || !width || *width == 0 ||
          (components != 1u && components != 3u)) {
        return std::nullopt;
      }
      result.width = static_cast<std::int64_t>(*width);
      result.height = static_cast<std::int64_t>(*height);
      result.components = static_cast<int>(*components);
      sawFrame = true;
    }
    const bool dropped = (isApplicationSegment(marker) && marker != adobeSegment) || marker == comment;
    if (!dropped) {
      result.data.push_back(markerPrefix);
      result.data.insert(result.data.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(segmentStart + 1),
                         jpeg.begin() + static_cast<std::ptrdiff_t>(segmentEnd));
    }
    position = segmentEnd;
    if (marker == startOfScan) {
      if (!sawFrame) return std::nullopt;
      sawScan = true;
      const std::optional<std::size_t> end = endOfEntropyData(jpeg, position);
      if (!end) return std::nullopt;
      result.data.insert(result.data.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(position),
                         jpeg.begin() + static_cast<std::ptrdiff_t>(*end));
      position = *end;
    }
  }
}

}  // namespace quorvantelmic
