// English text recognition over a rendered page bitmap. A request names what
// to recognise (languages, whether the language model may correct words, the
// smallest line worth reporting); performing it over one bitmap yields one
// observation per recognised text line, with its bounding box normalised to
// the bitmap and its origin at the lower left.
//
// Underneath is tesseract with its LSTM engine. The library and leptonica
// never write to standard error: tesseract's debug channel goes to /dev/null
// and leptonica's messages to a handler that drops them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "helper_core/pdf/platform/pdf_geometry.hpp"

namespace quorvantelmic {

enum class TextRecognitionLevel { accurate = 0, fast = 1 };

struct TextRecognitionRequest {
  TextRecognitionLevel recognitionLevel = TextRecognitionLevel::accurate;
  // Language tags; only "en-US" has a model here.
  std::vector<std::string> recognitionLanguages{"en-US"};
  bool automaticallyDetectsLanguage = false;
  bool usesLanguageCorrection = true;
  // Lines lower than this fraction of the image height are not reported.
  double minimumTextHeight = 0.0;
};

// A rectangle normalised to an image: 0 to 1 on both axes, origin at the lower
// left.
struct NormalizedBox {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

struct RecognizedTextObservation {
  // The recognised line as UTF-8, best candidate first (at most one here).
  std::vector<std::string> candidates;
  NormalizedBox boundingBox;
  // 0 to 100, as the engine rates the line.
  double confidence = 0;
};

class TextRecognizer {
 public:
  // Performs `request` over `image` synchronously. None when the request
  // cannot be served (a language without a model, automatic detection, the
  // fast level, an unusable bitmap) or the engine fails.
  static std::optional<std::vector<RecognizedTextObservation>> perform(const TextRecognitionRequest& request,
                                                                       const PDFRasterImage& image);
};

}  // namespace quorvantelmic
