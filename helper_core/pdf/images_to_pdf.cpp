// images-to-pdf: still images become the pages of one PDF, each page exactly as
// large as its image at one point per pixel. Sources are read, checked and
// drawn strictly one after another, so the byte and pixel totals stop a request
// before later sources are touched, and a source's bytes are gone before the
// next one is read.
#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "helper_core/image/image_probing.hpp"
#include "helper_core/pdf/jpeg_recoding.hpp"
#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/pdf/platform/pdf_context.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

namespace {

// The source's own JPEG data, when drawing the page would give exactly its
// decoded pixels: an upright, opaque, 8-bit grey or RGB JPEG. A colour profile
// goes with the data as the image's colour space, so the page shows the
// photo's own colours without its pixels being converted; it qualifies only
// when the profile opened and describes the pixels' colour model (a profile
// that does not is ignored by the decode and the page is drawn instead).
// Every metadata segment, the profile's own included, is removed from the
// data, so the page carries nothing of the photo but its pixels and colours.
// The written PDF's own validation reads its structure, not its images: what
// proves such a page decodes is the inspection's decode of the same
// entropy-coded data (only marker segments before it are dropped), and the
// profile placed is the one the colour engine opened for that decode.
std::optional<StrippedJpeg> embeddableJpeg(std::span<const std::uint8_t> bytes, const InspectedImage& inspected,
                                           std::vector<std::uint8_t>& profile) {
  const ImageProbe& probe = inspected.probe;
  if (probe.uniformTypeIdentifier != "public.jpeg" || probe.orientation != 1 || probe.hasAlpha || probe.hasHdr ||
      (probe.bitDepth && *probe.bitDepth != 8) || !inspected.colorModel) {
    return std::nullopt;
  }
  if (probe.hasIccProfile &&
      (!inspected.embeddedProfileApplies || !inspected.profileData || inspected.profileData->empty())) {
    return std::nullopt;
  }
  int components = 0;
  if (*inspected.colorModel == ColorSpaceModel::rgb) components = 3;
  if (*inspected.colorModel == ColorSpaceModel::monochrome) components = 1;
  std::optional<StrippedJpeg> jpeg = jpegWithoutMetadata(bytes);
  if (!jpeg || jpeg->components != components || jpeg->width != probe.width || jpeg->height != probe.height) {
    return std::nullopt;
  }
  if (probe.hasIccProfile) profile.assign(inspected.profileData->begin(), inspected.profileData->end());
  return jpeg;
}

// The page limits on an image of this stored size, given the pixels of the
// pages before it. The pixel limits come first: a 40000 × 10 image is refused
// for its pixels, a 20000 × 10 one for its page size.
void checkPageLimits(std::int64_t width, std::int64_t height, std::int64_t pixelsBefore) {
  if (width > HelperLimits::maximumPDFPagePixels || height > HelperLimits::maximumPDFPagePixels ||
      width * height > HelperLimits::maximumPDFRenderPixels ||
      width * height > HelperLimits::maximumPDFAggregatePixels - pixelsBefore) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The image pages exceed the PDF pixel limit.");
  }
  if (static_cast<double>(width) > HelperLimits::maximumPDFPagePoints ||
      static_cast<double>(height) > HelperLimits::maximumPDFPagePoints) {
    throw HelperFault(HelperErrorCode::resourceLimit, "An image page exceeds the PDF geometry limit.");
  }
}

