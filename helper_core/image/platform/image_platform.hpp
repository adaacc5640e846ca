// The image services the image and PDF pipelines are written against: an image
// source over bytes, an image destination over a growable buffer, decoded
// bitmaps with their colour spaces, and a bitmap drawing context. The callers
// never see a codec library; every container lives in one unit of this folder
// and is reached through one sniff-and-create table.
//
// Nothing here throws for bad input: a source that cannot be read is none, a
// frame that cannot be decoded is none, a destination that cannot encode
// reports false from finalize. Library faults never escape as exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quorvantelmic {

using ImageBytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Property tree

class PropertyValue;
using PropertyArray = std::vector<PropertyValue>;

// A data buffer is a value of its own kind, never confused with a string.
struct PropertyData {
  ImageBytes bytes;
  friend bool operator==(const PropertyData&, const PropertyData&) = default;
};

// A number. Booleans are a different kind (see PropertyValue), so a reader can
// always tell `true` from `1`.
struct PropertyNumber {
  double value = 0;
  friend bool operator==(const PropertyNumber&, const PropertyNumber&) = default;
};

// Dictionary keys are usually strings, but metadata from a file can carry
// numeric keys (an unknown EXIF tag without a name); those stay numbers so that
// a caller can see that the key is not a string.
using PropertyKey = std::variant<std::string, std::int64_t>;

struct PropertyDictionary {
  std::vector<std::pair<PropertyKey, PropertyValue>> entries;

  const PropertyValue* find(std::string_view key) const;
  void set(PropertyKey key, PropertyValue value);
  bool empty() const noexcept { return entries.empty(); }
  std::size_t size() const noexcept { return entries.size(); }
  friend bool operator==(const PropertyDictionary&, const PropertyDictionary&);
};

class PropertyValue {
 public:
  using Storage = std::variant<PropertyNumber, bool, std::string, PropertyData, PropertyArray, PropertyDictionary>;

  PropertyValue() : storage_(PropertyNumber{}) {}
  PropertyValue(PropertyNumber number) : storage_(number) {}
  PropertyValue(bool flag) : storage_(flag) {}
  PropertyValue(std::string text) : storage_(std::move(text)) {}
  PropertyValue(const char* text) : storage_(std::string(text)) {}
  PropertyValue(PropertyData data) : storage_(std::move(data)) {}
  PropertyValue(PropertyArray array) : storage_(std::move(array)) {}
  PropertyValue(PropertyDictionary dictionary) : storage_(std::move(dictionary)) {}
  static PropertyValue number(double value) { return PropertyValue(PropertyNumber{value}); }

  const PropertyNumber* asNumber() const { return std::get_if<PropertyNumber>(&storage_); }
  const bool* asBoolean() const { return std::get_if<bool>(&storage_); }
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const PropertyData* asData() const { return std::get_if<PropertyData>(&storage_); }
  const PropertyArray* asArray() const { return std::get_if<PropertyArray>(&storage_); }
  const PropertyDictionary* asDictionary() const { return std::get_if<PropertyDictionary>(&storage_); }
  const Storage& storage() const { return storage_; }

  friend bool operator==(const PropertyValue& a, const PropertyValue& b) { return a.storage_ == b.storage_; }

 private:
  Storage storage_;
};

