#include <algorithm>
#include <array>
#include <cmath>

#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/image/platform/image_platform.hpp"
#include "helper_core/image/platform/metadata_exiv2.hpp"
#include "helper_core/image/platform/pixels.hpp"

namespace quorvantelmic {

// ---------------------------------------------------------------------------
// Property tree

const PropertyValue* PropertyDictionary::find(std::string_view key) const {
  for (const auto& [entryKey, value] : entries) {
    if (const auto* text = std::get_if<std::string>(&entryKey); text != nullptr && *text == key) return &value;
  }
  return nullptr;
}

void PropertyDictionary::set(PropertyKey key, PropertyValue value) {
  for (auto& entry : entries) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  entries.emplace_back(std::move(key), std::move(value));
}

bool operator==(const PropertyDictionary& a, const PropertyDictionary& b) {
  if (a.entries.size() != b.entries.size()) return false;
  for (const auto& [key, value] : a.entries) {
    const auto match = std::find_if(b.entries.begin(), b.entries.end(), [&](const auto& entry) { return entry.first == key; });
    if (match == b.entries.end() || !(match->second == value)) return false;
  }
  return true;
}

std::span<const std::string_view> unsupportedMetadataDictionaryNames() {
  static constexpr std::array<std::string_view, 14> names = {
      ImagePropertyKey::rawDictionary,          ImagePropertyKey::ciffDictionary,
      ImagePropertyKey::makerCanonDictionary,   ImagePropertyKey::makerNikonDictionary,
      ImagePropertyKey::makerMinoltaDictionary, ImagePropertyKey::makerFujiDictionary,
      ImagePropertyKey::makerOlympusDictionary, ImagePropertyKey::makerPentaxDictionary,
      ImagePropertyKey::photoshopDictionary,    ImagePropertyKey::dngDictionary,
      ImagePropertyKey::exifAuxDictionary,      ImagePropertyKey::makerAppleDictionary,
      ImagePropertyKey::fileContentsDictionary, ImagePropertyKey::makerOtherDictionary,
  };
  return names;
}

// ---------------------------------------------------------------------------
// The format table

namespace detail {

std::span<const FormatEntry> formatTable() {
  // Order matters only where signatures could overlap: HEIC brands are tried
  // before the generic HEIF brands, AVIF before both.
  static constexpr std::array<FormatEntry, 9> table = {{
      {"public.jpeg", sniffJpeg, createJpegDecoder},
      {"public.png", sniffPng, createPngDecoder},
      {"public.tiff", sniffTiff, createTiffDecoder},
      {"com.compuserve.gif", sniffGif, createGifDecoder},
      {"com.microsoft.bmp", sniffBmp, createBmpDecoder},
      {"org.webmproject.webp", sniffWebp, createWebpDecoder},
      {"public.avif", sniffAvif, createAvifDecoder},
      {"public.heic", sniffHeic, createHeifDecoder},
      {"public.heif", sniffHeif, createHeifDecoder},
  }};
  return table;
}

}  // namespace detail

std::vector<std::string> imageSourceTypeIdentifiers() {
  std::vector<std::string> identifiers;
  for (const detail::FormatEntry& entry : detail::formatTable()) identifiers.emplace_back(entry.typeIdentifier);
  return identifiers;
}

// ---------------------------------------------------------------------------
// Image source

struct ImageSource::State {
  detail::SharedBytes bytes;
  std::unique_ptr<detail::FormatDecoder> decoder;
  detail::ReadMetadata metadata;
  std::optional<std::string> profileName;
};

ImageSource::ImageSource(std::unique_ptr<State> state) : state_(std::move(state)) {}
ImageSource::ImageSource(ImageSource&&) noexcept = default;
ImageSource& ImageSource::operator=(ImageSource&&) noexcept = default;
ImageSource::~ImageSource() = default;

std::optional<ImageSource> ImageSource::createWithData(std::span<const std::uint8_t> bytes) {
  return createWithData(ImageBytes(bytes.begin(), bytes.end()));
}

std::optional<ImageSource> ImageSource::createWithData(ImageBytes bytes) {
  return create(detail::SharedBytes::owning(std::move(bytes)));
}

std::optional<ImageSource> ImageSource::createBorrowingData(std::span<const std::uint8_t> bytes) {
  return create(detail::SharedBytes::borrowing(bytes));
}

std::span<const std::uint8_t> ImageSource::data() const noexcept { return *state_->bytes; }

std::optional<ImageSource> ImageSource::create(const detail::SharedBytes& shared) {
  if (shared->empty()) return std::nullopt;
  for (const detail::FormatEntry& entry : detail::formatTable()) {
    if (!entry.sniff(*shared)) continue;
    std::unique_ptr<detail::FormatDecoder> decoder;
    try {
      decoder = entry.create(shared);
    } catch (const std::exception&) {
      decoder = nullptr;
    }
    if (!decoder) return std::nullopt;
    auto state = std::make_unique<State>();
    state->bytes = shared;
    state->decoder = std::move(decoder);
    state->metadata = detail::readMetadata(state->decoder->description(), shared);
    if (!state->decoder->description().iccProfile.empty()) {
      state->profileName = detail::iccDescription(state->decoder->description().iccProfile);
    }
    return ImageSource(std::move(state));
  }
  return std::nullopt;
}

const std::string& ImageSource::type() const noexcept { return state_->decoder->description().typeIdentifier; }

std::size_t ImageSource::count() const noexcept { return state_->decoder->description().frameCount; }

std::optional<PropertyDictionary> ImageSource::copyPropertiesAtIndex(std::size_t index) const {
  if (index != 0 || count() == 0) return std::nullopt;
  const detail::ContainerDescription& description = state_->decoder->description();
  const detail::ReadMetadata& metadata = state_->metadata;
  PropertyDictionary properties;
  properties.set(PropertyKey(std::string(ImagePropertyKey::pixelWidth)),
                 PropertyValue::number(static_cast<double>(description.width)));
  properties.set(PropertyKey(std::string(ImagePropertyKey::pixelHeight)),
                 PropertyValue::number(static_cast<double>(description.height)));
  if (description.containerOrientation) {
    properties.set(PropertyKey(std::string(ImagePropertyKey::orientation)),
                   PropertyValue::number(*description.containerOrientation));
  } else if (metadata.exifOrientation && description.typeIdentifier != "public.avif" &&
             description.typeIdentifier != "public.heic" && description.typeIdentifier != "public.heif") {
    // Inside AVIF and HEIF the container's irot/imir decide; an EXIF
    // orientation there is informational only.
    properties.set(PropertyKey(std::string(ImagePropertyKey::orientation)), *metadata.exifOrientation);
  }
  if (description.storedBitDepth > 0) {
    properties.set(PropertyKey(std::string(ImagePropertyKey::depth)),
                   PropertyValue::number(static_cast<double>(description.storedBitDepth)));
  }
  properties.set(PropertyKey(std::string(ImagePropertyKey::hasAlpha)), PropertyValue(description.hasAlpha));
  if (state_->profileName) {
    properties.set(PropertyKey(std::string(ImagePropertyKey::profileName)), PropertyValue(*state_->profileName));
  }
  const std::optional<double> headroom = description.headroom ? description.headroom : metadata.gainMapHeadroom;
  if (headroom && std::isfinite(*headroom)) {
    properties.set(PropertyKey(std::string(ImagePropertyKey::headroom)), PropertyValue::number(*headroom));
  }
  auto addDictionary = [&](std::string_view name, const PropertyDictionary& dictionary) {
    if (!dictionary.empty()) properties.set(PropertyKey(std::string(name)), PropertyValue(dictionary));
  };
  addDictionary(ImagePropertyKey::exifDictionary, metadata.exif);
  addDictionary(ImagePropertyKey::tiffDictionary, metadata.tiff);
  addDictionary(ImagePropertyKey::gpsDictionary, metadata.gps);
  addDictionary(ImagePropertyKey::iptcDictionary, metadata.iptc);
  for (const auto& [name, dictionary] : metadata.unsupported) addDictionary(name, dictionary);
  return properties;
}

std::optional<DecodedImage> ImageSource::createImageAtIndex(std::size_t index, std::size_t minimumLongSide) const {
  if (index != 0 || count() == 0) return std::nullopt;
  const detail::ContainerDescription& description = state_->decoder->description();
  if (!detail::withinDecodeLimits(description.width, description.height)) return std::nullopt;
  try {
    return minimumLongSide > 0 ? state_->decoder->decodeFrame0Reduced(minimumLongSide)
                               : state_->decoder->decodeFrame0();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<DecodedFrameShape> ImageSource::proveImageAtIndex(std::size_t index) const {
  if (index != 0 || count() == 0) return std::nullopt;
  const detail::ContainerDescription& description = state_->decoder->description();
  if (!detail::withinDecodeLimits(description.width, description.height)) return std::nullopt;
  try {
    return state_->decoder->proveFrame0();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<DecodedImage> ImageSource::createThumbnailAtIndex(std::size_t index, const ThumbnailOptions& options) const {
  std::optional<DecodedImage> decoded = createImageAtIndex(index);
  if (!decoded) return std::nullopt;
  return createThumbnailFromFrame(std::move(*decoded), options);
}

std::optional<DecodedImage> ImageSource::createThumbnailFromFrame(DecodedImage frame,
                                                                  const ThumbnailOptions& options) const {
  std::optional<DecodedImage> decoded(std::move(frame));
  const bool hasAlpha = alphaInfoCarriesAlpha(decoded->alphaInfo());
  std::optional<detail::PlainPixels> plain = detail::plainPixels(*decoded, hasAlpha, 8);
  if (!plain) return std::nullopt;
  decoded.reset();
  int orientation = 1;
  if (options.createThumbnailWithTransform) {
    const std::optional<PropertyDictionary> properties = copyPropertiesAtIndex(0);
    if (const PropertyValue* value = properties ? properties->find(ImagePropertyKey::orientation) : nullptr) {
      if (const PropertyNumber* number = value->asNumber()) {
        if (number->value >= 1 && number->value <= 8) orientation = static_cast<int>(number->value);
      }
    }
  }
  plain = detail::orientPixels(*plain, orientation);
  if (!plain) return std::nullopt;
  std::size_t width = plain->width;
  std::size_t height = plain->height;
  const std::size_t longer = std::max(width, height);
  if (options.thumbnailMaxPixelSize && *options.thumbnailMaxPixelSize >= 1 && *options.thumbnailMaxPixelSize < longer) {
    const double scale = static_cast<double>(*options.thumbnailMaxPixelSize) / static_cast<double>(longer);
    width = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(static_cast<double>(width) * scale)));
    height = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(static_cast<double>(height) * scale)));
  }
  const std::size_t channels = plain->channels();
  if (width == plain->width && height == plain->height) {
    // Plain pixels are never written to, so the rendering can share them.
    return detail::imageFromPlain(width, height, channels, plain->alpha, 8, plain->colorSpace, plain->sharedBytes());
  }
  // Scale on premultiplied pixels so that transparent colour does not bleed.
  auto premultiplied = detail::allocatePixels(plain->bytesPerRow() * plain->height);
  if (!premultiplied) return std::nullopt;
  std::copy_n(plain->data(), premultiplied->size(), premultiplied->data());
  const std::size_t pixelCount = plain->width * plain->height;
  if (plain->alpha) {
    for (std::size_t i = 0; i < pixelCount; ++i) {
      std::uint8_t* p = premultiplied->data() + i * channels;
      for (std::size_t c = 0; c + 1 < channels; ++c) p[c] = static_cast<std::uint8_t>((p[c] * p[channels - 1] + 127) / 255);
    }
  }
  auto scaled = detail::allocatePixels(width * height * channels);
  if (!scaled) return std::nullopt;
  if (!detail::resample8(premultiplied->data(), plain->width, plain->height, plain->bytesPerRow(), channels,
                         scaled->data(), width, height, width * channels)) {
    return std::nullopt;
  }
  if (plain->alpha) {
    for (std::size_t i = 0; i < width * height; ++i) {
      std::uint8_t* p = scaled->data() + i * channels;
      const unsigned a = p[channels - 1];
      for (std::size_t c = 0; c + 1 < channels; ++c) {
        p[c] = a == 0 ? 0 : static_cast<std::uint8_t>(std::min(255U, (p[c] * 255U + a / 2) / a));
      }
    }
  }
  return detail::imageFromPlain(width, height, channels, plain->alpha, 8, plain->colorSpace, std::move(scaled));
}

std::optional<AuxiliaryDataInfo> ImageSource::copyAuxiliaryDataInfoAtIndex(std::size_t index, AuxiliaryDataType type) const {
  if (index != 0) return std::nullopt;
  const detail::ContainerDescription& description = state_->decoder->description();
  bool present = description.auxiliary[static_cast<std::size_t>(type)];
  // A JPEG carries its gain map or depth map as a secondary image (MPF) that
  // the primary image's XMP names; Google's depth maps ride in extended XMP.
  if (type == AuxiliaryDataType::hdrGainMap) {
    present = present || (description.hasSecondaryImages && state_->metadata.xmpDeclaresGainMap);
  } else if (type == AuxiliaryDataType::depth) {
    present = present || state_->metadata.xmpDeclaresDepth;
  }
  if (!present) return std::nullopt;
  return AuxiliaryDataInfo{type};
}

std::optional<ImageMetadata> ImageSource::copyMetadataAtIndex(std::size_t index) const {
  if (index != 0 || !state_->metadata.contents) return std::nullopt;
  return ImageMetadata(state_->metadata.contents);
}

std::optional<ColorSpaceModel> ImageSource::embeddedProfileModel() const {
  const ImageBytes& icc = state_->decoder->description().iccProfile;
  if (icc.empty()) return std::nullopt;
  const std::shared_ptr<const ColorSpace> space = ColorSpace::createWithIccData(icc);
  if (!space) return std::nullopt;
  return space->model();
}

}  // namespace quorvantelmic
