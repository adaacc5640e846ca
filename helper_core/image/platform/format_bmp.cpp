// BMP, written here because Debian has no BMP library: BITMAPCOREHEADER and
// BITMAPINFOHEADER to V5, 1/4/8-bit palettes, RLE4 and RLE8, 16/24/32-bit
// pixels with or without bit fields, top-down rows and embedded V5 profiles.
// Every read is bounds-checked against the buffer.
#include <algorithm>
#include <bit>
#include <cstring>

#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/image/platform/pixels.hpp"

namespace quorvantelmic::detail {
namespace {

std::optional<std::uint32_t> le32(std::span<const std::uint8_t> bytes, std::size_t at) {
  if (at > bytes.size() || bytes.size() - at < 4) return std::nullopt;
  return std::uint32_t{bytes[at]} | (std::uint32_t{bytes[at + 1]} << 8) | (std::uint32_t{bytes[at + 2]} << 16) |
         (std::uint32_t{bytes[at + 3]} << 24);
}

std::optional<std::uint16_t> le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  if (at > bytes.size() || bytes.size() - at < 2) return std::nullopt;
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

constexpr std::uint32_t biRgb = 0, biRle8 = 1, biRle4 = 2, biBitfields = 3, biAlphaBitfields = 6;

struct BmpHeader {
  std::size_t width = 0;
  std::size_t height = 0;
  bool topDown = false;
  std::uint16_t bits = 0;
  std::uint32_t compression = biRgb;
  std::uint32_t dataOffset = 0;
  std::uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
  std::vector<std::array<std::uint8_t, 3>> palette;  // RGB
  ImageBytes icc;
};

std::optional<BmpHeader> parseHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 26 || bytes[0] != 'B' || bytes[1] != 'M') return std::nullopt;
  BmpHeader header;
  header.dataOffset = *le32(bytes, 10);
  const std::uint32_t infoSize = le32(bytes, 14).value_or(0);
  std::size_t paletteEntrySize = 4;
  if (infoSize == 12) {
    header.width = le16(bytes, 18).value_or(0);
    header.height = le16(bytes, 20).value_or(0);
    header.bits = le16(bytes, 24).value_or(0);
    paletteEntrySize = 3;
  } else if (infoSize >= 40 && infoSize <= 124) {
    if (bytes.size() < 14 + std::size_t{infoSize}) return std::nullopt;
    const auto width = static_cast<std::int32_t>(*le32(bytes, 18));
    const auto height = static_cast<std::int32_t>(*le32(bytes, 22));
    if (width <= 0 || height == 0 || height == INT32_MIN) return std::nullopt;
    header.width = static_cast<std::size_t>(width);
    header.topDown = height < 0;
    header.height = static_cast<std::size_t>(height < 0 ? -static_cast<std::int64_t>(height) : height);
    header.bits = *le16(bytes, 28);
    header.compression = *le32(bytes, 30);
    if (header.compression == biBitfields || header.compression == biAlphaBitfields) {
      // Masks follow a 40-byte header, or sit inside a larger one.
      const std::size_t count = header.compression == biAlphaBitfields || infoSize >= 56 ? 4 : 3;
      for (std::size_t i = 0; i < count; ++i) {
        const std::optional<std::uint32_t> mask = le32(bytes, 54 + 4 * i);
        if (!mask) return std::nullopt;
        header.masks[i] = *mask;
      }
    } else if (infoSize >= 56 && (header.bits == 16 || header.bits == 32)) {
      for (std::size_t i = 0; i < 4; ++i) header.masks[i] = le32(bytes, 54 + 4 * i).value_or(0);
      if (header.compression == biRgb) header.masks[0] = header.masks[1] = header.masks[2] = header.masks[3] = 0;
    }
    if (infoSize >= 124) {
      const std::uint32_t csType = *le32(bytes, 14 + 56);
      const std::uint32_t profileOffset = *le32(bytes, 14 + 112);
      const std::uint32_t profileSize = *le32(bytes, 14 + 116);
      if (csType == 0x4D424544 /* 'MBED' */ && profileSize > 0) {
        const std::size_t start = 14 + std::size_t{profileOffset};
        if (start <= bytes.size() && bytes.size() - start >= profileSize) {
          header.icc.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                            bytes.begin() + static_cast<std::ptrdiff_t>(start + profileSize));
        }
      }
    }
  } else {
    return std::nullopt;
  }
  if (header.width == 0 || header.height == 0) return std::nullopt;
  const bool bitsOk = header.bits == 1 || header.bits == 4 || header.bits == 8 || header.bits == 16 ||
                      header.bits == 24 || header.bits == 32;
  if (!bitsOk) return std::nullopt;
  if ((header.compression == biRle8 && header.bits != 8) || (header.compression == biRle4 && header.bits != 4)) {
    return std::nullopt;
  }
  if (header.compression != biRgb && header.compression != biRle8 && header.compression != biRle4 &&
      header.compression != biBitfields && header.compression != biAlphaBitfields) {
    return std::nullopt;
  }
  if (header.bits <= 8) {
    std::size_t colors = 1U << header.bits;
    if (infoSize >= 40) {
      const std::uint32_t used = le32(bytes, 46).value_or(0);
      if (used > 0 && used < colors) colors = used;
    }
    const std::size_t paletteStart = 14 + std::size_t{infoSize} +
                                     (infoSize == 40 && header.compression == biBitfields ? 12 : 0);
    for (std::size_t i = 0; i < colors; ++i) {
      const std::size_t at = paletteStart + i * paletteEntrySize;
      if (at + 3 > bytes.size()) break;
      header.palette.push_back({bytes[at + 2], bytes[at + 1], bytes[at]});
    }
    if (header.palette.empty()) return std::nullopt;
  }
  if (header.bits == 16 && header.masks[0] == 0 && header.masks[1] == 0 && header.masks[2] == 0) {
    header.masks[0] = 0x7C00;
    header.masks[1] = 0x03E0;
    header.masks[2] = 0x001F;
  }
  return header;
}

