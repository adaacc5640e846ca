// PNG through libpng. libpng's errors longjmp back into the function that set
// the jump (never through a C++ frame with destructors), its warnings are
// swallowed, and user limits stop dimension and chunk bombs before anything
// is allocated. APNG frame counts come from the acTL chunk, which libpng does
// not know.
//
// The iCCP chunk is framed by libpng but kept out of its colour-space checks,
// in both directions. Those checks judge the profile, not the file: libpng
// drops on reading, and refuses to write, profiles that photo editors embed
// every day (HP's sRGB profile that it lists as "known incorrect", Adobe's
// DCI-P3 and Rec.2020 profiles whose PCS illuminant is not D50, a rendering
// intent out of range). A conversion carries the source's profile byte for
// byte, so the chunk is read and written as it stands and only inflated or
// deflated here with zlib.
#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <png.h>
#include <zlib.h>

#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/image/platform/metadata_exiv2.hpp"
#include "helper_core/image/platform/pixels.hpp"

namespace quorvantelmic::detail {
namespace {

constexpr png_alloc_size_t maximumChunkBytes = 64U * 1024U * 1024U;
// What the compressed metadata chunks of one file (iCCP, zTXt, compressed
// iTXt) may inflate to, all together. More than any real profile or XMP
// packet needs (a JPEG cannot even carry a profile this large), and far below
// what a deflate stream can promise: at about 1000 to 1 a 16 KB chunk is
// 16 MiB, a 50 KB chunk 50 MiB.
constexpr std::size_t maximumInflatedMetadataBytes = 16U * 1024U * 1024U;
constexpr png_byte iccpChunkName[5] = {'i', 'C', 'C', 'P', '\0'};
// An ICC profile declares its own size in its first four bytes; a profile
// too short to hold its 128-byte header is not one.
constexpr std::size_t iccHeaderBytes = 128;

struct MemoryReader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t offset;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
  auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (length > reader->size - reader->offset) png_error(png, "truncated");
  std::memcpy(out, reader->data + reader->offset, length);
  reader->offset += length;
}

[[noreturn]] void pngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void pngWarning(png_structp, png_const_charp) {}

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The profile of an iCCP chunk's payload (a Latin-1 name of 1 to 79 bytes, a
// zero byte, compression method 0, then a zlib stream). The header is inflated
// first and the profile's declared size decides how much more is inflated, so
// a small chunk that inflates to gigabytes costs no more than its declared
// profile, itself at most the chunk limit. Empty when the payload is not one.
ImageBytes profileFromIccpPayload(std::span<const std::uint8_t> payload) {
  const std::size_t nameEnd =
      static_cast<std::size_t>(std::find(payload.begin(), payload.begin() + std::min<std::size_t>(payload.size(), 80), 0) -
                               payload.begin());
  if (nameEnd == 0 || nameEnd >= 80 || payload.size() < nameEnd + 2 || payload[nameEnd + 1] != 0) return {};
  const std::span<const std::uint8_t> stream = payload.subspan(nameEnd + 2);
  if (stream.size() > 0xffffffffU) return {};
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return {};
  ImageBytes profile(iccHeaderBytes);
  zs.next_in = const_cast<Bytef*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream.size());
  auto inflateInto = [&](std::size_t from) {
    zs.next_out = profile.data() + from;
    zs.avail_out = static_cast<uInt>(profile.size() - from);
    const int status = inflate(&zs, Z_FINISH);
    return status == Z_STREAM_END || (status == Z_BUF_ERROR && zs.avail_out == 0) || (status == Z_OK && zs.avail_out == 0);
  };
  bool whole = inflateInto(0) && zs.avail_out == 0;
  const std::size_t declared = whole ? bigEndian32(profile.data()) : 0;
  if (whole && declared >= iccHeaderBytes && declared <= maximumInflatedMetadataBytes) {
    if (declared > iccHeaderBytes) {
      try {
        profile.resize(declared);
      } catch (const std::bad_alloc&) {
        whole = false;
      }
      whole = whole && inflateInto(iccHeaderBytes) && zs.avail_out == 0;
    }
  } else {
    whole = false;
  }
  inflateEnd(&zs);
  if (!whole) return {};
  return profile;
}

// Walks the chunk framing for the two chunks libpng does not expose before
// the image data: acTL (APNG frame count) and eXIf wherever it sits.
struct ChunkFindings {
  std::optional<std::uint32_t> animationFrames;
  ImageBytes exif;
};

