#include "helper_core/pdf/pdf_probing.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cmath>
#include <cstring>
#include <string>

#include "helper_core/pdf/pdf_name_features.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

namespace {

[[noreturn]] void fail(HelperErrorCode code, const char* message) { throw HelperFault(code, message); }

// Whether the text holds nothing but white space and line breaks (space
// separators, line and paragraph separators, U+0009 to U+000D and U+0085).
bool isBlank(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t offset = 0;
  while (offset < length) {
    UChar32 codePoint = 0;
    U8_NEXT(bytes, offset, length, codePoint);
    if (codePoint < 0) return false;
    if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x85) continue;
    const auto type = static_cast<UCharCategory>(u_charType(codePoint));
    if (type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR) continue;
    return false;
  }
  return true;
}

// A page has text when its own content stream shows text, when that stream
// cannot be scanned to its end (text is assumed), or when the text extractor
// finds any (text drawn by a form XObject is found only this way).
bool pageHasText(const CGPDFPage& coreGraphicsPage, const PDFPage& pdfKitPage) {
  CGPDFOperatorTable table;
  for (const char* name : {"Tj", "TJ", "'", "\""}) table.setCallback(name, markPDFTextOperator);
  const auto state = std::make_shared<PDFTextScanState>();
  const CGPDFContentStream stream = CGPDFContentStream::createWithPage(coreGraphicsPage);
  CGPDFScanner scanner(stream, table, state.get());
  if (!scanner.scan()) return true;
  if (state->foundText) return true;
  // Text drawn only by forms needs the extractor, which cannot be stopped
  // once it runs: past its bounds the page is assumed to have text, as when
  // the scan does not complete.
  if (!pdfKitPage.admitTextExtraction()) return true;
  const std::optional<std::string> text = pdfKitPage.string();
  return text && !isBlank(*text);
}

double roundedToThousandths(double value) { return std::round(value * 1000.0) / 1000.0; }

}  // namespace

bool readsAsPDFStructure(std::span<const std::uint8_t> bytes) {
  return containsFeatureNameEvidence(bytes) || PDFInspector::countMarker(bytes, "%%EOF") != 0 ||
         PDFInspector::countMarker(bytes, "startxref") != 0;
}

void markPDFTextOperator(CGPDFScanner* /*scanner*/, void* info) {
  if (info != nullptr) static_cast<PDFTextScanState*>(info)->foundText = true;
}

std::int64_t PDFInspector::countMarker(std::span<const std::uint8_t> data, std::string_view marker) noexcept {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  std::int64_t count = 0;
  for (std::size_t position = text.find(marker); position != std::string_view::npos;
       position = text.find(marker, position + marker.size())) {
    ++count;
  }
  return count;
}

std::int64_t PDFInspector::countObjectDeclarations(std::span<const std::uint8_t> data) noexcept {
  constexpr std::int64_t cap = HelperLimits::maximumPDFObjects + 1;
  if (data.size() <= 5) return 0;
  const std::uint8_t* const bytes = data.data();
  const std::size_t lastStart = data.size() - 6;
  std::int64_t count = 0;
  // Look for the "o" of "obj" and check the bytes around it; start position i
  // is the whitespace byte just before it.
  std::size_t from = 1;
  while (from <= lastStart + 1) {
    const void* found = std::memchr(bytes + from, 'o', lastStart + 2 - from);
    if (found == nullptr) break;
    const auto o = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes);
    const std::size_t i = o - 1;
    if (isPDFWhitespace(bytes[i]) && bytes[o + 1] == 'b' && bytes[o + 2] == 'j' && isPDFDelimiter(bytes[o + 3])) {
      if (++count >= cap) return cap;
    }
    from = o + 1;
  }
  return count;
}

bool PDFInspector::dictionaryHasAnyKey(const std::optional<CGPDFDictionary>& dictionary,
                                       std::initializer_list<std::string_view> names) {
  if (!dictionary) return false;
  for (std::string_view name : names) {
    if (dictionary->hasKey(name)) return true;
  }
  return false;
}

InspectedPDF PDFInspector::inspect(std::vector<std::uint8_t> data) const {
  return inspect(std::make_shared<const std::vector<std::uint8_t>>(std::move(data)));
}

