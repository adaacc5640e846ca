// JPEG through libjpeg-turbo. libjpeg reports fatal errors through error_exit,
// which would end the process: it is replaced by a longjmp that never leaves
// the function that called setjmp, and no C++ object with a destructor lives
// between the two. Corrupt or truncated data only warns in libjpeg, so every
// warning counts and a decode with warnings is refused.
#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/image/platform/metadata_exiv2.hpp"
#include "helper_core/image/platform/pixels.hpp"

namespace quorvantelmic::detail {
namespace {

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  int warnings;
};

[[noreturn]] void jpegErrorExit(j_common_ptr info) {
  auto* error = reinterpret_cast<JpegError*>(info->err);
  std::longjmp(error->jump, 1);
}

void jpegEmitMessage(j_common_ptr info, int level) {
  if (level < 0) reinterpret_cast<JpegError*>(info->err)->warnings += 1;
}

void jpegOutputMessage(j_common_ptr) {}

void installErrorHandler(JpegError& error) {
  jpeg_std_error(&error.manager);
  error.manager.error_exit = jpegErrorExit;
  error.manager.emit_message = jpegEmitMessage;
  error.manager.output_message = jpegOutputMessage;
  error.warnings = 0;
}

struct JpegHeader {
  unsigned width = 0;
  unsigned height = 0;
  int components = 0;
  J_COLOR_SPACE colorSpace = JCS_UNKNOWN;
  bool adobe = false;
  bool multiPicture = false;
  ImageBytes photoshop;
  JOCTET* icc = nullptr;  // malloc'd by libjpeg, freed by the caller
  unsigned iccLength = 0;
};

// Reads the header only. Returns false for anything libjpeg refuses.
bool readJpegHeader(std::span<const std::uint8_t> bytes, JpegHeader& header) {
  jpeg_decompress_struct info;
  JpegError error;
  installErrorHandler(error);
  info.err = &error.manager;
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
  jpeg_save_markers(&info, JPEG_APP0 + 13, 0xFFFF);
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  header.width = info.image_width;
  header.height = info.image_height;
  header.components = info.num_components;
  header.colorSpace = info.jpeg_color_space;
  header.adobe = info.saw_Adobe_marker != 0;
  for (jpeg_saved_marker_ptr marker = info.marker_list; marker != nullptr; marker = marker->next) {
    if (marker->marker == JPEG_APP0 + 2 && marker->data_length >= 4 && std::memcmp(marker->data, "MPF\0", 4) == 0) {
      header.multiPicture = true;
    }
    static constexpr char photoshop[] = "Photoshop 3.0";
    if (marker->marker == JPEG_APP0 + 13 && marker->data_length > sizeof photoshop &&
        std::memcmp(marker->data, photoshop, sizeof photoshop) == 0) {
      header.photoshop.insert(header.photoshop.end(), marker->data + sizeof photoshop, marker->data + marker->data_length);
    }
  }
  if (!jpeg_read_icc_profile(&info, &header.icc, &header.iccLength)) {
    header.icc = nullptr;
    header.iccLength = 0;
  }
  jpeg_destroy_decompress(&info);
  return true;
}

// Decodes into `pixels`, which the caller sized for width × height × the
// output components (or for one row, with a `rowBytes` of 0). Returns false
// on error or on any warning.
bool decodeJpegInto(std::span<const std::uint8_t> bytes, J_COLOR_SPACE outputSpace, std::uint8_t* pixels, std::size_t rowBytes,
                    unsigned expectedWidth, unsigned expectedHeight, unsigned scaleDenominator = 1) {
  jpeg_decompress_struct info;
  JpegError error;
  installErrorHandler(error);
  info.err = &error.manager;
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  info.out_color_space = outputSpace;
  info.dct_method = JDCT_ISLOW;
  info.scale_num = 1;
  info.scale_denom = scaleDenominator;
  jpeg_start_decompress(&info);
  if (info.output_width != expectedWidth || info.output_height != expectedHeight) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = pixels + static_cast<std::size_t>(info.output_scanline) * rowBytes;
    if (jpeg_read_scanlines(&info, &row, 1) != 1) break;
  }
  const bool complete = info.output_scanline == info.output_height;
  if (complete) jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return complete && error.warnings == 0;
}

