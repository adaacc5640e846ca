#include "helper_core/image/embedded_icc_profile.hpp"
#include "helper_core/image/icc_profile_embedding.hpp"
#include "tests/image/image_bytes_test_support.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace quorvantelmic {
namespace {

using testing_bytes::ByteBuilder;
using testing_bytes::Bytes;
using testing_bytes::readFixture;

struct FixtureCase {
  const char* file;
  const char* type;
  bool hasProfile;
};

// Every file was written by the format's usual tools (make-fixtures.sh).
const std::vector<FixtureCase>& fixtureCases() {
  static const std::vector<FixtureCase> cases = {
      {"profile.jpg", "public.jpeg", true},          {"plain.jpg", "public.jpeg", false},
      {"exiftool-profile.jpg", "public.jpeg", true}, {"exiftool-profile.png", "public.png", true},
      {"profile.png", "public.png", true},           {"plain.png", "public.png", false},
      {"profile-le.tif", "public.tiff", true},       {"profile-be.tif", "public.tiff", true},
      {"plain.tif", "public.tiff", false},           {"profile.bmp", "com.microsoft.bmp", true},
      {"plain.bmp", "com.microsoft.bmp", false},     {"profile.gif", "com.compuserve.gif", true},
      {"plain.gif", "com.compuserve.gif", false},    {"profile.webp", "org.webmproject.webp", true},
      {"plain.webp", "org.webmproject.webp", false}, {"profile.avif", "public.avif", true},
      {"plain.avif", "public.avif", false},          {"profile.heic", "public.heic", true},
      {"plain.heic", "public.heic", false},
  };
  return cases;
}

TEST(EmbeddedIccProfileFixtures, FilesMadeByRealToolsAnswerWhetherTheyEmbedAProfile) {
  for (const FixtureCase& c : fixtureCases()) {
    const Bytes bytes = readFixture(c.file);
    EXPECT_EQ(embeddedIccProfileExists(bytes, c.type), c.hasProfile) << c.file;
  }
  EXPECT_TRUE(embeddedIccProfileExists(readFixture("profile.heic"), "public.heif"));
}

TEST(EmbeddedIccProfileFixtures, DispatchIsByExactTypeIdentifier) {
  const Bytes jpeg = readFixture("profile.jpg");
  EXPECT_FALSE(embeddedIccProfileExists(jpeg, "public.camera-raw-image"));
  EXPECT_FALSE(embeddedIccProfileExists(jpeg, "public.JPEG"));
  EXPECT_FALSE(embeddedIccProfileExists(jpeg, "public.png"));
  EXPECT_FALSE(embeddedIccProfileExists(jpeg, ""));
  EXPECT_FALSE(embeddedIccProfileExists(readFixture("profile.png"), "public.jpeg"));
}

// Every prefix is copied into a buffer of exactly its size, so that the
// sanitizer sees any read past the end. A scanner that found a profile in a
// prefix must keep finding it as bytes are added (its path does not change).
TEST(EmbeddedIccProfileFixtures, EveryPrefixIsScannedSafelyAndMonotonically) {
  for (const FixtureCase& c : fixtureCases()) {
    const Bytes whole = readFixture(c.file);
    bool foundEarlier = false;
    for (std::size_t length = 0; length <= whole.size(); ++length) {
      const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
      const bool found = embeddedIccProfileExists(prefix, c.type);
      if (foundEarlier) {
        ASSERT_TRUE(found) << c.file << " prefix " << length;
      }
      foundEarlier = found;
      // The other scanners must also survive foreign bytes.
      jpegContainsEmbeddedIccProfile(prefix);
      pngContainsEmbeddedIccProfile(prefix);
      tiffContainsEmbeddedIccProfile(prefix);
      bmpContainsEmbeddedIccProfile(prefix);
      gifContainsEmbeddedIccProfile(prefix);
      webPContainsEmbeddedIccProfile(prefix);
      scanBmffBoxes(prefix, 0, prefix.size(), 0);
    }
    EXPECT_EQ(foundEarlier, c.hasProfile) << c.file;
    // The shortest prefixes never hold a whole profile.
    EXPECT_FALSE(embeddedIccProfileExists(Bytes(whole.begin(), whole.begin() + 12), c.type)) << c.file;
  }
}

// ---------------------------------------------------------------------------
// JPEG

Bytes iccApp2(std::string_view identifier = std::string_view("ICC_PROFILE\0", 12), std::size_t payload = 4) {
  ByteBuilder b;
  b.u8(0xFF).u8(0xE2).be16(2 + identifier.size() + payload).text(identifier).fill(payload, 0x11);
  return b.build();
}

Bytes jfifApp0() {
  ByteBuilder b;
  b.u8(0xFF).u8(0xE0).be16(16).text(std::string_view("JFIF\0", 5)).u8(1).u8(1).u8(0).be16(1).be16(1).u8(0).u8(0);
  return b.build();
}

Bytes startOfScan() {
  ByteBuilder b;
  b.u8(0xFF).u8(0xDA).be16(8).u8(1).u8(1).u8(0).u8(0).u8(0x3F).u8(0).fill(6, 0x55);
  return b.build();
}

TEST(JpegIccScan, FindsAnApp2ProfileSegmentBeforeTheScan) {
  ByteBuilder b;
  b.u8(0xFF).u8(0xD8).raw(jfifApp0()).raw(iccApp2()).raw(startOfScan()).u8(0xFF).u8(0xD9);
  EXPECT_TRUE(jpegContainsEmbeddedIccProfile(b.build()));
}

TEST(JpegIccScan, SkipsFillBytesBeforeTheMarker) {
  ByteBuilder b;
  b.u8(0xFF).u8(0xD8).raw(jfifApp0()).fill(5, 0xFF).raw(iccApp2()).raw(startOfScan());
  EXPECT_TRUE(jpegContainsEmbeddedIccProfile(b.build()));
}

TEST(JpegIccScan, StandaloneMarkersHaveNoLength) {
  ByteBuilder b;
  b.u8(0xFF).u8(0xD8).u8(0xFF).u8(0x01).u8(0xFF).u8(0xD0).u8(0xFF).u8(0xD7).raw(iccApp2());
  EXPECT_TRUE(jpegContainsEmbeddedIccProfile(b.build()));
}

TEST(JpegIccScan, StopsAtStartOfScanAndEndOfImage) {
  ByteBuilder afterScan;
  afterScan.u8(0xFF).u8(0xD8).raw(jfifApp0()).raw(startOfScan()).raw(iccApp2()).u8(0xFF).u8(0xD9);
  EXPECT_FALSE(jpegContainsEmbeddedIccProfile(afterScan.build()));
  ByteBuilder afterEnd;
  afterEnd.u8(0xFF).u8(0xD8).u8(0xFF).u8(0xD9).raw(iccApp2());
  EXPECT_FALSE(jpegContainsEmbeddedIccProfile(afterEnd.build()));
}

TEST(JpegIccScan, RequiresTheFullIdentifierInsideTheSegment) {
  ByteBuilder other;
  other.u8(0xFF).u8(0xD8).raw(iccApp2(std::string_view("MPF\0", 4), 20)).raw(startOfScan());
  EXPECT_FALSE(jpegContainsEmbeddedIccProfile(other.build()));
  // The identifier is 12 bytes; a segment holding only 11 of them is not a profile.
  ByteBuilder shortSegment;
  shortSegment.u8(0xFF).u8(0xD8).u8(0xFF).u8(0xE2).be16(13).text("ICC_PROFILE").raw(startOfScan());
  EXPECT_FALSE(jpegContainsEmbeddedIccProfile(shortSegment.build()));
  // Exactly the identifier is enough.
  ByteBuilder exact;
  exact.u8(0xFF).u8(0xD8).raw(iccApp2(std::string_view("ICC_PROFILE\0", 12), 0));
  EXPECT_TRUE(jpegContainsEmbeddedIccProfile(exact.build()));
  // The identifier in another application segment does not count.
  ByteBuilder wrongMarker;
  Bytes app1 = iccApp2();
  app1[1] = 0xE1;
  wrongMarker.u8(0xFF).u8(0xD8).raw(app1).raw(startOfScan());
  EXPECT_FALSE(jpegContainsEmbeddedIccProfile(wrongMarker.build()));
}

TEST(JpegIccScan, RefusesBrokenFraming) {
  const std::vector<Bytes> broken = {
      {0xFF, 0xD8, 0xFF},                                                           // too short
      {0xFF, 0xD9, 0xFF, 0xE2, 0x00, 0x10},                                         // no start of image
      {0xFF, 0xD8, 0x00, 0xE2, 0x00, 0x02, 0xFF, 0xD9},                             // no marker prefix
      {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xD9},                             // length below 2
      {0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xF0, 0x00, 0x00},                             // length past the end
      {0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},                             // only fill bytes
      {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0xFF},                       // ends after a segment
  };
  for (const Bytes& bytes : broken) EXPECT_FALSE(jpegContainsEmbeddedIccProfile(bytes));
}

// ---------------------------------------------------------------------------
// PNG

Bytes pngWith(const std::vector<Bytes>& chunks) {
  ByteBuilder b;
  b.u8(0x89).text("PNG").u8(0x0D).u8(0x0A).u8(0x1A).u8(0x0A);
  for (const Bytes& c : chunks) b.raw(c);
  return b.build();
}

Bytes chunk(std::string_view type, std::size_t payloadBytes) {
  return pngChunk(type, Bytes(payloadBytes, 0x41));
}

TEST(PngIccScan, ProfileChunkNeedsMoreThanTwoBytes) {
  EXPECT_FALSE(pngContainsEmbeddedIccProfile(pngWith({chunk("IHDR", 13), chunk("iCCP", 2), chunk("IEND", 0)})));
  EXPECT_TRUE(pngContainsEmbeddedIccProfile(pngWith({chunk("IHDR", 13), chunk("iCCP", 3), chunk("IEND", 0)})));
}

TEST(PngIccScan, StopsAtIendAndAtBrokenChunks) {
  EXPECT_FALSE(pngContainsEmbeddedIccProfile(pngWith({chunk("IHDR", 13), chunk("IEND", 0), chunk("iCCP", 40)})));
  Bytes foreignType = chunk("tEXt", 4);
  foreignType[5] = 0xC3;
  EXPECT_FALSE(pngContainsEmbeddedIccProfile(pngWith({chunk("IHDR", 13), foreignType, chunk("iCCP", 40)})));
  Bytes overlong = chunk("tEXt", 4);
  overlong[3] = 0xFF;
  EXPECT_FALSE(pngContainsEmbeddedIccProfile(pngWith({chunk("IHDR", 13), overlong, chunk("iCCP", 40)})));
  Bytes badSignature = pngWith({chunk("IHDR", 13), chunk("iCCP", 40)});
  badSignature[1] = 'Q';
  EXPECT_FALSE(pngContainsEmbeddedIccProfile(badSignature));
}

// ---------------------------------------------------------------------------
// TIFF

// One IFD with the given tags (count 1 each, value 0) and a next offset.
void appendIfd(ByteBuilder& b, bool little, const std::vector<std::uint16_t>& tags, std::uint32_t next,
               std::uint32_t count = 1) {
  auto u16 = [&](std::uint64_t v) { little ? b.le16(v) : b.be16(v); };
  auto u32 = [&](std::uint64_t v) { little ? b.le32(v) : b.be32(v); };
  u16(tags.size());
  for (const std::uint16_t tag : tags) {
    u16(tag);
    u16(7);
    u32(count);
    u32(0);
  }
  u32(next);
}

std::uint32_t ifdSize(std::size_t entries) { return static_cast<std::uint32_t>(2 + 12 * entries + 4); }

ByteBuilder tiffHeader(bool little, std::uint32_t first) {
  ByteBuilder b;
  if (little) {
    b.text("II").le16(42).le32(first);
  } else {
    b.text("MM").be16(42).be32(first);
  }
  return b;
}

TEST(TiffIccScan, FindsTheProfileTagInALaterDirectoryOfABigEndianFile) {
  ByteBuilder b = tiffHeader(false, 8);
  appendIfd(b, false, {256, 257}, 8 + ifdSize(2));
  appendIfd(b, false, {256, 34675}, 0);
  EXPECT_TRUE(tiffContainsEmbeddedIccProfile(b.build()));
}

TEST(TiffIccScan, ALoopingChainEndsWithoutAnAnswer) {
  ByteBuilder self = tiffHeader(true, 8);
  appendIfd(self, true, {256}, 8);
  EXPECT_FALSE(tiffContainsEmbeddedIccProfile(self.build()));
  ByteBuilder pair = tiffHeader(true, 8);
  appendIfd(pair, true, {256}, 8 + ifdSize(1));
  appendIfd(pair, true, {257}, 8);
  EXPECT_FALSE(tiffContainsEmbeddedIccProfile(pair.build()));
}

// A straight chain is followed through 64 directories and no further.
TEST(TiffIccScan, TheChainIsBoundedAtSixtyFourDirectories) {
  auto chainWithProfileIn = [](std::size_t profileDirectory, std::size_t directories) {
    ByteBuilder b = tiffHeader(true, 8);
    for (std::size_t i = 1; i <= directories; ++i) {
      const std::uint32_t next = i == directories ? 0 : static_cast<std::uint32_t>(8 + ifdSize(1) * i);
      appendIfd(b, true, {static_cast<std::uint16_t>(i == profileDirectory ? 34675 : 256)}, next);
    }
    return b.build();
  };
  EXPECT_TRUE(tiffContainsEmbeddedIccProfile(chainWithProfileIn(64, 70)));
  EXPECT_FALSE(tiffContainsEmbeddedIccProfile(chainWithProfileIn(65, 70)));
}

TEST(TiffIccScan, RefusesMalformedDirectories) {
  ByteBuilder zeroCount = tiffHeader(true, 8);
  appendIfd(zeroCount, true, {34675}, 0, 0);
  EXPECT_FALSE(tiffContainsEmbeddedIccProfile(zeroCount.build()));

  ByteBuilder tooMany = tiffHeader(true, 8);
  tooMany.le16(4097);
  EXPECT_FALSE(tiffContainsEmbeddedIccProfile(tooMany.build()));

  ByteBuilder truncatedEntries = tiffHeader(true, 8);
  truncatedEntries.le16(3).le16(34675).le16(7).le32(1).le32(0);
  EXPECT_FALSE(tiffContainsEmbeddedIccProfile(truncatedEntries.build()));

  ByteBuilder pastEnd = tiffHeader(true, 0xFFFFFFF0u);
  EXPECT_FALSE(tiffContainsEmbeddedIccProfile(pastEnd.build()));

  ByteBuilder bigTiff;
  bigTiff.text("II").le16(43).le32(8);
  appendIfd(bigTiff, true, {34675}, 0);
  EXPECT_FALSE(tiffContainsEmbeddedIccProfile(bigTiff.build()));

  ByteBuilder mixedOrder;
  mixedOrder.text("IM").le16(42).le32(8);
  appendIfd(mixedOrder, true, {34675}, 0);
  EXPECT_FALSE(tiffContainsEmbeddedIccProfile(mixedOrder.build()));
}

// ---------------------------------------------------------------------------
// BMP

Bytes bmp(std::uint32_t headerSize, std::uint32_t colorSpace, std::uint32_t profileOffset, std::uint32_t profileSize,
          std::size_t totalSize) {
  ByteBuilder b;
  b.text("BM").le32(totalSize).le32(0).le32(14 + headerSize);
  b.le32(headerSize).le32(1).le32(1).le16(1).le16(24);
  b.fill(70 - b.size(), 0);
  b.le32(colorSpace);
  b.fill(126 - b.size(), 0);
  b.le32(profileOffset).le32(profileSize).le32(0);
  if (b.size() < totalSize) b.fill(totalSize - b.size(), 0x22);
  return b.build();
}

constexpr std::uint32_t profileEmbedded = 0x4D424544;  // 'MBED'
constexpr std::uint32_t profileLinked = 0x4C494E4B;    // 'LINK'

TEST(BmpIccScan, OnlyAVersionFiveHeaderCarriesAProfile) {
  EXPECT_TRUE(bmpContainsEmbeddedIccProfile(bmp(124, profileEmbedded, 140, 100, 14 + 140 + 100)));
  // The bytes at 126-133 mean nothing in a 40-byte header.
  EXPECT_FALSE(bmpContainsEmbeddedIccProfile(bmp(40, profileEmbedded, 140, 100, 14 + 140 + 100)));
  EXPECT_FALSE(bmpContainsEmbeddedIccProfile(bmp(108, profileEmbedded, 140, 100, 14 + 140 + 100)));
}

TEST(BmpIccScan, TheProfileMustBeEmbeddedAndLieInsideTheFile) {
  EXPECT_FALSE(bmpContainsEmbeddedIccProfile(bmp(124, profileLinked, 140, 100, 14 + 140 + 100)));
  EXPECT_FALSE(bmpContainsEmbeddedIccProfile(bmp(124, profileEmbedded, 0, 100, 14 + 140 + 100)));
  EXPECT_FALSE(bmpContainsEmbeddedIccProfile(bmp(124, profileEmbedded, 140, 0, 14 + 140 + 100)));
  // The offset counts from the info header: a profile that ends up to 14
  // bytes past the end is cut off, even though offset + size fits the file.
  EXPECT_FALSE(bmpContainsEmbeddedIccProfile(bmp(124, profileEmbedded, 140, 100, 14 + 140 + 99)));
  EXPECT_FALSE(bmpContainsEmbeddedIccProfile(bmp(124, profileEmbedded, 140, 100, 140 + 100)));
  EXPECT_FALSE(bmpContainsEmbeddedIccProfile(bmp(124, profileEmbedded, 0xFFFFFFFFu, 0xFFFFFFFFu, 300)));
  Bytes notBmp = bmp(124, profileEmbedded, 140, 100, 14 + 140 + 100);
  notBmp[0] = 'X';
  EXPECT_FALSE(bmpContainsEmbeddedIccProfile(notBmp));
}

// ---------------------------------------------------------------------------
// GIF

ByteBuilder gifHeader(std::string_view version, bool globalTable) {
  ByteBuilder b;
  b.text(version).le16(2).le16(2).u8(globalTable ? 0x80 | 0x01 : 0x00).u8(0).u8(0);
  if (globalTable) b.fill(3 * 4, 0x10);
  return b;
}

void appendIccExtension(ByteBuilder& b, std::string_view identifier = "ICCRGBG1012") {
  b.u8(0x21).u8(0xFF).u8(identifier.size()).text(identifier).u8(4).fill(4, 0x33).u8(0);
}

void appendImage(ByteBuilder& b, bool localTable) {
  b.u8(0x2C).le16(0).le16(0).le16(2).le16(2).u8(localTable ? 0x80 | 0x02 : 0x00);
  if (localTable) b.fill(3 * 8, 0x44);
  b.u8(2).u8(3).fill(3, 0x55).u8(2).fill(2, 0x66).u8(0);
}

TEST(GifIccScan, FindsTheApplicationExtensionAfterOtherBlocks) {
  ByteBuilder b = gifHeader("GIF89a", true);
  b.u8(0x21).u8(0xFF).u8(11).text("NETSCAPE2.0").u8(3).u8(1).le16(0).u8(0);
  b.u8(0x21).u8(0xF9).u8(4).fill(4, 0).u8(0);
  appendImage(b, true);
  appendIccExtension(b);
  b.u8(0x3B);
  EXPECT_TRUE(gifContainsEmbeddedIccProfile(b.build()));

  ByteBuilder plain = gifHeader("GIF87a", false);
  appendIccExtension(plain);
  EXPECT_TRUE(gifContainsEmbeddedIccProfile(plain.build()));
}

TEST(GifIccScan, OtherIdentifiersTheTrailerAndBrokenDataEndTheSearch) {
  ByteBuilder other = gifHeader("GIF89a", true);
  appendIccExtension(other, "XMP DataXMP");
  other.u8(0x3B);
  EXPECT_FALSE(gifContainsEmbeddedIccProfile(other.build()));

  ByteBuilder shortIdentifier = gifHeader("GIF89a", true);
  appendIccExtension(shortIdentifier, "ICCRGBG101");
  EXPECT_FALSE(gifContainsEmbeddedIccProfile(shortIdentifier.build()));

  ByteBuilder afterTrailer = gifHeader("GIF89a", true);
  afterTrailer.u8(0x3B);
  appendIccExtension(afterTrailer);
  EXPECT_FALSE(gifContainsEmbeddedIccProfile(afterTrailer.build()));

  // Image data whose sub-block claims more bytes than remain, before the extension.
  ByteBuilder runaway = gifHeader("GIF89a", false);
  runaway.u8(0x2C).le16(0).le16(0).le16(2).le16(2).u8(0).u8(2).u8(200).fill(10, 0x55);
  appendIccExtension(runaway);
  EXPECT_FALSE(gifContainsEmbeddedIccProfile(runaway.build()));

  // A local colour table larger than the file.
  ByteBuilder bigTable = gifHeader("GIF89a", false);
  bigTable.u8(0x2C).le16(0).le16(0).le16(2).le16(2).u8(0x87);
  appendIccExtension(bigTable);
  EXPECT_FALSE(gifContainsEmbeddedIccProfile(bigTable.build()));

  ByteBuilder wrongVersion = gifHeader("GIF88a", false);
  appendIccExtension(wrongVersion);
  EXPECT_FALSE(gifContainsEmbeddedIccProfile(wrongVersion.build()));
}

// ---------------------------------------------------------------------------
// WebP

Bytes webp(const std::vector<Bytes>& chunks, std::int64_t riffSizeAdjust = 0) {
  ByteBuilder body;
  for (const Bytes& c : chunks) body.raw(c);
  ByteBuilder b;
  b.text("RIFF").le32(static_cast<std::uint64_t>(static_cast<std::int64_t>(body.size() + 4) + riffSizeAdjust));
  b.text("WEBP").raw(body.build());
  return b.build();
}

Bytes riffChunk(std::string_view code, std::size_t size, bool pad = true) {
  ByteBuilder b;
  b.text(code).le32(size).fill(size, 0x77);
  if (pad && size % 2 == 1) b.u8(0);
  return b.build();
}

TEST(WebPIccScan, FindsANonEmptyProfileChunk) {
  EXPECT_TRUE(webPContainsEmbeddedIccProfile(webp({riffChunk("VP8X", 10), riffChunk("ICCP", 20)})));
  EXPECT_FALSE(webPContainsEmbeddedIccProfile(webp({riffChunk("VP8X", 10), riffChunk("ICCP", 0)})));
  EXPECT_TRUE(webPContainsEmbeddedIccProfile(webp({riffChunk("XXXX", 3), riffChunk("ICCP", 5)})));
}

TEST(WebPIccScan, RefusesBrokenRiffFraming) {
  // An odd chunk without its padding byte is cut off.
  EXPECT_FALSE(webPContainsEmbeddedIccProfile(webp({riffChunk("XXXX", 3, false), riffChunk("ICCP", 5)})));
  EXPECT_FALSE(webPContainsEmbeddedIccProfile(webp({riffChunk("VP8X", 10), riffChunk("ICCP", 20)}, 1)));
  Bytes overlong = webp({riffChunk("VP8X", 10), riffChunk("ICCP", 20)});
  overlong[16] = 0xF0;
  EXPECT_FALSE(webPContainsEmbeddedIccProfile(overlong));
  Bytes foreignCode = webp({riffChunk("VP8X", 10), riffChunk("ICCP", 20)});
  foreignCode[12] = 0xD0;
  EXPECT_FALSE(webPContainsEmbeddedIccProfile(foreignCode));
}

// ---------------------------------------------------------------------------
// BMFF (HEIF, AVIF)

Bytes box(std::string_view type, const Bytes& payload) {
  ByteBuilder b;
  b.be32(8 + payload.size()).text(type).raw(payload);
  return b.build();
}

Bytes fullBox(std::string_view type, const Bytes& children) {
  ByteBuilder payload;
  payload.be32(0).raw(children);
  return box(type, payload.build());
}

Bytes colr(std::string_view colourType) {
  ByteBuilder payload;
  payload.text(colourType).fill(8, 0x01);
  return box("colr", payload.build());
}

Bytes concat(const std::vector<Bytes>& parts) {
  ByteBuilder b;
  for (const Bytes& p : parts) b.raw(p);
  return b.build();
}

Bytes heifWith(const Bytes& ipcoChildren) {
  return concat({box("ftyp", concat({ByteBuilder().text("heic").be32(0).text("mif1").build()})),
                 fullBox("meta", concat({fullBox("hdlr", Bytes(20, 0)),
                                         box("iprp", box("ipco", concat({box("ispe", Bytes(12, 0)), ipcoChildren})))})),
                 box("mdat", Bytes(16, 0x99))});
}

bool scanWhole(const Bytes& bytes) { return scanBmffBoxes(bytes, 0, bytes.size(), 0); }

TEST(BmffIccScan, AProfileColourBoxInsideTheItemPropertiesCounts) {
  EXPECT_TRUE(scanWhole(heifWith(colr("prof"))));
  EXPECT_TRUE(scanWhole(heifWith(colr("rICC"))));
  EXPECT_TRUE(scanWhole(heifWith(concat({colr("nclx"), colr("prof")}))));
  EXPECT_TRUE(scanWhole(concat({box("ftyp", Bytes(8, 0x61)), colr("prof")})));
}

TEST(BmffIccScan, ANumericColourDescriptionIsNotAProfile) {
  EXPECT_FALSE(scanWhole(heifWith(colr("nclx"))));
  EXPECT_FALSE(scanWhole(heifWith(box("colr", ByteBuilder().text("pro").build()))));
  EXPECT_FALSE(scanWhole(heifWith(Bytes{})));
  // Only meta, iprp and ipco are entered.
  EXPECT_FALSE(scanWhole(box("trak", colr("prof"))));
}

TEST(BmffIccScan, HandlesLargeAndToEndSizes) {
  ByteBuilder large;
  const Bytes inner = fullBox("meta", box("iprp", box("ipco", colr("prof"))));
  large.be32(1).text("meta").be64(16 + inner.size() - 8).raw(Bytes(inner.begin() + 8, inner.end()));
  EXPECT_TRUE(scanWhole(large.build()));

  ByteBuilder toEnd;
  toEnd.raw(box("ftyp", Bytes(8, 0x61))).be32(0).text("meta").be32(0).raw(box("iprp", box("ipco", colr("prof"))));
  EXPECT_TRUE(scanWhole(toEnd.build()));

  ByteBuilder tooSmallLarge;
  tooSmallLarge.be32(1).text("meta").be64(15).raw(colr("prof"));
  EXPECT_FALSE(scanWhole(tooSmallLarge.build()));
}

TEST(BmffIccScan, RecursionStopsBelowDepthFour) {
  // The children of meta are scanned at depth 1, of iprp at 2, of the first
  // ipco at 3: one more ipco puts colr at depth 4, two more at depth 5.
  const Bytes depthFour = fullBox("meta", box("iprp", box("ipco", box("ipco", colr("prof")))));
  EXPECT_TRUE(scanWhole(depthFour));
  const Bytes depthFive = fullBox("meta", box("iprp", box("ipco", box("ipco", box("ipco", colr("prof"))))));
  EXPECT_FALSE(scanWhole(depthFive));
}

TEST(BmffIccScan, RefusesBoxesThatDoNotFit) {
  Bytes overlong = heifWith(colr("prof"));
  overlong[3] = 0xFF;  // ftyp claims more than the file
  EXPECT_FALSE(scanWhole(overlong));
  ByteBuilder tiny;
  tiny.be32(4).text("free").raw(colr("prof"));
  EXPECT_FALSE(scanWhole(tiny.build()));
  Bytes foreign = concat({box("free", Bytes(4, 0)), colr("prof")});
  foreign[5] = 0xE9;
  EXPECT_FALSE(scanWhole(foreign));
  // A range outside the buffer is refused rather than read.
  const Bytes file = heifWith(colr("prof"));
  EXPECT_FALSE(scanBmffBoxes(file, 0, file.size() + 1, 0));
  EXPECT_FALSE(scanBmffBoxes(file, 10, 5, 0));
}

}  // namespace
}  // namespace quorvantelmic
