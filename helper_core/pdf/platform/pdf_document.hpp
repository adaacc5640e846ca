// The PDF document model: a document opened from bytes (poppler reads it; its
// annotations and page objects come from qpdf), or created empty; pages that
// can be copied, rotated and inserted; and the serialised bytes of the result
// (written by qpdf). Opening never copies the bytes: a document keeps them
// alive through its shared pointer.
//
// A document opened from bytes answers its page count, pages and outline from
// poppler's reading of the bytes, which is independent of the structural reader
// in core_graphics_pdf.hpp. Once pages are inserted, the document answers from
// its edited page list instead.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helper_core/pdf/platform/core_graphics_pdf.hpp"

namespace quorvantelmic {

namespace detail {
struct PDFDocumentState;
struct PDFPageState;
}  // namespace detail

class PDFPage {
 public:
  // The subtypes of the annotation dictionaries in the page's /Annots array
  // (an empty string for an annotation without one), in array order.
  std::vector<std::string> annotations() const;

  // The page's text as UTF-8; none when the page has no text layer that the
  // text extractor can read.
  std::optional<std::string> string() const;

  // Whether the text extractor may read this page: its drawing, added to
  // that of the pages extracted before it in the same document, is within the
  // bounds of text extraction. A page that passes is counted against the
  // document's bound; one that does not is never handed to the extractor.
  bool admitTextExtraction() const;

  // The page's rotation in degrees as stored or inherited, read as the
  // inspection reads it (a real such as 90.0 counts); 0 when absent or unreadable.
  std::int64_t rotation() const;
  // Sets the rotation this page will carry; on a copy it is applied when the
  // copy is inserted.
  void setRotation(std::int64_t degrees);

  // A copy of the page that can be inserted into any document; the original
  // is not changed by anything done to the copy.
  PDFPage copy() const;

 private:
  friend class PDFDocument;
  explicit PDFPage(std::shared_ptr<detail::PDFPageState> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::PDFPageState> state_;
};

class PDFDocument {
 public:
  // A document without pages.
  PDFDocument();

  // None when poppler cannot open the bytes or the structure reader cannot
  // parse them. A password-protected document opens and reports `isLocked()`.
  static std::optional<PDFDocument> initWithData(PDFData data);

  bool isEncrypted() const;
  bool isLocked() const;
  std::size_t pageCount() const;
  // Page `index` counted from 0; none outside 0 … pageCount() − 1.
  std::optional<PDFPage> pageAtIndex(std::size_t index) const;
  // Whether the document has an outline (bookmark tree).
  bool hasOutlineRoot() const;

  // Inserts `page` (typically a copy of a page of another document) so that it
  // becomes page `index`; `index` equal to pageCount() appends. Returns false
  // when the page cannot be inserted.
  bool insertPage(const PDFPage& page, std::size_t index);

  // The document written as one classic PDF file: a single cross-reference
  // table, no object streams, stream data kept as it is. None when writing
  // fails.
  std::optional<std::vector<std::uint8_t>> dataRepresentation() const;

 private:
  explicit PDFDocument(std::shared_ptr<detail::PDFDocumentState> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::PDFDocumentState> state_;
};

}  // namespace quorvantelmic
