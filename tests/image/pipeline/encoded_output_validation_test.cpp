#include "helper_core/image/encoded_output_validation.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helper_core/image/byte_readers.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/image/pipeline/pipeline_test_support.hpp"

namespace quorvantelmic {
namespace {

using testing::fixtureBytes;
using Bytes = std::vector<std::uint8_t>;
using Target = RasterTargetTypeIdentifier;

// What a conversion would expect of these bytes: their own geometry, 8 bits,
// no HDR, no auxiliary images.
ImageProbe expectedOf(const Bytes& bytes) {
  ImageProbe probe = testing::inspectBytes(bytes).probe;
  probe.bitDepth = 8;
  probe.hasHdr = false;
  probe.hasAuxiliaryImages = false;
  return probe;
}

struct Check {
  Target target;
  ImageProbe expected;
  // Metadata is left alone unless a test asks for a policy.
  MetadataPolicy policy = MetadataPolicy::preserve;
  MetadataAssessment required;
  bool allowsSanitized = true;
  std::optional<std::string> profileName;

  void run(const Bytes& bytes) const {
    validateEncodedImage(bytes, target, expected, policy, required, allowsSanitized, profileName);
  }
  std::optional<HelperFault> fault(const Bytes& bytes) const {
    try {
      run(bytes);
    } catch (const HelperFault& caught) {
      return caught;
    }
    return std::nullopt;
  }
};

Check checkFor(Target target, const Bytes& bytes) {
  Check check;
  check.target = target;
  check.expected = expectedOf(bytes);
  return check;
}

HelperFault encodeFailed(const std::string& message) { return HelperFault(HelperErrorCode::encodeFailed, message); }

struct TargetFixture {
  Target target;
  const char* fixture;
};

const TargetFixture plainOutputs[] = {
    {Target::jpeg, "bytes/plain.jpg"}, {Target::png, "bytes/plain.png"}, {Target::tiff, "bytes/plain.tif"},
    {Target::avif, "bytes/plain.avif"}, {Target::gif, "bytes/plain.gif"}, {Target::bmp, "bytes/plain.bmp"},
};

TEST(EncodedOutputValidationContainer, CompleteOutputsOfEveryTargetPass) {
  for (const TargetFixture& output : plainOutputs) {
    const Bytes bytes = fixtureBytes(output.fixture);
    EXPECT_NO_THROW(checkFor(output.target, bytes).run(bytes)) << output.fixture;
  }
}

TEST(EncodedOutputValidationContainer, TruncatedAndPaddedOutputsAreIncomplete) {
  for (const TargetFixture& output : plainOutputs) {
    if (output.target == Target::tiff) continue;  // a TIFF's framing is its header alone
    const Bytes whole = fixtureBytes(output.fixture);
    const Check check = checkFor(output.target, whole);
    const HelperFault incomplete =
        encodeFailed("The encoded output is not a complete " + std::string(formatName(output.target)) + " file.");
    const Bytes cut(whole.begin(), whole.end() - 1);
    EXPECT_EQ(check.fault(cut), incomplete) << output.fixture;
    if (output.target != Target::jpeg && output.target != Target::gif) {
      Bytes padded = whole;
      padded.push_back(0);
      EXPECT_EQ(check.fault(padded), incomplete) << output.fixture;
    }
  }
}

TEST(EncodedOutputValidationContainer, ATruncatedTiffIsCaughtByItsDecode) {
  const Bytes whole = fixtureBytes("bytes/plain.tif");
  const Check check = checkFor(Target::tiff, whole);
  const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2));
  const std::optional<HelperFault> fault = check.fault(cut);
  ASSERT_TRUE(fault.has_value());
  EXPECT_NE(fault->code(), HelperErrorCode::internalError);
}

// The BMFF framing accepts a file whose top-level boxes end right after "meta"
// (the item data in "mdat" is simply gone); only the decode notices.
TEST(EncodedOutputValidationContainer, AnAvifCutAfterItsMetaBoxIsCaughtByTheDecode) {
  const Bytes whole = fixtureBytes("bytes/plain.avif");
  const Check check = checkFor(Target::avif, whole);
  std::uint64_t offset = 0;
  std::optional<std::uint64_t> metaEnd;
  while (offset + 8 <= whole.size()) {
    const std::uint64_t size = bigEndianInteger(whole, offset, 4).value();
    if (hasFourCharacterCode(whole, offset + 4, "meta")) metaEnd = offset + size;
    offset += size;
  }
  ASSERT_TRUE(metaEnd.has_value());
  ASSERT_LT(*metaEnd, whole.size());
  const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(*metaEnd));
  const std::optional<HelperFault> fault = check.fault(cut);
  ASSERT_TRUE(fault.has_value()) << "a file without its image data passed";
  EXPECT_EQ(fault->code(), HelperErrorCode::decodeFailed);
}

