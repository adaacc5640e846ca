// AVIF through libavif (dav1d decodes, aom encodes) and HEIC/HEIF through
// libheif. Both containers are ISO base media files told apart by their ftyp
// brands.
#include <algorithm>
#include <cmath>
#include <cstring>

#include <avif/avif.h>
#include <libheif/heif.h>

#include "helper_core/image/container_structure.hpp"
#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/library_loading/lazy_library.hpp"
#include "helper_core/image/platform/metadata_exiv2.hpp"
#include "helper_core/image/platform/pixels.hpp"

namespace quorvantelmic::detail {
namespace {

// libavif brings every AV1 codec and libheif the HEVC ones (libde265's
// constructor alone builds tables for a good share of a start-up): both are
// opened when the first AVIF or HEIF arrives, never for other requests.
#define QV_AVIF_FUNCTIONS(X)  \
  X(avifDecoderCreate)        \
  X(avifDecoderDestroy)       \
  X(avifDecoderNextImage)     \
  X(avifDecoderParse)         \
  X(avifDecoderSetIOMemory)   \
  X(avifEncoderCreate)        \
  X(avifEncoderDestroy)       \
  X(avifEncoderWrite)         \
  X(avifImageCreate)          \
  X(avifImageCreateEmpty)     \
  X(avifImageDestroy)         \
  X(avifImageRGBToYUV)        \
  X(avifImageSetMetadataExif) \
  X(avifImageSetMetadataXMP)  \
  X(avifImageSetProfileICC)   \
  X(avifImageSetViewRect)     \
  X(avifImageYUVToRGB)        \
  X(avifRGBImageSetDefaults)  \
  X(avifRWDataFree)
QUORVANTELMIC_LIBRARY_TABLE(AvifFunctions, QV_AVIF_FUNCTIONS);

#define QV_HEIF_FUNCTIONS(X)                           \
  X(heif_context_alloc)                                \
  X(heif_context_free)                                 \
  X(heif_context_get_number_of_top_level_images)       \
  X(heif_context_get_primary_image_handle)             \
  X(heif_context_read_from_memory_without_copy)        \
  X(heif_context_set_maximum_image_size_limit)         \
  X(heif_decode_image)                                 \
  X(heif_decoding_options_alloc)                       \
  X(heif_decoding_options_free)                        \
  X(heif_image_get_bits_per_pixel_range)               \
  X(heif_image_get_plane_readonly)                     \
  X(heif_image_get_primary_height)                     \
  X(heif_image_get_primary_width)                      \
  X(heif_image_handle_free_auxiliary_types)            \
  X(heif_image_handle_get_auxiliary_image_handle)      \
  X(heif_image_handle_get_auxiliary_type)              \
  X(heif_image_handle_get_height)                      \
  X(heif_image_handle_get_ispe_height)                 \
  X(heif_image_handle_get_ispe_width)                  \
  X(heif_image_handle_get_list_of_auxiliary_image_IDs) \
  X(heif_image_handle_get_list_of_metadata_block_IDs)  \
  X(heif_image_handle_get_luma_bits_per_pixel)         \
  X(heif_image_handle_get_metadata)                    \
  X(heif_image_handle_get_metadata_content_type)       \
  X(heif_image_handle_get_metadata_size)               \
  X(heif_image_handle_get_metadata_type)               \
  X(heif_image_handle_get_nclx_color_profile)          \
  X(heif_image_handle_get_number_of_auxiliary_images)  \
  X(heif_image_handle_get_number_of_metadata_blocks)   \
  X(heif_image_handle_get_raw_color_profile)           \
  X(heif_image_handle_get_raw_color_profile_size)      \
  X(heif_image_handle_get_width)                       \
  X(heif_image_handle_has_alpha_channel)               \
  X(heif_image_handle_has_depth_image)                 \
  X(heif_image_handle_release)                         \
  X(heif_image_release)                                \
  X(heif_nclx_color_profile_free)
QUORVANTELMIC_LIBRARY_TABLE(HeifFunctions, QV_HEIF_FUNCTIONS);

// Null when the library or one of its functions is missing: the file is
// then treated as one that does not decode (or encode).
const AvifFunctions* avifFunctions() noexcept {
  static const std::optional<AvifFunctions> table = loadLibraryTable<AvifFunctions>(QUORVANTELMIC_AVIF_SONAME);
  return table ? &*table : nullptr;
}

const HeifFunctions* heifFunctions() noexcept {
  static const std::optional<HeifFunctions> table = loadLibraryTable<HeifFunctions>(QUORVANTELMIC_HEIF_SONAME);
  return table ? &*table : nullptr;
}

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The major and compatible brands of a leading ftyp box.
std::vector<std::string> ftypBrands(std::span<const std::uint8_t> bytes) {
  std::vector<std::string> brands;
  if (bytes.size() < 16 || std::memcmp(bytes.data() + 4, "ftyp", 4) != 0) return brands;
  const std::uint32_t size = bigEndian32(bytes.data());
  if (size < 16 || size > bytes.size() || size > 4096) return brands;
  brands.emplace_back(reinterpret_cast<const char*>(bytes.data() + 8), 4);
  for (std::uint32_t at = 16; at + 4 <= size; at += 4) brands.emplace_back(reinterpret_cast<const char*>(bytes.data() + at), 4);
  return brands;
}

bool hasBrand(const std::vector<std::string>& brands, std::initializer_list<std::string_view> wanted) {
  return std::any_of(brands.begin(), brands.end(), [&](const std::string& brand) {
    return std::find(wanted.begin(), wanted.end(), brand) != wanted.end();
  });
}

// EXIF orientation <-> irot (anticlockwise quarter turns) and imir (0: top
// and bottom exchanged, 1: left and right exchanged), as libavif maps them.
int orientationFrom(bool hasRotation, int angle, bool hasMirror, int mode) {
  const int a = hasRotation ? angle & 3 : 0;
  if (!hasMirror) {
    static constexpr int byAngle[4] = {1, 8, 3, 6};
    return byAngle[a];
  }
  if (mode == 1) {
    static constexpr int byAngle[4] = {2, 7, 4, 5};
    return byAngle[a];
  }
  static constexpr int byAngle[4] = {4, 5, 2, 7};
  return byAngle[a];
}

void orientationToAvif(int orientation, avifImage* image) {
  image->transformFlags &= ~static_cast<avifTransformFlags>(AVIF_TRANSFORM_IROT | AVIF_TRANSFORM_IMIR);
  int angle = 0;
  int mode = -1;
  switch (orientation) {
    case 2: mode = 1; break;
    case 3: angle = 2; break;
    case 4: mode = 0; break;
    case 5: angle = 1; mode = 0; break;
    case 6: angle = 3; break;
    case 7: angle = 3; mode = 0; break;
    case 8: angle = 1; break;
    default: break;
  }
  if (angle != 0) {
    image->transformFlags |= AVIF_TRANSFORM_IROT;
    image->irot.angle = static_cast<std::uint8_t>(angle);
  }
  if (mode >= 0) {
    image->transformFlags |= AVIF_TRANSFORM_IMIR;
    image->imir.mode = static_cast<std::uint8_t>(mode);
  }
}

struct AvifDecoderDeleter {
  void operator()(avifDecoder* decoder) const noexcept { avifFunctions()->avifDecoderDestroy(decoder); }
};
using UniqueAvifDecoder = std::unique_ptr<avifDecoder, AvifDecoderDeleter>;
struct AvifImageDeleter {
  void operator()(avifImage* image) const noexcept { avifFunctions()->avifImageDestroy(image); }
};

// Describing a file accepts the largest size libavif parses at all (16384 x
// 16384 pixels), so that an image above the decode limits is reported by its
// size rather than as unreadable; decoding applies the limits.
UniqueAvifDecoder parseAvif(std::span<const std::uint8_t> bytes, bool forDecoding) {
  const AvifFunctions* avif = avifFunctions();
  if (avif == nullptr) return nullptr;
  UniqueAvifDecoder decoder(avif->avifDecoderCreate());
  if (!decoder) return nullptr;
  decoder->codecChoice = AVIF_CODEC_CHOICE_DAV1D;
  decoder->maxThreads = 1;
  decoder->imageSizeLimit = forDecoding ? static_cast<std::uint32_t>(maximumDecodePixels) : AVIF_DEFAULT_IMAGE_SIZE_LIMIT;
  decoder->imageDimensionLimit = forDecoding ? static_cast<std::uint32_t>(maximumDecodeDimension) : 0;
  decoder->strictFlags = AVIF_STRICT_DISABLED;
  if (avif->avifDecoderSetIOMemory(decoder.get(), bytes.data(), bytes.size()) != AVIF_RESULT_OK) return nullptr;
  if (avif->avifDecoderParse(decoder.get()) != AVIF_RESULT_OK) return nullptr;
  return decoder;
}

// The pixels' space: the attached profile where it is of the pixels' model,
// otherwise the generic space of that model.
std::shared_ptr<const ColorSpace> spaceFromProfile(std::shared_ptr<const ColorSpace> attached, std::optional<Cicp> cicp,
                                                   ColorSpaceModel model = ColorSpaceModel::rgb) {
  if (attached && attached->model() == model) return attached;
  if (model == ColorSpaceModel::monochrome) return ColorSpace::deviceGray();
  return ColorSpace::createGeneric(ColorSpaceModel::rgb, cicp);
}

std::shared_ptr<const ColorSpace> spaceFromProfiles(const ImageBytes& icc, std::optional<Cicp> cicp) {
  return spaceFromProfile(icc.empty() ? nullptr : ColorSpace::createWithIccData(icc), cicp);
}

class AvifDecoder final : public FormatDecoder {
 public:
  AvifDecoder(SharedBytes bytes, const avifDecoder& parsed) : bytes_(std::move(bytes)) {
    const avifImage& image = *parsed.image;
    description_.typeIdentifier = "public.avif";
    description_.frameCount = parsed.imageCount > 0 ? static_cast<std::size_t>(parsed.imageCount) : 1;
    description_.width = image.width;
    description_.height = image.height;
    description_.storedBitDepth = image.depth;
    description_.hasAlpha = parsed.alphaPresent != 0;
    if (image.icc.size > 0) description_.iccProfile.assign(image.icc.data, image.icc.data + image.icc.size);
    description_.cicp = Cicp{static_cast<int>(image.colorPrimaries), static_cast<int>(image.transferCharacteristics),
                             static_cast<int>(image.matrixCoefficients), image.yuvRange == AVIF_RANGE_FULL};
    description_.containerOrientation =
        orientationFrom((image.transformFlags & AVIF_TRANSFORM_IROT) != 0, image.irot.angle,
                        (image.transformFlags & AVIF_TRANSFORM_IMIR) != 0, image.imir.mode);
    if (image.exif.size > 0) {
      // The Exif item starts with the TIFF header's offset; libavif keeps it.
      const std::uint8_t* exif = image.exif.data;
      std::size_t size = image.exif.size;
      for (std::size_t at = 0; at + 4 <= size && at < 64; ++at) {
        if ((exif[at] == 'I' && exif[at + 1] == 'I' && exif[at + 2] == 42 && exif[at + 3] == 0) ||
            (exif[at] == 'M' && exif[at + 1] == 'M' && exif[at + 2] == 0 && exif[at + 3] == 42)) {
          description_.exifBlob.assign(exif + at, exif + size);
          break;
        }
      }
    }
    if (image.xmp.size > 0) description_.xmpPacket.assign(image.xmp.data, image.xmp.data + image.xmp.size);
  }