ChunkFindings scanChunks(std::span<const std::uint8_t> bytes) {
  ChunkFindings findings;
  std::size_t offset = 8;
  while (offset <= bytes.size() && bytes.size() - offset >= 12) {
    const std::uint32_t length = bigEndian32(bytes.data() + offset);
    if (length > bytes.size() - offset - 12) break;
    const std::uint8_t* type = bytes.data() + offset + 4;
    const std::uint8_t* payload = type + 4;
    if (std::memcmp(type, "acTL", 4) == 0 && length >= 8 && !findings.animationFrames) {
      findings.animationFrames = bigEndian32(payload);
    } else if (std::memcmp(type, "eXIf", 4) == 0 && findings.exif.empty()) {
      findings.exif.assign(payload, payload + length);
    } else if (std::memcmp(type, "IDAT", 4) == 0 && findings.animationFrames) {
      // acTL must precede the image data; nothing more to learn before it.
    } else if (std::memcmp(type, "IEND", 4) == 0) {
      break;
    }
    offset += std::size_t{length} + 12;
  }
  return findings;
}

// Whether every chunk that libpng would read lies wholly inside the data:
// those before the first IDAT when `throughImageData` is false (what
// png_read_info reads), every chunk up to IEND otherwise. libpng allocates and
// clears a buffer of the declared length of a text chunk before it reads the
// chunk's data, so a few hundred bytes declaring a 2 GiB chunk would make it
// write 2 GiB of memory before it notices that the data ends. Such a file can
// never be read; it is refused before libpng sees it.
bool chunkFramingFits(std::span<const std::uint8_t> bytes, bool throughImageData) {
  std::size_t offset = 8;
  while (offset <= bytes.size() && bytes.size() - offset >= 8) {
    const std::uint32_t length = bigEndian32(bytes.data() + offset);
    const std::uint8_t* type = bytes.data() + offset + 4;
    if (std::memcmp(type, "IEND", 4) == 0) return true;
    if (!throughImageData && std::memcmp(type, "IDAT", 4) == 0) return true;
    if (length > bytes.size() - offset - 8 || bytes.size() - offset - 8 - length < 4) return false;
    offset += std::size_t{length} + 12;
  }
  // Where the framing runs out, libpng stops with its own error.
  return true;
}

// The zlib stream of a compressed metadata chunk's payload, or nothing for a
// chunk that is stored uncompressed or is not a metadata chunk. iCCP and zTXt
// are a keyword, a zero byte and the method byte; iTXt adds a compression
// flag, then a language tag and a translated keyword, each ended by a zero.
std::optional<std::span<const std::uint8_t>> compressedMetadataStream(const std::uint8_t* type,
                                                                      std::span<const std::uint8_t> payload) {
  const bool profile = std::memcmp(type, "iCCP", 4) == 0;
  const bool compressedText = std::memcmp(type, "zTXt", 4) == 0;
  const bool internationalText = std::memcmp(type, "iTXt", 4) == 0;
  if (!profile && !compressedText && !internationalText) return std::nullopt;
  auto zero = [&](std::size_t from) {
    return static_cast<std::size_t>(std::find(payload.begin() + static_cast<std::ptrdiff_t>(from), payload.end(), 0) -
                                    payload.begin());
  };
  std::size_t at = zero(0);
  if (at >= payload.size()) return std::nullopt;
  if (internationalText) {
    if (payload.size() - at < 3 || payload[at + 1] == 0) return std::nullopt;  // uncompressed text
    at = zero(at + 3);
    if (at >= payload.size()) return std::nullopt;
    at = zero(at + 1);
    if (at >= payload.size()) return std::nullopt;
    return payload.subspan(at + 1);
  }
  if (payload.size() - at < 2) return std::nullopt;
  return payload.subspan(at + 2);
}