TEST(EncodedOutputValidationContainer, AlteredImageDataNeverPasses) {
  // One byte of the PNG's compressed pixel stream changed: its CRC and its
  // zlib stream no longer agree, so the decode refuses it.
  Bytes png = fixtureBytes("bytes/plain.png");
  const Check check = checkFor(Target::png, png);
  std::uint64_t offset = 8;
  while (!hasFourCharacterCode(png, offset + 4, "IDAT")) offset += bigEndianInteger(png, offset, 4).value() + 12;
  png[offset + 8 + 4] ^= 0x5a;
  EXPECT_TRUE(check.fault(png).has_value());
}

// Damage that the container framing cannot see reaches the decode that
// proves the output: a PNG whose changed image data carries a correct CRC
// (only inflating the stream to its checksum notices), and an interlaced GIF
// cut inside its image data and given its trailer again.
TEST(EncodedOutputValidationContainer, DamageInsideIntactFramingIsCaughtByTheDecode) {
  Bytes png = fixtureBytes("images/debian-pngtest-interlaced.png");
  const Check pngCheck = checkFor(Target::png, png);
  std::uint64_t offset = 8;
  while (!hasFourCharacterCode(png, offset + 4, "IDAT")) offset += bigEndianInteger(png, offset, 4).value() + 12;
  const std::uint64_t length = bigEndianInteger(png, offset, 4).value();
  png[offset + 8 + length / 2] ^= 0x5a;
  std::uint32_t crc = 0xffffffffU;
  for (std::uint64_t i = offset + 4; i < offset + 8 + length; ++i) {
    crc ^= png[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320U & (0U - (crc & 1U)));
  }
  crc = ~crc;
  for (int i = 0; i < 4; ++i) png[offset + 8 + length + static_cast<std::uint64_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
  const std::optional<HelperFault> pngFault = pngCheck.fault(png);
  ASSERT_TRUE(pngFault.has_value()) << "a PNG with damaged image data passed";
  EXPECT_EQ(pngFault->code(), HelperErrorCode::decodeFailed);

  const Bytes gif = fixtureBytes("images/interlaced.gif");
  const Check gifCheck = checkFor(Target::gif, gif);
  Bytes cut(gif.begin(), gif.begin() + static_cast<std::ptrdiff_t>(gif.size() * 2 / 3));
  cut.push_back(0x3B);
  const std::optional<HelperFault> gifFault = gifCheck.fault(cut);
  ASSERT_TRUE(gifFault.has_value()) << "a GIF without most of its image data passed";
  EXPECT_EQ(gifFault->code(), HelperErrorCode::decodeFailed);
}

TEST(EncodedOutputValidationStructure, GeometryAlphaDepthAndTypeMustMatch) {
  const Bytes png = fixtureBytes("bytes/plain.png");
  const HelperFault structural = encodeFailed("The encoded PNG failed structural validation.");
  Check check = checkFor(Target::png, png);
  check.expected.width += 1;
  EXPECT_EQ(check.fault(png), structural);
  check = checkFor(Target::png, png);
  check.expected.orientation = 6;
  EXPECT_EQ(check.fault(png), structural);
  check = checkFor(Target::png, png);
  check.expected.hasAlpha = true;
  EXPECT_EQ(check.fault(png), structural);
  // Sixteen bits per component (which also makes it HDR).
  const Bytes deep = fixtureBytes("images/rgb16.png");
  EXPECT_EQ(checkFor(Target::png, deep).fault(deep), structural);
  // Eight bits with a PQ transfer.
  const Bytes pq = fixtureBytes("pipeline/hdr-pq8.avif");
  EXPECT_EQ(checkFor(Target::avif, pq).fault(pq), encodeFailed("The encoded AVIF failed structural validation."));
  // A GIF validated as a BMP stops at the container.
  const Bytes gif = fixtureBytes("bytes/plain.gif");
  EXPECT_EQ(checkFor(Target::bmp, gif).fault(gif), encodeFailed("The encoded output is not a complete BMP file."));
}

TEST(EncodedOutputValidationProfile, EmbeddedProfileAndItsNameMustSurvive) {
  const Bytes plain = fixtureBytes("bytes/plain.png");
  Check check = checkFor(Target::png, plain);
  check.expected.hasIccProfile = true;
  EXPECT_EQ(check.fault(plain), encodeFailed("The encoded PNG did not preserve its embedded color profile."));

  const Bytes p3 = fixtureBytes("pipeline/display-p3.png");
  check = checkFor(Target::png, p3);
  check.profileName = "Display P3";
  EXPECT_NO_THROW(check.run(p3));
  check.profileName = "sRGB IEC61966-2.1";
  EXPECT_EQ(check.fault(p3), encodeFailed("The encoded PNG did not preserve its color profile."));
}

Check removing(Target target, const Bytes& bytes) {
  Check check = checkFor(target, bytes);
  check.policy = MetadataPolicy::remove;
  return check;
}

TEST(EncodedOutputValidationMetadata, RemoveAllowsOnlyStructuralMetadata) {
  const Bytes creator = fixtureBytes("pipeline/creator.jpg");
  EXPECT_EQ(removing(Target::jpeg, creator).fault(creator),
            encodeFailed("The encoded JPEG still contains removable metadata."));
  const Bytes makerNote = fixtureBytes("pipeline/makernote.jpg");
  EXPECT_EQ(removing(Target::jpeg, makerNote).fault(makerNote),
            encodeFailed("The encoded JPEG still contains removable metadata."));
  const Bytes structural = fixtureBytes("pipeline/structural-exif.jpg");
  EXPECT_NO_THROW(removing(Target::jpeg, structural).run(structural));
  const Bytes plain = fixtureBytes("bytes/plain.png");
  EXPECT_NO_THROW(removing(Target::png, plain).run(plain));
}

TEST(EncodedOutputValidationMetadata, PreserveRefusesIntroducedUnsupportedMetadataUnlessSanitised) {
  const Bytes makerNote = fixtureBytes("pipeline/makernote.jpg");
  Check check = checkFor(Target::jpeg, makerNote);
  check.allowsSanitized = false;
  EXPECT_EQ(check.fault(makerNote), encodeFailed("The encoded JPEG introduced unsupported metadata."));
  check.allowsSanitized = true;
  EXPECT_NO_THROW(check.run(makerNote));
}

TEST(EncodedOutputValidationMetadata, RequiredDictionariesMustKeepEveryKeyAndMayGainKeys) {
  const Bytes source = fixtureBytes("pipeline/gps-exposure.jpg");
  Check check = checkFor(Target::jpeg, source);
  check.allowsSanitized = false;
  check.required = testing::inspectBytes(source).metadata;
  const std::string gps(ImagePropertyKey::gpsDictionary);
  ASSERT_TRUE(check.required.supportedDictionaries.contains(gps));
  EXPECT_NO_THROW(check.run(source));

  // The output lacks a key the source had.
  Check missingKey = check;
  missingKey.required.supportedDictionaries[gps].set(std::string("GPSAltitude"), PropertyValue::number(35));
  EXPECT_EQ(missingKey.fault(source), encodeFailed("The encoded JPEG did not preserve supported metadata dictionaries."));
  // A value that changed.
  Check changed = check;
  changed.required.supportedDictionaries[gps].set(std::string("GPSLatitudeRef"), PropertyValue("S"));
  EXPECT_EQ(changed.fault(source), encodeFailed("The encoded JPEG did not preserve supported metadata dictionaries."));
  // The output has keys the source did not: allowed.
  Check fewer = check;
  auto& entries = fewer.required.supportedDictionaries[gps].entries;
  entries.erase(entries.begin());
  EXPECT_NO_THROW(fewer.run(source));
  // A whole dictionary the output does not have.
  Check absent = check;
  absent.required.supportedDictionaries[std::string(ImagePropertyKey::iptcDictionary)].set(std::string("ObjectName"),
                                                                                           PropertyValue("Tower"));
  EXPECT_EQ(absent.fault(source), encodeFailed("The encoded JPEG did not preserve supported metadata dictionaries."));
}

TEST(EncodedOutputValidationMetadata, RequiredTagsMustCompareEqual) {
  const Bytes creator = fixtureBytes("pipeline/creator.jpg");
  Check check = checkFor(Target::jpeg, creator);
  check.allowsSanitized = false;
  check.required = testing::inspectBytes(creator).metadata;
  EXPECT_NO_THROW(check.run(creator));
  check.required.supportedTags["dc:creator"] = PropertyValue(PropertyArray{PropertyValue("Charles Babbage")});
  EXPECT_EQ(check.fault(creator), encodeFailed("The encoded JPEG did not preserve supported metadata tags."));
  check.required.supportedTags.erase("dc:creator");
  check.required.supportedTags["xmp:creatortool"] = PropertyValue("Fixture");
  EXPECT_EQ(check.fault(creator), encodeFailed("The encoded JPEG did not preserve supported metadata tags."));
}

// --- value and tag equality -----------------------------------------------

PropertyValue nested(int levels) {
  PropertyValue value("leaf");
  for (int level = 0; level < levels; ++level) value = PropertyValue(PropertyArray{value});
  return value;
}

TEST(MetadataValueEquality, KindsNestingAndBoundsDecide) {
  EXPECT_TRUE(metadataValuesEqual(nested(16), nested(16), 0));
  EXPECT_FALSE(metadataValuesEqual(nested(17), nested(17), 0));
  EXPECT_FALSE(metadataValuesEqual(nested(2), nested(3), 0));
  EXPECT_FALSE(metadataValuesEqual(PropertyValue(true), PropertyValue::number(1), 0));
  EXPECT_FALSE(metadataValuesEqual(PropertyValue("1"), PropertyValue::number(1), 0));
  EXPECT_TRUE(metadataValuesEqual(PropertyValue::number(0.5), PropertyValue::number(0.5), 0));

  PropertyDictionary first;
  first.set(std::string("a"), PropertyValue::number(1));
  first.set(std::string("b"), PropertyValue("x"));
  PropertyDictionary reordered;
  reordered.set(std::string("b"), PropertyValue("x"));
  reordered.set(std::string("a"), PropertyValue::number(1));
  EXPECT_TRUE(metadataValuesEqual(PropertyValue(first), PropertyValue(reordered), 0));
  reordered.set(std::string("c"), PropertyValue("y"));
  EXPECT_FALSE(metadataValuesEqual(PropertyValue(first), PropertyValue(reordered), 0));

  const PropertyArray large(4097, PropertyValue("same"));
  EXPECT_FALSE(metadataValuesEqual(PropertyValue(large), PropertyValue(large), 0));
  const PropertyArray bounded(4096, PropertyValue("same"));
  EXPECT_TRUE(metadataValuesEqual(PropertyValue(bounded), PropertyValue(bounded), 0));
}

TEST(MetadataTagEquality, NamesTypesValuesAndQualifiersDecide) {
  ImageMetadataTag tag;
  tag.namespaceUri = "http://purl.org/dc/elements/1.1/";
  tag.prefix = "dc";
  tag.name = "description";
  tag.type = ImageMetadataType::alternateText;
  tag.value = PropertyValue("A tower");
  ImageMetadataTag language;
  language.namespaceUri = "http://www.w3.org/XML/1998/namespace";
  language.prefix = "xml";
  language.name = "lang";
  language.type = ImageMetadataType::string;
  language.value = PropertyValue("x-default");
  tag.qualifiers.push_back(language);
  EXPECT_TRUE(metadataTagsEqual(tag, tag, 0));
  EXPECT_FALSE(metadataTagsEqual(tag, tag, 17));

  ImageMetadataTag otherLanguage = tag;
  otherLanguage.qualifiers[0].value = PropertyValue("en-GB");
  EXPECT_FALSE(metadataTagsEqual(tag, otherLanguage, 0));
  ImageMetadataTag noNamespace = tag;
  noNamespace.namespaceUri.reset();
  EXPECT_FALSE(metadataTagsEqual(tag, noNamespace, 0));
  EXPECT_TRUE(metadataTagsEqual(noNamespace, noNamespace, 0));
  ImageMetadataTag otherType = tag;
  otherType.type = ImageMetadataType::string;
  EXPECT_FALSE(metadataTagsEqual(tag, otherType, 0));
  ImageMetadataTag noValue = tag;
  noValue.value.reset();
  EXPECT_FALSE(metadataTagsEqual(noValue, noValue, 0));
  ImageMetadataTag unqualified = tag;
  unqualified.qualifiers.clear();
  EXPECT_FALSE(metadataTagsEqual(tag, unqualified, 0));
}

}  // namespace
}  // namespace quorvantelmic