  std::optional<DecodedImage> decodeFrame0() const override {
    const AvifFunctions* avif = avifFunctions();
    UniqueAvifDecoder decoder = decodedFrame0();
    if (!decoder) return std::nullopt;
    avifImage* image = decoder->image;
    avifRGBImage rgb = rgbFor(*image);
    const bool alpha = description_.hasAlpha;
    const std::size_t channels = alpha ? 4 : 3;
    const std::size_t rowBytes = std::size_t{image->width} * channels * (rgb.depth / 8);
    auto pixels = allocatePixels(rowBytes * image->height);
    if (!pixels) return std::nullopt;
    rgb.pixels = pixels->data();
    rgb.rowBytes = static_cast<std::uint32_t>(rowBytes);
    if (avif->avifImageYUVToRGB(image, &rgb) != AVIF_RESULT_OK) return std::nullopt;
    if (rgb.depth == 16 && image->depth < 16) {
      // libavif leaves 10 and 12-bit samples at their own scale.
      const double scale = 65535.0 / static_cast<double>((1U << image->depth) - 1U);
      for (std::size_t i = 0; i + 1 < pixels->size(); i += 2) {
        std::uint16_t v;
        std::memcpy(&v, pixels->data() + i, 2);
        v = static_cast<std::uint16_t>(std::min(65535.0, std::round(v * scale)));
        std::memcpy(pixels->data() + i, &v, 2);
      }
    }
    const ImageAlphaInfo layout = alpha ? ImageAlphaInfo::last : ImageAlphaInfo::none;
    const std::shared_ptr<const ColorSpace> attached = attachedSpace();
    if (keptGray(*image, attached)) {
      const std::size_t sampleBytes = rgb.depth / 8;
      const std::size_t grayChannels = alpha ? 2 : 1;
      const std::size_t grayRowBytes = std::size_t{image->width} * grayChannels * sampleBytes;
      auto gray = allocatePixels(grayRowBytes * image->height);
      if (!gray) return std::nullopt;
      for (std::size_t y = 0; y < image->height; ++y) {
        const std::uint8_t* from = pixels->data() + y * rowBytes;
        std::uint8_t* to = gray->data() + y * grayRowBytes;
        for (std::size_t x = 0; x < image->width; ++x) {
          std::memcpy(to + x * grayChannels * sampleBytes, from + x * channels * sampleBytes, sampleBytes);
          if (alpha) {
            std::memcpy(to + (x * grayChannels + 1) * sampleBytes, from + (x * channels + 3) * sampleBytes, sampleBytes);
          }
        }
      }
      return DecodedImage(image->width, image->height, rgb.depth, grayRowBytes, layout,
                          spaceFromProfile(attached, description_.cicp, ColorSpaceModel::monochrome),
                          std::move(gray));
    }
    return DecodedImage(image->width, image->height, rgb.depth, rowBytes, layout,
                        spaceFromProfile(attached, description_.cicp), std::move(pixels));
  }

