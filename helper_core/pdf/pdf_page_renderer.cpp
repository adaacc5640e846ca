#include "helper_core/pdf/pdf_page_renderer.hpp"

#include <cmath>
#include <memory>
#include <optional>
#include <utility>

#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

namespace {

// A page side in pixels: the side at `dpi` rounded up, kept as a double until
// it is known to be a sane size. The product comes before the division: dpi /
// 72 is inexact, and 792 × (300 / 72) is 3300.0000000000005, which would round
// a whole-point page up by a spurious pixel.
std::optional<std::int64_t> renderedSide(std::int64_t dpi, double points) {
  const double pixels = std::ceil(static_cast<double>(dpi) * points / 72.0);
  if (!std::isfinite(pixels) || pixels < 1 || pixels > static_cast<double>(HelperLimits::maximumPDFRenderDimension)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(pixels);
}

// A property read as a whole number; fractional, negative or non-numeric
// values never match a pixel size.
std::optional<std::int64_t> integerProperty(const PropertyDictionary& properties, std::string_view key) {
  const PropertyValue* value = properties.find(key);
  const PropertyNumber* number = value == nullptr ? nullptr : value->asNumber();
  if (number == nullptr || !std::isfinite(number->value) || number->value < 0 || number->value > 9.0e15 ||
      std::floor(number->value) != number->value) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(number->value);
}

[[noreturn]] void failValidation() {
  throw HelperFault(HelperErrorCode::encodeFailed, "A PDF page image failed output validation.");
}

}  // namespace

RenderedPDFPage PDFPageRenderer::render(const CGPDFPage& page, const PDFPageGeometry& geometry,
                                        std::int64_t dpi) const {
  if (dpi < HelperLimits::minimumPDFRenderDPI || dpi > HelperLimits::maximumPDFRenderDPI) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The PDF render DPI is outside the allowed range.");
  }
  const std::int64_t quarterTurns = ((geometry.rotation % 360) + 360) % 360;
  const bool sideways = quarterTurns == 90 || quarterTurns == 270;
  const double displayedWidth = sideways ? geometry.heightPoints : geometry.widthPoints;
  const double displayedHeight = sideways ? geometry.widthPoints : geometry.heightPoints;

  const double scale = static_cast<double>(dpi) / 72.0;
  const std::optional<std::int64_t> width = renderedSide(dpi, displayedWidth);
  const std::optional<std::int64_t> height = renderedSide(dpi, displayedHeight);
  if (!width || !height || HelperLimits::maximumPDFRenderPixels / *height < *width) {
    throw HelperFault(HelperErrorCode::resourceLimit, "A rendered PDF page exceeds the pixel limit.");
  }

  // The drawing fills the bitmap with opaque white first, so transparent page
  // content ends up on white and the bitmap needs no alpha channel.
  std::optional<PDFBitmap> bitmap = page.drawIntoBitmap(scale, *width, *height);
  if (!bitmap || bitmap->width != *width || bitmap->height != *height ||
      bitmap->rgb.size() != static_cast<std::size_t>(*width * *height * 3)) {
    throw HelperFault(HelperErrorCode::encodeFailed, "A PDF page could not be rendered.");
  }
  const std::shared_ptr<const ColorSpace> srgb = ColorSpace::srgb();
  if (!srgb) throw HelperFault(HelperErrorCode::encodeFailed, "A PDF page render surface could not be created.");
  auto pixels = std::make_shared<const ImageBytes>(std::move(bitmap->rgb));
  DecodedImage image(static_cast<std::size_t>(*width), static_cast<std::size_t>(*height), 8,
                     static_cast<std::size_t>(*width) * 3, ImageAlphaInfo::none, srgb, std::move(pixels));
  return RenderedPDFPage{std::move(image), *width, *height, displayedWidth, displayedHeight};
}

std::vector<std::uint8_t> PDFRasterEncoder::encode(const RenderedPDFPage& page, const PDFRasterTarget& target) const {
  std::string_view typeIdentifier = pngTypeIdentifier;
  PropertyDictionary options;
  if (target.kind == PDFRasterTarget::Kind::jpeg) {
    // This encoder also serves page flattening, whose qualities reach lower
    // than page export allows; below 0.35 the pages are no longer legible.
    if (!std::isfinite(target.quality) || target.quality < 0.35 || target.quality > 0.95) {
      throw HelperFault(HelperErrorCode::invalidRequest, "The PDF JPEG quality is outside the allowed range.");
    }
    typeIdentifier = jpegTypeIdentifier;
    options.set(std::string(ImageDestinationOption::lossyCompressionQuality), PropertyValue::number(target.quality));
  }
  std::optional<ImageDestination> destination = ImageDestination::createWithData(typeIdentifier, 1);
  if (!destination) throw HelperFault(HelperErrorCode::encodeFailed, "The PDF page image encoder is unavailable.");
  destination->addImage(page.image, options);
  if (!destination->finalize()) {
    throw HelperFault(HelperErrorCode::encodeFailed, "A PDF page image could not be encoded.");
  }
  std::vector<std::uint8_t> bytes = destination->takeData();
  validate(bytes, typeIdentifier, page.pixelWidth, page.pixelHeight);
  return bytes;
}

void PDFRasterEncoder::validate(std::span<const std::uint8_t> bytes, std::string_view typeIdentifier,
                                std::int64_t width, std::int64_t height) const {
  if (bytes.empty() || bytes.size() > static_cast<std::size_t>(HelperLimits::maximumOutputBytes)) failValidation();
  const std::optional<ImageSource> source = ImageSource::createBorrowingData(bytes);
  if (!source || source->count() != 1 || source->type() != typeIdentifier) failValidation();
  const std::optional<PropertyDictionary> properties = source->copyPropertiesAtIndex(0);
  if (!properties || integerProperty(*properties, ImagePropertyKey::pixelWidth) != width ||
      integerProperty(*properties, ImagePropertyKey::pixelHeight) != height) {
    failValidation();
  }
  // The header alone could lie about a truncated or corrupt body: all of the
  // compressed data must decode, at the size the header claims. A JPEG page
  // is decoded at 1/8, which still Huffman-decodes every coefficient (the AC
  // values are read and dropped, as the stream cannot be followed otherwise),
  // so a damaged or short stream fails as it would at full size; only the
  // inverse transform is reduced, to the DC term. A PNG page is inflated and
  // unfiltered whole; its decode converts no colours.
  const std::int64_t reduction = typeIdentifier == jpegTypeIdentifier ? 8 : 1;
  const std::optional<DecodedImage> decoded = source->createImageAtIndex(0, reduction == 8 ? 1 : 0);
  if (!decoded || static_cast<std::int64_t>(decoded->width()) != (width + reduction - 1) / reduction ||
      static_cast<std::int64_t>(decoded->height()) != (height + reduction - 1) / reduction) {
    failValidation();
  }
}

}  // namespace quorvantelmic
