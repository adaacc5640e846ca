#include "helper_core/pdf/platform/text_recognizer.hpp"

#include <allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <climits>
#include <exception>
#include <memory>

namespace quorvantelmic {

namespace {

void dropLeptonicaMessage(const char*) {}

// Leptonica keeps one process-wide message handler; routing it away once is
// enough.
void silenceLeptonica() {
  static const bool installed = [] {
    leptSetStderrHandler(dropLeptonicaMessage);
    setMsgSeverity(L_SEVERITY_NONE);
    return true;
  }();
  (void)installed;
}

struct TextDeleter {
  void operator()(char* text) const { delete[] text; }
};

// The rendered pages come from 8-bit RGB bitmaps; tesseract reads 1, 3 or 4
// bytes per pixel (the fourth byte of a 4-byte pixel is never read as colour
// by its grey conversion).
bool usable(const PDFRasterImage& image) {
  if (image.width <= 0 || image.height <= 0 || image.width > INT_MAX || image.height > INT_MAX) return false;
  if (image.bytesPerPixel != 3 && image.bytesPerPixel != 4) return false;
  if (image.bytesPerRow < image.width * image.bytesPerPixel || image.bytesPerRow > INT_MAX) return false;
  const auto needed = static_cast<std::size_t>(image.bytesPerRow) * static_cast<std::size_t>(image.height - 1) +
                      static_cast<std::size_t>(image.width * image.bytesPerPixel);
  return image.pixels.size() >= needed;
}

}  // namespace

std::optional<std::vector<RecognizedTextObservation>> TextRecognizer::perform(const TextRecognitionRequest& request,
                                                                               const PDFRasterImage& image) {
  if (request.recognitionLevel != TextRecognitionLevel::accurate || request.automaticallyDetectsLanguage ||
      request.recognitionLanguages.size() != 1 || request.recognitionLanguages.front() != "en-US" ||
      !usable(image)) {
    return std::nullopt;
  }
  silenceLeptonica();
  try {
    tesseract::TessBaseAPI api;
    // tesseract's debug output (tprintf) goes to this file instead of standard
    // error; the variable is process-wide and must be set before Init, which
    // reports a missing model through it.
    if (!api.SetVariable("debug_file", "/dev/null")) return std::nullopt;
    // Without the dictionaries the LSTM decoder keeps its raw character
    // choices; with them it prefers dictionary words.
    const char* dictionary = request.usesLanguageCorrection ? "1" : "0";
    std::vector<std::string> names{"load_system_dawg", "load_freq_dawg"};
    std::vector<std::string> values{dictionary, dictionary};
    if (api.Init(QUORVANTELMIC_TESSDATA_DIR, "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
                 false) != 0) {
      return std::nullopt;
    }
    api.SetPageSegMode(tesseract::PSM_AUTO);
    api.SetImage(image.pixels.data(), static_cast<int>(image.width), static_cast<int>(image.height),
                 static_cast<int>(image.bytesPerPixel), static_cast<int>(image.bytesPerRow));
    // The bitmaps carry no resolution; without one tesseract guesses and
    // says so on its debug channel.
    api.SetSourceResolution(144);
    if (api.Recognize(nullptr) != 0) return std::nullopt;

    std::vector<RecognizedTextObservation> observations;
    std::unique_ptr<tesseract::ResultIterator> iterator(api.GetIterator());
    if (!iterator) return observations;
    const auto width = static_cast<double>(image.width);
    const auto height = static_cast<double>(image.height);
    do {
      int left = 0;
      int top = 0;
      int right = 0;
      int bottom = 0;
      if (!iterator->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom)) continue;
      NormalizedBox box;
      box.x = left / width;
      box.width = (right - left) / width;
      box.height = (bottom - top) / height;
      box.y = (height - bottom) / height;
      if (box.height < request.minimumTextHeight) continue;
      RecognizedTextObservation observation;
      observation.boundingBox = box;
      observation.confidence = iterator->Confidence(tesseract::RIL_TEXTLINE);
      std::unique_ptr<char, TextDeleter> text(iterator->GetUTF8Text(tesseract::RIL_TEXTLINE));
      if (text) observation.candidates.emplace_back(text.get());
      observations.push_back(std::move(observation));
    } while (iterator->Next(tesseract::RIL_TEXTLINE));
    api.End();
    return observations;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace quorvantelmic