// Whether every compressed metadata chunk of the file, all together, inflates
// to at most `budget` bytes. The streams are inflated through a small window
// and only counted, and counting stops as soon as the budget is spent, so a
// file that would inflate to gigabytes costs the budget's worth of inflating
// and nothing more. libpng (the profile and text chunks) and exiv2 (which
// inflates every profile and text chunk it meets) read the file only after
// this check, so neither ever inflates more than the budget either. A stream
// that is damaged counts as far as it inflates: its readers stop there too.
bool compressedMetadataFitsBudget(std::span<const std::uint8_t> bytes, std::size_t budget) {
  std::array<std::uint8_t, 65536> window;
  std::size_t offset = 8;
  while (offset <= bytes.size() && bytes.size() - offset >= 12) {
    const std::uint32_t length = bigEndian32(bytes.data() + offset);
    if (length > bytes.size() - offset - 12) break;
    const std::uint8_t* type = bytes.data() + offset + 4;
    if (std::memcmp(type, "IEND", 4) == 0) break;
    const auto stream = compressedMetadataStream(type, bytes.subspan(offset + 8, length));
    offset += std::size_t{length} + 12;
    if (!stream || stream->empty()) continue;
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return false;
    zs.next_in = const_cast<Bytef*>(stream->data());
    zs.avail_in = static_cast<uInt>(stream->size());
    int status = Z_OK;
    while (status == Z_OK) {
      zs.next_out = window.data();
      zs.avail_out = static_cast<uInt>(window.size());
      status = inflate(&zs, Z_NO_FLUSH);
      const std::size_t produced = window.size() - zs.avail_out;
      if (produced > budget) {
        inflateEnd(&zs);
        return false;
      }
      budget -= produced;
      // No output and no input left to give: the stream is cut short.
      if (status == Z_OK && produced == 0 && zs.avail_in == 0) break;
    }
    inflateEnd(&zs);
  }
  return true;
}

struct PngHeader {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bitDepth = 0;
  int colorType = 0;
  bool transparency = false;
  ImageBytes icc;
};

void configureLimits(png_structp png) {
  png_set_user_limits(png, static_cast<png_uint_32>(maximumDecodeDimension),
                      static_cast<png_uint_32>(maximumDecodeDimension));
  png_set_chunk_malloc_max(png, maximumChunkBytes);
  png_set_chunk_cache_max(png, 1000);
  png_set_crc_action(png, PNG_CRC_DEFAULT, PNG_CRC_WARN_DISCARD);
}

bool readPngHeader(std::span<const std::uint8_t> bytes, PngHeader& header) {
  if (!chunkFramingFits(bytes, false)) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  MemoryReader reader{bytes.data(), bytes.size(), 0};
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  configureLimits(png);
  // The header is read at any size PNG allows, so that an oversized image is
  // described as what it is and refused by its size; only decoding is held
  // to the decode limits.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, iccpChunkName, 1);
  png_set_read_fn(png, &reader, readFromMemory);
  png_read_info(png, info);
  png_get_IHDR(png, info, &header.width, &header.height, &header.bitDepth, &header.colorType, nullptr, nullptr,
               nullptr);
  header.transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  png_unknown_chunkp chunks = nullptr;
  const int chunkCount = png_get_unknown_chunks(png, info, &chunks);
  for (int i = 0; i < chunkCount; ++i) {
    // The first iCCP counts, as it does for every reader.
    if (std::memcmp(chunks[i].name, iccpChunkName, 4) != 0 || chunks[i].data == nullptr) continue;
    header.icc = profileFromIccpPayload({chunks[i].data, chunks[i].size});
    break;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

bool decodePngInto(std::span<const std::uint8_t> bytes, std::uint8_t* pixels, std::size_t rowBytes, png_uint_32 expectedWidth,
                   png_uint_32 expectedHeight, png_bytepp rows) {
  if (!chunkFramingFits(bytes, true)) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  MemoryReader reader{bytes.data(), bytes.size(), 0};
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  configureLimits(png);
  // The header read took the profile; decoding the pixels needs none of it.
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, iccpChunkName, 1);
  png_set_read_fn(png, &reader, readFromMemory);
  png_read_info(png, info);
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bitDepth = 0;
  int colorType = 0;
  png_get_IHDR(png, info, &width, &height, &bitDepth, &colorType, nullptr, nullptr, nullptr);
  if (width != expectedWidth || height != expectedHeight) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) png_set_tRNS_to_alpha(png);
  if (bitDepth == 16) png_set_swap(png);  // host order (little-endian machines)
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != rowBytes) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = pixels + static_cast<std::size_t>(y) * rowBytes;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