class JpegDecoder final : public FormatDecoder {
 public:
  JpegDecoder(SharedBytes bytes, const JpegHeader& header) : bytes_(std::move(bytes)) {
    description_.typeIdentifier = "public.jpeg";
    description_.frameCount = 1;
    description_.width = header.width;
    description_.height = header.height;
    description_.storedBitDepth = 8;
    description_.hasAlpha = false;
    description_.exiv2ReadsContainer = true;
    description_.hasSecondaryImages = header.multiPicture;
    description_.photoshopResources = header.photoshop;
    if (header.icc != nullptr) description_.iccProfile.assign(header.icc, header.icc + header.iccLength);
    switch (header.colorSpace) {
      case JCS_GRAYSCALE: output_ = JCS_GRAYSCALE; model_ = ColorSpaceModel::monochrome; break;
      case JCS_CMYK:
      case JCS_YCCK: output_ = JCS_CMYK; model_ = ColorSpaceModel::cmyk; break;
      default: output_ = JCS_RGB; model_ = ColorSpaceModel::rgb; break;
    }
    adobeInverted_ = header.adobe && output_ == JCS_CMYK;
  }

  std::optional<DecodedImage> decodeFrame0() const override { return decodeScaled(1); }

  // libjpeg draws the frame at 1/2, 1/4 or 1/8 straight from the DCT
  // coefficients, reading and checking the whole entropy-coded stream as a
  // full decode does, for a fraction of the work: a 12-megapixel photo
  // reduced for a 1000-pixel output decodes in a sixth of the time.
  std::optional<DecodedImage> decodeFrame0Reduced(std::size_t minimumLongSide) const override {
    const std::size_t longSide = std::max(description_.width, description_.height);
    unsigned denominator = 1;
    while (denominator < 8 && minimumLongSide > 0 && scaledExtent(longSide, denominator * 2) >= minimumLongSide) {
      denominator *= 2;
    }
    return decodeScaled(denominator);
  }

  // The proof is the decode at 1/8 with every scanline read into one row:
  // libjpeg entropy-decodes every coefficient of every block and scan at any
  // scale (the AC values are decoded and dropped, since the stream can only
  // be followed by decoding each code), so a corrupt code, a missing scan or
  // a truncated stream warns or fails exactly as in a full decode, and the
  // same warnings are refused. Only the inverse transform shrinks to the DC
  // term, and no frame is kept.
  std::optional<DecodedFrameShape> proveFrame0() const override {
    constexpr unsigned denominator = 8;
    const std::size_t width = scaledExtent(description_.width, denominator);
    const std::size_t height = scaledExtent(description_.height, denominator);
    std::shared_ptr<const ColorSpace> space = frameSpace();
    ImageBytes row;
    try {
      row.resize(width * space->componentCount());
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
    // A row stride of 0 draws every scanline into the same row.
    if (!decodeJpegInto(*bytes_, output_, row.data(), 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
                        denominator)) {
      return std::nullopt;
    }
    return DecodedFrameShape{width, height, 8, ImageAlphaInfo::none, std::move(space)};
  }

 private:
  std::shared_ptr<const ColorSpace> frameSpace() const {
    std::shared_ptr<const ColorSpace> space;
    if (!description_.iccProfile.empty()) {
      space = ColorSpace::createWithIccData(description_.iccProfile);
      if (space && space->model() != model_) space = nullptr;
    }
    if (!space) space = ColorSpace::createGeneric(model_);
    return space;
  }

  // libjpeg's size for an extent scaled by 1/denominator: rounded up.
  static std::size_t scaledExtent(std::size_t extent, unsigned denominator) {
    return (extent + denominator - 1) / denominator;
  }

  std::optional<DecodedImage> decodeScaled(unsigned denominator) const {
    const std::size_t width = scaledExtent(description_.width, denominator);
    const std::size_t height = scaledExtent(description_.height, denominator);
    std::shared_ptr<const ColorSpace> space = frameSpace();
    const std::size_t components = space->componentCount();
    const std::size_t rowBytes = width * components;
    auto pixels = allocatePixels(rowBytes * height);
    if (!pixels) return std::nullopt;
    if (!decodeJpegInto(*bytes_, output_, pixels->data(), rowBytes, static_cast<unsigned>(width),
                        static_cast<unsigned>(height), denominator)) {
      return std::nullopt;
    }
    if (adobeInverted_) {
      // Adobe writes CMYK inverted (0 is full ink); turn it into plain CMYK.
      for (std::uint8_t& value : *pixels) value = static_cast<std::uint8_t>(255 - value);
    }
    return DecodedImage(width, height, 8, rowBytes, ImageAlphaInfo::none, std::move(space), std::move(pixels));
  }

  SharedBytes bytes_;
  J_COLOR_SPACE output_ = JCS_RGB;
  ColorSpaceModel model_ = ColorSpaceModel::rgb;
  bool adobeInverted_ = false;
};

}  // namespace