InspectedPDF PDFInspector::inspect(PDFData data) const {
  if (!data) data = std::make_shared<const std::vector<std::uint8_t>>();
  const std::span<const std::uint8_t> bytes(*data);

  // 1. Size and header.
  if (bytes.size() < 8 || std::memcmp(bytes.data(), "%PDF-", 5) != 0) {
    fail(HelperErrorCode::decodeFailed, "The source is not a PDF document.");
  }
  // 2, 3. One end-of-file marker and one cross-reference pointer: anything else
  // is an incremental update or a file whose last revision is ambiguous, except
  // a linearized file, whose first-page section brings a second pair of
  // markers to the same single revision.
  const std::int64_t endMarkers = countMarker(bytes, "%%EOF");
  const std::int64_t pointers = countMarker(bytes, "startxref");
  const bool singleRevision = (endMarkers == 1 && pointers == 1) ||
                              (endMarkers == 2 && pointers == 2 && isLinearizedSingleRevision(bytes));
  if (!singleRevision) {
    fail(HelperErrorCode::unsupportedSource, "Incrementally updated or ambiguous PDF structure is not accepted.");
  }
  // 4. Object limit.
  if (countObjectDeclarations(bytes) > HelperLimits::maximumPDFObjects) {
    fail(HelperErrorCode::resourceLimit, "The PDF exceeds the object limit.");
  }
  // 5. Opening, with two independent readers of the same bytes.
  std::optional<CGPDFDocument> coreGraphicsDocument = CGPDFDocument::createWithData(data);
  std::optional<PDFDocument> pdfKitDocument =
      coreGraphicsDocument ? PDFDocument::initWithData(data) : std::optional<PDFDocument>();
  if (!coreGraphicsDocument || !pdfKitDocument) fail(HelperErrorCode::decodeFailed, "The PDF could not be opened.");
  // 6. Encryption; no password is ever tried.
  if (coreGraphicsDocument->isEncrypted() || pdfKitDocument->isEncrypted() || pdfKitDocument->isLocked()) {
    fail(HelperErrorCode::unsupportedSource, "Encrypted or password-protected PDFs are not accepted.");
  }
  // 7. Both readers must see the same, non-empty page tree.
  const std::size_t pageCount = pdfKitDocument->pageCount();
  if (pageCount < 1 || coreGraphicsDocument->numberOfPages() != pageCount) {
    fail(HelperErrorCode::decodeFailed, "The PDF page tree is invalid.");
  }
  // 8. Page limit.
  if (pageCount > static_cast<std::size_t>(HelperLimits::maximumPDFPages)) {
    fail(HelperErrorCode::resourceLimit, "The PDF exceeds the page limit.");
  }
  // 9. Name-token evidence.
  const PDFNameFeatures names(bytes);

  // 10. Pages.
  PDFProbe probe;
  probe.family = "pdf";
  probe.hasAnnotations = names.hasAnnotations;
  bool pageAF = false;
  bool pageAA = false;
  probe.pages.reserve(pageCount);
  for (std::size_t index = 0; index < pageCount; ++index) {
    const std::optional<PDFPage> pdfKitPage = pdfKitDocument->pageAtIndex(index);
    const std::optional<CGPDFPage> coreGraphicsPage = coreGraphicsDocument->page(index + 1);
    if (!pdfKitPage || !coreGraphicsPage) fail(HelperErrorCode::decodeFailed, "A PDF page could not be opened.");

    const std::optional<PDFRect> box = coreGraphicsPage->mediaBox();
    const bool geometryAccepted = box && std::isfinite(box->x) && std::isfinite(box->y) &&
                                  std::fabs(box->x) <= 0.001 && std::fabs(box->y) <= 0.001 &&
                                  std::isfinite(box->width) && std::isfinite(box->height) && box->width > 0 &&
                                  box->height > 0 && box->width <= HelperLimits::maximumPDFPagePoints &&
                                  box->height <= HelperLimits::maximumPDFPagePoints;
    if (!geometryAccepted) {
      fail(HelperErrorCode::resourceLimit, "A PDF page has unsupported or excessive geometry.");
    }

    const std::optional<std::int32_t> angle = coreGraphicsPage->rotationAngle();
    std::int32_t rotation = angle ? *angle % 360 : 1;
    if (rotation < 0) rotation += 360;
    if (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270) {
      fail(HelperErrorCode::unsupportedSource, "A PDF page has an unsupported rotation.");
    }

    probe.pages.push_back(PDFPageGeometry{roundedToThousandths(box->width), roundedToThousandths(box->height),
                                          static_cast<std::int64_t>(rotation)});

    const CGPDFDictionary pageDictionary = coreGraphicsPage->dictionary();
    if (!pdfKitPage->annotations().empty() || pageDictionary.hasKey("Annots")) probe.hasAnnotations = true;
    if (pageDictionary.hasKey("AF")) pageAF = true;
    if (pageDictionary.hasKey("AA")) pageAA = true;

    // Every page is tested, even once some page is known to have text.
    if (pageHasText(*coreGraphicsPage, *pdfKitPage)) probe.hasText = true;
  }
  probe.pageCount = static_cast<std::int64_t>(probe.pages.size());

  // 12. Document-level flags: name evidence first, the catalog only when it is
  // still needed.
  const std::optional<CGPDFDictionary> catalog = coreGraphicsDocument->catalog();
  probe.hasForms = names.hasForms || dictionaryHasAnyKey(catalog, {"AcroForm"});
  probe.hasSignatures = names.hasSignatures || dictionaryHasAnyKey(catalog, {"Perms"});
  probe.hasAttachments = names.hasAttachments || dictionaryHasAnyKey(catalog, {"AF", "Collection"}) || pageAF;
  probe.hasJavaScriptOrActions =
      names.hasJavaScriptOrActions || dictionaryHasAnyKey(catalog, {"OpenAction", "AA"}) || pageAA;
  probe.hasOutlines = names.hasOutlines || dictionaryHasAnyKey(catalog, {"Outlines"}) ||
                      pdfKitDocument->hasOutlineRoot();
  probe.hasTaggedContent = names.hasTaggedContent || dictionaryHasAnyKey(catalog, {"StructTreeRoot", "MarkInfo"});
  probe.hasOptionalContent = names.hasOptionalContent || dictionaryHasAnyKey(catalog, {"OCProperties"});

  return InspectedPDF{std::move(data), std::move(*pdfKitDocument), std::move(*coreGraphicsDocument),
                      std::move(probe)};
}

}  // namespace quorvantelmic