// Reads every row of the image data into one row buffer, as stored: no
// transform is asked for, so each row is only inflated and unfiltered, and
// with interlace handling each pass's rows are read in turn. The file is
// read exactly as decodePngInto reads it otherwise (the same framing check,
// limits, CRC handling, error and warning handlers, and png_read_end through
// the end chunk), and none of the transforms that reading asks for can fail:
// they only widen samples that have already been inflated and unfiltered.
// So this read fails exactly when that one does.
bool provePngRows(std::span<const std::uint8_t> bytes, png_uint_32 expectedWidth, png_uint_32 expectedHeight, png_bytep row,
                  std::size_t rowBytes) {
  if (!chunkFramingFits(bytes, true)) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  MemoryReader reader{bytes.data(), bytes.size(), 0};
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  configureLimits(png);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, iccpChunkName, 1);
  png_set_read_fn(png, &reader, readFromMemory);
  png_read_info(png, info);
  if (png_get_image_width(png, info) != expectedWidth || png_get_image_height(png, info) != expectedHeight ||
      png_get_rowbytes(png, info) != rowBytes) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < expectedHeight; ++y) png_read_row(png, row, nullptr);
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

class PngDecoder final : public FormatDecoder {
 public:
  PngDecoder(SharedBytes bytes, PngHeader header, ChunkFindings findings)
      : bytes_(std::move(bytes)), header_(std::move(header)) {
    description_.typeIdentifier = "public.png";
    // An acTL whose count is 0 is invalid; the file then is still a PNG.
    description_.frameCount = findings.animationFrames && *findings.animationFrames > 0 ? *findings.animationFrames : 1;
    description_.width = header_.width;
    description_.height = header_.height;
    description_.storedBitDepth = header_.colorType == PNG_COLOR_TYPE_PALETTE ? 8 : static_cast<std::size_t>(header_.bitDepth);
    description_.hasAlpha = (header_.colorType & PNG_COLOR_MASK_ALPHA) != 0 || header_.transparency;
    description_.iccProfile = header_.icc;
    description_.exiv2ReadsContainer = true;
    description_.exifBlob = std::move(findings.exif);
  }

  std::optional<DecodedImage> decodeFrame0() const override {
    const bool gray = (header_.colorType & PNG_COLOR_MASK_COLOR) == 0;
    const bool alpha = description_.hasAlpha;
    const std::size_t bits = header_.bitDepth == 16 ? 16 : 8;
    const std::size_t channels = (gray ? 1 : 3) + (alpha ? 1 : 0);
    const std::size_t rowBytes = description_.width * channels * (bits / 8);
    auto pixels = allocatePixels(rowBytes * description_.height);
    std::vector<png_bytep> rows;
    try {
      rows.resize(description_.height);
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
    if (!pixels || !decodePngInto(*bytes_, pixels->data(), rowBytes, header_.width, header_.height, rows.data())) {
      return std::nullopt;
    }
    return DecodedImage(description_.width, description_.height, bits, rowBytes,
                        alpha ? ImageAlphaInfo::last : ImageAlphaInfo::none, frameSpace(), std::move(pixels));
  }

  // Every row inflated and unfiltered as stored, through one row buffer (see
  // provePngRows); the shape is the one decodeFrame0 gives the frame.
  std::optional<DecodedFrameShape> proveFrame0() const override {
    std::size_t channels = (header_.colorType & PNG_COLOR_MASK_COLOR) != 0 ? 3 : 1;
    if (header_.colorType == PNG_COLOR_TYPE_PALETTE) channels = 1;
    if ((header_.colorType & PNG_COLOR_MASK_ALPHA) != 0) channels += 1;
    const std::size_t storedRowBytes = (description_.width * channels * static_cast<std::size_t>(header_.bitDepth) + 7) / 8;
    ImageBytes row;
    try {
      row.resize(storedRowBytes);
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
    if (!provePngRows(*bytes_, header_.width, header_.height, row.data(), storedRowBytes)) return std::nullopt;
    return DecodedFrameShape{description_.width, description_.height, header_.bitDepth == 16 ? 16U : 8U,
                             description_.hasAlpha ? ImageAlphaInfo::last : ImageAlphaInfo::none, frameSpace()};
  }

 private:
  std::shared_ptr<const ColorSpace> frameSpace() const {
    const ColorSpaceModel model =
        (header_.colorType & PNG_COLOR_MASK_COLOR) == 0 ? ColorSpaceModel::monochrome : ColorSpaceModel::rgb;
    std::shared_ptr<const ColorSpace> space;
    if (!header_.icc.empty()) {
      space = ColorSpace::createWithIccData(header_.icc);
      if (space && space->model() != model) space = nullptr;
    }
    if (!space) space = ColorSpace::createGeneric(model);
    return space;
  }

  SharedBytes bytes_;
  PngHeader header_;
};

}  // namespace

bool sniffPng(std::span<const std::uint8_t> bytes) {
  static constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  return bytes.size() >= 8 && std::memcmp(bytes.data(), signature, 8) == 0;
}

std::unique_ptr<FormatDecoder> createPngDecoder(const SharedBytes& bytes) {
  // A file whose metadata would inflate beyond the budget is not read at all.
  if (!compressedMetadataFitsBudget(*bytes, maximumInflatedMetadataBytes)) return nullptr;
  PngHeader header;
  if (!readPngHeader(*bytes, header) || header.width == 0 || header.height == 0) return nullptr;
  return std::make_unique<PngDecoder>(bytes, std::move(header), scanChunks(*bytes));
}

// ---------------------------------------------------------------------------
// Encoding

namespace {

void writeToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<ImageBytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}
void flushNothing(png_structp) {}

// ImageMagick's raw-profile text, which exiv2 and other readers take IPTC
// from in PNG: a newline, the profile name, the byte count, then hex digits.
std::string rawProfileText(std::string_view name, const ImageBytes& bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text = "\n" + std::string(name) + "\n";
  char count[24];
  std::snprintf(count, sizeof count, "%8zu", bytes.size());
  text += count;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i % 36 == 0) text += '\n';
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  text += '\n';
  return text;
}

