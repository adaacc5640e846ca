// The container completeness checks of output validation over any bytes, for
// every target type. They read framing only and must never throw; a complete
// PNG or ISO base media file must also hold up to a second, independent look
// at its first bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.hpp"
#include "helper_core/image/byte_readers.hpp"
#include "helper_core/image/container_structure.hpp"

using namespace quorvantelmic;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  for (const RasterTargetTypeIdentifier target : allRasterTargetTypeIdentifiers) {
    (void)hasCompleteContainerSignature(bytes, target);
  }
  if (completePNGStructure(bytes)) {
    QUORVANTELMIC_FUZZ_REQUIRE(size >= 8 + 25 + 12 + 12);
    QUORVANTELMIC_FUZZ_REQUIRE(hasFourCharacterCode(bytes, 12, "IHDR"));
    QUORVANTELMIC_FUZZ_REQUIRE(hasFourCharacterCode(bytes, size - 8, "IEND"));
  }
  for (const BrandSet* brands : {&avifBrands(), &heicBrands()}) {
    if (completeBmffStructure(bytes, *brands)) {
      QUORVANTELMIC_FUZZ_REQUIRE(hasFourCharacterCode(bytes, 4, "ftyp"));
    }
  }
  return 0;
}