// The property names of this layer. Dictionary entries inside the EXIF, TIFF,
// GPS and IPTC dictionaries are named by exiv2's tag names ("ExposureTime",
// "GPSLatitude", "ObjectName"), so the structural-key lists are those names.
namespace ImagePropertyKey {
inline constexpr std::string_view pixelWidth = "PixelWidth";
inline constexpr std::string_view pixelHeight = "PixelHeight";
inline constexpr std::string_view orientation = "Orientation";
inline constexpr std::string_view depth = "Depth";
inline constexpr std::string_view hasAlpha = "HasAlpha";
inline constexpr std::string_view profileName = "ProfileName";
inline constexpr std::string_view headroom = "Headroom";

inline constexpr std::string_view exifDictionary = "{Exif}";
inline constexpr std::string_view tiffDictionary = "{TIFF}";
inline constexpr std::string_view gpsDictionary = "{GPS}";
inline constexpr std::string_view iptcDictionary = "{IPTC}";
inline constexpr std::string_view rawDictionary = "{Raw}";
inline constexpr std::string_view ciffDictionary = "{CIFF}";
inline constexpr std::string_view makerCanonDictionary = "{MakerCanon}";
inline constexpr std::string_view makerNikonDictionary = "{MakerNikon}";
inline constexpr std::string_view makerMinoltaDictionary = "{MakerMinolta}";
inline constexpr std::string_view makerFujiDictionary = "{MakerFuji}";
inline constexpr std::string_view makerOlympusDictionary = "{MakerOlympus}";
inline constexpr std::string_view makerPentaxDictionary = "{MakerPentax}";
inline constexpr std::string_view makerAppleDictionary = "{MakerApple}";
// Every other maker-note family (Sony, Samsung, Panasonic, Sigma, Casio and
// notes exiv2 cannot decode) is gathered here.
inline constexpr std::string_view makerOtherDictionary = "{MakerOther}";
inline constexpr std::string_view photoshopDictionary = "{8BIM}";
inline constexpr std::string_view dngDictionary = "{DNG}";
inline constexpr std::string_view exifAuxDictionary = "{ExifAux}";
inline constexpr std::string_view fileContentsDictionary = "{FileContents}";

inline constexpr std::string_view exifColorSpace = "ColorSpace";
inline constexpr std::string_view exifComponentsConfiguration = "ComponentsConfiguration";
inline constexpr std::string_view exifVersion = "ExifVersion";
inline constexpr std::string_view exifFlashPixVersion = "FlashpixVersion";
inline constexpr std::string_view exifPixelXDimension = "PixelXDimension";
inline constexpr std::string_view exifPixelYDimension = "PixelYDimension";
inline constexpr std::string_view exifSceneCaptureType = "SceneCaptureType";
inline constexpr std::string_view tiffCompression = "Compression";
inline constexpr std::string_view tiffOrientation = "Orientation";
inline constexpr std::string_view tiffPhotometricInterpretation = "PhotometricInterpretation";
inline constexpr std::string_view tiffXResolution = "XResolution";
inline constexpr std::string_view tiffYResolution = "YResolution";
inline constexpr std::string_view tiffResolutionUnit = "ResolutionUnit";
inline constexpr std::string_view tiffTileWidth = "TileWidth";
inline constexpr std::string_view tiffTileLength = "TileLength";
}  // namespace ImagePropertyKey

// Every dictionary name whose presence means metadata this system cannot carry
// over: the fixed families above plus {MakerOther}.
std::span<const std::string_view> unsupportedMetadataDictionaryNames();

// ---------------------------------------------------------------------------
// Colour spaces and decoded images

enum class ColorSpaceModel { monochrome, rgb, cmyk, lab, indexed };

// Coding-independent code points (ITU-T H.273) as AVIF and HEIF carry them.
struct Cicp {
  int colorPrimaries = 2;
  int transferCharacteristics = 2;
  int matrixCoefficients = 2;
  bool fullRange = true;
  friend bool operator==(const Cicp&, const Cicp&) = default;
};

// A colour space: its model, a stable lowercase name, and the ICC data that
// defines it (empty for the generic spaces). Names never contain "pq" or
// "hlg" unless the transfer really is PQ or HLG.
class ColorSpace {
 public:
  static std::shared_ptr<const ColorSpace> deviceRgb();   // "srgb"
  static std::shared_ptr<const ColorSpace> deviceGray();  // "gray"
  static std::shared_ptr<const ColorSpace> srgb() { return deviceRgb(); }
  // A space defined by an ICC profile; none when lcms2 cannot parse it.
  static std::shared_ptr<const ColorSpace> createWithIccData(std::span<const std::uint8_t> icc);
  // A space of a model without a profile (generic CMYK, Lab, or a CICP description).
  static std::shared_ptr<const ColorSpace> createGeneric(ColorSpaceModel model, std::optional<Cicp> cicp = std::nullopt);

  ColorSpaceModel model() const noexcept { return model_; }
  const std::string& name() const noexcept { return name_; }
  // None when the space has no ICC data.
  std::optional<ImageBytes> copyIccData() const;
  const ImageBytes& iccData() const noexcept { return icc_; }
  const std::optional<Cicp>& cicp() const noexcept { return cicp_; }
  std::size_t componentCount() const noexcept;

  ColorSpace(ColorSpaceModel model, std::string name, ImageBytes icc, std::optional<Cicp> cicp)
      : model_(model), name_(std::move(name)), icc_(std::move(icc)), cicp_(cicp) {}

 private:
  ColorSpaceModel model_;
  std::string name_;
  ImageBytes icc_;
  std::optional<Cicp> cicp_;
};