bool sniffJpeg(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

std::unique_ptr<FormatDecoder> createJpegDecoder(const SharedBytes& bytes) {
  JpegHeader header;
  if (bytes->size() > 0xffffffffU || !readJpegHeader(*bytes, header)) return nullptr;
  struct Free {
    void operator()(JOCTET* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<JOCTET, Free> icc(header.icc);
  if (header.width == 0 || header.height == 0) return nullptr;
  return std::make_unique<JpegDecoder>(bytes, header);
}

// ---------------------------------------------------------------------------
// Encoding

namespace {

struct JpegOutput {
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
};

struct JpegMarkers {
  const ImageBytes* exif = nullptr;  // TIFF structure
  const std::string* xmp = nullptr;
  const ImageBytes* photoshop = nullptr;
  const ImageBytes* icc = nullptr;
};

bool writeMarker(j_compress_ptr info, int marker, const char* prefix, std::size_t prefixLength,
                 const std::uint8_t* data, std::size_t length) {
  if (prefixLength + length > 65533) return false;
  jpeg_write_m_header(info, marker, static_cast<unsigned>(prefixLength + length));
  for (std::size_t i = 0; i < prefixLength; ++i) jpeg_write_m_byte(info, static_cast<unsigned char>(prefix[i]));
  for (std::size_t i = 0; i < length; ++i) jpeg_write_m_byte(info, data[i]);
  return true;
}

// Rows as libjpeg reads them: `components` bytes per pixel in `space`.
struct JpegRows {
  const std::uint8_t* data = nullptr;
  std::size_t bytesPerRow = 0;
  std::size_t width = 0;
  std::size_t height = 0;
  int components = 0;
  const std::uint8_t* row(std::size_t y) const noexcept { return data + y * bytesPerRow; }
};

bool encodeJpegInto(const JpegRows& pixels, J_COLOR_SPACE space, int quality, const JpegMarkers& markers,
                    bool invertCmyk, JpegOutput& output) {
  jpeg_compress_struct info;
  JpegError error;
  installErrorHandler(error);
  info.err = &error.manager;
  unsigned char* row = nullptr;
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_compress(&info);
    std::free(row);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &output.buffer, &output.size);
  info.image_width = static_cast<JDIMENSION>(pixels.width);
  info.image_height = static_cast<JDIMENSION>(pixels.height);
  info.input_components = pixels.components;
  info.in_color_space = space;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  if (quality >= 90 && space != JCS_GRAYSCALE && space != JCS_CMYK) {
    // High qualities keep full chroma resolution.
    for (int i = 0; i < info.num_components; ++i) {
      info.comp_info[i].h_samp_factor = 1;
      info.comp_info[i].v_samp_factor = 1;
    }
  }
  info.dct_method = JDCT_ISLOW;
  jpeg_start_compress(&info, TRUE);
  bool fits = true;
  if (markers.exif != nullptr && !markers.exif->empty()) {
    fits = fits && writeMarker(&info, JPEG_APP0 + 1, "Exif\0\0", 6, markers.exif->data(), markers.exif->size());
  }
  if (markers.xmp != nullptr && !markers.xmp->empty()) {
    static constexpr char xmpNamespace[] = "http://ns.adobe.com/xap/1.0/";
    fits = fits && writeMarker(&info, JPEG_APP0 + 1, xmpNamespace, sizeof xmpNamespace,
                               reinterpret_cast<const std::uint8_t*>(markers.xmp->data()), markers.xmp->size());
  }
  if (markers.photoshop != nullptr && !markers.photoshop->empty()) {
    static constexpr char photoshop[] = "Photoshop 3.0";
    fits = fits && writeMarker(&info, JPEG_APP0 + 13, photoshop, sizeof photoshop, markers.photoshop->data(),
                               markers.photoshop->size());
  }
  if (markers.icc != nullptr && !markers.icc->empty() && markers.icc->size() <= 0xffffffffU) {
    jpeg_write_icc_profile(&info, markers.icc->data(), static_cast<unsigned>(markers.icc->size()));
  }
  const std::size_t rowBytes = pixels.bytesPerRow;
  if (invertCmyk) row = static_cast<unsigned char*>(std::malloc(rowBytes));
  if (!fits || (invertCmyk && row == nullptr)) {
    jpeg_destroy_compress(&info);
    std::free(row);
    return false;
  }
  while (info.next_scanline < info.image_height) {
    const std::uint8_t* source = pixels.row(info.next_scanline);
    JSAMPROW target;
    if (invertCmyk) {
      for (std::size_t i = 0; i < rowBytes; ++i) row[i] = static_cast<unsigned char>(255 - source[i]);
      target = row;
    } else {
      target = const_cast<JSAMPROW>(source);  // libjpeg only reads input rows
    }
    jpeg_write_scanlines(&info, &target, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::free(row);
  return error.warnings == 0;
}

}  // namespace

// Quality 0.6 to 1.0 maps linearly onto libjpeg's 60 to 100 (round(q × 100));
// from 90 up chroma is not subsampled.
std::optional<ImageBytes> encodeJpeg(const EncodeRequest& request) {
  const DecodedImage& image = request.image;
  if (!image.colorSpace() || image.width() > 65500 || image.height() > 65500) return std::nullopt;
  // Four-byte 8-bit RGB with padding or straight alpha (which a JPEG drops)
  // is read by libjpeg-turbo as it lies; anything else is made plain first.
  J_COLOR_SPACE space = JCS_UNKNOWN;
  if (image.bitsPerComponent() == 8 && image.colorSpace()->model() == ColorSpaceModel::rgb &&
      image.bytesPerRow() >= image.width() * 4) {
    switch (image.alphaInfo()) {
      case ImageAlphaInfo::noneSkipLast:
      case ImageAlphaInfo::last: space = JCS_EXT_RGBX; break;
      case ImageAlphaInfo::noneSkipFirst:
      case ImageAlphaInfo::first: space = JCS_EXT_XRGB; break;
      default: break;
    }
  }
  std::optional<PlainPixels> pixels;
  JpegRows rows;
  if (space != JCS_UNKNOWN) {
    rows = JpegRows{image.pixels().data(), image.bytesPerRow(), image.width(), image.height(), 4};
  } else {
    pixels = plainPixels(image, false, 8);
    if (!pixels) return std::nullopt;
    switch (pixels->colorSpace->model()) {
      case ColorSpaceModel::monochrome: space = JCS_GRAYSCALE; break;
      case ColorSpaceModel::rgb: space = JCS_RGB; break;
      case ColorSpaceModel::cmyk: space = JCS_CMYK; break;
      default: return std::nullopt;
    }
    rows = JpegRows{pixels->data(), pixels->bytesPerRow(), pixels->width, pixels->height,
                    static_cast<int>(pixels->colorComponents)};
  }
  std::optional<OutputMetadataBlobs> blobs;
  if (request.metadata != nullptr) {
    blobs = outputMetadataBlobs(*request.metadata, request.orientation, rows.width, rows.height);
    if (!blobs) return std::nullopt;
  } else {
    blobs.emplace();
  }
  if (blobs->exifTiff.empty() && request.orientation != 1) {
    std::optional<ImageBytes> exif = exifWithOrientationOnly(request.orientation);
    if (!exif) return std::nullopt;
    blobs->exifTiff = std::move(*exif);
  }
  const int quality = std::clamp(static_cast<int>(std::lround(request.quality * 100.0)), 1, 100);
  JpegMarkers markers{&blobs->exifTiff, &blobs->xmpPacket, &blobs->photoshopIrb, &image.colorSpace()->iccData()};
  JpegOutput output;
  const bool ok = encodeJpegInto(rows, space, quality, markers, space == JCS_CMYK, output);
  std::optional<ImageBytes> result;
  if (ok && output.buffer != nullptr && output.size > 0) result.emplace(output.buffer, output.buffer + output.size);
  std::free(output.buffer);
  return result;
}

}  // namespace quorvantelmic::detail

namespace quorvantelmic {

namespace {

// The recoding itself, between one setjmp and its longjmp (no C++ object
// lives in between). Reading the coefficients entropy-decodes every block of
// every scan, so a stream that warns there is refused as a decode refuses it.
bool recodeJpegInto(std::span<const std::uint8_t> jpeg, bool progressive, detail::JpegOutput& output) {
  // Zeroed, so that destroying a structure that was never created is a no-op.
  jpeg_decompress_struct source{};
  jpeg_compress_struct target{};
  // One error manager for both: either library's fatal error lands here, and
  // a warning of either counts.
  detail::JpegError error;
  detail::installErrorHandler(error);
  source.err = &error.manager;
  target.err = &error.manager;
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_compress(&target);
    jpeg_destroy_decompress(&source);
    return false;
  }
  jpeg_create_decompress(&source);
  jpeg_create_compress(&target);
  jpeg_mem_src(&source, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  if (jpeg_read_header(&source, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_compress(&target);
    jpeg_destroy_decompress(&source);
    return false;
  }
  jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&source);
  if (coefficients == nullptr || error.warnings != 0) {
    jpeg_destroy_compress(&target);
    jpeg_destroy_decompress(&source);
    return false;
  }
  jpeg_mem_dest(&target, &output.buffer, &output.size);
  jpeg_copy_critical_parameters(&source, &target);
  target.optimize_coding = TRUE;
  if (progressive) jpeg_simple_progression(&target);
  jpeg_write_coefficients(&target, coefficients);
  jpeg_finish_compress(&target);
  jpeg_finish_decompress(&source);
  const bool clean = error.warnings == 0;
  jpeg_destroy_compress(&target);
  jpeg_destroy_decompress(&source);
  return clean;
}

}  // namespace

std::optional<ImageBytes> recodeJpegLosslessly(std::span<const std::uint8_t> jpeg, bool progressive) {
  if (jpeg.empty() || jpeg.size() > 0xffffffffU) return std::nullopt;
  detail::JpegOutput output;
  const bool recoded = recodeJpegInto(jpeg, progressive, output);
  std::optional<ImageBytes> result;
  if (recoded && output.buffer != nullptr && output.size > 0) {
    result.emplace(output.buffer, output.buffer + output.size);
  }
  std::free(output.buffer);
  return result;
}

}  // namespace quorvantelmic
