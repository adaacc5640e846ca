// Internal to the PDF platform layer: how much work drawing a page would be.
//
// Poppler draws a page (and extracts its text) by executing its content and
// everything that content draws, without any budget of its own: a chain of
// form XObjects that each draw the next ten times takes a few hundred bytes
// and billions of drawings, a tiling pattern with a step of a thousandth of a
// point fills a page with hundreds of billions of tiles, an image may declare
// ten gigapixels over a tiny stream (or a JPEG 2000 stream whose own header
// declares them behind a small image dictionary), a mesh shading that
// inflates to a quarter of a gigabyte becomes more than a gigabyte of
// vertices, a function-based shading runs its colour function once for every
// pixel it covers (a PostScript function of a thousand operators over one
// page is minutes of work), and every q
// operator keeps a saved graphics state alive until its Q. None of that can be interrupted once
// poppler has started, so the work is estimated from the structure first,
// with qpdf, and a page over the bounds is never handed to poppler.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

namespace quorvantelmic::detail {

// What drawing one page executes, counting a form, pattern cell or glyph
// procedure each time it is drawn. Doubles, so that multiplied-out counts of
// hostile files saturate instead of overflowing.
struct PageDrawingCost {
  double operators = 0;     // content operators executed
  double contentBytes = 0;  // decoded content bytes lexed
  double formDrawings = 0;  // form XObjects, soft masks, glyph procedures and appearances drawn
  double imagePixels = 0;   // declared pixels of the images placed
  double patternTiles = 0;  // tiling-pattern cells painted
  double meshBytes = 0;     // decoded mesh-shading data poppler parses into vertices
  double shadingWork = 0;   // function operations of smooth shadings, times the points they are evaluated at
  double depth = 0;         // deepest nesting of saved graphics states

  PageDrawingCost& operator+=(const PageDrawingCost& other);
  PageDrawingCost scaled(double times) const;
  // Whether every count is within the bounds of one page.
  bool withinPageBounds() const;
  // Whether every count is within the bounds of a whole document (all its
  // pages together).
  bool withinDocumentBounds() const;
  // Whether poppler may extract the text of a page of this cost, and of a
  // document whose extractions so far cost this much together. Extraction
  // runs every operator of the page and its forms without any way to stop it
  // and keeps every word it finds until the end, so its bounds are tighter
  // than drawing's.
  bool withinTextExtractionPageBounds() const;
  bool withinTextExtractionDocumentBounds() const;
};

// Whether `name` is an operator that PDF content streams define (ISO
// 32000-1, Annex A).
bool isContentStreamOperator(std::string_view name);

// What a caller wants of the page's own content (its /Contents, never the
// forms or patterns it draws) while the cost walk parses it anyway, so that
// the content is decoded and parsed once for both.
struct OwnContentScan {
  // Called for each operator of the page's own content, in order, until an
  // operator that no content stream defines appears outside BX ... EX.
  std::function<void(const std::string& name)> onOperator;
  // Set when the content decoded without a warning and parsed cleanly to its
  // end: every stream of it decoded, no syntax warning, and no undefined
  // operator outside a compatibility section.
  bool completed = false;
};

// The cost of drawing `page` (content, forms, patterns, soft masks, Type 3
// glyphs and annotation appearances, as poppler draws them); none when some
// stream cannot be decoded within bounds, the structure nests too deeply to
// walk, or a count already passed the page bounds. With `own`, the page's own
// content is also reported as it is parsed; its callback may have run even
// when no cost is returned.
std::optional<PageDrawingCost> pageDrawingCost(QPDFObjectHandle page, OwnContentScan* own = nullptr);

}  // namespace quorvantelmic::detail