// The alpha layouts, in the order of their raw values (a raw value above 6 is
// alpha-only).
enum class ImageAlphaInfo {
  none = 0,
  premultipliedLast = 1,
  premultipliedFirst = 2,
  last = 3,
  first = 4,
  noneSkipLast = 5,
  noneSkipFirst = 6,
  alphaOnly = 7,
};
inline constexpr int rawValue(ImageAlphaInfo info) noexcept { return static_cast<int>(info); }
bool alphaInfoCarriesAlpha(ImageAlphaInfo info) noexcept;

// An immutable bitmap: interleaved components, rows of `bytesPerRow` bytes,
// 16-bit components in host byte order, 32-bit components as floats.
class DecodedImage {
 public:
  DecodedImage(std::size_t width, std::size_t height, std::size_t bitsPerComponent, std::size_t bytesPerRow,
               ImageAlphaInfo alphaInfo, std::shared_ptr<const ColorSpace> colorSpace,
               std::shared_ptr<const ImageBytes> pixels);

  std::size_t width() const noexcept { return width_; }
  std::size_t height() const noexcept { return height_; }
  std::size_t bitsPerComponent() const noexcept { return bitsPerComponent_; }
  std::size_t bitsPerPixel() const noexcept { return bitsPerComponent_ * componentsPerPixel(); }
  std::size_t bytesPerRow() const noexcept { return bytesPerRow_; }
  ImageAlphaInfo alphaInfo() const noexcept { return alphaInfo_; }
  const std::shared_ptr<const ColorSpace>& colorSpace() const noexcept { return colorSpace_; }
  // Colour components plus the alpha or padding component, if any.
  std::size_t componentsPerPixel() const noexcept;
  std::span<const std::uint8_t> pixels() const noexcept { return *pixels_; }
  const std::shared_ptr<const ImageBytes>& sharedPixels() const noexcept { return pixels_; }

 private:
  std::size_t width_;
  std::size_t height_;
  std::size_t bitsPerComponent_;
  std::size_t bytesPerRow_;
  ImageAlphaInfo alphaInfo_;
  std::shared_ptr<const ColorSpace> colorSpace_;
  std::shared_ptr<const ImageBytes> pixels_;
};

// Whether the image has an alpha channel that is not fully opaque at 8 bits.
// An AVIF encoder writes no alpha for an image whose alpha is all opaque:
// nothing anyone sees changes, and AV1 spends nothing on a plane it leaves out.
bool hasTransparentPixels(const DecodedImage& image);

// What a decode of frame 0 produced, without its pixels: the size, layout and
// colour space the decoded frame has.
struct DecodedFrameShape {
  std::size_t width = 0;
  std::size_t height = 0;
  std::size_t bitsPerComponent = 0;
  ImageAlphaInfo alphaInfo = ImageAlphaInfo::none;
  std::shared_ptr<const ColorSpace> colorSpace;

  static DecodedFrameShape of(const DecodedImage& image);
};

// ---------------------------------------------------------------------------
// Metadata

enum class ImageMetadataType { invalid, defaultType, string, arrayUnordered, arrayOrdered, alternateArray,
                               alternateText, structure };

// One XMP property of the packet: namespace URI, prefix, name, type, value
// (a string, an array of values, or a dictionary of structure fields) and its
// qualifiers (for example xml:lang of an alternative text).
struct ImageMetadataTag {
  std::optional<std::string> namespaceUri;
  std::optional<std::string> prefix;
  std::optional<std::string> name;
  ImageMetadataType type = ImageMetadataType::defaultType;
  std::optional<PropertyValue> value;
  std::vector<ImageMetadataTag> qualifiers;
  friend bool operator==(const ImageMetadataTag&, const ImageMetadataTag&) = default;
};

// The metadata of one frame, as the destination needs it to write it again:
// EXIF (with TIFF and GPS), IPTC and XMP. Opaque; the tags are the XMP view.
class ImageMetadata {
 public:
  struct Contents;
  explicit ImageMetadata(std::shared_ptr<const Contents> contents) : contents_(std::move(contents)) {}
  std::vector<ImageMetadataTag> copyTags() const;
  const Contents& contents() const { return *contents_; }

 private:
  std::shared_ptr<const Contents> contents_;
};

// ---------------------------------------------------------------------------
// Image source

enum class AuxiliaryDataType {
  depth,
  disparity,
  portraitEffectsMatte,
  semanticSegmentationSkinMatte,
  semanticSegmentationHairMatte,
  semanticSegmentationTeethMatte,
  semanticSegmentationGlassesMatte,
  semanticSegmentationSkyMatte,
  hdrGainMap,
};

struct AuxiliaryDataInfo {
  AuxiliaryDataType type;
};

