#include "helper_core/pdf/platform/pdf_document.hpp"

#include <poppler-document.h>
#include <poppler-page.h>
#include <qpdf/QPDFAnnotationObjectHelper.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <exception>
#include <limits>

#include "helper_core/pdf/platform/library_support.hpp"
#include "helper_core/pdf/platform/page_drawing_bounds.hpp"

namespace quorvantelmic {

namespace detail {

struct PDFDocumentState {
  PDFData data;                                // the bytes poppler and qpdf read, for an opened document
  std::unique_ptr<poppler::document> poppler;  // the reading view of those bytes, until the first edit
  std::shared_ptr<QPDF> qpdf;                  // page objects and edits; empty when a password is needed
  std::vector<QPDFObjectHandle> pages;         // qpdf's page list
  bool encrypted = false;
  bool locked = false;
  bool edited = false;
  // What the text extractions of this document executed so far.
  PageDrawingCost textExtracted;
  // Documents whose pages were inserted here: qpdf reads their objects again
  // when this document is written, so they must outlive it.
  std::vector<std::shared_ptr<const PDFDocumentState>> sources;
};

struct PDFPageState {
  std::shared_ptr<PDFDocumentState> document;
  std::size_t index = 0;
  QPDFObjectHandle object;  // null when qpdf does not know the page
  std::optional<std::int64_t> rotation;
};

}  // namespace detail

namespace {

using detail::PageDrawingCost;
using detail::PDFDocumentState;
using detail::PDFPageState;

std::vector<QPDFObjectHandle> pagesOf(QPDF& qpdf) {
  try {
    return qpdf.getAllPages();
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

std::vector<std::string> PDFPage::annotations() const {
  std::vector<std::string> subtypes;
  if (state_->object.isNull()) return subtypes;
  try {
    for (QPDFAnnotationObjectHelper& annotation : QPDFPageObjectHelper(state_->object).getAnnotations()) {
      QPDFObjectHandle subtype = annotation.getObjectHandle().getKey("/Subtype");
      subtypes.push_back(subtype.isName() ? subtype.getName().substr(1) : std::string());
    }
  } catch (const std::exception&) {
    // An /Annots value qpdf cannot walk lists no annotations here; the raw
    // dictionary lookup still sees the key.
  }
  return subtypes;
}

std::optional<std::string> PDFPage::string() const {
  const PDFDocumentState& document = *state_->document;
  if (!document.poppler || document.edited) return std::nullopt;
  const std::unique_ptr<poppler::page> page(document.poppler->create_page(static_cast<int>(state_->index)));
  if (!page) return std::nullopt;
  const poppler::byte_array utf8 = page->text().to_utf8();
  return std::string(utf8.begin(), utf8.end());
}

bool PDFPage::admitTextExtraction() const {
  PDFDocumentState& document = *state_->document;
  if (state_->object.isNull()) return false;
  const std::optional<PageDrawingCost> cost = detail::pageDrawingCost(state_->object);
  if (!cost || !cost->withinTextExtractionPageBounds()) return false;
  PageDrawingCost total = document.textExtracted;
  total += *cost;
  if (!total.withinTextExtractionDocumentBounds()) return false;
  document.textExtracted = total;
  return true;
}

std::int64_t PDFPage::rotation() const {
  if (state_->rotation) return *state_->rotation;
  if (state_->object.isNull()) return 0;
  // Read exactly as the inspection reads it, so a page's rotation written as
  // a real (90.0) is kept by a copy; a value the inspection refuses never
  // gets this far.
  return detail::pageRotation(state_->object).value_or(0);
}

void PDFPage::setRotation(std::int64_t degrees) { state_->rotation = degrees; }

PDFPage PDFPage::copy() const { return PDFPage(std::make_shared<PDFPageState>(*state_)); }

PDFDocument::PDFDocument() : state_(std::make_shared<PDFDocumentState>()) {
  state_->qpdf = detail::makeQuietQPDF();
  state_->qpdf->emptyPDF();
  state_->edited = true;
}

std::optional<PDFDocument> PDFDocument::initWithData(PDFData data) {
  if (!data || data->size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return std::nullopt;
  detail::silencePoppler();
  auto state = std::make_shared<PDFDocumentState>();
  state->data = std::move(data);
  // Both libraries walk the page tree recursively; the structure reader checks
  // first that the tree is shallow enough for that, before poppler sees it.
  switch (detail::openQPDF(state->data, state->qpdf)) {
    case detail::QPDFOpening::unreadable:
      return std::nullopt;
    case detail::QPDFOpening::passwordRequired:
      state->encrypted = true;
      state->locked = true;
      break;
    case detail::QPDFOpening::opened:
      if (!detail::pageTreeWithinBounds(*state->qpdf)) return std::nullopt;
      try {
        state->encrypted = state->qpdf->isEncrypted();
      } catch (const std::exception&) {
        state->encrypted = true;
      }
      state->pages = pagesOf(*state->qpdf);
      break;
  }
  state->poppler.reset(poppler::document::load_from_raw_data(reinterpret_cast<const char*>(state->data->data()),
                                                             static_cast<int>(state->data->size())));
  if (!state->poppler) return std::nullopt;
  // Poppler reports a file that needs a user password as locked but not
  // always as encrypted; qpdf's refusal above settles it either way.
  state->locked = state->locked || state->poppler->is_locked();
  state->encrypted = state->encrypted || state->poppler->is_encrypted();
  return PDFDocument(std::move(state));
}

bool PDFDocument::isEncrypted() const { return state_->encrypted; }

bool PDFDocument::isLocked() const { return state_->locked; }

std::size_t PDFDocument::pageCount() const {
  if (!state_->edited && state_->poppler) {
    const int pages = state_->poppler->pages();
    return pages > 0 ? static_cast<std::size_t>(pages) : 0;
  }
  return state_->pages.size();
}

std::optional<PDFPage> PDFDocument::pageAtIndex(std::size_t index) const {
  if (index >= pageCount()) return std::nullopt;
  auto page = std::make_shared<PDFPageState>();
  page->document = state_;
  page->index = index;
  if (!state_->edited && state_->poppler) {
    const std::unique_ptr<poppler::page> popplerPage(state_->poppler->create_page(static_cast<int>(index)));
    if (!popplerPage) return std::nullopt;
  }
  if (index < state_->pages.size()) page->object = state_->pages[index];
  return PDFPage(std::move(page));
}

bool PDFDocument::hasOutlineRoot() const {
  // Read from the catalog rather than by building poppler's outline tree,
  // which recurses through every level of a hostile outline.
  if (state_->edited || !state_->qpdf) return false;
  try {
    QPDFObjectHandle outlines = state_->qpdf->getRoot().getKey("/Outlines");
    return outlines.isDictionary();
  } catch (const std::exception&) {
    return false;
  }
}

bool PDFDocument::insertPage(const PDFPage& page, std::size_t index) {
  PDFDocumentState& target = *state_;
  const PDFPageState& source = *page.state_;
  QPDFObjectHandle sourceObject = source.object;
  if (!target.qpdf || sourceObject.isNull() || target.locked) return false;
  try {
    QPDFPageDocumentHelper pageDocument(*target.qpdf);
    std::vector<QPDFPageObjectHelper> pages = pageDocument.getAllPages();
    if (index > pages.size()) return false;
    // A page of another document is copied with everything it references
    // (qpdf first pushes inherited attributes down to it); a page of this
    // document is inserted as a shallow copy.
    QPDFPageObjectHelper newPage(sourceObject);
    if (index == pages.size()) {
      pageDocument.addPage(newPage, false);
    } else {
      pageDocument.addPageAt(newPage, true, pages[index]);
    }
    target.pages = pagesOf(*target.qpdf);
    if (index >= target.pages.size()) return false;
    QPDFObjectHandle inserted = target.pages[index];
    const std::int64_t rotation = page.rotation();
    if (rotation == 0) {
      inserted.removeKey("/Rotate");
    } else {
      inserted.replaceKey("/Rotate", QPDFObjectHandle::newInteger(rotation));
    }
  } catch (const std::exception&) {
    target.pages = pagesOf(*target.qpdf);
    return false;
  }
  if (source.document != state_) target.sources.push_back(source.document);
  target.edited = true;
  target.poppler.reset();
  return true;
}

std::optional<std::vector<std::uint8_t>> PDFDocument::dataRepresentation() const {
  if (!state_->qpdf) return std::nullopt;
  return detail::serializedPDF(*state_->qpdf);
}

}  // namespace quorvantelmic
