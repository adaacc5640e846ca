#include "helper_core/pdf/jpeg_recoding.hpp"

#include "helper_core/image/image_probing.hpp"
#include "helper_core/image/platform/image_platform.hpp"
#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {

// Entropy-coded data is arbitrary bytes, and about one 12-megapixel photo in a
// hundred holds a run such as "/EF" and a delimiter, which the inspection of
// the file would read as an attachment name. Progressive coding first: a few
// per cent smaller, and other bytes even where the source's tables were
// already fitted to it. The new data must pass a decode at 1/8, which reads
// every coefficient as the source's own proof did. A 12-megapixel photo takes
// about 0.3 s more; data that passes the screen pays only the scan.
std::optional<std::vector<std::uint8_t>> jpegRecodedPastScreen(std::span<const std::uint8_t> jpeg, std::int64_t width,
                                                              std::int64_t height) {
  for (const bool progressive : {true, false}) {
    std::optional<ImageBytes> recoded = recodeJpegLosslessly(jpeg, progressive);
    if (!recoded || readsAsPDFStructure(*recoded)) continue;
    try {
      const InspectedImage proof = ImageInspector().inspectProvingDecode(*recoded);
      if (proof.provenFrame && proof.probe.width == width && proof.probe.height == height &&
          static_cast<std::int64_t>(proof.provenFrame->width) == (width + 7) / 8 &&
          static_cast<std::int64_t>(proof.provenFrame->height) == (height + 7) / 8) {
        return recoded;
      }
    } catch (const HelperFault&) {
    }
  }
  return std::nullopt;
}

}  // namespace quorvantelmic