struct ThumbnailOptions {
  bool createThumbnailFromImageAlways = true;
  bool createThumbnailWithTransform = false;
  // The longer side of the result; none keeps the full size. Never enlarges.
  std::optional<std::size_t> thumbnailMaxPixelSize;
};

namespace detail {
class FormatDecoder;
class SharedBytes;
}

class ImageSource {
 public:
  // None when the bytes are not an image of a readable container. The source
  // owns the bytes for its whole life.
  static std::optional<ImageSource> createWithData(ImageBytes bytes);
  static std::optional<ImageSource> createWithData(std::span<const std::uint8_t> bytes);
  // The same, reading the bytes where they lie, without a copy: the caller
  // keeps them alive and unchanged for as long as the source lives.
  static std::optional<ImageSource> createBorrowingData(std::span<const std::uint8_t> bytes);

  // The encoded bytes the source reads.
  std::span<const std::uint8_t> data() const noexcept;

  // The container's type identifier, for example "public.png".
  const std::string& type() const noexcept;
  // Frames or images as the container stores them.
  std::size_t count() const noexcept;
  // Properties of a frame (only frame 0 is described); none for other indexes.
  std::optional<PropertyDictionary> copyPropertiesAtIndex(std::size_t index) const;
  // The decoded frame 0 as stored (no orientation applied); none on failure.
  // With `minimumLongSide`, a codec that can decode at reduced sizes (JPEG)
  // may return a smaller frame whose longer side is still at least that; the
  // whole stream is read and checked either way.
  std::optional<DecodedImage> createImageAtIndex(std::size_t index, std::size_t minimumLongSide = 0) const;
  // Decodes all of frame 0's compressed data, as createImageAtIndex(index)
  // does, at the least cost the codec allows and without holding the frame:
  // rows, strips or tiles pass through one small buffer. None exactly when
  // that decode would fail. A JPEG is decoded at 1/8 (every coefficient is
  // still entropy-decoded), so its shape is the stored size divided by 8 and
  // rounded up; every other shape has the stored size.
  std::optional<DecodedFrameShape> proveImageAtIndex(std::size_t index) const;
  // Frame 0 rendered in monochrome or RGB (CMYK and Lab keep their model),
  // 8 bits per component, alpha last when the source has alpha, with its
  // orientation applied when asked for.
  std::optional<DecodedImage> createThumbnailAtIndex(std::size_t index, const ThumbnailOptions& options) const;
  // The same rendering from frame 0 as createImageAtIndex(0) returned it, for
  // a caller that holds the frame already: the frame is not decoded again,
  // and it is let go as soon as its pixels have been made plain (pixels that
  // already are plain go on in the rendering without a copy).
  std::optional<DecodedImage> createThumbnailFromFrame(DecodedImage frame, const ThumbnailOptions& options) const;
  std::optional<AuxiliaryDataInfo> copyAuxiliaryDataInfoAtIndex(std::size_t index, AuxiliaryDataType type) const;
  // The metadata of frame 0; none when the frame carries no EXIF, IPTC or XMP.
  std::optional<ImageMetadata> copyMetadataAtIndex(std::size_t index) const;
  // The colour model of the ICC profile the container embeds, as the profile
  // itself declares it; none without a profile, or with one lcms2 cannot read.
  std::optional<ColorSpaceModel> embeddedProfileModel() const;

  ImageSource(ImageSource&&) noexcept;
  ImageSource& operator=(ImageSource&&) noexcept;
  ~ImageSource();

 private:
  struct State;
  explicit ImageSource(std::unique_ptr<State> state);
  static std::optional<ImageSource> create(const detail::SharedBytes& bytes);
  std::unique_ptr<State> state_;
};

std::vector<std::string> imageSourceTypeIdentifiers();

// ---------------------------------------------------------------------------
// Image destination

namespace ImageDestinationOption {
// A number from 0 to 1; JPEG and AVIF only.
inline constexpr std::string_view lossyCompressionQuality = "LossyCompressionQuality";
}  // namespace ImageDestinationOption

class ImageDestination {
 public:
  // None when the type is not writable or the count is not 1.
  static std::optional<ImageDestination> createWithData(std::string_view typeIdentifier, std::size_t count);

  // Properties: ImagePropertyKey::orientation (1 to 8) and
  // ImageDestinationOption::lossyCompressionQuality. Only the first image is kept.
  void addImage(const DecodedImage& image, const PropertyDictionary& properties);
  void addImageAndMetadata(const DecodedImage& image, const ImageMetadata& metadata,
                           const PropertyDictionary& properties);
  // Encodes; true when bytes were produced.
  bool finalize();
  const ImageBytes& data() const noexcept { return output_; }
  ImageBytes takeData() noexcept { return std::move(output_); }