std::uint8_t scaledField(std::uint32_t value, std::uint32_t mask) {
  if (mask == 0) return 0;
  const int shift = std::countr_zero(mask);
  const std::uint32_t field = (value & mask) >> shift;
  const std::uint32_t maximum = mask >> shift;
  return static_cast<std::uint8_t>((field * 255U + maximum / 2) / maximum);
}

class BmpDecoder final : public FormatDecoder {
 public:
  BmpDecoder(SharedBytes bytes, BmpHeader header) : bytes_(std::move(bytes)), header_(std::move(header)) {
    description_.typeIdentifier = "com.microsoft.bmp";
    description_.frameCount = 1;
    description_.width = header_.width;
    description_.height = header_.height;
    description_.storedBitDepth = 8;
    description_.hasAlpha = header_.masks[3] != 0;
    description_.iccProfile = header_.icc;
  }

  std::optional<DecodedImage> decodeFrame0() const override {
    const std::size_t width = header_.width;
    const std::size_t height = header_.height;
    const std::size_t channels = description_.hasAlpha ? 4 : 3;
    auto pixels = allocatePixels(width * height * channels);
    if (!pixels) return std::nullopt;
    auto put = [&](std::size_t x, std::size_t storedRow, const std::uint8_t* rgb, std::uint8_t alpha) {
      const std::size_t y = header_.topDown ? storedRow : height - 1 - storedRow;
      std::uint8_t* p = pixels->data() + (y * width + x) * channels;
      p[0] = rgb[0];
      p[1] = rgb[1];
      p[2] = rgb[2];
      if (channels == 4) p[3] = alpha;
    };
    if (!readPixels(put)) return std::nullopt;
    return DecodedImage(width, height, 8, width * channels, channels == 4 ? ImageAlphaInfo::last : ImageAlphaInfo::none,
                        frameSpace(), std::move(pixels));
  }

