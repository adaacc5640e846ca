#include "helper_core/pdf/platform/core_graphics_pdf.hpp"

#include <poppler-document.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>


#include "helper_core/pdf/platform/library_support.hpp"
#include "helper_core/pdf/platform/page_drawing_bounds.hpp"

namespace quorvantelmic {

namespace detail {

// Poppler's view of the document, made only when a page is first drawn.
struct RenderingDocument {
  PDFData data;  // the bytes poppler reads: the source, or a copy without crop boxes
  std::unique_ptr<poppler::document> document;
};

struct CGPDFDocumentState {
  PDFData data;
  std::shared_ptr<QPDF> qpdf;  // empty for a document that needs a password
  bool encrypted = false;
  std::vector<QPDFObjectHandle> pages;
  // Filled on the first draw; `renderingAttempted` keeps a failed attempt from
  // being repeated for every page.
  mutable bool renderingAttempted = false;
  mutable std::unique_ptr<RenderingDocument> rendering;
  // Per page, whether poppler may draw it (-1 until its drawing was costed),
  // and the cost of the pages admitted so far.
  mutable std::vector<signed char> drawable;
  mutable PageDrawingCost drawingAdmitted;
};

struct CGPDFPageState {
  std::shared_ptr<const CGPDFDocumentState> document;
  std::size_t index = 0;  // from 0
  QPDFObjectHandle object;
};

}  // namespace detail

struct CGPDFDictionary::Handle {
  std::shared_ptr<const detail::CGPDFDocumentState> document;
  QPDFObjectHandle dictionary;
};

namespace {

using detail::CGPDFDocumentState;
using detail::CGPDFPageState;
using detail::PageDrawingCost;
using detail::RenderingDocument;

std::optional<PDFRect> rectangle(QPDFObjectHandle box) {
  try {
    if (!box.isRectangle()) return std::nullopt;
    const QPDFObjectHandle::Rectangle r = box.getArrayAsRectangle();
    PDFRect result;
    result.x = std::min(r.llx, r.urx);
    result.y = std::min(r.lly, r.ury);
    result.width = std::max(r.llx, r.urx) - result.x;
    result.height = std::max(r.lly, r.ury) - result.y;
    return result;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Poppler draws the crop box; the pipeline draws whole media boxes. When some
// page's crop box is smaller, poppler gets a copy of the document whose pages
// carry no crop box, so that it falls back to the media box.
PDFData renderingBytes(const PDFData& data) {
  std::shared_ptr<QPDF> qpdf;
  if (detail::openQPDF(data, qpdf) != detail::QPDFOpening::opened) return data;
  try {
    QPDFPageDocumentHelper pageDocument(*qpdf);
    bool cropped = false;
    for (QPDFPageObjectHelper& page : pageDocument.getAllPages()) {
      const std::optional<PDFRect> crop = rectangle(page.getAttribute("/CropBox", false));
      if (crop && crop != rectangle(page.getMediaBox(false))) {
        cropped = true;
        break;
      }
    }
    if (!cropped) return data;
    pageDocument.pushInheritedAttributesToPage();
    for (QPDFPageObjectHelper& page : pageDocument.getAllPages()) page.getObjectHandle().removeKey("/CropBox");
    QPDFWriter writer(*qpdf);
    writer.setOutputMemory();
    writer.setCompressStreams(false);
    writer.setDecodeLevel(qpdf_dl_none);
    writer.write();
    const std::shared_ptr<Buffer> buffer = writer.getBufferSharedPointer();
    const auto* begin = buffer->getBuffer();
    return std::make_shared<const std::vector<std::uint8_t>>(begin, begin + buffer->getSize());
  } catch (const std::exception&) {
    return data;
  }
}

// Whether poppler may draw page `index` (or extract its text, which draws it
// too): the page's own drawing and that of the pages admitted before it must
// stay within bounds. Each page is costed once per document.
// `own`, when given, receives the page's own content as the costing parses
// it; a page costed before is costed again for it.
bool pageDrawable(const CGPDFDocumentState& state, std::size_t index, detail::OwnContentScan* own = nullptr) {
  if (!state.qpdf || index >= state.pages.size()) return false;
  if (state.drawable.size() != state.pages.size()) state.drawable.assign(state.pages.size(), -1);
  if (state.drawable[index] == 1) {
    if (own != nullptr) (void)detail::pageDrawingCost(state.pages[index], own);
  } else if (state.drawable[index] < 0) {
    const std::optional<PageDrawingCost> cost = detail::pageDrawingCost(state.pages[index], own);
    PageDrawingCost total = state.drawingAdmitted;
    if (cost) total += *cost;
    const bool admitted = cost && total.withinDocumentBounds();
    if (admitted) state.drawingAdmitted = total;
    state.drawable[index] = admitted ? 1 : 0;
  }
  return state.drawable[index] == 1;
}

const RenderingDocument* renderingDocument(const CGPDFDocumentState& state) {
  if (state.renderingAttempted) return state.rendering.get();
  state.renderingAttempted = true;
  detail::silencePoppler();
  auto rendering = std::make_unique<RenderingDocument>();
  rendering->data = renderingBytes(state.data);
  if (!rendering->data || rendering->data->size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return nullptr;
  }
  rendering->document.reset(poppler::document::load_from_raw_data(
      reinterpret_cast<const char*>(rendering->data->data()), static_cast<int>(rendering->data->size())));
  if (!rendering->document || rendering->document->is_locked()) return nullptr;
  state.rendering = std::move(rendering);
  return state.rendering.get();
}

}  // namespace

bool CGPDFDictionary::hasKey(std::string_view key) const {
  try {
    if (!handle_) return false;
    QPDFObjectHandle dictionary = handle_->dictionary;
    return dictionary.isDictionary() && dictionary.hasKey("/" + std::string(key));
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<CGPDFDocument> CGPDFDocument::createWithData(PDFData data) {
  auto state = std::make_shared<CGPDFDocumentState>();
  state->data = std::move(data);
  switch (detail::openQPDF(state->data, state->qpdf)) {
    case detail::QPDFOpening::unreadable:
      return std::nullopt;
    case detail::QPDFOpening::passwordRequired:
      state->encrypted = true;
      return CGPDFDocument(std::move(state));
    case detail::QPDFOpening::opened:
      break;
  }
  try {
    state->encrypted = state->qpdf->isEncrypted();
  } catch (const std::exception&) {
    state->encrypted = true;
  }
  // qpdf walks the page tree recursively; a tree too deep for that is one this
  // reader cannot read.
  if (!detail::pageTreeWithinBounds(*state->qpdf)) return std::nullopt;
  try {
    state->pages = state->qpdf->getAllPages();
  } catch (const std::exception&) {
    state->pages.clear();  // a page tree that cannot be walked has no pages
  }
  return CGPDFDocument(std::move(state));
}

bool CGPDFDocument::isEncrypted() const { return state_->encrypted; }

std::size_t CGPDFDocument::numberOfPages() const { return state_->pages.size(); }

std::optional<CGPDFDictionary> CGPDFDocument::catalog() const {
  if (!state_->qpdf) return std::nullopt;
  try {
    QPDFObjectHandle root = state_->qpdf->getRoot();
    if (!root.isDictionary()) return std::nullopt;
    return CGPDFDictionary(std::make_shared<const CGPDFDictionary::Handle>(CGPDFDictionary::Handle{state_, root}));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<CGPDFPage> CGPDFDocument::page(std::size_t number) const {
  if (number < 1 || number > state_->pages.size()) return std::nullopt;
  auto page = std::make_shared<CGPDFPageState>();
  page->document = state_;
  page->index = number - 1;
  page->object = state_->pages[number - 1];
  if (!page->object.isDictionary()) return std::nullopt;
  return CGPDFPage(std::move(page));
}

std::optional<PDFRect> CGPDFPage::mediaBox() const {
  try {
    QPDFPageObjectHelper page(state_->object);
    return rectangle(page.getMediaBox(false));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::int32_t> CGPDFPage::rotationAngle() const { return detail::pageRotation(state_->object); }

CGPDFDictionary CGPDFPage::dictionary() const {
  return CGPDFDictionary(
      std::make_shared<const CGPDFDictionary::Handle>(CGPDFDictionary::Handle{state_->document, state_->object}));
}

std::optional<PDFBitmap> CGPDFPage::drawIntoBitmap(double scale, std::int64_t pixelWidth,
                                                   std::int64_t pixelHeight) const {
  // Bounds that keep every size computation below in range; the pipeline's own
  // limits are far smaller.
  constexpr std::int64_t largestEdge = 1 << 20;
  if (!(std::isfinite(scale) && scale > 0) || pixelWidth < 1 || pixelHeight < 1 || pixelWidth > largestEdge ||
      pixelHeight > largestEdge || pixelWidth * pixelHeight > (std::int64_t{1} << 31)) {
    return std::nullopt;
  }
  if (!pageDrawable(*state_->document, state_->index)) return std::nullopt;
  const RenderingDocument* rendering = renderingDocument(*state_->document);
  if (rendering == nullptr) return std::nullopt;
  const std::unique_ptr<poppler::page> page(rendering->document->create_page(static_cast<int>(state_->index)));
  if (!page) return std::nullopt;

  poppler::page_renderer renderer;
  renderer.set_paper_color(0xffffffffU);
  renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
  renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
  renderer.set_image_format(poppler::image::format_rgb24);
  const double resolution = 72.0 * scale;
  const poppler::image image = renderer.render_page(page.get(), resolution, resolution, 0, 0,
                                                    static_cast<int>(pixelWidth), static_cast<int>(pixelHeight),
                                                    poppler::rotate_0);
  if (!image.is_valid() || image.format() != poppler::image::format_rgb24) return std::nullopt;

  PDFBitmap bitmap;
  bitmap.width = pixelWidth;
  bitmap.height = pixelHeight;
  // Poppler may round the page to a pixel fewer or more than asked; what it
  // drew is copied in, the rest made white, in one pass over the rows.
  const auto rowBytes = static_cast<std::size_t>(pixelWidth * 3);
  bitmap.rgb.reserve(rowBytes * static_cast<std::size_t>(pixelHeight));
  const std::int64_t rows = std::min<std::int64_t>(pixelHeight, image.height());
  const auto drawnBytes = static_cast<std::size_t>(std::min<std::int64_t>(pixelWidth, image.width()) * 3);
  const char* source = image.const_data();
  for (std::int64_t row = 0; row < rows; ++row) {
    // Poppler's 24-bit format holds red, green and blue bytes per pixel.
    const auto* sourceRow = reinterpret_cast<const std::uint8_t*>(source + row * image.bytes_per_row());
    bitmap.rgb.insert(bitmap.rgb.end(), sourceRow, sourceRow + drawnBytes);
    bitmap.rgb.resize(bitmap.rgb.size() + rowBytes - drawnBytes, 0xff);
  }
  bitmap.rgb.resize(rowBytes * static_cast<std::size_t>(pixelHeight), 0xff);
  return bitmap;
}

void CGPDFOperatorTable::setCallback(std::string operatorName, CGPDFOperatorCallback function) {
  for (auto& entry : callbacks_) {
    if (entry.first == operatorName) {
      entry.second = function;
      return;
    }
  }
  callbacks_.emplace_back(std::move(operatorName), function);
}

CGPDFOperatorCallback CGPDFOperatorTable::callback(std::string_view operatorName) const {
  for (const auto& entry : callbacks_) {
    if (entry.first == operatorName) return entry.second;
  }
  return nullptr;
}

bool CGPDFScanner::scan() {
  const CGPDFPageState& page = *stream_.page_.state_;
  // The content is parsed once, by the costing of the page's drawing, which
  // reports each operator on its way. A page too costly to draw would be
  // drawn once more to extract its text; its scan does not complete, so text
  // is assumed instead.
  detail::OwnContentScan own;
  own.onOperator = [this](const std::string& name) {
    if (CGPDFOperatorCallback callback = table_.callback(name)) callback(this, info_);
  };
  return pageDrawable(*page.document, page.index, &own) && own.completed;
}

}  // namespace quorvantelmic