  // dav1d decodes every symbol of the colour (and alpha) data, with the same
  // limits, as for decodeFrame0; then libavif converts only the first rows to
  // RGB, through a view of the decoded planes. Whether that conversion works
  // depends on the planes' format, depth and coefficients, never on the
  // pixel values, so it fails exactly where the whole frame's would; only
  // the 36 MiB of RGB (for 12 megapixels) and its conversion are left out.
  std::optional<DecodedFrameShape> proveFrame0() const override {
    const AvifFunctions* avif = avifFunctions();
    UniqueAvifDecoder decoder = decodedFrame0();
    if (!decoder) return std::nullopt;
    const avifImage& image = *decoder->image;
    std::unique_ptr<avifImage, AvifImageDeleter> view(avif->avifImageCreateEmpty());
    const avifCropRect rows{0, 0, image.width, std::min(image.height, 2U)};
    if (!view || avif->avifImageSetViewRect(view.get(), &image, &rows) != AVIF_RESULT_OK) return std::nullopt;
    avifRGBImage rgb = rgbFor(*view);
    const std::size_t rowBytes = std::size_t{view->width} * (description_.hasAlpha ? 4 : 3) * (rgb.depth / 8);
    ImageBytes pixels;
    try {
      pixels.resize(rowBytes * view->height);
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
    rgb.pixels = pixels.data();
    rgb.rowBytes = static_cast<std::uint32_t>(rowBytes);
    if (avif->avifImageYUVToRGB(view.get(), &rgb) != AVIF_RESULT_OK) return std::nullopt;
    const std::shared_ptr<const ColorSpace> attached = attachedSpace();
    return DecodedFrameShape{image.width, image.height, rgb.depth,
                             description_.hasAlpha ? ImageAlphaInfo::last : ImageAlphaInfo::none,
                             keptGray(image, attached)
                                 ? spaceFromProfile(attached, description_.cicp, ColorSpaceModel::monochrome)
                                 : spaceFromProfile(attached, description_.cicp)};
  }

 private:
  // Frame 0 decoded within the decode limits, at the size described; none
  // when it does not decode.
  UniqueAvifDecoder decodedFrame0() const {
    const AvifFunctions* avif = avifFunctions();
    UniqueAvifDecoder decoder = parseAvif(*bytes_, true);
    if (!decoder || avif == nullptr || avif->avifDecoderNextImage(decoder.get()) != AVIF_RESULT_OK) return nullptr;
    if (decoder->image->width != description_.width || decoder->image->height != description_.height) return nullptr;
    return decoder;
  }

  // The RGB layout the frame converts into: RGB or RGBA of 8 bits, or of 16
  // above 8.
  avifRGBImage rgbFor(const avifImage& image) const {
    avifRGBImage rgb;
    avifFunctions()->avifRGBImageSetDefaults(&rgb, &image);
    rgb.format = description_.hasAlpha ? AVIF_RGB_FORMAT_RGBA : AVIF_RGB_FORMAT_RGB;
    rgb.depth = image.depth > 8 ? 16 : 8;
    return rgb;
  }

  std::shared_ptr<const ColorSpace> attachedSpace() const {
    return description_.iccProfile.empty() ? nullptr : ColorSpace::createWithIccData(description_.iccProfile);
  }

  // Monochrome AV1 is grey: libavif hands three equal channels, kept as one
  // so that a grey profile describes the pixels. With an RGB profile attached
  // (avifenc keeps a colour source's profile when it codes 4:0:0) the pixels
  // stay RGB, as libavif gives them, so that profile applies.
  static bool keptGray(const avifImage& image, const std::shared_ptr<const ColorSpace>& attached) {
    return image.yuvFormat == AVIF_PIXEL_FORMAT_YUV400 && !(attached && attached->model() == ColorSpaceModel::rgb);
  }

  SharedBytes bytes_;
};

// ---------------------------------------------------------------------------
// HEIF

struct HeifContextDeleter {
  void operator()(heif_context* context) const noexcept { heifFunctions()->heif_context_free(context); }
};
struct HeifHandleDeleter {
  void operator()(heif_image_handle* handle) const noexcept { heifFunctions()->heif_image_handle_release(handle); }
};
struct HeifImageDeleter {
  void operator()(heif_image* image) const noexcept { heifFunctions()->heif_image_release(image); }
};
using UniqueHeifContext = std::unique_ptr<heif_context, HeifContextDeleter>;
using UniqueHeifHandle = std::unique_ptr<heif_image_handle, HeifHandleDeleter>;
using UniqueHeifImage = std::unique_ptr<heif_image, HeifImageDeleter>;

struct OpenedHeif {
  UniqueHeifContext context;
  UniqueHeifHandle primary;
};

std::optional<OpenedHeif> openHeif(std::span<const std::uint8_t> bytes) {
  const HeifFunctions* heif = heifFunctions();
  if (heif == nullptr) return std::nullopt;
  OpenedHeif opened;
  opened.context.reset(heif->heif_context_alloc());
  if (!opened.context) return std::nullopt;
  heif->heif_context_set_maximum_image_size_limit(opened.context.get(), static_cast<int>(maximumDecodeDimension));
  if (heif->heif_context_read_from_memory_without_copy(opened.context.get(), bytes.data(), bytes.size(), nullptr)
          .code != heif_error_Ok) {
    return std::nullopt;
  }
  heif_image_handle* primary = nullptr;
  if (heif->heif_context_get_primary_image_handle(opened.context.get(), &primary).code != heif_error_Ok) {
    return std::nullopt;
  }
  opened.primary.reset(primary);
  return opened;
}

void readHeifAuxiliary(heif_image_handle* handle, ContainerDescription& description) {
  const HeifFunctions* heif = heifFunctions();
  if (heif == nullptr) return;
  if (heif->heif_image_handle_has_depth_image(handle) != 0) {
    description.auxiliary[static_cast<std::size_t>(AuxiliaryDataType::depth)] = true;
  }
  const int filter = LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH;
  const int count = heif->heif_image_handle_get_number_of_auxiliary_images(handle, filter);
  if (count <= 0 || count > 64) return;
  std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
  const int listed = heif->heif_image_handle_get_list_of_auxiliary_image_IDs(handle, filter, ids.data(), count);
  for (int i = 0; i < listed; ++i) {
    heif_image_handle* auxiliary = nullptr;
    if (heif->heif_image_handle_get_auxiliary_image_handle(handle, ids[static_cast<std::size_t>(i)], &auxiliary).code !=
        heif_error_Ok) {
      continue;
    }
    UniqueHeifHandle owned(auxiliary);
    const char* type = nullptr;
    if (heif->heif_image_handle_get_auxiliary_type(auxiliary, &type).code != heif_error_Ok || type == nullptr) continue;
    const std::string urn(type);
    heif->heif_image_handle_free_auxiliary_types(auxiliary, &type);
    auto mark = [&](AuxiliaryDataType kind) { description.auxiliary[static_cast<std::size_t>(kind)] = true; };
    if (urn.find("hdrgainmap") != std::string::npos) mark(AuxiliaryDataType::hdrGainMap);
    else if (urn.find("portraiteffectsmatte") != std::string::npos) mark(AuxiliaryDataType::portraitEffectsMatte);
    else if (urn.find("semanticskinmatte") != std::string::npos) mark(AuxiliaryDataType::semanticSegmentationSkinMatte);
    else if (urn.find("semantichairmatte") != std::string::npos) mark(AuxiliaryDataType::semanticSegmentationHairMatte);
    else if (urn.find("semanticteethmatte") != std::string::npos) mark(AuxiliaryDataType::semanticSegmentationTeethMatte);
    else if (urn.find("semanticglassesmatte") != std::string::npos) mark(AuxiliaryDataType::semanticSegmentationGlassesMatte);
    else if (urn.find("semanticskymatte") != std::string::npos) mark(AuxiliaryDataType::semanticSegmentationSkyMatte);
    else if (urn.find("disparity") != std::string::npos) mark(AuxiliaryDataType::disparity);
    else if (urn.find("depth") != std::string::npos || urn == "urn:mpeg:hevc:2015:auxid:2") mark(AuxiliaryDataType::depth);
  }
}

void readHeifMetadata(heif_image_handle* handle, ContainerDescription& description) {
  const HeifFunctions* heif = heifFunctions();
  if (heif == nullptr) return;
  const int count = heif->heif_image_handle_get_number_of_metadata_blocks(handle, nullptr);
  if (count <= 0 || count > 64) return;
  std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
  heif->heif_image_handle_get_list_of_metadata_block_IDs(handle, nullptr, ids.data(), count);
  for (heif_item_id id : ids) {
    const std::string type = heif->heif_image_handle_get_metadata_type(handle, id);
    const std::string contentType = heif->heif_image_handle_get_metadata_content_type(handle, id);
    const std::size_t size = heif->heif_image_handle_get_metadata_size(handle, id);
    if (size == 0 || size > 64U * 1024U * 1024U) continue;
    ImageBytes data(size);
    if (heif->heif_image_handle_get_metadata(handle, id, data.data()).code != heif_error_Ok) continue;
    if (type == "Exif" && description.exifBlob.empty() && size > 4) {
      // The item begins with the offset of the TIFF header after it.
      const std::uint32_t offset = bigEndian32(data.data());
      if (offset <= size - 4) description.exifBlob.assign(data.begin() + 4 + offset, data.end());
    } else if ((type == "mime" && contentType == "application/rdf+xml") && description.xmpPacket.empty()) {
      description.xmpPacket = std::move(data);
    }
  }
}

class HeifDecoder final : public FormatDecoder {
 public:
  // Made from an opened file only, so the library is there.
  HeifDecoder(SharedBytes bytes, const OpenedHeif& opened, std::string type) : bytes_(std::move(bytes)) {
    const HeifFunctions* heif = heifFunctions();
    heif_image_handle* handle = opened.primary.get();
    description_.typeIdentifier = std::move(type);
    description_.frameCount =
        static_cast<std::size_t>(std::max(1, heif->heif_context_get_number_of_top_level_images(opened.context.get())));
    // libheif applies irot/imir while decoding and reports the displayed
    // size; the image is described as it will be decoded, upright.
    description_.width = static_cast<std::size_t>(std::max(0, heif->heif_image_handle_get_width(handle)));
    description_.height = static_cast<std::size_t>(std::max(0, heif->heif_image_handle_get_height(handle)));
    codedWidth_ = static_cast<std::size_t>(std::max(0, heif->heif_image_handle_get_ispe_width(handle)));
    codedHeight_ = static_cast<std::size_t>(std::max(0, heif->heif_image_handle_get_ispe_height(handle)));
    const int bits = heif->heif_image_handle_get_luma_bits_per_pixel(handle);
    description_.storedBitDepth = bits > 0 ? static_cast<std::size_t>(bits) : 8;
    description_.hasAlpha = heif->heif_image_handle_has_alpha_channel(handle) != 0;
    const std::size_t iccSize = heif->heif_image_handle_get_raw_color_profile_size(handle);
    if (iccSize > 0 && iccSize < 64U * 1024U * 1024U) {
      description_.iccProfile.resize(iccSize);
      if (heif->heif_image_handle_get_raw_color_profile(handle, description_.iccProfile.data()).code != heif_error_Ok) {
        description_.iccProfile.clear();
      }
    }
    heif_color_profile_nclx* nclx = nullptr;
    if (heif->heif_image_handle_get_nclx_color_profile(handle, &nclx).code == heif_error_Ok && nclx != nullptr) {
      description_.cicp = Cicp{static_cast<int>(nclx->color_primaries), static_cast<int>(nclx->transfer_characteristics),
                               static_cast<int>(nclx->matrix_coefficients), nclx->full_range_flag != 0};
      heif->heif_nclx_color_profile_free(nclx);
    }
    readHeifMetadata(handle, description_);
    readHeifAuxiliary(handle, description_);
  }

