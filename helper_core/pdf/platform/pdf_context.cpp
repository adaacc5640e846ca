#include "helper_core/pdf/platform/pdf_context.hpp"

#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "helper_core/pdf/platform/library_support.hpp"

namespace quorvantelmic {

struct CGPDFContext::State {
  StreamScreen screen;
  std::shared_ptr<QPDF> qpdf;
  bool pageOpen = false;
  bool closed = false;
  PDFRect mediaBox;
  std::string content;
  QPDFObjectHandle images;
  int imageCount = 0;
  // The bytes of every stream stored so far, for sizing the file up front.
  std::size_t storedBytes = 0;
};

namespace {

bool usableRect(const PDFRect& rect) {
  return std::isfinite(rect.x) && std::isfinite(rect.y) && std::isfinite(rect.width) && std::isfinite(rect.height) &&
         rect.width > 0 && rect.height > 0;
}

// A number for a content stream: plain decimal, at most four decimals, no
// exponent, no trailing zeros.
std::string contentNumber(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", value);
  std::string result(text);
  while (!result.empty() && result.back() == '0') result.pop_back();
  if (!result.empty() && result.back() == '.') result.pop_back();
  if (result == "-0") result = "0";
  return result;
}

QPDFObjectHandle boxNumber(double value) {
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    return QPDFObjectHandle::newInteger(static_cast<long long>(value));
  }
  return QPDFObjectHandle::newReal(value, 4, true);
}

// What `feed` hands over (it calls its argument with each chunk in turn),
// deflated by zlib at `level` and `strategy` into a zlib stream, which
// /FlateDecode reads; none when zlib fails.
template <typename Feed>
std::optional<std::string> deflated(Feed feed, int level = Z_DEFAULT_COMPRESSION, int strategy = Z_DEFAULT_STRATEGY) {
  struct Stream {
    z_stream z{};
    bool open = false;
    ~Stream() {
      if (open) deflateEnd(&z);
    }
  } stream;
  if (deflateInit2(&stream.z, level, Z_DEFLATED, 15, 8, strategy) != Z_OK) return std::nullopt;
  stream.open = true;
  std::string compressed;
  std::vector<unsigned char> chunk(65536);
  bool ok = true;
  const auto drain = [&](const unsigned char* data, std::size_t size, int flush) {
    if (!ok) return;
    stream.z.next_in = const_cast<unsigned char*>(data);  // zlib only reads its input
    stream.z.avail_in = static_cast<uInt>(size);
    do {
      stream.z.next_out = chunk.data();
      stream.z.avail_out = static_cast<uInt>(chunk.size());
      if (deflate(&stream.z, flush) == Z_STREAM_ERROR) {
        ok = false;
        return;
      }
      compressed.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - stream.z.avail_out);
    } while (stream.z.avail_out == 0);
  };
  feed([&](const unsigned char* data, std::size_t size) { drain(data, size, Z_NO_FLUSH); });
  drain(nullptr, 0, Z_FINISH);
  if (!ok) return std::nullopt;
  return compressed;
}

// The page's RGB rows (from three or four bytes per pixel) handed to `write`
// one row at a time: the page's RGB never exists whole beside the pixels it
// comes from.
template <typename Write>
void forEachRgbRow(const PDFRasterImage& image, Write write) {
  std::vector<unsigned char> row(static_cast<std::size_t>(image.width * 3));
  for (std::int64_t y = 0; y < image.height; ++y) {
    const std::uint8_t* pixel = image.pixels.data() + y * image.bytesPerRow;
    if (image.bytesPerPixel == 3) {
      write(pixel, row.size());
      continue;
    }
    unsigned char* out = row.data();
    for (std::int64_t x = 0; x < image.width; ++x, pixel += 4, out += 3) {
      out[0] = pixel[0];
      out[1] = pixel[1];
      out[2] = pixel[2];
    }
    write(row.data(), row.size());
  }
}

std::optional<std::string> deflatedRows(const PDFRasterImage& image, int level = Z_DEFAULT_COMPRESSION,
                                        int strategy = Z_DEFAULT_STRATEGY) {
  return deflated([&image](auto write) { forEachRgbRow(image, write); }, level, strategy);
}

