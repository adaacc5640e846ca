// Every embedded colour-profile scanner over any bytes. The first byte picks
// the scanner, the rest is the file. The scanners promise never to throw and
// never to read outside the buffer (the sanitizers check the second), and the
// dispatcher must answer exactly what the scanner of its type answers.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "helper_core/image/embedded_icc_profile.hpp"

using namespace quorvantelmic;

namespace {

struct Scanner {
  std::string_view typeIdentifier;
  bool (*scan)(ByteView);
};

bool scanBmffFile(ByteView bytes) { return scanBmffBoxes(bytes, 0, bytes.size(), 0); }

constexpr std::array<Scanner, 9> scanners = {{
    {"public.jpeg", jpegContainsEmbeddedIccProfile},
    {"public.png", pngContainsEmbeddedIccProfile},
    {"public.tiff", tiffContainsEmbeddedIccProfile},
    {"com.microsoft.bmp", bmpContainsEmbeddedIccProfile},
    {"com.compuserve.gif", gifContainsEmbeddedIccProfile},
    {"org.webmproject.webp", webPContainsEmbeddedIccProfile},
    {"public.avif", scanBmffFile},
    {"public.heic", scanBmffFile},
    {"public.heif", scanBmffFile},
}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const Scanner& scanner = scanners[data[0] % scanners.size()];
  const ByteView bytes(data + 1, size - 1);
  const bool found = scanner.scan(bytes);
  QUORVANTELMIC_FUZZ_REQUIRE(embeddedIccProfileExists(bytes, scanner.typeIdentifier) == found);
  // A BMFF scan over an arbitrary sub-range, at an arbitrary depth, exactly as
  // the nested boxes call it.
  if (bytes.size() >= 3) {
    const std::uint64_t start = bytes[0] % (bytes.size() + 1);
    const std::uint64_t end = bytes.size() - bytes[1] % (bytes.size() + 1);
    (void)scanBmffBoxes(bytes, start, end, bytes[2] % 6);
  }
  QUORVANTELMIC_FUZZ_REQUIRE(!embeddedIccProfileExists(bytes, "public.unknown"));
  return 0;
}
