// The PDF name-token scanner, the feature reading built on it, and the
// object and marker counters, over any bytes. None of them may throw; the
// vocabulary scan must agree with the full scan on every name of the
// vocabulary; the object count stops at 100001.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "helper_core/pdf/pdf_name_features.hpp"
#include "helper_core/pdf/pdf_probing.hpp"

using namespace quorvantelmic;

namespace {
constexpr std::array<std::string_view, 12> vocabulary = {
    "AcroForm", "Sig", "Annots", "EmbeddedFiles", "JavaScript", "JS", "OpenAction", "AA", "Outlines",
    "StructTreeRoot", "OCProperties", "Type"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const PDFNameTokenScanner everything(bytes);
  const PDFNameTokenScanner kept(bytes, vocabulary);
  QUORVANTELMIC_FUZZ_REQUIRE(kept.size() <= vocabulary.size());
  QUORVANTELMIC_FUZZ_REQUIRE(everything.size() <= size);
  for (const std::string_view name : vocabulary) {
    QUORVANTELMIC_FUZZ_REQUIRE(kept.contains(name) == everything.contains(name));
  }
  QUORVANTELMIC_FUZZ_REQUIRE(kept.containsAny(vocabulary) == everything.containsAny(vocabulary));
  (void)PDFNameFeatures(bytes).any();

  const std::int64_t objects = PDFInspector::countObjectDeclarations(bytes);
  QUORVANTELMIC_FUZZ_REQUIRE(objects >= 0 && objects <= 100001);
  QUORVANTELMIC_FUZZ_REQUIRE(objects <= static_cast<std::int64_t>(size / 3));
  const std::int64_t ends = PDFInspector::countMarker(bytes, "%%EOF");
  QUORVANTELMIC_FUZZ_REQUIRE(ends >= 0 && ends <= static_cast<std::int64_t>(size / 5));
  QUORVANTELMIC_FUZZ_REQUIRE(PDFInspector::countMarker(bytes, "startxref") <= static_cast<std::int64_t>(size / 9));
  return 0;
}
