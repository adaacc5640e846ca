// A PDF writer over a growable byte buffer: pages are begun with a media box,
// images are drawn into them, and closing yields the file. Each drawn image
// becomes one image XObject holding its RGB pixels losslessly (Flate), placed by
// the page's content stream. The file has one cross-reference table, one
// trailer and no object streams, and carries no document information.
//
// Compressed image data is arbitrary bytes, and a "/" followed by letters in it
// reads as a name token to a raw byte scan. A writer can be given a screen that
// inspects each compressed stream; a stream it rejects is stored in other bytes
// for the same pixels where there are any (deflated at another zlib setting,
// or a JPEG coded anew by the caller), else hex-encoded on top of its filter,
// so the file carries only the names the writer itself chose.
//
// A JPEG can also be placed as it is (DCTDecode), when its decoded pixels are
// exactly what the page should show; a JPEG the screen rejects is screened the
// same way. A JPEG with a colour profile keeps it as
// an ICCBased colour space, so a reader shows the colours the photo meant
// without its pixels ever being converted here.
//
// Text recognition over rendered pages stands beside this writer in
// text_recognizer.hpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "helper_core/pdf/platform/pdf_geometry.hpp"

namespace quorvantelmic {

class CGPDFContext {
 public:
  // Returns true when the compressed stream must not be stored as it is.
  using StreamScreen = std::function<bool(std::span<const std::uint8_t> compressed)>;
  // The same stream content in other bytes, asked for only when the screen
  // rejects the first; none when there is none.
  using Rearrangement = std::function<std::optional<std::string>()>;

  explicit CGPDFContext(StreamScreen screen = {});
  ~CGPDFContext();
  CGPDFContext(CGPDFContext&&) noexcept;
  CGPDFContext& operator=(CGPDFContext&&) noexcept;

  // Each returns false when the call is out of order (a page begun twice, an
  // image outside a page, anything after close) or its arguments are unusable
  // (a media box that is not finite and positive, an image whose pixel buffer
  // is too small for its size).
  bool beginPage(const PDFRect& mediaBox);
  bool drawImage(const PDFRasterImage& image, const PDFRect& rect);
  // `jpeg` is a complete baseline or progressive JPEG of `width` x `height`
  // pixels with 1 (grey) or 3 (colour) components, stored unchanged. A
  // non-empty `iccProfile` (a profile of the same number of components) is
  // its colour space, stored deflated and screened like the image. `recoded`,
  // when given, is asked for the same pixels in other JPEG bytes if the
  // screen rejects `jpeg`.
  bool drawJpegImage(std::span<const std::uint8_t> jpeg, std::int64_t width, std::int64_t height, int components,
                     const PDFRect& rect, std::span<const std::uint8_t> iccProfile = {},
                     const Rearrangement& recoded = {});
  bool endPage();

  // Finishes the file; none when a page is still open or writing fails.
  std::optional<std::vector<std::uint8_t>> close();

 private:
  // Stores one image stream (screened, with `others` to try when the screen
  // rejects it) and places it on the open page; its colour space is the
  // device space of `components`, or `iccProfile`.
  void placeImage(std::string stored, const char* filterName, std::int64_t width, std::int64_t height,
                  int components, std::span<const std::uint8_t> iccProfile, const PDFRect& rect,
                  std::span<const Rearrangement> others);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quorvantelmic