// One source made ready to become a page: its JPEG data as it is, or its
// upright drawing. The source's bytes and its decoded frames end with this call.
ImagePDFPage pageOf(const SecureFileReader& reader, std::string_view path, std::int64_t& sourceBytes,
                    std::int64_t pixelsBefore) {
  const std::vector<std::uint8_t> bytes = reader.readRegularFile(path, HelperLimits::maximumSourceBytes);
  const auto length = static_cast<std::int64_t>(bytes.size());
  if (length > HelperLimits::maximumPDFAggregateSourceBytes - sourceBytes) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The image sources exceed the aggregate byte limit.");
  }
  sourceBytes += length;

  // An upright JPEG may become its page as its own data, which needs none of
  // its pixels: its decode then only has to prove that the whole stream
  // reads, which libjpeg's decode at 1/8 does as well as a full one, in a
  // fraction of the time and memory. Other codecs decode as stored. The page
  // limits are judged from the stored size (a quarter turn keeps both sides
  // within the same limits), before any pixel is decoded.
  InspectedImage inspected = ImageInspector().inspect(
      bytes, true, [pixelsBefore](std::int64_t width, std::int64_t height, std::int64_t orientation) {
        checkPageLimits(width, height, pixelsBefore);
        return orientation == 1 ? std::size_t{1} : std::size_t{0};
      });
  if (!currentRasterSourceTypeIdentifiers().contains(inspected.probe.uniformTypeIdentifier)) {
    throw HelperFault(HelperErrorCode::unsupportedSource,
                      "The image type is not accepted by the current image-to-PDF operation.");
  }
  if (inspected.probe.frameCount != 1) {
    throw HelperFault(HelperErrorCode::unsupportedSource,
                      "Only single-frame still images are accepted for PDF conversion.");
  }
  std::vector<std::uint8_t> profile;
  if (std::optional<StrippedJpeg> jpeg = embeddableJpeg(bytes, inspected, profile)) {
    const PDFPageGeometry geometry{static_cast<double>(jpeg->width), static_cast<double>(jpeg->height), 0};
    return ImagePDFPage{std::nullopt, geometry, std::move(jpeg), std::move(profile)};
  }
  ThumbnailOptions options;
  options.createThumbnailFromImageAlways = true;
  options.createThumbnailWithTransform = true;
  // The longer stored side, so the image is never scaled down.
  options.thumbnailMaxPixelSize = static_cast<std::size_t>(std::max(inspected.probe.width, inspected.probe.height));
  // The page is drawn upright from the frame the inspection decoded, which is
  // let go as soon as its pixels are copied out: one decode per image, and a
  // second, at full size, only for an upright JPEG that could not go in as
  // its own data (CMYK, or one whose profile does not describe its pixels).
  if (inspected.decodedImage && (static_cast<std::int64_t>(inspected.decodedImage->width()) != inspected.probe.width ||
                                 static_cast<std::int64_t>(inspected.decodedImage->height()) != inspected.probe.height)) {
    inspected.decodedImage.reset();
    inspected.decodedImage = inspected.source.createImageAtIndex(0);
  }
  if (!inspected.decodedImage) throw HelperFault(HelperErrorCode::decodeFailed, "An image page could not be decoded.");
  DecodedImage frame = std::move(*inspected.decodedImage);
  inspected.decodedImage.reset();
  const std::optional<DecodedImage> upright = inspected.source.createThumbnailFromFrame(std::move(frame), options);
  if (!upright) throw HelperFault(HelperErrorCode::decodeFailed, "An image page could not be decoded.");
  DecodedImage drawn = PDFOperations::renderPDFPageImage(*upright);
  const PDFPageGeometry geometry{static_cast<double>(drawn.width()), static_cast<double>(drawn.height()), 0};
  return ImagePDFPage{std::move(drawn), geometry, std::nullopt, {}};
}

// Places one page in the writer: its JPEG data as it is, or its drawing.
void addImagePage(CGPDFContext& context, const ImagePDFPage& page) {
  const PDFRect box{0, 0, page.geometry.widthPoints, page.geometry.heightPoints};
  if (!context.beginPage(box)) throw HelperFault(HelperErrorCode::encodeFailed, "The PDF writer could not be created.");
  bool drawn = false;
  if (page.jpeg) {
    // Data that the writer's screen rejects is coded anew from its own
    // coefficients, so the page does not go in hex-encoded at twice its size.
    const StrippedJpeg& jpeg = *page.jpeg;
    const auto recoded = [&jpeg]() -> std::optional<std::string> {
      std::optional<std::vector<std::uint8_t>> bytes = jpegRecodedPastScreen(jpeg.data, jpeg.width, jpeg.height);
      if (!bytes) return std::nullopt;
      return std::string(bytes->begin(), bytes->end());
    };
    drawn = context.drawJpegImage(jpeg.data, jpeg.width, jpeg.height, jpeg.components, box, page.jpegProfile, recoded);
  } else if (page.image) {
    const DecodedImage& image = *page.image;
    const PDFRasterImage raster{static_cast<std::int64_t>(image.width()), static_cast<std::int64_t>(image.height()),
                                static_cast<std::int64_t>(image.componentsPerPixel()),
                                static_cast<std::int64_t>(image.bytesPerRow()), image.pixels()};
    drawn = image.bitsPerComponent() == 8 && image.colorSpace() != nullptr &&
            image.colorSpace()->model() == ColorSpaceModel::rgb && context.drawImage(raster, box);
  }
  if (!drawn || !context.endPage()) {
    throw HelperFault(HelperErrorCode::encodeFailed, "The PDF writer could not be created.");
  }
}

