// Writes image-only PDFs byte by byte, without any PDF library: one full-page
// JPEG per page and, optionally, an invisible text layer over it so the page
// can be searched and its text selected. The output uses a fixed object
// numbering and a classic cross-reference table, so it is predictable and
// passes our own inspection (one "%%EOF", one "startxref", few objects, media
// boxes at the origin, no rotation, no feature names). A page JPEG whose bytes
// happen to read as a feature name or a marker to that inspection is stored
// hex-encoded on top of its DCT coding; every other JPEG is embedded unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvantelmic {

// A rectangle in the normalised image space of a text recogniser: 0 to 1 on
// both axes, origin at the lower left.
struct NormalizedRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

struct OCRLine {
  std::string text;  // printable ASCII
  NormalizedRect boundingBox;
};

struct RasterPDFPage {
  std::vector<std::uint8_t> jpegData;  // an opaque RGB JPEG
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  double widthPoints = 0;
  double heightPoints = 0;
  std::vector<OCRLine> ocrLines;
};

class NarrowRasterPDFAssembler {
 public:
  // Throws HelperFault resource-limit for no pages or more than 1000, or when the
  // output would exceed the output byte limit.
  std::vector<std::uint8_t> assemble(const std::vector<RasterPDFPage>& pages) const;

  // The content stream of one page: the image stretched over the page, then
  // each non-empty OCR line as invisible text.
  static std::string pageContent(const RasterPDFPage& page);

  // "<< dictionary /Length N >>\nstream\n" + bytes + "\nendstream".
  static std::vector<std::uint8_t> streamObject(const std::string& dictionary, const std::vector<std::uint8_t>& stream);

  // A number rounded to three decimals, without trailing zeros or point.
  static std::string pdfNumber(double value);
};

}  // namespace quorvantelmic
