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
#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/pdf/platform/pdf_context.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

namespace {

// The source's own JPEG data, when drawing the page would give exactly its
// decoded pixels: an upright, opaque, 8-bit grey or RGB JPEG without a colour
// profile (a profile would have its colours converted). Its metadata segments
// are removed, so the page carries nothing of the photo but its pixels.
std::optional<StrippedJpeg> embeddableJpeg(std::span<const std::uint8_t> bytes, const InspectedImage& inspected) {
  const ImageProbe& probe = inspected.probe;
  if (probe.uniformTypeIdentifier != "public.jpeg" || probe.orientation != 1 || probe.hasAlpha ||
      probe.hasIccProfile || probe.hasHdr || (probe.bitDepth && *probe.bitDepth != 8) || !inspected.colorModel) {
    return std::nullopt;
  }
  int components = 0;
  if (*inspected.colorModel == ColorSpaceModel::rgb) components = 3;
  if (*inspected.colorModel == ColorSpaceModel::monochrome) components = 1;
  std::optional<StrippedJpeg> jpeg = jpegWithoutMetadata(bytes);
  if (!jpeg || jpeg->components != components || jpeg->width != probe.width || jpeg->height != probe.height) {
    return std::nullopt;
  }
  return jpeg;
}

// One source made ready to become a page: its JPEG data as it is, or its
// upright drawing. The source's bytes and its decoded frames end with this call.
ImagePDFPage pageOf(const SecureFileReader& reader, std::string_view path, std::int64_t& sourceBytes) {
  const std::vector<std::uint8_t> bytes = reader.readRegularFile(path, HelperLimits::maximumSourceBytes);
  const auto length = static_cast<std::int64_t>(bytes.size());
  if (length > HelperLimits::maximumPDFAggregateSourceBytes - sourceBytes) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The image sources exceed the aggregate byte limit.");
  }
  sourceBytes += length;

  // An upright JPEG may become its page as its own data, which needs none of
  // its pixels: its decode then only has to prove that the whole stream
  // reads, which libjpeg's decode at 1/8 does as well as a full one, in a
  // fraction of the time and memory. Other codecs decode as stored.
  InspectedImage inspected =
      ImageInspector().inspect(bytes, true, [](std::int64_t, std::int64_t, std::int64_t orientation) {
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
  if (std::optional<StrippedJpeg> jpeg = embeddableJpeg(bytes, inspected)) {
    const PDFPageGeometry geometry{static_cast<double>(jpeg->width), static_cast<double>(jpeg->height), 0};
    return ImagePDFPage{std::nullopt, geometry, std::move(jpeg)};
  }
  ThumbnailOptions options;
  options.createThumbnailFromImageAlways = true;
  options.createThumbnailWithTransform = true;
  // The longer stored side, so the image is never scaled down.
  options.thumbnailMaxPixelSize = static_cast<std::size_t>(std::max(inspected.probe.width, inspected.probe.height));
  // The page is drawn upright from the frame the inspection decoded, which is
  // let go as soon as its pixels are copied out: one decode per image, and a
  // second, at full size, only for an upright JPEG that could not go in as
  // its own data (one with a colour profile, or CMYK).
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
  return ImagePDFPage{std::move(drawn), geometry, std::nullopt};
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

  std::vector<ImagePDFPage> pages;
  pages.reserve(sourcePaths.size());
  std::int64_t sourceBytes = 0;
  std::int64_t pixels = 0;
  for (const std::string& path : sourcePaths) {
    ImagePDFPage page = pageOf(reader, path, sourceBytes);
    const auto width = static_cast<std::int64_t>(page.geometry.widthPoints);
    const auto height = static_cast<std::int64_t>(page.geometry.heightPoints);
    // The pixel limits come first: a 40000 × 10 image is refused for its
    // pixels, a 20000 × 10 one for its page size.
    if (width > HelperLimits::maximumPDFPagePixels || height > HelperLimits::maximumPDFPagePixels ||
        width * height > HelperLimits::maximumPDFRenderPixels ||
        width * height > HelperLimits::maximumPDFAggregatePixels - pixels) {
      throw HelperFault(HelperErrorCode::resourceLimit, "The image pages exceed the PDF pixel limit.");
    }
    pixels += width * height;
    if (static_cast<double>(width) > HelperLimits::maximumPDFPagePoints ||
        static_cast<double>(height) > HelperLimits::maximumPDFPagePoints) {
      throw HelperFault(HelperErrorCode::resourceLimit, "An image page exceeds the PDF geometry limit.");
    }
    pages.push_back(std::move(page));
  }

  std::vector<PDFPageGeometry> geometry;
  geometry.reserve(pages.size());
  for (const ImagePDFPage& page : pages) geometry.push_back(page.geometry);
  std::vector<PDFOutputDescription> outputs;
  outputs.push_back(PDFOutputDescription{createImagePDF(pages), geometry, false, false});
  // The pixels are in the PDF now; only the file is needed from here on.
  pages.clear();
  pages.shrink_to_fit();

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
  std::optional<DecodedImage> drawn = context->createImage();
  if (!drawn) throw HelperFault(HelperErrorCode::decodeFailed, "The image page could not be finalized safely.");
  return std::move(*drawn);
}

std::vector<std::uint8_t> PDFOperations::createImagePDF(const std::vector<ImagePDFPage>& pages) {
  if (pages.empty()) throw HelperFault(HelperErrorCode::encodeFailed, "The PDF writer could not be created.");
  // Compressed pixels are arbitrary bytes; the screen keeps any stream that
  // would read as a feature name or an end marker out of the file as it is.
  CGPDFContext context(readsAsPDFStructure);
  for (const ImagePDFPage& page : pages) {
    const PDFRect box{0, 0, page.geometry.widthPoints, page.geometry.heightPoints};
    if (!context.beginPage(box)) throw HelperFault(HelperErrorCode::encodeFailed, "The PDF writer could not be created.");
    bool drawn = false;
    if (page.jpeg) {
      drawn = context.drawJpegImage(page.jpeg->data, page.jpeg->width, page.jpeg->height, page.jpeg->components, box);
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
  std::optional<std::vector<std::uint8_t>> bytes = context.close();
  if (!bytes || bytes->empty() || static_cast<std::int64_t>(bytes->size()) > HelperLimits::maximumOutputBytes) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The PDF output exceeds the byte limit.");
  }
  return std::move(*bytes);
}

}  // namespace quorvantelmic
