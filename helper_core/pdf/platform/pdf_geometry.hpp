// Plain geometry shared by the PDF reading, drawing and writing services.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorvantelmic {

// A rectangle in PDF points: origin at the lower left, width and height never
// negative once a reader has normalised it.
struct PDFRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  friend bool operator==(const PDFRect&, const PDFRect&) = default;
};

// An opaque 8-bit RGB bitmap: rows from top to bottom, three bytes per pixel,
// rows packed without padding.
struct PDFBitmap {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::vector<std::uint8_t> rgb;
};

// Pixels handed to the PDF writer: 8 bits per component, RGB, either packed
// (3 bytes per pixel) or with a fourth byte per pixel that is ignored, rows from
// top to bottom `bytesPerRow` apart.
struct PDFRasterImage {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t bytesPerPixel = 3;
  std::int64_t bytesPerRow = 0;
  std::span<const std::uint8_t> pixels;
};

}  // namespace quorvantelmic