 private:
  explicit ImageDestination(std::string typeIdentifier) : typeIdentifier_(std::move(typeIdentifier)) {}
  std::string typeIdentifier_;
  std::optional<DecodedImage> image_;
  std::optional<ImageMetadata> metadata_;
  PropertyDictionary properties_;
  bool finalized_ = false;
  ImageBytes output_;
};

std::vector<std::string> imageDestinationTypeIdentifiers();

// The same JPEG with its entropy-coded data written anew from its own DCT
// coefficients and quantisation tables, as `jpegtran -optimize` does
// (`progressive` as `jpegtran -progressive`): every decoder gives exactly the
// pixels it gave before, while the bytes that carry them are different. The
// only marker segment written is the JFIF or Adobe header that says how the
// components are coded. None when the data does not decode without a
// warning, or when recoding fails.
std::optional<ImageBytes> recodeJpegLosslessly(std::span<const std::uint8_t> jpeg, bool progressive);

// ---------------------------------------------------------------------------
// Bitmap drawing

struct ImageRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

enum class BlendMode { normal, copy };
enum class InterpolationQuality { none, low, medium, high };

// An 8-bit bitmap context over monochrome or RGB. The origin is the lower left
// corner, as in the drawing model the callers are written for.
class BitmapContext {
 public:
  // None unless bitsPerComponent is 8, the size is positive, bytesPerRow
  // (0: chosen here) holds a row, and the layout suits the colour model:
  // monochrome with none or premultipliedLast (grey + alpha), RGB with
  // noneSkipLast, noneSkipFirst, premultipliedLast or premultipliedFirst.
  static std::optional<BitmapContext> create(std::size_t width, std::size_t height, std::size_t bitsPerComponent,
                                             std::size_t bytesPerRow, std::shared_ptr<const ColorSpace> colorSpace,
                                             ImageAlphaInfo alphaInfo);

  void setInterpolationQuality(InterpolationQuality quality) noexcept { interpolation_ = quality; }
  void setBlendMode(BlendMode mode) noexcept { blendMode_ = mode; }
  void setGrayFillColor(double gray, double alpha) noexcept;
  // An sRGB colour.
  void setFillColor(double red, double green, double blue, double alpha) noexcept;
  void fillRect(const ImageRect& rect);
  // Draws the image scaled into the rectangle; false when the image cannot be
  // brought into this context's colour space.
  bool drawImage(const ImageRect& rect, const DecodedImage& image);
  // A copy of exactly what was drawn.
  std::optional<DecodedImage> createImage() const&;
  // What was drawn, handed over without a copy: the context is spent.
  std::optional<DecodedImage> createImage() &&;

  std::size_t width() const noexcept { return width_; }
  std::size_t height() const noexcept { return height_; }
  std::size_t bytesPerRow() const noexcept { return bytesPerRow_; }

 private:
  BitmapContext() = default;
  std::size_t width_ = 0;
  std::size_t height_ = 0;
  std::size_t bytesPerRow_ = 0;
  std::size_t components_ = 0;  // per pixel, including alpha or padding
  ImageAlphaInfo alphaInfo_ = ImageAlphaInfo::none;
  std::shared_ptr<const ColorSpace> colorSpace_;
  ImageBytes pixels_;  // premultiplied when the layout has alpha
  InterpolationQuality interpolation_ = InterpolationQuality::medium;
  BlendMode blendMode_ = BlendMode::normal;
  double fill_[4] = {0, 0, 0, 1};  // sRGB red, green, blue, alpha
};

// ---------------------------------------------------------------------------
// Process start-up

// libimagequant and tesseract use OpenMP, which runs several times slower on
// small machines unless its thread limit is 1, and libgomp reads the limit
// only when it loads. The process entry calls this first thing in main(),
// before it reads any request: when OMP_THREAD_LIMIT is not "1" it sets it.
// That is enough while libgomp is not loaded yet (the libraries that bring it
// are opened on first use); when something linked at start has loaded it,
// the program re-executes itself once (same arguments, same descriptors,
// which exec keeps open) through /proc/self/exe. Returns true when the limit
// is in force; false when the re-exec could not be made (the process then
// simply runs on with the slower library).
bool ensureSingleThreadedLibraryRuntime(char** argv);

}  // namespace quorvantelmic
