// TIFF through libtiff, in memory. Every handle gets its own error and
// warning handlers (nothing reaches stderr) and a cap on single allocations.
// Contiguous grey, RGB, CMYK and Lab data of 8, 16 or 32-bit float samples is
// read as stored; every other photometric (palette, YCbCr, bilevel,
// min-is-white, separate planes) goes through libtiff's RGBA reader.
#include <algorithm>
#include <array>
#include <cstring>

#include <tiffio.h>

#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/library_loading/lazy_library.hpp"
#include "helper_core/image/platform/metadata_exiv2.hpp"
#include "helper_core/image/platform/pixels.hpp"

namespace quorvantelmic::detail {
namespace {

// libtiff is opened on the first TIFF a process reads or writes. Mapping and
// relocating it with the compression libraries it brings (zstd, xz, LERC,
// JBIG, libdeflate) at start was about a sixth of the CPU time a helper took
// to answer its first request, and most requests never see a TIFF.
#define QV_TIFF_FUNCTIONS(X) X(TIFFClientOpenExt) X(TIFFClose) X(TIFFDefaultStripSize) X(TIFFGetField) \
  X(TIFFGetFieldDefaulted) X(TIFFIsTiled) X(TIFFNumberOfDirectories) X(TIFFNumberOfStrips) X(TIFFOpenOptionsAlloc) \
  X(TIFFOpenOptionsFree) X(TIFFOpenOptionsSetErrorHandlerExtR) X(TIFFOpenOptionsSetMaxSingleMemAlloc) \
  X(TIFFOpenOptionsSetWarningHandlerExtR) X(TIFFReadEncodedStrip) X(TIFFReadRGBAImageOriented) X(TIFFReadTile) \
  X(TIFFScanlineSize64) X(TIFFSetErrorHandler) X(TIFFSetField) X(TIFFSetWarningHandler) X(TIFFStripSize) X(TIFFTileSize) \
  X(TIFFWriteDirectory) X(TIFFWriteScanline)
QUORVANTELMIC_LIBRARY_TABLE(TiffFunctions, QV_TIFF_FUNCTIONS);

// Null when libtiff or one of its functions is missing: a TIFF then does not
// decode (or encode).
const TiffFunctions* tiffFunctions() noexcept {
  static const std::optional<TiffFunctions> table = loadLibraryTable<TiffFunctions>(QUORVANTELMIC_TIFF_SONAME);
  return table ? &*table : nullptr;
}

// Only reached once an entry point below has found the library.
const TiffFunctions& libtiff() noexcept { return *tiffFunctions(); }

struct MemoryFile {
  const std::uint8_t* readData = nullptr;
  ImageBytes* writeData = nullptr;
  std::size_t size = 0;
  std::size_t offset = 0;
};

tmsize_t memoryRead(thandle_t handle, void* buffer, tmsize_t size) {
  auto* file = static_cast<MemoryFile*>(handle);
  if (size < 0 || file->offset >= file->size) return 0;
  const std::size_t count = std::min(static_cast<std::size_t>(size), file->size - file->offset);
  const std::uint8_t* source = file->readData != nullptr ? file->readData : file->writeData->data();
  std::memcpy(buffer, source + file->offset, count);
  file->offset += count;
  return static_cast<tmsize_t>(count);
}

tmsize_t memoryWrite(thandle_t handle, void* buffer, tmsize_t size) {
  auto* file = static_cast<MemoryFile*>(handle);
  if (file->writeData == nullptr || size < 0) return -1;
  const auto count = static_cast<std::size_t>(size);
  try {
    if (file->offset + count > file->writeData->size()) file->writeData->resize(file->offset + count);
  } catch (const std::exception&) {
    return -1;
  }
  std::memcpy(file->writeData->data() + file->offset, buffer, count);
  file->offset += count;
  file->size = std::max(file->size, file->offset);
  return size;
}

toff_t memorySeek(thandle_t handle, toff_t offset, int whence) {
  auto* file = static_cast<MemoryFile*>(handle);
  std::size_t base = 0;
  if (whence == SEEK_CUR) base = file->offset;
  if (whence == SEEK_END) base = file->size;
  const std::size_t target = base + static_cast<std::size_t>(offset);
  if (file->writeData == nullptr && target > file->size) return static_cast<toff_t>(-1);
  file->offset = target;
  return target;
}

int memoryClose(thandle_t) { return 0; }
toff_t memorySize(thandle_t handle) { return static_cast<MemoryFile*>(handle)->size; }
int memoryMap(thandle_t, void**, toff_t*) { return 0; }
void memoryUnmap(thandle_t, void*, toff_t) {}

int countTiffError(TIFF*, void* userData, const char*, const char*, va_list) {
  if (userData != nullptr) *static_cast<int*>(userData) += 1;
  return 1;
}
int ignoreTiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
  void operator()(TIFF* tiff) const noexcept { libtiff().TIFFClose(tiff); }
};
using UniqueTiff = std::unique_ptr<TIFF, TiffCloser>;

UniqueTiff openTiff(MemoryFile& file, const char* mode, int* errors) {
  // The per-handle handlers below take every message of an open handle; the
  // process-wide ones would print to stderr for the rest, so they go.
  libtiff().TIFFSetErrorHandler(nullptr);
  libtiff().TIFFSetWarningHandler(nullptr);
  TIFFOpenOptions* options = libtiff().TIFFOpenOptionsAlloc();
  if (options == nullptr) return nullptr;
  libtiff().TIFFOpenOptionsSetMaxSingleMemAlloc(options, 512 * 1024 * 1024);
  libtiff().TIFFOpenOptionsSetErrorHandlerExtR(options, countTiffError, errors);
  libtiff().TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreTiffWarning, nullptr);
  UniqueTiff tiff(libtiff().TIFFClientOpenExt("memory", mode, &file, memoryRead, memoryWrite, memorySeek, memoryClose, memorySize,
                                    memoryMap, memoryUnmap, options));
  libtiff().TIFFOpenOptionsFree(options);
  return tiff;
}

