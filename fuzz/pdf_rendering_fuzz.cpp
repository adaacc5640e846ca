// pdf-pages-to-png and pdf-pages-to-jpeg over any bytes, the whole operation
// as the helper runs it: inspection, every page rendered at 36 DPI, encoded,
// proved and written, all or nothing. Documents whose pages at 36 DPI would
// exceed fuzzPixelLimit pixels in all are inspected only. Invariants: a
// refusal is one of the operation's own codes with a well-formed message and
// leaves no file; an accepted rendering writes exactly one file per page,
// each with the reported index, length and digest, and each a PNG or JPEG
// of the page's size at 36 DPI.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz/operation_fuzz_support.hpp"
#include "helper_core/image/image_probing.hpp"
#include "helper_core/pdf/pdf_operations.hpp"

using namespace quorvantelmic;

namespace {

constexpr double fuzzPixelLimit = 1 << 20;
constexpr std::int64_t dpi = 36;

const fuzzing::OperationScratch& scratch() {
  static const fuzzing::OperationScratch instance;
  return instance;
}

void requireRenderingFault(const HelperFault& fault) {
  QUORVANTELMIC_FUZZ_REQUIRE(fault.code() == HelperErrorCode::unsupportedSource ||
                             fault.code() == HelperErrorCode::decodeFailed ||
                             fault.code() == HelperErrorCode::resourceLimit ||
                             fault.code() == HelperErrorCode::encodeFailed);
  fuzzing::requireWellFormedFault(fault);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzzing::OperationScratch& place = scratch();
  place.placeSource(3, std::span<const std::uint8_t>(data, size));
  const PDFOperations operations(SecureFileReader(3), ExclusiveOutputWriter(place.outputDirectory()));
  PDFProbe probe;
  try {
    probe = operations.inspectPDF("/dev/fd/3");
  } catch (const HelperFault& fault) {
    requireRenderingFault(fault);
    return 0;
  }
  double pixels = 0;
  for (const PDFPageGeometry& page : probe.pages) pixels += page.widthPoints * page.heightPoints * dpi * dpi / (72.0 * 72.0);
  if (pixels > fuzzPixelLimit) return 0;
  const bool jpeg = size % 2 == 1;
  std::vector<std::string> paths;
  std::vector<std::string> names;
  for (std::int64_t index = 0; index < probe.pageCount; ++index) {
    names.push_back(fuzzing::stagedName(static_cast<unsigned>(index) + 1, jpeg ? "jpg" : "png"));
    paths.push_back("/dev/fd/4/" + names.back());
  }
  PDFRenderOptions options;
  options.dpi = dpi;
  if (jpeg) options.jpegQuality = 0.8;
  try {
    const PDFOperationResult result = jpeg ? operations.renderPDFPagesToJPEG("/dev/fd/3", paths, options)
                                           : operations.renderPDFPagesToPNG("/dev/fd/3", paths, options);
    QUORVANTELMIC_FUZZ_REQUIRE(result.outputs.size() == static_cast<std::size_t>(probe.pageCount));
    QUORVANTELMIC_FUZZ_REQUIRE(place.outputNames().size() == names.size());
    for (std::size_t index = 0; index < names.size(); ++index) {
      const std::vector<std::uint8_t> written = place.readOutput(names[index]);
      QUORVANTELMIC_FUZZ_REQUIRE(result.outputs[index].index == static_cast<std::int64_t>(index));
      QUORVANTELMIC_FUZZ_REQUIRE(result.outputs[index].byteLength == static_cast<std::int64_t>(written.size()));
      QUORVANTELMIC_FUZZ_REQUIRE(result.outputs[index].sha256 == DescriptorDigest::sha256(written));
      const ImageProbe image = ImageInspector().inspect(written, false).probe;
      QUORVANTELMIC_FUZZ_REQUIRE(image.uniformTypeIdentifier == (jpeg ? "public.jpeg" : "public.png"));
      const PDFPageGeometry& page = probe.pages[index];
      const bool turned = page.rotation == 90 || page.rotation == 270;
      const double width = (turned ? page.heightPoints : page.widthPoints) * dpi / 72.0;
      const double height = (turned ? page.widthPoints : page.heightPoints) * dpi / 72.0;
      QUORVANTELMIC_FUZZ_REQUIRE(std::fabs(static_cast<double>(image.width) - width) <= 2);
      QUORVANTELMIC_FUZZ_REQUIRE(std::fabs(static_cast<double>(image.height) - height) <= 2);
    }
  } catch (const HelperFault& fault) {
    requireRenderingFault(fault);
    QUORVANTELMIC_FUZZ_REQUIRE(place.outputNames().empty());
  }
  place.clearOutputs();
  return 0;
}