  // The proof reads every pixel as decodeFrame0 does (the same bounds,
  // palette and run-length checks, which are all a BMP can fail) and stores
  // none of them.
  std::optional<DecodedFrameShape> proveFrame0() const override {
    auto put = [](std::size_t, std::size_t, const std::uint8_t*, std::uint8_t) {};
    if (!readPixels(put)) return std::nullopt;
    return DecodedFrameShape{header_.width, header_.height, 8,
                             description_.hasAlpha ? ImageAlphaInfo::last : ImageAlphaInfo::none, frameSpace()};
  }

 private:
  std::shared_ptr<const ColorSpace> frameSpace() const {
    std::shared_ptr<const ColorSpace> space;
    if (!header_.icc.empty()) space = ColorSpace::createWithIccData(header_.icc);
    if (!space || space->model() != ColorSpaceModel::rgb) space = ColorSpace::deviceRgb();
    return space;
  }

  // Reads every pixel, handing each to `put(x, stored row, rgb, alpha)`.
  // False when the pixel data is cut short or names a colour the palette
  // does not have.
  template <typename Put>
  bool readPixels(Put& put) const {
    const std::span<const std::uint8_t> bytes(*bytes_);
    const std::size_t width = header_.width;
    const std::size_t height = header_.height;
    if (header_.dataOffset >= bytes.size()) return false;
    auto paletteColor = [&](std::size_t index) -> const std::uint8_t* {
      return index < header_.palette.size() ? header_.palette[index].data() : nullptr;
    };
    if (header_.compression == biRle8 || header_.compression == biRle4) return decodeRle(bytes, put, paletteColor);
    const std::size_t rowBytes = ((width * header_.bits + 31) / 32) * 4;
    if (rowBytes > (bytes.size() - header_.dataOffset) / height) return false;
    for (std::size_t row = 0; row < height; ++row) {
      const std::uint8_t* line = bytes.data() + header_.dataOffset + row * rowBytes;
      for (std::size_t x = 0; x < width; ++x) {
        std::uint8_t rgb[3];
        std::uint8_t alpha = 255;
        if (header_.bits <= 8) {
          const std::size_t bit = x * header_.bits;
          const unsigned shift = static_cast<unsigned>(8 - header_.bits - (bit % 8));
          const std::size_t index = (line[bit / 8] >> shift) & ((1U << header_.bits) - 1U);
          const std::uint8_t* color = paletteColor(index);
          if (color == nullptr) return false;
          std::memcpy(rgb, color, 3);
        } else if (header_.bits == 24) {
          rgb[0] = line[x * 3 + 2];
          rgb[1] = line[x * 3 + 1];
          rgb[2] = line[x * 3];
        } else {
          const std::uint32_t value = header_.bits == 16
                                          ? std::uint32_t{line[x * 2]} | (std::uint32_t{line[x * 2 + 1]} << 8)
                                          : std::uint32_t{line[x * 4]} | (std::uint32_t{line[x * 4 + 1]} << 8) |
                                                (std::uint32_t{line[x * 4 + 2]} << 16) | (std::uint32_t{line[x * 4 + 3]} << 24);
          if (header_.bits == 32 && header_.masks[0] == 0 && header_.masks[1] == 0 && header_.masks[2] == 0) {
            rgb[0] = line[x * 4 + 2];
            rgb[1] = line[x * 4 + 1];
            rgb[2] = line[x * 4];
          } else {
            for (int c = 0; c < 3; ++c) rgb[c] = scaledField(value, header_.masks[c]);
            if (header_.masks[3] != 0) alpha = scaledField(value, header_.masks[3]);
          }
        }
        put(x, row, rgb, alpha);
      }
    }
    return true;
  }

