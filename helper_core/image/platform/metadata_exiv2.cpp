#include "helper_core/image/platform/metadata_exiv2.hpp"

#include <exiv2/exiv2.hpp>

#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <set>

namespace quorvantelmic {

struct ImageMetadata::Contents {
  Exiv2::ExifData exif;
  Exiv2::IptcData iptc;
  Exiv2::XmpData xmp;
  std::vector<ImageMetadataTag> tags;
};

std::vector<ImageMetadataTag> ImageMetadata::copyTags() const { return contents_->tags; }

namespace detail {
namespace {

void ignoreExiv2Log(int, const char*) {}

}  // namespace

std::unique_lock<std::mutex> lockExiv2() {
  // The one process-wide lock: exiv2's XMP toolkit and registries are shared
  // by every caller in the process.
  static std::mutex exiv2Mutex;
  std::unique_lock<std::mutex> lock(exiv2Mutex);
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  Exiv2::LogMsg::setHandler(ignoreExiv2Log);
  Exiv2::enableBMFF(true);
  return lock;
}

namespace {

// Tags of IFD0 that describe the stored pixels, not the picture. They never
// enter the property tree and are never copied into an output.
const std::set<std::string, std::less<>>& structuralImageTags() {
  static const std::set<std::string, std::less<>> tags = {
      "NewSubfileType", "SubfileType", "ImageWidth", "ImageLength", "BitsPerSample", "SamplesPerPixel",
      "StripOffsets", "RowsPerStrip", "StripByteCounts", "PlanarConfiguration", "Predictor", "ExtraSamples",
      "SampleFormat", "TileOffsets", "TileByteCounts", "InterColorProfile", "ExifTag", "GPSTag", "SubIFDs",
      "XMLPacket", "IPTCNAA", "ImageResources", "JPEGInterchangeFormat", "JPEGInterchangeFormatLength",
      "FillOrder", "Threshholding", "CellWidth", "CellLength", "FreeOffsets", "FreeByteCounts", "GrayResponseUnit",
      "GrayResponseCurve", "T4Options", "T6Options", "TransferFunction", "ColorMap", "HalftoneHints", "InkSet",
      "InkNames", "NumberOfInks", "DotRange", "TargetPrinter", "SMinSampleValue", "SMaxSampleValue",
      "TransferRange", "JPEGProc", "JPEGTables", "YCbCrCoefficients", "YCbCrSubSampling", "YCbCrPositioning",
      "ReferenceBlackWhite", "InteroperabilityTag", "PrintImageMatching", "OPIProxy", "ImageID",
      "Compression", "PhotometricInterpretation", "TileWidth", "TileLength", "MinSampleValue", "MaxSampleValue",
  };
  return tags;
}

// The ones the property tree shows (the caller's own exclusion list filters
// them) even though an output never copies them from the source.
bool shownAlthoughStructural(std::string_view name) {
  return name == "Compression" || name == "PhotometricInterpretation" || name == "TileWidth" ||
         name == "TileLength";
}

bool isDngTag(std::uint16_t tag) { return tag >= 50706 && tag <= 52543; }

std::string_view makerDictionaryName(const std::string& group) {
  auto starts = [&](std::string_view prefix) { return group.rfind(prefix, 0) == 0; };
  if (starts("Canon")) return ImagePropertyKey::makerCanonDictionary;
  if (starts("Nikon")) return ImagePropertyKey::makerNikonDictionary;
  if (starts("Minolta")) return ImagePropertyKey::makerMinoltaDictionary;
  if (starts("Fujifilm")) return ImagePropertyKey::makerFujiDictionary;
  if (starts("Olympus")) return ImagePropertyKey::makerOlympusDictionary;
  if (starts("Pentax")) return ImagePropertyKey::makerPentaxDictionary;
  if (starts("Apple")) return ImagePropertyKey::makerAppleDictionary;
  return ImagePropertyKey::makerOtherDictionary;
}

// The fractions of an unsigned rational value. exiv2's toRational() reads
// them as signed, which turns the denominator 4294967295 that old libtiff
// versions wrote into -1.
std::optional<Exiv2::URational> unsignedRational(const Exiv2::Value& value, long index) {
  const auto* fractions = dynamic_cast<const Exiv2::URationalValue*>(&value);
  if (fractions == nullptr || index < 0 || static_cast<std::size_t>(index) >= fractions->value_.size()) {
    return std::nullopt;
  }
  return fractions->value_[static_cast<std::size_t>(index)];
}

PropertyValue numberValue(const Exiv2::Value& value, long index) {
  switch (value.typeId()) {
    case Exiv2::unsignedRational:
      if (const std::optional<Exiv2::URational> r = unsignedRational(value, index)) {
        if (r->second == 0) return PropertyValue::number(0);
        return PropertyValue::number(static_cast<double>(r->first) / static_cast<double>(r->second));
      }
      [[fallthrough]];
    case Exiv2::signedRational: {
      const Exiv2::Rational r = value.toRational(index);
      if (r.second == 0) return PropertyValue::number(0);
      return PropertyValue::number(static_cast<double>(r.first) / static_cast<double>(r.second));
    }
    case Exiv2::tiffFloat:
    case Exiv2::tiffDouble:
      return PropertyValue::number(static_cast<double>(value.toFloat(index)));
    default:
      return PropertyValue::number(static_cast<double>(value.toLong(index)));
  }
}

PropertyValue exifValue(const Exiv2::Value& value) {
  switch (value.typeId()) {
    case Exiv2::asciiString:
    case Exiv2::string: {
      std::string text = value.toString();
      while (!text.empty() && text.back() == '\0') text.pop_back();
      return PropertyValue(std::move(text));
    }
    case Exiv2::comment:
      return PropertyValue(static_cast<const Exiv2::CommentValue&>(value).comment());
    case Exiv2::undefined: {
      PropertyData data;
      data.bytes.resize(static_cast<std::size_t>(value.size()));
      if (!data.bytes.empty()) value.copy(data.bytes.data(), Exiv2::littleEndian);
      return PropertyValue(std::move(data));
    }
    default:
      break;
  }
  const long count = value.count();
  if (count == 1) return numberValue(value, 0);
  PropertyArray array;
  for (long i = 0; i < count && i < 4096; ++i) array.push_back(numberValue(value, i));
  return PropertyValue(std::move(array));
}

PropertyKey exifKey(const Exiv2::Exifdatum& datum) {
  std::string name = datum.tagName();
  if (name.rfind("0x", 0) == 0) return PropertyKey(static_cast<std::int64_t>(datum.tag()));
  return PropertyKey(std::move(name));
}

void appendToDictionary(std::vector<std::pair<std::string, PropertyDictionary>>& dictionaries,
                        std::string_view name, PropertyKey key, PropertyValue value) {
  for (auto& [existing, dictionary] : dictionaries) {
    if (existing == name) {
      dictionary.set(std::move(key), std::move(value));
      return;
    }
  }
  PropertyDictionary dictionary;
  dictionary.set(std::move(key), std::move(value));
  dictionaries.emplace_back(std::string(name), std::move(dictionary));
}

void readExif(const Exiv2::ExifData& exif, ReadMetadata& out) {
  for (const Exiv2::Exifdatum& datum : exif) {
    const std::string group = datum.groupName();
    const std::string name = datum.tagName();
    if (group == "Image") {
      if (isDngTag(datum.tag())) {
        appendToDictionary(out.unsupported, ImagePropertyKey::dngDictionary, exifKey(datum), exifValue(datum.value()));
        continue;
      }
      if (name == "Orientation") {
        out.exifOrientation = exifValue(datum.value());
      }
      if (structuralImageTags().contains(name) && !shownAlthoughStructural(name)) continue;
      out.tiff.set(exifKey(datum), exifValue(datum.value()));
    } else if (group == "Photo") {
      if (name == "MakerNote") {
        // A maker note exiv2 decoded shows up under its family below; the
        // raw blob alone still means metadata that cannot be carried.
        appendToDictionary(out.unsupported, ImagePropertyKey::makerOtherDictionary, exifKey(datum),
                           exifValue(datum.value()));
        continue;
      }
      // The pointer to the Interoperability directory is a file offset, like
      // ExifTag and GPSTag in IFD0: plumbing that each output writes anew
      // (or not at all), never a value of the picture.
      if (name == "InteroperabilityTag") continue;
      out.exif.set(exifKey(datum), exifValue(datum.value()));
    } else if (group == "GPSInfo") {
      out.gps.set(exifKey(datum), exifValue(datum.value()));
    } else if (group == "MakerNote") {
      continue;  // exiv2's bookkeeping of the maker note's offset and byte order
    } else if (Exiv2::ExifTags::isMakerGroup(group)) {
      appendToDictionary(out.unsupported, makerDictionaryName(group), exifKey(datum), exifValue(datum.value()));
    }
    // Interoperability, thumbnail and sub-image directories describe other
    // pictures or the file's plumbing; they are neither shown nor copied.
  }
}

void readIptc(const Exiv2::IptcData& iptc, ReadMetadata& out) {
  std::map<std::string, PropertyArray> repeated;
  std::vector<std::string> order;
  for (const Exiv2::Iptcdatum& datum : iptc) {
    if (datum.record() != Exiv2::IptcDataSets::application2) continue;
    std::string name = datum.tagName();
    PropertyValue value;
    if (datum.typeId() == Exiv2::unsignedShort) {
      value = PropertyValue::number(static_cast<double>(datum.toLong()));
    } else {
      value = PropertyValue(datum.toString());
    }
    if (!repeated.contains(name)) order.push_back(name);
    repeated[name].push_back(std::move(value));
  }
  for (const std::string& name : order) {
    PropertyArray& values = repeated[name];
    const bool isRepeatable = Exiv2::IptcDataSets::dataSetRepeatable(
        Exiv2::IptcDataSets::dataSet(name, Exiv2::IptcDataSets::application2), Exiv2::IptcDataSets::application2);
    if (values.size() == 1 && !isRepeatable) {
      out.iptc.set(PropertyKey(name), std::move(values.front()));
    } else {
      out.iptc.set(PropertyKey(name), PropertyValue(std::move(values)));
    }
  }
}

ImageMetadataType xmpType(const Exiv2::Xmpdatum& datum) {
  switch (datum.typeId()) {
    case Exiv2::xmpBag: return ImageMetadataType::arrayUnordered;
    case Exiv2::xmpSeq: return ImageMetadataType::arrayOrdered;
    case Exiv2::xmpAlt: return ImageMetadataType::alternateArray;
    case Exiv2::langAlt: return ImageMetadataType::alternateText;
    case Exiv2::xmpText: {
      const auto& text = static_cast<const Exiv2::XmpValue&>(datum.value());
      return text.xmpStruct() == Exiv2::XmpValue::xsStruct ? ImageMetadataType::structure
                                                            : ImageMetadataType::string;
    }
    default: return ImageMetadataType::string;
  }
}

PropertyValue xmpValue(const Exiv2::Xmpdatum& datum) {
  switch (datum.typeId()) {
    case Exiv2::xmpBag:
    case Exiv2::xmpSeq:
    case Exiv2::xmpAlt: {
      const auto& array = static_cast<const Exiv2::XmpArrayValue&>(datum.value());
      PropertyArray values;
      for (long i = 0; i < array.count(); ++i) values.push_back(PropertyValue(array.toString(i)));
      return PropertyValue(std::move(values));
    }
    case Exiv2::langAlt: {
      const auto& alternatives = static_cast<const Exiv2::LangAltValue&>(datum.value());
      PropertyDictionary byLanguage;
      for (const auto& [language, text] : alternatives.value_) byLanguage.set(PropertyKey(language), PropertyValue(text));
      return PropertyValue(std::move(byLanguage));
    }
    default:
      return PropertyValue(datum.toString());
  }
}

void readXmp(const Exiv2::XmpData& xmp, ReadMetadata& out) {
  std::map<std::string, std::size_t> topLevel;  // prefix:name -> index in out.xmpTags
  for (const Exiv2::Xmpdatum& datum : xmp) {
    const std::string prefix = datum.groupName();
    const std::string fullName = datum.tagName();
    std::string ns;
    try {
      ns = Exiv2::XmpProperties::ns(prefix);
    } catch (const std::exception&) {
      ns.clear();
    }
    if (prefix == "hdrgm") {
      out.xmpDeclaresGainMap = true;
      if (fullName == "HDRCapacityMax") {
        try {
          const double capacity = std::stod(datum.toString());
          if (std::isfinite(capacity)) out.gainMapHeadroom = std::exp2(capacity);
        } catch (const std::exception&) {
        }
      }
    }
    if (prefix == "GDepth" || prefix == "GFocus") out.xmpDeclaresDepth = true;
    if (prefix == "Container" || prefix == "GContainer" || prefix == "Item") {
      const std::string text = datum.toString();
      if (text.find("GainMap") != std::string::npos) out.xmpDeclaresGainMap = true;
      if (text.find("Depth") != std::string::npos) out.xmpDeclaresDepth = true;
    }
    const std::size_t cut = fullName.find_first_of("[/");
    if (cut == std::string::npos) {
      ImageMetadataTag tag;
      tag.namespaceUri = ns.empty() ? std::nullopt : std::optional<std::string>(ns);
      tag.prefix = prefix;
      tag.name = fullName;
      tag.type = xmpType(datum);
      tag.value = xmpValue(datum);
      if (datum.typeId() == Exiv2::langAlt) {
        ImageMetadataTag language;
        language.prefix = "xml";
        language.name = "lang";
        language.namespaceUri = "http://www.w3.org/XML/1998/namespace";
        language.value = PropertyValue("x-default");
        tag.qualifiers.push_back(std::move(language));
      }
      topLevel[prefix + ":" + fullName] = out.xmpTags.size();
      out.xmpTags.push_back(std::move(tag));
      continue;
    }
    // A structure field or array item, which exiv2 flattens into a path: it
    // becomes a field of its top-level tag's dictionary value.
    const std::string top = fullName.substr(0, cut);
    const std::string key = prefix + ":" + top;
    auto found = topLevel.find(key);
    if (found == topLevel.end()) {
      ImageMetadataTag tag;
      tag.namespaceUri = ns.empty() ? std::nullopt : std::optional<std::string>(ns);
      tag.prefix = prefix;
      tag.name = top;
      tag.type = fullName[cut] == '[' ? ImageMetadataType::arrayOrdered : ImageMetadataType::structure;
      tag.value = PropertyValue(PropertyDictionary{});
      found = topLevel.emplace(key, out.xmpTags.size()).first;
      out.xmpTags.push_back(std::move(tag));
    }
    ImageMetadataTag& parent = out.xmpTags[found->second];
    if (!parent.value || parent.value->asDictionary() == nullptr) parent.value = PropertyValue(PropertyDictionary{});
    PropertyDictionary fields = *parent.value->asDictionary();
    fields.set(PropertyKey(fullName.substr(cut)), xmpValue(datum));
    parent.value = PropertyValue(std::move(fields));
  }
}

// The ids of Photoshop image resources other than IPTC (0x0404) and its
// digest (0x0425). Each block: "8BIM", a 16-bit id, a Pascal name padded to
// an even length, a 32-bit size and the data padded to an even length.
PropertyArray otherPhotoshopResources(const ImageBytes& blocks) {
  PropertyArray ids;
  std::size_t at = 0;
  while (at + 12 <= blocks.size() && ids.size() < 4096) {
    if (std::memcmp(blocks.data() + at, "8BIM", 4) != 0) break;
    const unsigned id = (unsigned{blocks[at + 4]} << 8) | blocks[at + 5];
    std::size_t name = 1 + std::size_t{blocks[at + 6]};
    name += name % 2;
    const std::size_t sizeAt = at + 6 + name;
    if (sizeAt + 4 > blocks.size()) break;
    const std::size_t size = (std::size_t{blocks[sizeAt]} << 24) | (std::size_t{blocks[sizeAt + 1]} << 16) |
                             (std::size_t{blocks[sizeAt + 2]} << 8) | blocks[sizeAt + 3];
    if (size > blocks.size() - sizeAt - 4) break;
    if (id != 0x0404 && id != 0x0425) ids.push_back(PropertyValue::number(id));
    at = sizeAt + 4 + size + (size % 2);
  }
  return ids;
}

bool decodeBlobs(const ContainerDescription& description, Exiv2::ExifData& exif, Exiv2::IptcData& iptc,
                 Exiv2::XmpData& xmp) {
  if (!description.exifBlob.empty() && description.exifBlob.size() < 0x7fffffff) {
    Exiv2::ExifParser::decode(exif, description.exifBlob.data(), static_cast<std::uint32_t>(description.exifBlob.size()));
  }
  if (!description.iptcBlob.empty() && description.iptcBlob.size() < 0x7fffffff) {
    Exiv2::IptcParser::decode(iptc, description.iptcBlob.data(), static_cast<std::uint32_t>(description.iptcBlob.size()));
  }
  if (!description.xmpPacket.empty()) {
    const std::string packet(description.xmpPacket.begin(), description.xmpPacket.end());
    if (Exiv2::XmpParser::decode(xmp, packet) != 0) xmp.clear();
  }
  return true;
}

}  // namespace

ReadMetadata readMetadata(const ContainerDescription& description, const SharedBytes& bytes) {
  ReadMetadata out;
  auto contents = std::make_shared<ImageMetadata::Contents>();
  auto lock = lockExiv2();
  try {
    if (description.exiv2ReadsContainer) {
      // exiv2 reads straight from our buffer without copying it; the buffer
      // outlives the image object, which goes away at the end of this block.
      auto image = Exiv2::ImageFactory::open(bytes->data(), static_cast<long>(bytes->size()));
      if (image.get() != nullptr) {
        image->readMetadata();
        contents->exif = image->exifData();
        contents->iptc = image->iptcData();
        contents->xmp = image->xmpData();
      }
      if (contents->exif.empty() && !description.exifBlob.empty()) {
        // PNG eXIf, which exiv2 0.27 does not read from the container.
        Exiv2::IptcData noIptc;
        Exiv2::XmpData noXmp;
        ContainerDescription exifOnly;
        exifOnly.exifBlob = description.exifBlob;
        decodeBlobs(exifOnly, contents->exif, noIptc, noXmp);
      }
    } else {
      decodeBlobs(description, contents->exif, contents->iptc, contents->xmp);
    }
  } catch (const std::exception&) {
    // Metadata that exiv2 cannot read is treated as absent, as far as it got.
  }
  try {
    readExif(contents->exif, out);
    readIptc(contents->iptc, out);
    readXmp(contents->xmp, out);
  } catch (const std::exception&) {
  }
  PropertyArray resources = otherPhotoshopResources(description.photoshopResources);
  if (!resources.empty()) {
    appendToDictionary(out.unsupported, ImagePropertyKey::photoshopDictionary, PropertyKey(std::string("ResourceIDs")),
                       PropertyValue(std::move(resources)));
  }
  // The aux namespace is what the EXIF-aux dictionary holds elsewhere: lens,
  // serial numbers and firmware.
  for (const ImageMetadataTag& tag : out.xmpTags) {
    if (tag.prefix == "aux" && tag.name && tag.value) {
      appendToDictionary(out.unsupported, ImagePropertyKey::exifAuxDictionary, PropertyKey(*tag.name), *tag.value);
    }
  }
  if (!contents->exif.empty() || !contents->iptc.empty() || !contents->xmp.empty()) {
    contents->tags = out.xmpTags;
    out.contents = std::move(contents);
  }
  return out;
}

namespace {

bool dropFromOutput(const Exiv2::Exifdatum& datum) {
  const std::string group = datum.groupName();
  if (group == "Image") {
    return structuralImageTags().contains(datum.tagName()) || isDngTag(datum.tag()) || datum.tagName() == "Orientation";
  }
  if (group == "Photo") {
    const std::string name = datum.tagName();
    return name == "MakerNote" || name == "PixelXDimension" || name == "PixelYDimension" || name == "ColorSpace" ||
           name == "InteroperabilityTag";
  }
  return group != "GPSInfo";
}

Exiv2::ExifData outputExif(const Exiv2::ExifData& source, int orientation, std::size_t width, std::size_t height) {
  Exiv2::ExifData exif;
  for (const Exiv2::Exifdatum& datum : source) {
    if (!dropFromOutput(datum)) exif.add(datum);
  }
  exif["Exif.Image.Orientation"] = static_cast<std::uint16_t>(orientation);
  if (width <= 0xffffffffU && height <= 0xffffffffU) {
    exif["Exif.Photo.PixelXDimension"] = static_cast<std::uint32_t>(width);
    exif["Exif.Photo.PixelYDimension"] = static_cast<std::uint32_t>(height);
  }
  return exif;
}

Exiv2::XmpData outputXmp(const Exiv2::XmpData& source) {
  static const std::set<std::string, std::less<>> structural = {
      "Xmp.tiff.Orientation", "Xmp.tiff.ImageWidth", "Xmp.tiff.ImageLength", "Xmp.exif.PixelXDimension",
      "Xmp.exif.PixelYDimension", "Xmp.exif.ColorSpace", "Xmp.tiff.BitsPerSample", "Xmp.tiff.Compression",
      "Xmp.tiff.PhotometricInterpretation", "Xmp.tiff.SamplesPerPixel",
  };
  Exiv2::XmpData xmp;
  for (const Exiv2::Xmpdatum& datum : source) {
    if (!structural.contains(datum.key())) xmp.add(datum);
  }
  return xmp;
}

}  // namespace

std::optional<OutputMetadataBlobs> outputMetadataBlobs(const ImageMetadata& metadata, int orientation,
                                                      std::size_t width, std::size_t height) {
  const ImageMetadata::Contents& contents = metadata.contents();
  OutputMetadataBlobs blobs;
  auto lock = lockExiv2();
  try {
    if (!contents.exif.empty()) {
      const Exiv2::ExifData exif = outputExif(contents.exif, orientation, width, height);
      Exiv2::Blob blob;
      Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
      blobs.exifTiff.assign(blob.begin(), blob.end());
    }
    if (!contents.xmp.empty()) {
      const Exiv2::XmpData xmp = outputXmp(contents.xmp);
      if (!xmp.empty() && Exiv2::XmpParser::encode(blobs.xmpPacket, xmp, Exiv2::XmpParser::useCompactFormat) != 0) {
        return std::nullopt;
      }
    }
    if (!contents.iptc.empty()) {
      const Exiv2::DataBuf iim = Exiv2::IptcParser::encode(contents.iptc);
      if (iim.size_ > 0) blobs.iptcIim.assign(iim.pData_, iim.pData_ + iim.size_);
      const Exiv2::DataBuf irb = Exiv2::Photoshop::setIptcIrb(nullptr, 0, contents.iptc);
      if (irb.size_ > 0) blobs.photoshopIrb.assign(irb.pData_, irb.pData_ + irb.size_);
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return blobs;
}

std::optional<ImageBytes> exifWithOrientationOnly(int orientation) {
  auto lock = lockExiv2();
  try {
    Exiv2::ExifData exif;
    exif["Exif.Image.Orientation"] = static_cast<std::uint16_t>(orientation);
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
    return ImageBytes(blob.begin(), blob.end());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

TiffPictureTags tiffPictureTags(const ImageMetadata& metadata) {
  const Exiv2::ExifData& exif = metadata.contents().exif;
  auto lock = lockExiv2();
  TiffPictureTags tags;
  // The values of a tag, when it holds exactly `count` finite numbers.
  auto numbers = [&](const char* key, long count) -> std::optional<std::vector<float>> {
    try {
      const auto datum = exif.findKey(Exiv2::ExifKey(key));
      if (datum == exif.end() || datum->count() != count) return std::nullopt;
      std::vector<float> values;
      for (long i = 0; i < count; ++i) {
        const float value = datum->toFloat(i);
        if (!std::isfinite(value)) return std::nullopt;
        values.push_back(value);
      }
      return values;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  };
  auto unsigned16 = [](float value) -> std::optional<std::uint16_t> {
    if (value < 0 || value > 65535 || std::floor(value) != value) return std::nullopt;
    return static_cast<std::uint16_t>(value);
  };
  if (auto v = numbers("Exif.Image.XResolution", 1); v && (*v)[0] > 0) tags.xResolution = (*v)[0];
  if (auto v = numbers("Exif.Image.YResolution", 1); v && (*v)[0] > 0) tags.yResolution = (*v)[0];
  // Only the units TIFF defines (none, inch, centimetre); libtiff refuses to
  // write any other value, and an undefined unit says nothing a reader can
  // use (GIMP 2.8 wrote 0).
  if (auto v = numbers("Exif.Image.ResolutionUnit", 1); v && (*v)[0] >= 1 && (*v)[0] <= 3) {
    tags.resolutionUnit = unsigned16((*v)[0]);
  }
  if (auto v = numbers("Exif.Image.PageNumber", 2)) {
    const auto page = unsigned16((*v)[0]);
    const auto pages = unsigned16((*v)[1]);
    if (page && pages) tags.pageNumber = std::array<std::uint16_t, 2>{*page, *pages};
  }
  if (auto v = numbers("Exif.Image.WhitePoint", 2)) tags.whitePoint = std::array<float, 2>{(*v)[0], (*v)[1]};
  if (auto v = numbers("Exif.Image.PrimaryChromaticities", 6)) {
    std::array<float, 6> values{};
    std::copy(v->begin(), v->end(), values.begin());
    tags.primaryChromaticities = values;
  }
  auto exact = [&](const char* key, std::uint16_t tag, bool written) {
    if (!written) return;
    try {
      const auto datum = exif.findKey(Exiv2::ExifKey(key));
      if (datum == exif.end() || datum->typeId() != Exiv2::unsignedRational) return;
      TiffPictureTags::ExactRational rational{tag, {}};
      for (long i = 0; i < datum->count(); ++i) {
        const std::optional<Exiv2::URational> r = unsignedRational(datum->value(), i);
        if (!r || r->second == 0) return;
        rational.fractions.emplace_back(r->first, r->second);
      }
      tags.exactRationals.push_back(std::move(rational));
    } catch (const std::exception&) {
    }
  };
  exact("Exif.Image.XResolution", 282, tags.xResolution.has_value());
  exact("Exif.Image.YResolution", 283, tags.yResolution.has_value());
  exact("Exif.Image.WhitePoint", 318, tags.whitePoint.has_value());
  exact("Exif.Image.PrimaryChromaticities", 319, tags.primaryChromaticities.has_value());
  return tags;
}

bool writeTiffMetadata(ImageBytes& tiff, const ImageMetadata& metadata, int orientation, std::size_t width,
                       std::size_t height) {
  const ImageMetadata::Contents& contents = metadata.contents();
  auto lock = lockExiv2();
  try {
    auto image = Exiv2::ImageFactory::open(tiff.data(), static_cast<long>(tiff.size()));
    if (image.get() == nullptr) return false;
    image->readMetadata();
    // Keep the structure libtiff wrote (strips, sizes, profile, orientation)
    // and add the source's picture metadata on top of it.
    Exiv2::ExifData exif = image->exifData();
    for (const Exiv2::Exifdatum& datum : outputExif(contents.exif, orientation, width, height)) {
      if (datum.groupName() == "Image" && datum.tagName() == "Orientation") continue;
      exif[datum.key()] = datum.value();
    }
    image->setExifData(exif);
    image->setIptcData(contents.iptc);
    image->setXmpData(outputXmp(contents.xmp));
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    if (io.open() != 0) return false;
    const long size = io.size();
    if (size <= 0) return false;
    Exiv2::DataBuf written = io.read(size);
    io.close();
    if (written.size_ != size) return false;
    tiff.assign(written.pData_, written.pData_ + written.size_);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace detail
}  // namespace quorvantelmic
