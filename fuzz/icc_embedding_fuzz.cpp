// Both colour-profile embedders over any profile and any image bytes. The
// first byte picks the JPEG or the PNG embedder, the next two give the profile
// length, then come the profile and the image. An embedder may only refuse
// with encode-failed; an image it accepts must come back larger than it went
// in, still start with its signature, and carry a profile its own scanner
// finds.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.hpp"
#include "helper_core/image/embedded_icc_profile.hpp"
#include "helper_core/image/icc_profile_embedding.hpp"

using namespace quorvantelmic;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool png = (data[0] & 1u) != 0;
  const std::size_t profileLength = std::min<std::size_t>((std::size_t{data[1]} << 8) | data[2], size - 3);
  const ByteView profile(data + 3, profileLength);
  const ByteView image(data + 3 + profileLength, size - 3 - profileLength);
  try {
    const EncodedBytes embedded = png ? pngByEmbeddingIccProfile(profile, image) : jpegByEmbeddingIccProfile(profile, image);
    QUORVANTELMIC_FUZZ_REQUIRE(embedded.size() > image.size());
    QUORVANTELMIC_FUZZ_REQUIRE(std::equal(image.begin(), image.begin() + (png ? 8 : 2), embedded.begin()));
    QUORVANTELMIC_FUZZ_REQUIRE(png ? pngContainsEmbeddedIccProfile(embedded) : jpegContainsEmbeddedIccProfile(embedded));
  } catch (const HelperFault& fault) {
    QUORVANTELMIC_FUZZ_REQUIRE(fault.code() == HelperErrorCode::encodeFailed);
    fuzzing::requireWellFormedFault(fault);
  }
  // The stored zlib stream of any data: two header bytes, five per block of
  // at most 65535 bytes, the data, four bytes of Adler-32.
  const EncodedBytes stream = zlibStoredData(profile);
  const std::size_t blocks = profile.empty() ? 1 : (profile.size() + 65534) / 65535;
  QUORVANTELMIC_FUZZ_REQUIRE(stream.size() == 2 + 5 * blocks + profile.size() + 4);
  return 0;
}