struct TiffLayout {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t bitsPerSample = 1;
  std::uint16_t samplesPerPixel = 1;
  std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
  std::uint16_t planar = PLANARCONFIG_CONTIG;
  std::uint16_t sampleFormat = SAMPLEFORMAT_UINT;
  std::uint16_t inkSet = INKSET_CMYK;
  std::uint16_t orientation = ORIENTATION_TOPLEFT;
  std::uint16_t extraCount = 0;
  std::uint16_t extraKind = EXTRASAMPLE_UNSPECIFIED;
  bool tiled = false;
};

TiffLayout readLayout(TIFF* tiff) {
  TiffLayout layout;
  libtiff().TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout.width);
  libtiff().TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout.height);
  libtiff().TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &layout.bitsPerSample);
  libtiff().TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout.samplesPerPixel);
  if (libtiff().TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &layout.photometric) == 0) {
    layout.photometric = layout.samplesPerPixel >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  }
  libtiff().TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &layout.planar);
  libtiff().TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &layout.sampleFormat);
  libtiff().TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &layout.inkSet);
  libtiff().TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &layout.orientation);
  std::uint16_t* kinds = nullptr;
  if (libtiff().TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &layout.extraCount, &kinds) != 0 && layout.extraCount > 0 &&
      kinds != nullptr) {
    layout.extraKind = kinds[0];
  }
  layout.tiled = libtiff().TIFFIsTiled(tiff) != 0;
  return layout;
}

std::optional<ColorSpaceModel> directModel(const TiffLayout& layout) {
  switch (layout.photometric) {
    case PHOTOMETRIC_MINISBLACK: return ColorSpaceModel::monochrome;
    case PHOTOMETRIC_RGB: return ColorSpaceModel::rgb;
    case PHOTOMETRIC_SEPARATED:
      if (layout.inkSet == INKSET_CMYK) return ColorSpaceModel::cmyk;
      return std::nullopt;
    case PHOTOMETRIC_CIELAB: return ColorSpaceModel::lab;
    default: return std::nullopt;
  }
}

std::size_t modelComponents(ColorSpaceModel model) {
  switch (model) {
    case ColorSpaceModel::monochrome: return 1;
    case ColorSpaceModel::cmyk: return 4;
    default: return 3;
  }
}

