// The PDF reading services: a document parsed from bytes, its pages, their
// dictionaries and a scanner over a page's own content stream, plus drawing a
// page into a bitmap. The names follow the reading calls the PDF pipeline is
// written against (document, page, dictionary, operator table, content stream,
// scanner); underneath, structure comes from qpdf and drawing from poppler.
//
// Everything here reads the bytes in place and keeps them alive through a
// shared pointer, so documents and pages can be copied and moved freely while
// the bytes stay put. Neither library ever writes to standard error: qpdf gets
// a logger that discards everything and poppler an error hook that drops its
// messages.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper_core/pdf/platform/pdf_geometry.hpp"

namespace quorvantelmic {

using PDFData = std::shared_ptr<const std::vector<std::uint8_t>>;

namespace detail {
struct CGPDFDocumentState;
struct CGPDFPageState;
}  // namespace detail

// A dictionary of a document (the catalog or a page dictionary), valid while
// any handle of its document lives.
class CGPDFDictionary {
 public:
  // Whether `key` (without the leading "/") is present with a non-null value.
  bool hasKey(std::string_view key) const;

 private:
  friend class CGPDFDocument;
  friend class CGPDFPage;
  struct Handle;
  explicit CGPDFDictionary(std::shared_ptr<const Handle> handle) : handle_(std::move(handle)) {}
  std::shared_ptr<const Handle> handle_;
};

class CGPDFPage {
 public:
  // The media box as stored in the page or inherited from the page tree,
  // normalised so that width and height are not negative; none when the page
  // has no media box that is an array of four numbers.
  std::optional<PDFRect> mediaBox() const;

  // The /Rotate value stored in the page or inherited, 0 when there is none;
  // none when the value is not an integer that fits 32 bits.
  std::optional<std::int32_t> rotationAngle() const;

  CGPDFDictionary dictionary() const;

  // Draws the page onto an opaque white bitmap of exactly `pixelWidth` ×
  // `pixelHeight` pixels: the whole media box (never a smaller crop box),
  // `scale` pixels per point, the page's own rotation applied, the displayed
  // page's upper left corner at the bitmap's upper left. Pixels the page does
  // not cover stay white. None when the page cannot be drawn.
  std::optional<PDFBitmap> drawIntoBitmap(double scale, std::int64_t pixelWidth, std::int64_t pixelHeight) const;

 private:
  friend class CGPDFDocument;
  friend class CGPDFContentStream;
  friend class CGPDFScanner;
  explicit CGPDFPage(std::shared_ptr<const detail::CGPDFPageState> state) : state_(std::move(state)) {}
  std::shared_ptr<const detail::CGPDFPageState> state_;
};

class CGPDFDocument {
 public:
  // None when the bytes cannot be parsed as a PDF at all. An encrypted
  // document whose contents cannot be read without a password still yields a
  // document: it reports `isEncrypted()` and has no pages and no catalog.
  static std::optional<CGPDFDocument> createWithData(PDFData data);

  bool isEncrypted() const;
  // The number of leaf pages reachable through the page tree; 0 when the tree
  // cannot be walked (a loop, a missing root).
  std::size_t numberOfPages() const;
  std::optional<CGPDFDictionary> catalog() const;
  // Page `number` counted from 1; none outside 1 … numberOfPages().
  std::optional<CGPDFPage> page(std::size_t number) const;

 private:
  explicit CGPDFDocument(std::shared_ptr<detail::CGPDFDocumentState> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::CGPDFDocumentState> state_;
};

class CGPDFScanner;

// Called for a registered operator; `info` is the pointer the scanner was
// created with.
using CGPDFOperatorCallback = void (*)(CGPDFScanner* scanner, void* info);

class CGPDFOperatorTable {
 public:
  void setCallback(std::string operatorName, CGPDFOperatorCallback callback);
  CGPDFOperatorCallback callback(std::string_view operatorName) const;

 private:
  std::vector<std::pair<std::string, CGPDFOperatorCallback>> callbacks_;
};

// The page's own content (its /Contents stream or array of streams, never the
// forms or patterns it draws).
class CGPDFContentStream {
 public:
  static CGPDFContentStream createWithPage(const CGPDFPage& page) { return CGPDFContentStream(page); }

 private:
  friend class CGPDFScanner;
  explicit CGPDFContentStream(CGPDFPage page) : page_(std::move(page)) {}
  CGPDFPage page_;
};

class CGPDFScanner {
 public:
  CGPDFScanner(const CGPDFContentStream& stream, const CGPDFOperatorTable& table, void* info)
      : stream_(stream), table_(table), info_(info) {}

  // Parses the whole content and calls back for every registered operator in
  // order. Returns true only when the content parsed cleanly to its end: a
  // stream that cannot be decoded, a syntax error, or an operator that no PDF
  // content stream defines (outside a BX … EX compatibility section) ends the
  // scan as not completed, and so does a page too costly to draw. Callbacks
  // may have run for a scan that does not complete.
  bool scan();

 private:
  const CGPDFContentStream& stream_;
  const CGPDFOperatorTable& table_;
  void* info_;
};

}  // namespace quorvantelmic
