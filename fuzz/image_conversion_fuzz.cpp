// convert-image over any bytes, the whole operation as the helper runs it:
// the source handed down as a read-only descriptor, inspection, planning,
// encoding into every target with both metadata policies at a small maximum
// size, the profile restored, the output validated, written exclusively into
// a directory and validated again as read back. Only sources whose header
// promises at most fuzzPixelLimit pixels are converted, so that one input
// stays short. Invariants: a refusal is one of the conversion's own codes
// with a well-formed message and leaves nothing behind; an accepted output is
// the one file in the directory, with the reported length and digest, and
// decodes again as the target at most the maximum size.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz/operation_fuzz_support.hpp"
#include "helper_core/image/image_operations.hpp"
#include "helper_core/image/raster_types.hpp"

using namespace quorvantelmic;

namespace {

constexpr std::int64_t fuzzPixelLimit = 1 << 16;
constexpr std::int64_t maximumSide = 40;

const fuzzing::OperationScratch& scratch() {
  static const fuzzing::OperationScratch instance;
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    const ImageProbe header = ImageInspector().inspect(bytes, false).probe;
    if (header.width * header.height > fuzzPixelLimit) return 0;
  } catch (const HelperFault&) {
    return 0;  // the probing target covers refusals of inspection
  }
  const fuzzing::OperationScratch& place = scratch();
  place.placeSource(3, bytes);
  const ImageOperations operations(SecureFileReader(3), ExclusiveOutputWriter(place.outputDirectory()));
  unsigned serial = 0;
  for (const RasterTargetTypeIdentifier target : allRasterTargetTypeIdentifiers) {
    if (target == RasterTargetTypeIdentifier::heic) continue;  // not a destination of this platform
    for (const MetadataPolicy policy : {MetadataPolicy::preserve, MetadataPolicy::remove}) {
      ConvertImageOptions options;
      options.quality = 0.8;
      options.metadataPolicy = policy;
      options.targetTypeIdentifier = target;
      options.maximumWidth = maximumSide;
      options.maximumHeight = maximumSide;
      const std::string name = fuzzing::stagedName(++serial, std::string(rawValue(outputExtension(target))));
      try {
        const ConvertedImage converted = operations.convertImage("/dev/fd/3", "/dev/fd/4/" + name, options);
        QUORVANTELMIC_FUZZ_REQUIRE(place.outputNames() == std::vector<std::string>{name});
        const std::vector<std::uint8_t> written = place.readOutput(name);
        QUORVANTELMIC_FUZZ_REQUIRE(converted.byteLength == static_cast<std::int64_t>(written.size()));
        QUORVANTELMIC_FUZZ_REQUIRE(converted.sha256 == DescriptorDigest::sha256(written));
        const InspectedImage again = ImageInspector().inspect(written, true);
        QUORVANTELMIC_FUZZ_REQUIRE(again.probe.uniformTypeIdentifier == rawValue(target));
        QUORVANTELMIC_FUZZ_REQUIRE(again.probe.width >= 1 && again.probe.width <= maximumSide);
        QUORVANTELMIC_FUZZ_REQUIRE(again.probe.height >= 1 && again.probe.height <= maximumSide);
      } catch (const HelperFault& fault) {
        QUORVANTELMIC_FUZZ_REQUIRE(fault.code() == HelperErrorCode::decodeFailed ||
                                   fault.code() == HelperErrorCode::resourceLimit ||
                                   fault.code() == HelperErrorCode::encodeFailed ||
                                   fault.code() == HelperErrorCode::unsupportedSource);
        fuzzing::requireWellFormedFault(fault);
        QUORVANTELMIC_FUZZ_REQUIRE(place.outputNames().empty());
      }
      place.clearOutputs();
    }
  }
  return 0;
}
