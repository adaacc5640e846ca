// images-to-pdf over one to three fuzzed images, the whole operation as the
// helper runs it: each source handed down as a read-only descriptor, decoded
// (or embedded as it is, for a plain JPEG), placed on its page, the document
// written and proved. The input is split at the first byte's count of parts
// (1 to 3), each part but the last preceded by its two-byte length. Sources
// whose header promises more than fuzzPixelLimit pixels are skipped.
// Invariants: a refusal is one of the operation's own codes with a
// well-formed message and leaves no file; an accepted PDF is the one file
// written, with the reported length and digest, and passes inspection with
// one page per image.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz/operation_fuzz_support.hpp"
#include "helper_core/image/image_probing.hpp"
#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/pdf/pdf_probing.hpp"

using namespace quorvantelmic;

namespace {

constexpr std::int64_t fuzzPixelLimit = 1 << 16;

const fuzzing::OperationScratch& scratch() {
  static const fuzzing::OperationScratch instance;
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t count = 1 + data[0] % 3;
  std::vector<std::span<const std::uint8_t>> parts;
  std::size_t at = 1;
  for (std::size_t part = 0; part < count; ++part) {
    if (part + 1 == count) {
      parts.emplace_back(data + at, size - at);
      break;
    }
    if (size - at < 2) return 0;
    const std::size_t length = std::size_t{data[at]} << 8 | data[at + 1];
    at += 2;
    if (length > size - at) return 0;
    parts.emplace_back(data + at, length);
    at += length;
  }
  for (const std::span<const std::uint8_t> part : parts) {
    try {
      const ImageProbe header = ImageInspector().inspect(part, false).probe;
      if (header.width * header.height > fuzzPixelLimit) return 0;
    } catch (const HelperFault&) {
      // A source that cannot be read is the operation's to refuse.
    }
  }
  const fuzzing::OperationScratch& place = scratch();
  std::vector<std::string> paths;
  for (std::size_t index = 0; index < parts.size(); ++index) {
    // 3, then high descriptors that nothing else in the process uses.
    const int number = index == 0 ? 3 : 900 + static_cast<int>(index);
    place.placeSource(number, parts[index]);
    paths.push_back("/dev/fd/" + std::to_string(number));
  }
  const PDFOperations operations(SecureFileReader(3), ExclusiveOutputWriter(place.outputDirectory()));
  const std::string name = fuzzing::stagedName(1, "pdf");
  try {
    const PDFOperationResult result = operations.imagesToPDF(paths, "/dev/fd/4/" + name);
    QUORVANTELMIC_FUZZ_REQUIRE(result.outputs.size() == 1);
    QUORVANTELMIC_FUZZ_REQUIRE(place.outputNames() == std::vector<std::string>{name});
    const std::vector<std::uint8_t> written = place.readOutput(name);
    QUORVANTELMIC_FUZZ_REQUIRE(result.outputs[0].byteLength == static_cast<std::int64_t>(written.size()));
    QUORVANTELMIC_FUZZ_REQUIRE(result.outputs[0].sha256 == DescriptorDigest::sha256(written));
    const InspectedPDF inspected = PDFInspector().inspect(written);
    QUORVANTELMIC_FUZZ_REQUIRE(inspected.probe.pageCount == static_cast<std::int64_t>(parts.size()));
    for (const PDFPageGeometry& page : inspected.probe.pages) {
      QUORVANTELMIC_FUZZ_REQUIRE(page.widthPoints > 0 && page.heightPoints > 0);
    }
  } catch (const HelperFault& fault) {
    QUORVANTELMIC_FUZZ_REQUIRE(fault.code() == HelperErrorCode::unsupportedSource ||
                               fault.code() == HelperErrorCode::decodeFailed ||
                               fault.code() == HelperErrorCode::resourceLimit ||
                               fault.code() == HelperErrorCode::encodeFailed);
    fuzzing::requireWellFormedFault(fault);
    QUORVANTELMIC_FUZZ_REQUIRE(place.outputNames().empty());
  }
  place.clearOutputs();
  return 0;
}