  std::optional<DecodedImage> decodeFrame0() const override {
    // libheif 1.15 allocates a grid image at the size its grid record
    // declares, which it never compares with the item's 'ispe' (the size the
    // pixel limit approved): a 500-byte file announcing 16 x 16 can ask for
    // gigabytes. An honest grid is exactly its 'ispe', so a grid record
    // larger than it is refused before libheif sees it.
    if (!withinDecodeLimits(codedWidth_, codedHeight_)) return std::nullopt;
    const std::optional<PrimaryItemGrid> grid = primaryItemGrid(*bytes_);
    if (!grid || (grid->isGrid && (grid->width > codedWidth_ || grid->height > codedHeight_))) return std::nullopt;
    std::optional<OpenedHeif> opened = openHeif(*bytes_);
    const HeifFunctions* heif = heifFunctions();
    if (!opened || heif == nullptr) return std::nullopt;
    const bool alpha = description_.hasAlpha;
    const bool deep = description_.storedBitDepth > 8;
    heif_chroma chroma = alpha ? (deep ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RGBA)
                               : (deep ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB);
    heif_image* decoded = nullptr;
    heif_decoding_options* options = heif->heif_decoding_options_alloc();
    const heif_error error =
        heif->heif_decode_image(opened->primary.get(), &decoded, heif_colorspace_RGB, chroma, options);
    heif->heif_decoding_options_free(options);
    if (error.code != heif_error_Ok || decoded == nullptr) return std::nullopt;
    UniqueHeifImage image(decoded);
    const int width = heif->heif_image_get_primary_width(decoded);
    const int height = heif->heif_image_get_primary_height(decoded);
    if (width <= 0 || height <= 0 || static_cast<std::size_t>(width) != description_.width ||
        static_cast<std::size_t>(height) != description_.height) {
      return std::nullopt;
    }
    int stride = 0;
    const std::uint8_t* plane = heif->heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
    if (plane == nullptr || stride <= 0) return std::nullopt;
    const std::size_t bytesPerComponent = deep ? 2 : 1;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * (alpha ? 4 : 3) * bytesPerComponent;
    if (static_cast<std::size_t>(stride) < rowBytes) return std::nullopt;
    auto pixels = allocatePixels(rowBytes * static_cast<std::size_t>(height));
    if (!pixels) return std::nullopt;
    for (int y = 0; y < height; ++y) {
      std::memcpy(pixels->data() + static_cast<std::size_t>(y) * rowBytes, plane + static_cast<std::size_t>(y) * stride, rowBytes);
    }
    if (deep) {
      const int bits = heif->heif_image_get_bits_per_pixel_range(decoded, heif_channel_interleaved);
      const double scale = 65535.0 / static_cast<double>((1U << std::clamp(bits, 9, 16)) - 1U);
      for (std::size_t i = 0; i + 1 < pixels->size(); i += 2) {
        std::uint16_t v;
        std::memcpy(&v, pixels->data() + i, 2);
        v = static_cast<std::uint16_t>(std::min(65535.0, std::round(v * scale)));
        std::memcpy(pixels->data() + i, &v, 2);
      }
    }
    return DecodedImage(static_cast<std::size_t>(width), static_cast<std::size_t>(height), deep ? 16 : 8, rowBytes,
                        alpha ? ImageAlphaInfo::last : ImageAlphaInfo::none,
                        spaceFromProfiles(description_.iccProfile, description_.cicp), std::move(pixels));
  }

