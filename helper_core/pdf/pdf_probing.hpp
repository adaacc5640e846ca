// Decides whether bytes are a PDF the helper will work on and describes it.
// The inspector is conservative: incrementally updated, encrypted, oversized or
// oddly shaped documents are refused outright rather than handled partially.
// Every PDF source goes through `inspect` before it is touched, and every PDF
// the helper writes goes through it again before it is accepted.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "helper_core/pdf/platform/core_graphics_pdf.hpp"
#include "helper_core/pdf/platform/pdf_document.hpp"
#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

// The result of an inspection. Both documents read `data` in place and stay
// open for as long as this value lives.
struct InspectedPDF {
  PDFData data;
  PDFDocument pdfKitDocument;
  CGPDFDocument coreGraphicsDocument;
  PDFProbe probe;
};

// Handed to the content-stream scanner of one page; the text-operator callback
// sets `foundText`.
class PDFTextScanState {
 public:
  bool foundText = false;
};

// Registered for the text-showing operators Tj, TJ, ' and ". Sets `foundText`
// of the PDFTextScanState behind `info`; does nothing for a null pointer.
void markPDFTextOperator(CGPDFScanner* scanner, void* info);

// For the PDF writers' stream screens: whether these bytes (compressed image
// data, say) would read to the inspection as structure, that is as a feature
// name or as an end-of-file or cross-reference marker.
bool readsAsPDFStructure(std::span<const std::uint8_t> bytes);

class PDFInspector {
 public:
  // Throws HelperFault at the first failing check, in this order: not a PDF,
  // more or fewer than one "%%EOF" or "startxref" (two of each only in a
  // linearized file of one revision), too many objects, cannot be
  // opened, encrypted, invalid page tree, too many pages, then per page: page
  // missing, geometry, rotation.
  InspectedPDF inspect(PDFData data) const;
  InspectedPDF inspect(std::vector<std::uint8_t> data) const;

  // Object declarations ("obj" between whitespace and a delimiter), counting
  // stops at 100001 so the scan is bounded on huge files.
  static std::int64_t countObjectDeclarations(std::span<const std::uint8_t> data) noexcept;

  static constexpr bool isPDFWhitespace(std::uint8_t byte) noexcept {
    return byte == 0x00 || byte == 0x09 || byte == 0x0A || byte == 0x0C || byte == 0x0D || byte == 0x20;
  }
  static constexpr bool isPDFDelimiter(std::uint8_t byte) noexcept {
    switch (byte) {
      case '(': case ')': case '<': case '>': case '[': case ']': case '{': case '}': case '/': case '%':
        return true;
      default:
        return isPDFWhitespace(byte);
    }
  }

  // True when the dictionary is present and holds at least one of `names`
  // (tried in order, stopping at the first hit).
  static bool dictionaryHasAnyKey(const std::optional<CGPDFDictionary>& dictionary,
                                  std::initializer_list<std::string_view> names);

  // Whether a file with two "%%EOF" and two "startxref" markers is a
  // linearized file of one revision: its first object a linearization
  // dictionary whose /L is the file's length, exactly two cross-reference
  // sections (the first-page section's /Prev leading to the main section,
  // which has none), and no object number in use in both. Reads only `data`.
  static bool isLinearizedSingleRevision(std::span<const std::uint8_t> data);

  // Non-overlapping occurrences of `marker` anywhere in `data`.
  static std::int64_t countMarker(std::span<const std::uint8_t> data, std::string_view marker) noexcept;
};

}  // namespace quorvantelmic