  template <typename Put, typename PaletteColor>
  bool decodeRle(std::span<const std::uint8_t> bytes, Put& put, PaletteColor& paletteColor) const {
    const bool four = header_.compression == biRle4;
    std::size_t at = header_.dataOffset;
    std::size_t x = 0;
    std::size_t row = 0;  // stored rows, bottom first
    auto emit = [&](std::size_t index) {
      if (x < header_.width && row < header_.height) {
        const std::uint8_t* color = paletteColor(index);
        static constexpr std::uint8_t black[3] = {0, 0, 0};
        put(x, row, color != nullptr ? color : black, 255);
      }
      ++x;
    };
    while (row < header_.height) {
      if (at + 2 > bytes.size()) return false;
      const std::uint8_t count = bytes[at];
      const std::uint8_t value = bytes[at + 1];
      at += 2;
      if (count > 0) {
        for (std::size_t i = 0; i < count; ++i) emit(four ? ((i % 2 == 0) ? value >> 4 : value & 15) : value);
        continue;
      }
      if (value == 0) {  // end of line
        x = 0;
        ++row;
      } else if (value == 1) {  // end of bitmap
        return true;
      } else if (value == 2) {  // delta
        if (at + 2 > bytes.size()) return false;
        x += bytes[at];
        row += bytes[at + 1];
        at += 2;
      } else {  // absolute run of `value` pixels, padded to 16 bits
        const std::size_t dataBytes = four ? (value + 1U) / 2U : value;
        if (at + dataBytes > bytes.size()) return false;
        for (std::size_t i = 0; i < value; ++i) {
          const std::uint8_t byte = bytes[at + (four ? i / 2 : i)];
          emit(four ? ((i % 2 == 0) ? byte >> 4 : byte & 15) : byte);
        }
        at += dataBytes + (dataBytes % 2);
      }
    }
    return true;
  }

  SharedBytes bytes_;
  BmpHeader header_;
};

void putLe32(ImageBytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void putLe16(ImageBytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

bool sniffBmp(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 18 || bytes[0] != 'B' || bytes[1] != 'M') return false;
  const std::uint32_t infoSize = *le32(bytes, 14);
  return infoSize == 12 || infoSize == 40 || infoSize == 52 || infoSize == 56 || infoSize == 64 || infoSize == 108 ||
         infoSize == 124;
}

std::unique_ptr<FormatDecoder> createBmpDecoder(const SharedBytes& bytes) {
  std::optional<BmpHeader> header = parseHeader(*bytes);
  if (!header) return nullptr;
  return std::make_unique<BmpDecoder>(bytes, std::move(*header));
}

// 24-bit, bottom-up, BITMAPINFOHEADER; alpha is dropped (callers flatten it
// first) and no metadata or profile is written.
std::optional<ImageBytes> encodeBmp(const EncodeRequest& request) {
  std::optional<PlainPixels> plain = plainPixels(request.image, false, 8);
  if (!plain || plain->width > 0x7fffffff || plain->height > 0x7fffffff) return std::nullopt;
  const bool gray = plain->colorSpace->model() == ColorSpaceModel::monochrome;
  if (!gray && plain->colorSpace->model() != ColorSpaceModel::rgb) return std::nullopt;
  const std::size_t rowBytes = ((plain->width * 3) + 3) / 4 * 4;
  const std::size_t total = 54 + rowBytes * plain->height;
  if (total > 0xffffffffU) return std::nullopt;
  ImageBytes out;
  out.reserve(total);
  out.push_back('B');
  out.push_back('M');
  putLe32(out, static_cast<std::uint32_t>(total));
  putLe32(out, 0);
  putLe32(out, 54);
  putLe32(out, 40);
  putLe32(out, static_cast<std::uint32_t>(plain->width));
  putLe32(out, static_cast<std::uint32_t>(plain->height));
  putLe16(out, 1);
  putLe16(out, 24);
  putLe32(out, biRgb);
  putLe32(out, static_cast<std::uint32_t>(rowBytes * plain->height));
  putLe32(out, 2835);  // 72 dpi
  putLe32(out, 2835);
  putLe32(out, 0);
  putLe32(out, 0);
  const std::size_t channels = plain->channels();
  for (std::size_t row = plain->height; row-- > 0;) {
    const std::uint8_t* line = plain->row(row);
    for (std::size_t x = 0; x < plain->width; ++x) {
      const std::uint8_t* p = line + x * channels;
      out.push_back(gray ? p[0] : p[2]);
      out.push_back(gray ? p[0] : p[1]);
      out.push_back(p[0]);
    }
    for (std::size_t pad = plain->width * 3; pad < rowBytes; ++pad) out.push_back(0);
  }
  return out;
}

}  // namespace quorvantelmic::detail