 private:
  SharedBytes bytes_;
  // The coded size from 'ispe', before libheif applies crop and rotation.
  std::size_t codedWidth_ = 0;
  std::size_t codedHeight_ = 0;
};

}  // namespace

bool sniffAvif(std::span<const std::uint8_t> bytes) { return hasBrand(ftypBrands(bytes), {"avif", "avis"}); }

bool sniffHeic(std::span<const std::uint8_t> bytes) {
  const auto brands = ftypBrands(bytes);
  return !hasBrand(brands, {"avif", "avis"}) && hasBrand(brands, {"heic", "heix", "heim", "heis", "hevc", "hevx"});
}

bool sniffHeif(std::span<const std::uint8_t> bytes) {
  const auto brands = ftypBrands(bytes);
  return !hasBrand(brands, {"avif", "avis", "heic", "heix", "heim", "heis", "hevc", "hevx"}) &&
         hasBrand(brands, {"mif1", "msf1"});
}

std::unique_ptr<FormatDecoder> createAvifDecoder(const SharedBytes& bytes) {
  UniqueAvifDecoder decoder = parseAvif(*bytes, false);
  if (!decoder || decoder->image == nullptr || decoder->image->width == 0 || decoder->image->height == 0) return nullptr;
  return std::make_unique<AvifDecoder>(bytes, *decoder);
}

std::unique_ptr<FormatDecoder> createHeifDecoder(const SharedBytes& bytes) {
  std::optional<OpenedHeif> opened = openHeif(*bytes);
  if (!opened) return nullptr;
  return std::make_unique<HeifDecoder>(bytes, *opened, sniffHeic(*bytes) ? "public.heic" : "public.heif");
}

// ---------------------------------------------------------------------------
// AVIF encoding

namespace {

struct AvifEncoderDeleter {
  void operator()(avifEncoder* encoder) const noexcept { avifFunctions()->avifEncoderDestroy(encoder); }
};

}  // namespace

// Quality 0.6 to 1.0 maps onto aom's quantizer (0 best, 63 worst) as
// round((1 - q) × 63): 0.6 is 25, 0.9 is 6, 1.0 is 0. Speed 8 was chosen by
// the benchmark: seconds faster than the default at a modest size cost.
std::optional<ImageBytes> encodeAvif(const EncodeRequest& request) { return encodeAvifAtSpeed(request, avifEncoderSpeed); }

std::optional<ImageBytes> encodeAvifAtSpeed(const EncodeRequest& request, int speed) {
  const AvifFunctions* avif = avifFunctions();
  if (avif == nullptr) return std::nullopt;
  std::optional<PlainPixels> pixels = plainPixels(request.image, true, 8);
  // An alpha that is opaque everywhere is left out, whatever the libavif
  // version would do with it, so the file is the same on every system.
  if (pixels && pixels->alpha && alphaIsOpaque(*pixels)) pixels = plainPixels(request.image, false, 8);
  if (!pixels || pixels->width > 65535 || pixels->height > 65535) return std::nullopt;
  const ColorSpaceModel model = pixels->colorSpace->model();
  if (model != ColorSpaceModel::rgb && model != ColorSpaceModel::monochrome) return std::nullopt;
  // Grey is coded as AV1 monochrome (YUV 4:0:0), so that a grey profile
  // travels with the grey pixels it describes. libavif takes RGB input only;
  // with R = G = B its luma is the grey value itself.
  const bool gray = model == ColorSpaceModel::monochrome;
  std::shared_ptr<ImageBytes> expanded;
  if (gray) {
    const std::size_t channels = pixels->alpha ? 4 : 3;
    expanded = allocatePixels(pixels->width * pixels->height * channels);
    if (!expanded) return std::nullopt;
    for (std::size_t i = 0; i < pixels->width * pixels->height; ++i) {
      const std::uint8_t* p = pixels->data() + i * pixels->channels();
      std::uint8_t* q = expanded->data() + i * channels;
      q[0] = q[1] = q[2] = p[0];
      if (pixels->alpha) q[3] = p[1];
    }
  }
  const avifPixelFormat format = gray                     ? AVIF_PIXEL_FORMAT_YUV400
                                 : request.quality >= 0.9 ? AVIF_PIXEL_FORMAT_YUV444
                                                          : AVIF_PIXEL_FORMAT_YUV420;
  std::unique_ptr<avifImage, AvifImageDeleter> image(avif->avifImageCreate(
      static_cast<std::uint32_t>(pixels->width), static_cast<std::uint32_t>(pixels->height), 8, format));
  if (!image) return std::nullopt;
  image->yuvRange = AVIF_RANGE_FULL;
  // Said outright rather than left unspecified (which readers take as BT.601
  // too): only then does libavif hand the conversion to libyuv, 0.01 s for a
  // 12-megapixel photo against 0.12 s in its own converter.
  image->matrixCoefficients = AVIF_MATRIX_COEFFICIENTS_BT601;
  avifRGBImage rgb;
  avif->avifRGBImageSetDefaults(&rgb, image.get());
  rgb.format = pixels->alpha ? AVIF_RGB_FORMAT_RGBA : AVIF_RGB_FORMAT_RGB;
  rgb.depth = 8;
  rgb.pixels = const_cast<std::uint8_t*>(expanded ? expanded->data() : pixels->data());  // read only
  rgb.rowBytes = static_cast<std::uint32_t>(pixels->width * (pixels->alpha ? 4 : 3));
  if (avif->avifImageRGBToYUV(image.get(), &rgb) != AVIF_RESULT_OK) return std::nullopt;
  const ImageBytes& icc = pixels->colorSpace->iccData();
  if (!icc.empty()) avif->avifImageSetProfileICC(image.get(), icc.data(), icc.size());

  std::optional<OutputMetadataBlobs> blobs;
  if (request.metadata != nullptr) {
    blobs = outputMetadataBlobs(*request.metadata, request.orientation, pixels->width, pixels->height);
    if (!blobs) return std::nullopt;
    // The EXIF carries exactly the planned orientation, so the irot/imir that
    // libavif derives from it are the plan's too.
    if (!blobs->exifTiff.empty()) {
      avif->avifImageSetMetadataExif(image.get(), blobs->exifTiff.data(), blobs->exifTiff.size());
    }
    if (!blobs->xmpPacket.empty()) {
      avif->avifImageSetMetadataXMP(image.get(), reinterpret_cast<const std::uint8_t*>(blobs->xmpPacket.data()),
                                    blobs->xmpPacket.size());
    }
  }
  orientationToAvif(request.orientation, image.get());

  std::unique_ptr<avifEncoder, AvifEncoderDeleter> encoder(avif->avifEncoderCreate());
  if (!encoder) return std::nullopt;
  encoder->codecChoice = AVIF_CODEC_CHOICE_AOM;
  encoder->maxThreads = 1;
  encoder->speed = std::clamp(speed, AVIF_SPEED_DEFAULT, AVIF_SPEED_FASTEST);
  const int quantizer = std::clamp(static_cast<int>(std::lround((1.0 - request.quality) * 63.0)), 0, 63);
  encoder->minQuantizer = quantizer;
  encoder->maxQuantizer = quantizer;
  encoder->minQuantizerAlpha = quantizer;
  encoder->maxQuantizerAlpha = quantizer;
  avifRWData output = AVIF_DATA_EMPTY;
  if (avif->avifEncoderWrite(encoder.get(), image.get(), &output) != AVIF_RESULT_OK) {
    avif->avifRWDataFree(&output);
    return std::nullopt;
  }
  ImageBytes bytes(output.data, output.data + output.size);
  avif->avifRWDataFree(&output);
  return bytes;
}

}  // namespace quorvantelmic::detail