// Whether the samples can be taken as stored, without libtiff's RGBA path.
bool readsDirectly(const TiffLayout& layout) {
  const std::optional<ColorSpaceModel> model = directModel(layout);
  if (!model || layout.planar != PLANARCONFIG_CONTIG) return false;
  const std::size_t color = modelComponents(*model);
  if (layout.samplesPerPixel != color && layout.samplesPerPixel != color + 1) return false;
  if (layout.samplesPerPixel == color + 1 && layout.extraCount != 1) return false;
  if (layout.sampleFormat == SAMPLEFORMAT_IEEEFP) return layout.bitsPerSample == 32 && *model != ColorSpaceModel::lab;
  if (layout.sampleFormat != SAMPLEFORMAT_UINT) return false;
  if (*model == ColorSpaceModel::lab && layout.bitsPerSample != 8) return false;
  return layout.bitsPerSample == 8 || layout.bitsPerSample == 16;
}

class TiffDecoder final : public FormatDecoder {
 public:
  TiffDecoder(SharedBytes bytes, const TiffLayout& layout, std::size_t directories, ImageBytes icc)
      : bytes_(std::move(bytes)), layout_(layout) {
    description_.typeIdentifier = "public.tiff";
    description_.frameCount = directories;
    description_.width = layout.width;
    description_.height = layout.height;
    description_.storedBitDepth = layout.bitsPerSample;
    const std::size_t color = directModel(layout) ? modelComponents(*directModel(layout)) : 0;
    description_.hasAlpha = layout.extraCount > 0 && (color == 0 || layout.samplesPerPixel > color);
    description_.iccProfile = std::move(icc);
    description_.exiv2ReadsContainer = true;
  }

  void setPhotoshopResources(ImageBytes resources) { description_.photoshopResources = std::move(resources); }

  std::optional<DecodedImage> decodeFrame0() const override {
    MemoryFile file{bytes_->data(), nullptr, bytes_->size(), 0};
    int errors = 0;
    UniqueTiff tiff = openTiff(file, "rm", &errors);
    if (!tiff) return std::nullopt;
    std::optional<DecodedImage> image = readsDirectly(layout_) ? readDirect(tiff.get(), errors) : readRgba(tiff.get(), errors);
    if (errors > 0) return std::nullopt;
    return image;
  }

  // Samples read as stored are proved by decoding every strip, or every
  // tile, into one buffer of a strip's or a tile's size: the same strips and
  // tiles read by the same libtiff calls, the same sizes asked for and the
  // same error handler as readDirect, so a damaged code stream, a short or
  // missing strip or any libtiff error fails here exactly as there; only the
  // copy into a frame is left out. A layout that goes through libtiff's RGBA
  // reader is decoded in full.
  std::optional<DecodedFrameShape> proveFrame0() const override {
    if (!readsDirectly(layout_)) return FormatDecoder::proveFrame0();
    MemoryFile file{bytes_->data(), nullptr, bytes_->size(), 0};
    int errors = 0;
    UniqueTiff tiff = openTiff(file, "rm", &errors);
    if (!tiff) return std::nullopt;
    TIFF* t = tiff.get();
    const ColorSpaceModel model = *directModel(layout_);
    const std::size_t samples = layout_.samplesPerPixel;
    const std::size_t sampleBytes = layout_.bitsPerSample / 8;
    const std::size_t rowBytes = std::size_t{layout_.width} * samples * sampleBytes;
    if (static_cast<std::size_t>(libtiff().TIFFScanlineSize64(t)) != rowBytes && !layout_.tiled) return std::nullopt;
    ImageBytes buffer;
    if (layout_.tiled) {
      std::uint32_t tileWidth = 0;
      std::uint32_t tileHeight = 0;
      libtiff().TIFFGetField(t, TIFFTAG_TILEWIDTH, &tileWidth);
      libtiff().TIFFGetField(t, TIFFTAG_TILELENGTH, &tileHeight);
      const tmsize_t tileSize = libtiff().TIFFTileSize(t);
      if (tileWidth == 0 || tileHeight == 0 || tileSize <= 0 ||
          static_cast<std::size_t>(tileSize) < std::size_t{tileWidth} * tileHeight * samples * sampleBytes ||
          !reserve(buffer, static_cast<std::size_t>(tileSize))) {
        return std::nullopt;
      }
      for (std::uint32_t ty = 0; ty < layout_.height; ty += tileHeight) {
        for (std::uint32_t tx = 0; tx < layout_.width; tx += tileWidth) {
          if (libtiff().TIFFReadTile(t, buffer.data(), tx, ty, 0, 0) < 0) return std::nullopt;
        }
      }
    } else {
      // readDirect asks each strip for what is left of the frame; a strip
      // never holds more than TIFFStripSize, so asking for at most that reads
      // the same bytes.
      const tmsize_t stripSize = libtiff().TIFFStripSize(t);
      if (stripSize <= 0 || !reserve(buffer, static_cast<std::size_t>(stripSize))) return std::nullopt;
      std::size_t offset = 0;
      const std::size_t total = rowBytes * layout_.height;
      const tstrip_t strips = libtiff().TIFFNumberOfStrips(t);
      for (tstrip_t strip = 0; strip < strips && offset < total; ++strip) {
        const std::size_t wanted = std::min(buffer.size(), total - offset);
        const tmsize_t read = libtiff().TIFFReadEncodedStrip(t, strip, buffer.data(), static_cast<tmsize_t>(wanted));
        if (read < 0) return std::nullopt;
        offset += static_cast<std::size_t>(read);
      }
      if (offset != total) return std::nullopt;
    }
    if (errors > 0) return std::nullopt;
    return DecodedFrameShape{layout_.width, layout_.height, layout_.bitsPerSample, directAlpha(model), spaceFor(model)};
  }

