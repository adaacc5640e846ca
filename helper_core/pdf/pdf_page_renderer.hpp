// Drawing one PDF page into an opaque RGB bitmap at a chosen resolution, and
// encoding such a bitmap as PNG or JPEG. The encoder proves every file it makes
// by decoding it again: a file that does not come back as the expected type at
// the expected pixel size is never handed on. Both components are stateless
// and are shared by every operation that rasterises pages.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "helper_core/image/platform/image_platform.hpp"
#include "helper_core/pdf/platform/core_graphics_pdf.hpp"
#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

// What a rendered page is encoded as.
struct PDFRasterTarget {
  enum class Kind { png, jpeg };
  Kind kind = Kind::png;
  // JPEG only: the lossy compression quality from 0 to 1.
  double quality = 0;

  static PDFRasterTarget png() { return PDFRasterTarget{Kind::png, 0}; }
  static PDFRasterTarget jpeg(double quality) { return PDFRasterTarget{Kind::jpeg, quality}; }
};

// One page drawn upright as it is displayed: 8-bit RGB without alpha, the
// pixel size and the displayed size in points (width and height of the media
// box swapped for rotations of 90 and 270 degrees).
struct RenderedPDFPage {
  DecodedImage image;
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  double widthPoints = 0;
  double heightPoints = 0;
};

class PDFPageRenderer {
 public:
  // Renders `page` with its inspected `geometry` at `dpi` (36 to 300); the
  // pixel size is the displayed size times dpi / 72, rounded up. Throws
  // invalid-request for the resolution, resource-limit when a side exceeds
  // 32768 pixels or the page 100000000 pixels, encode-failed when the page
  // cannot be drawn.
  RenderedPDFPage render(const CGPDFPage& page, const PDFPageGeometry& geometry, std::int64_t dpi) const;
};

class PDFRasterEncoder {
 public:
  static constexpr std::string_view pngTypeIdentifier = "public.png";
  static constexpr std::string_view jpegTypeIdentifier = "public.jpeg";

  // The bytes of `page` as PNG, or as JPEG at a quality from 0.35 to 0.95,
  // already validated.
  std::vector<std::uint8_t> encode(const RenderedPDFPage& page, const PDFRasterTarget& target) const;

  // Throws encode-failed unless `bytes` (1 to 536870912 of them) hold exactly
  // one image of `typeIdentifier`, `width` × `height` pixels, that decodes.
  void validate(std::span<const std::uint8_t> bytes, std::string_view typeIdentifier, std::int64_t width,
                std::int64_t height) const;
};

}  // namespace quorvantelmic