// An iCCP payload for `icc`: its name, a zero byte, compression method 0 and
// the deflated profile.
bool iccpPayloadFor(const ImageBytes& icc, const std::string& name, ImageBytes& payload) {
  // libpng's own bound on a chunk a reader must inflate: most readers refuse
  // a larger profile, and no real one comes near it (a 50 MB profile is a
  // decompression bomb).
  constexpr std::size_t maximumWrittenProfileBytes = PNG_USER_CHUNK_MALLOC_MAX;
  if (icc.size() > maximumWrittenProfileBytes || name.empty() || name.size() > 79) return false;
  uLongf deflatedSize = compressBound(static_cast<uLong>(icc.size()));
  try {
    payload.assign(name.begin(), name.end());
    payload.push_back(0);
    payload.push_back(0);
    payload.resize(payload.size() + deflatedSize);
  } catch (const std::bad_alloc&) {
    return false;
  }
  Bytef* out = payload.data() + name.size() + 2;
  if (compress2(out, &deflatedSize, icc.data(), static_cast<uLong>(icc.size()), Z_BEST_COMPRESSION) != Z_OK) return false;
  payload.resize(name.size() + 2 + deflatedSize);
  return true;
}

struct PngTexts {
  std::string xmp;
  std::string iptc;
};

// `iccpPayload` is made by the caller: nothing with a destructor may be
// created below the jump.
bool encodePngInto(const PlainPixels& pixels, const ImageBytes* exif, const PngTexts& texts,
                   const ImageBytes& iccpPayload, ImageBytes& output) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &output, writeToVector, flushNothing);
  int colorType = 0;
  if (pixels.colorComponents == 1) {
    colorType = pixels.alpha ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY;
  } else {
    colorType = pixels.alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
  }
  png_set_IHDR(png, info, static_cast<png_uint_32>(pixels.width), static_cast<png_uint_32>(pixels.height),
               static_cast<int>(pixels.bitsPerComponent), colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_unknown_chunk iccpChunk{};
  if (!iccpPayload.empty()) {
    std::memcpy(iccpChunk.name, iccpChunkName, sizeof iccpChunkName);
    iccpChunk.data = const_cast<png_bytep>(iccpPayload.data());
    iccpChunk.size = iccpPayload.size();
    iccpChunk.location = PNG_HAVE_IHDR;
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, iccpChunkName, 1);
    png_set_unknown_chunks(png, info, &iccpChunk, 1);
  }
  if (exif != nullptr && !exif->empty() && exif->size() <= 0x7fffffffU) {
    png_set_eXIf_1(png, info, static_cast<png_uint_32>(exif->size()), const_cast<png_bytep>(exif->data()));
  }
  png_text entries[2] = {};
  int textCount = 0;
  if (!texts.xmp.empty()) {
    entries[textCount].compression = PNG_ITXT_COMPRESSION_NONE;
    entries[textCount].key = const_cast<png_charp>("XML:com.adobe.xmp");
    entries[textCount].text = const_cast<png_charp>(texts.xmp.c_str());
    entries[textCount].itxt_length = texts.xmp.size();
    entries[textCount].lang = const_cast<png_charp>("");
    entries[textCount].lang_key = const_cast<png_charp>("");
    ++textCount;
  }
  if (!texts.iptc.empty()) {
    entries[textCount].compression = PNG_TEXT_COMPRESSION_zTXt;
    entries[textCount].key = const_cast<png_charp>("Raw profile type iptc");
    entries[textCount].text = const_cast<png_charp>(texts.iptc.c_str());
    entries[textCount].text_length = texts.iptc.size();
    ++textCount;
  }
  if (textCount > 0) png_set_text(png, info, entries, textCount);
  // After the row filters a photograph is close to noise, on which zlib's
  // default matching spends most of the encode (6 s for a 12-megapixel
  // photo) to little effect; run-length matching is seven times faster and
  // smaller still. Drawings, text and screenshots repeat themselves at a
  // distance, which only the default matching finds.
  if (looksPhotographic(pixels)) png_set_compression_strategy(png, Z_RLE);
  png_write_info(png, info);
  if (pixels.bitsPerComponent == 16) png_set_swap(png);
  for (std::size_t y = 0; y < pixels.height; ++y) png_write_row(png, pixels.row(y));
  // The metadata went out with the header; passing the info again would
  // write eXIf a second time.
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::optional<ImageBytes> encodePng(const EncodeRequest& request) {
  const std::size_t bits = request.image.bitsPerComponent() > 8 ? 16 : 8;
  std::optional<PlainPixels> pixels = plainPixels(request.image, true, bits);
  if (!pixels || pixels->width > 0x7fffffff || pixels->height > 0x7fffffff) return std::nullopt;
  const ColorSpaceModel model = pixels->colorSpace->model();
  if (model != ColorSpaceModel::monochrome && model != ColorSpaceModel::rgb) return std::nullopt;
  std::optional<OutputMetadataBlobs> blobs;
  if (request.metadata != nullptr) {
    blobs = outputMetadataBlobs(*request.metadata, request.orientation, pixels->width, pixels->height);
    if (!blobs) return std::nullopt;
  } else {
    blobs.emplace();
  }
  if (blobs->exifTiff.empty() && request.orientation != 1) {
    std::optional<ImageBytes> exif = exifWithOrientationOnly(request.orientation);
    if (!exif) return std::nullopt;
    blobs->exifTiff = std::move(*exif);
  }
  PngTexts texts;
  texts.xmp = blobs->xmpPacket;
  if (!blobs->photoshopIrb.empty()) texts.iptc = rawProfileText("iptc", blobs->photoshopIrb);
  const ImageBytes& icc = pixels->colorSpace->iccData();
  std::string iccName = iccDescription(icc).value_or("ICC profile");
  // iCCP names are Latin-1, 1 to 79 bytes, without leading or trailing spaces.
  iccName.erase(std::remove_if(iccName.begin(), iccName.end(),
                               [](char c) { return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e; }),
                iccName.end());
  if (iccName.size() > 79) iccName.resize(79);
  // Nor two spaces in a row.
  iccName.erase(std::unique(iccName.begin(), iccName.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
                iccName.end());
  while (!iccName.empty() && iccName.back() == ' ') iccName.pop_back();
  while (!iccName.empty() && iccName.front() == ' ') iccName.erase(iccName.begin());
  if (iccName.empty()) iccName = "ICC profile";
  ImageBytes iccpPayload;
  if (!icc.empty() && !iccpPayloadFor(icc, iccName, iccpPayload)) return std::nullopt;
  ImageBytes output;
  // Each row is stored with its filter byte.
  if (!reserveOutputRoom(output, (pixels->bytesPerRow() + 1) * pixels->height)) return std::nullopt;
  if (!encodePngInto(*pixels, blobs->exifTiff.empty() ? nullptr : &blobs->exifTiff, texts, iccpPayload, output)) {
    return std::nullopt;
  }
  return output;
}

}  // namespace quorvantelmic::detail