 private:
  static bool reserve(ImageBytes& buffer, std::size_t size) {
    try {
      buffer.resize(size);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  ImageAlphaInfo directAlpha(ColorSpaceModel model) const {
    if (layout_.samplesPerPixel <= modelComponents(model)) return ImageAlphaInfo::none;
    return layout_.extraKind == EXTRASAMPLE_ASSOCALPHA ? ImageAlphaInfo::premultipliedLast : ImageAlphaInfo::last;
  }

  std::shared_ptr<const ColorSpace> spaceFor(ColorSpaceModel model) const {
    if (!description_.iccProfile.empty()) {
      auto space = ColorSpace::createWithIccData(description_.iccProfile);
      if (space && space->model() == model) return space;
    }
    return ColorSpace::createGeneric(model);
  }

  std::optional<DecodedImage> readDirect(TIFF* tiff, const int& errors) const {
    const ColorSpaceModel model = *directModel(layout_);
    const std::size_t samples = layout_.samplesPerPixel;
    const std::size_t sampleBytes = layout_.bitsPerSample / 8;
    const std::size_t rowBytes = std::size_t{layout_.width} * samples * sampleBytes;
    if (static_cast<std::size_t>(libtiff().TIFFScanlineSize64(tiff)) != rowBytes && !layout_.tiled) return std::nullopt;
    auto pixels = allocatePixels(rowBytes * layout_.height);
    if (!pixels) return std::nullopt;
    if (layout_.tiled) {
      std::uint32_t tileWidth = 0;
      std::uint32_t tileHeight = 0;
      libtiff().TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
      libtiff().TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
      const tmsize_t tileSize = libtiff().TIFFTileSize(tiff);
      if (tileWidth == 0 || tileHeight == 0 || tileSize <= 0 ||
          static_cast<std::size_t>(tileSize) < std::size_t{tileWidth} * tileHeight * samples * sampleBytes) {
        return std::nullopt;
      }
      ImageBytes tile(static_cast<std::size_t>(tileSize));
      const std::size_t tileRowBytes = std::size_t{tileWidth} * samples * sampleBytes;
      for (std::uint32_t ty = 0; ty < layout_.height; ty += tileHeight) {
        for (std::uint32_t tx = 0; tx < layout_.width; tx += tileWidth) {
          if (libtiff().TIFFReadTile(tiff, tile.data(), tx, ty, 0, 0) < 0) return std::nullopt;
          const std::size_t copyWidth = std::min<std::size_t>(tileWidth, layout_.width - tx) * samples * sampleBytes;
          for (std::uint32_t y = 0; y < tileHeight && ty + y < layout_.height; ++y) {
            std::memcpy(pixels->data() + std::size_t{ty + y} * rowBytes + std::size_t{tx} * samples * sampleBytes,
                        tile.data() + y * tileRowBytes, copyWidth);
          }
        }
      }
    } else {
      // Whole strips decode straight into the image buffer.
      std::size_t offset = 0;
      const std::size_t total = pixels->size();
      const tstrip_t strips = libtiff().TIFFNumberOfStrips(tiff);
      for (tstrip_t strip = 0; strip < strips && offset < total; ++strip) {
        const tmsize_t read = libtiff().TIFFReadEncodedStrip(tiff, strip, pixels->data() + offset, static_cast<tmsize_t>(total - offset));
        if (read < 0) return std::nullopt;
        offset += static_cast<std::size_t>(read);
      }
      if (offset != total) return std::nullopt;
    }
    if (errors > 0) return std::nullopt;
    if (model == ColorSpaceModel::lab) {
      // TIFF stores a* and b* as signed bytes; the Lab layout here is offset.
      for (std::size_t i = 0; i < pixels->size(); i += samples) {
        (*pixels)[i + 1] = static_cast<std::uint8_t>((*pixels)[i + 1] ^ 0x80);
        (*pixels)[i + 2] = static_cast<std::uint8_t>((*pixels)[i + 2] ^ 0x80);
      }
    }
    return DecodedImage(layout_.width, layout_.height, layout_.bitsPerSample, rowBytes, directAlpha(model),
                        spaceFor(model), std::move(pixels));
  }

  std::optional<DecodedImage> readRgba(TIFF* tiff, const int& errors) const {
    const std::size_t rowBytes = std::size_t{layout_.width} * 4;
    auto pixels = allocatePixels(rowBytes * layout_.height);
    if (!pixels) return std::nullopt;
    // Asking for the file's own orientation keeps the rows as stored (the
    // reader flips for 1 to 4 and ignores 5 to 8).
    const int requested = layout_.orientation >= 1 && layout_.orientation <= 4 ? layout_.orientation : ORIENTATION_TOPLEFT;
    if (libtiff().TIFFReadRGBAImageOriented(tiff, layout_.width, layout_.height, reinterpret_cast<std::uint32_t*>(pixels->data()),
                                  requested, 0) == 0 ||
        errors > 0) {
      return std::nullopt;
    }
    // ABGR words on a little-endian machine are R, G, B, A bytes.
    return DecodedImage(layout_.width, layout_.height, 8, rowBytes,
                        description_.hasAlpha ? ImageAlphaInfo::premultipliedLast : ImageAlphaInfo::noneSkipLast,
                        spaceFor(ColorSpaceModel::rgb), std::move(pixels));
  }

  SharedBytes bytes_;
  TiffLayout layout_;
};

}  // namespace

bool sniffTiff(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 8 && ((bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 42 && bytes[3] == 0) ||
                               (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 && bytes[3] == 42));
}

std::unique_ptr<FormatDecoder> createTiffDecoder(const SharedBytes& bytes) {
  if (tiffFunctions() == nullptr) return nullptr;
  MemoryFile file{bytes->data(), nullptr, bytes->size(), 0};
  int errors = 0;
  UniqueTiff tiff = openTiff(file, "rm", &errors);
  if (!tiff || errors > 0) return nullptr;
  const TiffLayout layout = readLayout(tiff.get());
  if (layout.width == 0 || layout.height == 0) return nullptr;
  std::uint32_t iccLength = 0;
  void* iccData = nullptr;
  ImageBytes icc;
  if (libtiff().TIFFGetField(tiff.get(), TIFFTAG_ICCPROFILE, &iccLength, &iccData) != 0 && iccData != nullptr) {
    icc.assign(static_cast<const std::uint8_t*>(iccData), static_cast<const std::uint8_t*>(iccData) + iccLength);
  }
  std::uint32_t resourcesLength = 0;
  void* resourcesData = nullptr;
  ImageBytes resources;
  if (libtiff().TIFFGetField(tiff.get(), TIFFTAG_PHOTOSHOP, &resourcesLength, &resourcesData) != 0 && resourcesData != nullptr) {
    resources.assign(static_cast<const std::uint8_t*>(resourcesData),
                     static_cast<const std::uint8_t*>(resourcesData) + resourcesLength);
  }
  // Counting directories walks the chain; libtiff stops at loops.
  const tdir_t directories = libtiff().TIFFNumberOfDirectories(tiff.get());
  if (directories == 0) return nullptr;
  auto decoder = std::make_unique<TiffDecoder>(bytes, layout, directories, std::move(icc));
  decoder->setPhotoshopResources(std::move(resources));
  return decoder;
}

// ---------------------------------------------------------------------------
// Encoding

namespace {

bool encodeTiffInto(const PlainPixels& pixels, int orientation, const TiffPictureTags& pictureTags,
                    ImageBytes& output) {
  if (!reserveOutputRoom(output, pixels.bytesPerRow() * pixels.height)) return false;
  MemoryFile file{nullptr, &output, 0, 0};
  int errors = 0;
  UniqueTiff tiff = openTiff(file, "w", &errors);
  if (!tiff) return false;
  const ColorSpaceModel model = pixels.colorSpace->model();
  std::uint16_t photometric = PHOTOMETRIC_RGB;
  switch (model) {
    case ColorSpaceModel::monochrome: photometric = PHOTOMETRIC_MINISBLACK; break;
    case ColorSpaceModel::rgb: photometric = PHOTOMETRIC_RGB; break;
    case ColorSpaceModel::cmyk: photometric = PHOTOMETRIC_SEPARATED; break;
    case ColorSpaceModel::lab:
      photometric = PHOTOMETRIC_CIELAB;
      if (pixels.bitsPerComponent != 8) return false;
      break;
    default: return false;
  }
  TIFF* t = tiff.get();
  libtiff().TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(pixels.width));
  libtiff().TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(pixels.height));
  libtiff().TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(pixels.bitsPerComponent));
  libtiff().TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(pixels.channels()));
  libtiff().TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
  libtiff().TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  libtiff().TIFFSetField(t, TIFFTAG_ORIENTATION, static_cast<std::uint16_t>(orientation));
  libtiff().TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  // libdeflate's level 6 spends a second on a 12-megapixel photograph, whose
  // predicted rows are close to noise, for 13 % less than level 1 gives in a
  // third of the time; drawings and scans keep the thorough level.
  libtiff().TIFFSetField(t, TIFFTAG_ZIPQUALITY, looksPhotographic(pixels) ? 1 : 6);
  libtiff().TIFFSetField(t, TIFFTAG_PREDICTOR, model == ColorSpaceModel::lab ? PREDICTOR_NONE : PREDICTOR_HORIZONTAL);
  if (model == ColorSpaceModel::cmyk) libtiff().TIFFSetField(t, TIFFTAG_INKSET, INKSET_CMYK);
  if (pixels.alpha) {
    const std::uint16_t kind = EXTRASAMPLE_UNASSALPHA;
    libtiff().TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &kind);
  }
  const ImageBytes& icc = pixels.colorSpace->iccData();
  if (!icc.empty() && icc.size() <= 0xffffffffU) {
    libtiff().TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.data());
  }
  if (pictureTags.xResolution) libtiff().TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<double>(*pictureTags.xResolution));
  if (pictureTags.yResolution) libtiff().TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<double>(*pictureTags.yResolution));
  if (pictureTags.resolutionUnit) libtiff().TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, *pictureTags.resolutionUnit);
  if (pictureTags.pageNumber) {
    libtiff().TIFFSetField(t, TIFFTAG_PAGENUMBER, (*pictureTags.pageNumber)[0], (*pictureTags.pageNumber)[1]);
  }
  if (pictureTags.whitePoint) {
    std::array<float, 2> values = *pictureTags.whitePoint;
    libtiff().TIFFSetField(t, TIFFTAG_WHITEPOINT, values.data());
  }
  if (pictureTags.primaryChromaticities) {
    std::array<float, 6> values = *pictureTags.primaryChromaticities;
    libtiff().TIFFSetField(t, TIFFTAG_PRIMARYCHROMATICITIES, values.data());
  }
  libtiff().TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, libtiff().TIFFDefaultStripSize(t, 0));
  const std::size_t rowBytes = pixels.bytesPerRow();
  // With a predictor libtiff rewrites the row it is given, so it gets a copy.
  ImageBytes row(rowBytes);
  for (std::size_t y = 0; y < pixels.height; ++y) {
    std::memcpy(row.data(), pixels.row(y), rowBytes);
    if (model == ColorSpaceModel::lab) {
      for (std::size_t i = 0; i < rowBytes; i += pixels.channels()) {
        row[i + 1] = static_cast<std::uint8_t>(row[i + 1] ^ 0x80);
        row[i + 2] = static_cast<std::uint8_t>(row[i + 2] ^ 0x80);
      }
    }
    if (libtiff().TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y), 0) < 0) return false;
  }
  if (libtiff().TIFFWriteDirectory(t) == 0) return false;
  tiff.reset();
  output.resize(file.size);
  return errors == 0;
}

