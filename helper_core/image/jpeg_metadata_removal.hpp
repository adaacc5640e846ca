// A JPEG's own coded image without the segments that carry anything about the
// picture beyond its pixels, for embedding the data as it is (a PDF page whose
// drawing would reproduce the JPEG's pixels exactly). Byte-level only: no
// decoding, no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvantelmic {

struct StrippedJpeg {
  std::vector<std::uint8_t> data;
  std::int64_t width = 0;
  std::int64_t height = 0;
  int components = 0;  // 1 (grey) or 3 (colour)
};

// The JPEG from its start-of-image to its first end-of-image marker with every
// application segment except Adobe's APP14 (which says how the components are
// coded) and every comment removed, so no EXIF, XMP, IPTC, ICC, maker data,
// comment or trailing secondary image is left. Only baseline, extended and
// progressive Huffman-coded JPEGs of 8-bit precision with 1 or 3 components
// qualify; anything else, and any segment that does not fit or a missing end
// marker, gives none.
std::optional<StrippedJpeg> jpegWithoutMetadata(std::span<const std::uint8_t> jpeg);

}  // namespace quorvantelmic