std::string hexEncoded(const std::string& bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2 + bytes.size() / 32 + 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0f]);
    if (i % 32 == 31) text.push_back('\n');
  }
  text.push_back('>');
  return text;
}

}  // namespace

CGPDFContext::CGPDFContext(StreamScreen screen) : state_(std::make_unique<State>()) {
  state_->screen = std::move(screen);
  state_->qpdf = detail::makeQuietQPDF();
  state_->qpdf->emptyPDF();
}

CGPDFContext::~CGPDFContext() = default;
CGPDFContext::CGPDFContext(CGPDFContext&&) noexcept = default;
CGPDFContext& CGPDFContext::operator=(CGPDFContext&&) noexcept = default;

bool CGPDFContext::beginPage(const PDFRect& mediaBox) {
  if (!state_ || state_->closed || state_->pageOpen || !usableRect(mediaBox)) return false;
  state_->pageOpen = true;
  state_->mediaBox = mediaBox;
  state_->content.clear();
  state_->images = QPDFObjectHandle::newDictionary();
  return true;
}

bool CGPDFContext::drawImage(const PDFRasterImage& image, const PDFRect& rect) {
  if (!state_ || !state_->pageOpen || !usableRect(rect)) return false;
  if (image.width < 1 || image.height < 1 || (image.bytesPerPixel != 3 && image.bytesPerPixel != 4)) return false;
  const std::int64_t rowBytes = image.width * image.bytesPerPixel;
  if (image.bytesPerRow < rowBytes || image.height > static_cast<std::int64_t>(image.pixels.size()) ||
      static_cast<std::int64_t>(image.pixels.size()) < image.bytesPerRow * (image.height - 1) + rowBytes) {
    return false;
  }
  try {
    std::optional<std::string> stored = deflatedRows(image);
    if (!stored) return false;
    // Deflated pixels are arbitrary bytes: a large page's stream holds a run
    // that the screen stops often enough, and hex-encoding would double the
    // page. zlib at another level or strategy arranges the same pixels in
    // other bytes.
    const std::vector<Rearrangement> others = {
        [&image] { return deflatedRows(image, Z_BEST_SPEED); },
        [&image] { return deflatedRows(image, Z_BEST_COMPRESSION); },
        [&image] { return deflatedRows(image, Z_DEFAULT_COMPRESSION, Z_FILTERED); },
    };
    placeImage(std::move(*stored), "/FlateDecode", image.width, image.height, 3, {}, rect, others);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool CGPDFContext::drawJpegImage(std::span<const std::uint8_t> jpeg, std::int64_t width, std::int64_t height,
                                 int components, const PDFRect& rect, std::span<const std::uint8_t> iccProfile,
                                 const Rearrangement& recoded) {
  if (!state_ || !state_->pageOpen || !usableRect(rect)) return false;
  if (width < 1 || height < 1 || (components != 1 && components != 3) || jpeg.size() < 4 || jpeg[0] != 0xFF ||
      jpeg[1] != 0xD8) {
    return false;
  }
  try {
    std::vector<Rearrangement> others;
    if (recoded) others.push_back(recoded);
    placeImage(std::string(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()), "/DCTDecode", width, height,
               components, iccProfile, rect, others);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

namespace {

// One stream object of `stored` under `filterName`. Data the screen rejects
// is replaced by the first of `others` (the same content in other bytes) that
// the screen passes; when none does, it is hex-encoded on top of its filter.
// Each candidate is screened once.
QPDFObjectHandle screenedStream(QPDF& qpdf, const CGPDFContext::StreamScreen& screen, std::string stored,
                                const char* filterName, std::size_t& storedBytes,
                                std::span<const CGPDFContext::Rearrangement> others = {}) {
  const auto rejected = [&screen](const std::string& data) {
    return screen && screen(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
  };
  QPDFObjectHandle filter = QPDFObjectHandle::newName(filterName);
  if (rejected(stored)) {
    bool replaced = false;
    for (const CGPDFContext::Rearrangement& other : others) {
      std::optional<std::string> candidate = other();
      if (candidate && !rejected(*candidate)) {
        stored = std::move(*candidate);
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      stored = hexEncoded(stored);
      filter = QPDFObjectHandle::newArray();
      filter.appendItem(QPDFObjectHandle::newName("/ASCIIHexDecode"));
      filter.appendItem(QPDFObjectHandle::newName(filterName));
    }
  }
  storedBytes += stored.size();
  QPDFObjectHandle stream = QPDFObjectHandle::newStream(&qpdf);
  stream.replaceStreamData(stored, filter, QPDFObjectHandle::newNull());
  return stream;
}

const char* deviceSpace(int components) {
  switch (components) {
    case 1: return "/DeviceGray";
    case 4: return "/DeviceCMYK";
    default: return "/DeviceRGB";
  }
}

}  // namespace

void CGPDFContext::placeImage(std::string stored, const char* filterName, std::int64_t width, std::int64_t height,
                              int components, std::span<const std::uint8_t> iccProfile, const PDFRect& rect,
                              std::span<const Rearrangement> others) {
  QPDFObjectHandle colorSpace = QPDFObjectHandle::newName(deviceSpace(components));
  if (!iccProfile.empty()) {
    // The profile travels with the pixels; a reader that cannot use it falls
    // back to the device space of the same number of components.
    std::optional<std::string> deflatedProfile =
        deflated([iccProfile](auto write) { write(iccProfile.data(), iccProfile.size()); });
    if (!deflatedProfile) throw std::runtime_error("the colour profile could not be deflated");
    QPDFObjectHandle profile = screenedStream(*state_->qpdf, state_->screen, std::move(*deflatedProfile),
                                              "/FlateDecode", state_->storedBytes);
    profile.getDict().replaceKey("/N", QPDFObjectHandle::newInteger(components));
    profile.getDict().replaceKey("/Alternate", colorSpace);
    colorSpace = QPDFObjectHandle::newArray();
    colorSpace.appendItem(QPDFObjectHandle::newName("/ICCBased"));
    colorSpace.appendItem(state_->qpdf->makeIndirectObject(profile));
  }
  QPDFObjectHandle stream =
      screenedStream(*state_->qpdf, state_->screen, std::move(stored), filterName, state_->storedBytes, others);
  QPDFObjectHandle dictionary = stream.getDict();
  dictionary.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
  dictionary.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
  dictionary.replaceKey("/Width", QPDFObjectHandle::newInteger(width));
  dictionary.replaceKey("/Height", QPDFObjectHandle::newInteger(height));
  dictionary.replaceKey("/ColorSpace", colorSpace);
  dictionary.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));

  const std::string name = "Im" + std::to_string(state_->imageCount++);
  state_->images.replaceKey("/" + name, stream);
  state_->content += "q\n" + contentNumber(rect.width) + " 0 0 " + contentNumber(rect.height) + " " +
                     contentNumber(rect.x) + " " + contentNumber(rect.y) + " cm\n/" + name + " Do\nQ\n";
}

bool CGPDFContext::endPage() {
  if (!state_ || !state_->pageOpen) return false;
  state_->pageOpen = false;
  try {
    const PDFRect& box = state_->mediaBox;
    QPDFObjectHandle mediaBox = QPDFObjectHandle::newArray();
    mediaBox.appendItem(boxNumber(box.x));
    mediaBox.appendItem(boxNumber(box.y));
    mediaBox.appendItem(boxNumber(box.x + box.width));
    mediaBox.appendItem(boxNumber(box.y + box.height));
    QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
    resources.replaceKey("/XObject", state_->images);
    QPDFObjectHandle page = QPDFObjectHandle::newDictionary();
    page.replaceKey("/Type", QPDFObjectHandle::newName("/Page"));
    page.replaceKey("/MediaBox", mediaBox);
    page.replaceKey("/Resources", resources);
    page.replaceKey("/Contents", QPDFObjectHandle::newStream(state_->qpdf.get(), state_->content));
    QPDFPageDocumentHelper(*state_->qpdf)
        .addPage(QPDFPageObjectHelper(state_->qpdf->makeIndirectObject(page)), false);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> CGPDFContext::close() {
  if (!state_ || state_->closed || state_->pageOpen) return std::nullopt;
  state_->closed = true;
  // The streams plus room for the objects, content and cross-reference
  // table around them.
  return detail::serializedPDF(*state_->qpdf, state_->storedBytes + 65536 + 512 * std::size_t(state_->imageCount));
}

}  // namespace quorvantelmic