// Puts the source's exact fractions over the rationals libtiff wrote into the
// first directory of the classic TIFF it has just made: an entry of the same
// tag, of type RATIONAL and of the same count, whose values lie in the file.
bool restoreExactRationals(ImageBytes& tiff, const TiffPictureTags& tags) {
  if (tags.exactRationals.empty()) return true;
  if (tiff.size() < 8) return false;
  const bool little = tiff[0] == 'I';
  auto read = [&](std::size_t at, std::size_t bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
      const std::uint32_t byte = tiff[at + (little ? bytes - 1 - i : i)];
      value = (value << 8) | byte;
    }
    return value;
  };
  auto write32 = [&](std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
      tiff[at + (little ? i : 3 - i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  };
  const std::size_t directory = read(4, 4);
  if (directory > tiff.size() || tiff.size() - directory < 2) return false;
  const std::size_t entries = read(directory, 2);
  if ((tiff.size() - directory - 2) / 12 < entries) return false;
  for (const TiffPictureTags::ExactRational& rational : tags.exactRationals) {
    bool restored = false;
    for (std::size_t i = 0; i < entries && !restored; ++i) {
      const std::size_t entry = directory + 2 + 12 * i;
      if (read(entry, 2) != rational.tag) continue;
      constexpr std::uint32_t rationalType = 5;
      const std::size_t count = read(entry + 4, 4);
      const std::size_t offset = read(entry + 8, 4);
      if (read(entry + 2, 2) != rationalType || count != rational.fractions.size() || offset > tiff.size() ||
          (tiff.size() - offset) / 8 < count) {
        return false;
      }
      for (std::size_t k = 0; k < count; ++k) {
        write32(offset + 8 * k, rational.fractions[k].first);
        write32(offset + 8 * k + 4, rational.fractions[k].second);
      }
      restored = true;
    }
    if (!restored) return false;
  }
  return true;
}

}  // namespace

std::optional<ImageBytes> encodeTiff(const EncodeRequest& request) {
  if (tiffFunctions() == nullptr) return std::nullopt;
  const std::size_t bits = request.image.bitsPerComponent() > 8 ? 16 : 8;
  std::optional<PlainPixels> pixels = plainPixels(request.image, true, bits);
  if (!pixels || pixels->width > 0xffffffffU || pixels->height > 0xffffffffU) return std::nullopt;
  ImageBytes output;
  const TiffPictureTags pictureTags = request.metadata != nullptr ? tiffPictureTags(*request.metadata) : TiffPictureTags{};
  if (!encodeTiffInto(*pixels, request.orientation, pictureTags, output) ||
      !restoreExactRationals(output, pictureTags)) {
    return std::nullopt;
  }
  // Writing the metadata copies the whole file (twice, inside exiv2); the
  // frame is let go first, so that the two never add up.
  const std::size_t width = pixels->width;
  const std::size_t height = pixels->height;
  pixels.reset();
  if (request.releaseImage) request.releaseImage();
  if (request.metadata != nullptr && !writeTiffMetadata(output, *request.metadata, request.orientation, width, height)) {
    return std::nullopt;
  }
  return output;
}

}  // namespace quorvantelmic::detail
