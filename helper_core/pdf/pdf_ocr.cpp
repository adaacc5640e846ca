// English text recognition of rendered pages, reduced to the printable ASCII
// lines that the image-only writer places as an invisible text layer.
#include <cstddef>
#include <utility>

#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

std::string PDFOperations::asciiOCRText(std::string_view text) {
  std::string ascii(text);
  for (char& c : ascii) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) c = ' ';
  }
  return ascii;
}

namespace {

// The pieces of `text` between spaces, joined by single spaces. After
// asciiOCRText the space is the only white space left.
std::string collapseSpaces(const std::string& text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ') ++i;
    if (i > start) {
      if (!out.empty()) out += ' ';
      out.append(text, start, i - start);
    }
  }
  return out;
}

double topEdge(const OCRLine& line) { return line.boundingBox.y + line.boundingBox.height; }

// Reading order: a clearly higher line first; lines whose tops are within
// 0.01 of each other count as one row and go left to right.
bool readsBefore(const OCRLine& a, const OCRLine& b) {
  const double topA = topEdge(a);
  const double topB = topEdge(b);
  if (topA - topB > 0.01) return true;
  if (topB - topA > 0.01) return false;
  return a.boundingBox.x < b.boundingBox.x;
}

}  // namespace

std::vector<OCRLine> PDFOperations::ocrLines(const std::vector<RecognizedTextObservation>& observations) {
  if (observations.size() > static_cast<std::size_t>(HelperLimits::maximumOCRLinesPerPage)) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The OCR result exceeds the line limit.");
  }
  std::vector<OCRLine> lines;
  lines.reserve(observations.size());
  std::int64_t textBytes = 0;
  for (const RecognizedTextObservation& observation : observations) {
    if (observation.candidates.empty()) continue;
    std::string text = collapseSpaces(asciiOCRText(observation.candidates.front()));
    if (text.size() > static_cast<std::size_t>(HelperLimits::maximumOCRLineBytes)) {
      text.resize(static_cast<std::size_t>(HelperLimits::maximumOCRLineBytes));
      // A cut can end on a space; the writer gets no trailing blank.
      while (!text.empty() && text.back() == ' ') text.pop_back();
    }
    if (text.empty()) continue;
    const auto length = static_cast<std::int64_t>(text.size());
    if (length > HelperLimits::maximumOCRTextBytesPerPage - textBytes) {
      throw HelperFault(HelperErrorCode::resourceLimit, "The OCR result exceeds the text limit.");
    }
    textBytes += length;
    const NormalizedBox& box = observation.boundingBox;
    lines.push_back(OCRLine{std::move(text), NormalizedRect{box.x, box.y, box.width, box.height}});
  }
  // "Same row" is not transitive, so this order is no strict weak ordering
  // and std::stable_sort must not be given it. An insertion sort stays in
  // bounds with any comparison, is stable, and 4096 lines keep it cheap.
  for (std::size_t i = 1; i < lines.size(); ++i) {
    OCRLine moving = std::move(lines[i]);
    std::size_t j = i;
    while (j > 0 && readsBefore(moving, lines[j - 1])) {
      lines[j] = std::move(lines[j - 1]);
      --j;
    }
    lines[j] = std::move(moving);
  }
  return lines;
}

std::vector<OCRLine> PDFOperations::recognizeEnglishText(const DecodedImage& image) {
  TextRecognitionRequest request;
  request.recognitionLevel = TextRecognitionLevel::accurate;
  request.recognitionLanguages = {"en-US"};
  request.automaticallyDetectsLanguage = false;
  request.usesLanguageCorrection = true;
  request.minimumTextHeight = 0.01;

  PDFRasterImage raster;
  raster.width = static_cast<std::int64_t>(image.width());
  raster.height = static_cast<std::int64_t>(image.height());
  raster.bytesPerPixel = static_cast<std::int64_t>(image.componentsPerPixel());
  raster.bytesPerRow = static_cast<std::int64_t>(image.bytesPerRow());
  raster.pixels = image.pixels();
  std::optional<std::vector<RecognizedTextObservation>> observations;
  if (image.bitsPerComponent() == 8) observations = TextRecognizer::perform(request, raster);
  if (!observations) {
    throw HelperFault(HelperErrorCode::decodeFailed, "English OCR could not process a rendered PDF page.");
  }
  return ocrLines(*observations);
}

}  // namespace quorvantelmic