std::vector<std::uint8_t> finishImagePDF(CGPDFContext& context) {
  std::optional<std::vector<std::uint8_t>> bytes = context.close();
  if (!bytes || bytes->empty() || static_cast<std::int64_t>(bytes->size()) > HelperLimits::maximumOutputBytes) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The PDF output exceeds the byte limit.");
  }
  return std::move(*bytes);
}

}  // namespace

PDFOperationResult PDFOperations::imagesToPDF(const std::vector<std::string>& sourcePaths,
                                              std::string_view outputPath) const {
  if (sourcePaths.empty() || sourcePaths.size() > static_cast<std::size_t>(HelperLimits::maximumPDFImageSources)) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The image source count is outside the allowed range.");
  }
  const std::set<std::string_view> distinct(sourcePaths.begin(), sourcePaths.end());
  if (distinct.size() != sourcePaths.size()) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The image source paths must be distinct.");
  }
  checkStagedPDFOutputPath(outputPath);

  // Each page goes into the writer as soon as it is made, and its pixels
  // are gone before the next source is read: however many images, one
  // decoded image at a time, beside the compressed pages written so far.
  // Compressed pixels are arbitrary bytes; the screen keeps any stream that
  // would read as a feature name or an end marker out of the file as it is.
  std::vector<PDFPageGeometry> geometry;
  geometry.reserve(sourcePaths.size());
  std::vector<std::uint8_t> bytes;
  {
    CGPDFContext context(readsAsPDFStructure);
    std::int64_t sourceBytes = 0;
    std::int64_t pixels = 0;
    for (const std::string& path : sourcePaths) {
      const ImagePDFPage page = pageOf(reader, path, sourceBytes, pixels);
      const auto width = static_cast<std::int64_t>(page.geometry.widthPoints);
      const auto height = static_cast<std::int64_t>(page.geometry.heightPoints);
      checkPageLimits(width, height, pixels);
      pixels += width * height;
      addImagePage(context, page);
      geometry.push_back(page.geometry);
    }
    bytes = finishImagePDF(context);
  }
  std::vector<PDFOutputDescription> outputs;
  outputs.push_back(PDFOutputDescription{std::move(bytes), geometry, false, false});

  // The same check as on the written file, before anything is created.
  validatePDFOutput(outputs.front().bytes, geometry, false, false);
  return writePDFOutputs(outputs, {std::string(outputPath)});
}

DecodedImage PDFOperations::renderPDFPageImage(const DecodedImage& image) {
  const std::size_t width = image.width();
  const std::size_t height = image.height();
  std::optional<BitmapContext> context =
      BitmapContext::create(width, height, 8, 4 * width, ColorSpace::deviceRgb(), ImageAlphaInfo::noneSkipLast);
  if (!context) throw HelperFault(HelperErrorCode::decodeFailed, "The image page could not be rendered safely.");
  context->setGrayFillColor(1, 1);
  context->fillRect(ImageRect{0, 0, static_cast<double>(width), static_cast<double>(height)});
  context->setBlendMode(BlendMode::normal);
  context->setInterpolationQuality(InterpolationQuality::high);
  if (!context->drawImage(ImageRect{0, 0, static_cast<double>(width), static_cast<double>(height)}, image)) {
    throw HelperFault(HelperErrorCode::decodeFailed, "The image page could not be rendered safely.");
  }
  std::optional<DecodedImage> drawn = std::move(*context).createImage();
  if (!drawn) throw HelperFault(HelperErrorCode::decodeFailed, "The image page could not be finalized safely.");
  return std::move(*drawn);
}

std::vector<std::uint8_t> PDFOperations::createImagePDF(const std::vector<ImagePDFPage>& pages) {
  if (pages.empty()) throw HelperFault(HelperErrorCode::encodeFailed, "The PDF writer could not be created.");
  CGPDFContext context(readsAsPDFStructure);
  for (const ImagePDFPage& page : pages) addImagePage(context, page);
  return finishImagePDF(context);
}

}  // namespace quorvantelmic
