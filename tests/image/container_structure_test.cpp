#include "helper_core/image/container_structure.hpp"
#include "helper_core/image/icc_profile_embedding.hpp"
#include "tests/image/image_bytes_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quorvantelmic {
namespace {

using testing_bytes::ByteBuilder;
using testing_bytes::Bytes;
using testing_bytes::readFixture;
using Target = RasterTargetTypeIdentifier;

struct Complete {
  const char* file;
  Target target;
};

const std::vector<Complete>& completeFiles() {
  static const std::vector<Complete> files = {
      {"plain.jpg", Target::jpeg},      {"profile.jpg", Target::jpeg},  {"plain.png", Target::png},
      {"profile.png", Target::png},     {"plain.tif", Target::tiff},    {"profile-be.tif", Target::tiff},
      {"plain.avif", Target::avif},     {"profile.avif", Target::avif}, {"plain.heic", Target::heic},
      {"profile.heic", Target::heic},   {"plain.gif", Target::gif},     {"profile.gif", Target::gif},
      {"plain.bmp", Target::bmp},       {"profile.bmp", Target::bmp},   {"exiftool-profile.jpg", Target::jpeg},
      {"exiftool-profile.png", Target::png},
  };
  return files;
}

TEST(ContainerSignature, FilesWrittenByRealEncodersAreComplete) {
  for (const Complete& c : completeFiles()) {
    EXPECT_TRUE(hasCompleteContainerSignature(readFixture(c.file), c.target)) << c.file;
  }
}

TEST(ContainerSignature, AFileIsNotCompleteAsAnotherTarget) {
  EXPECT_FALSE(hasCompleteContainerSignature(readFixture("plain.heic"), Target::avif));
  EXPECT_FALSE(hasCompleteContainerSignature(readFixture("plain.avif"), Target::heic));
  EXPECT_FALSE(hasCompleteContainerSignature(readFixture("plain.png"), Target::jpeg));
  EXPECT_FALSE(hasCompleteContainerSignature(readFixture("plain.jpg"), Target::png));
  EXPECT_FALSE(hasCompleteContainerSignature(readFixture("plain.gif"), Target::bmp));
  EXPECT_FALSE(hasCompleteContainerSignature(readFixture("plain.bmp"), Target::tiff));
}

// Where each top-level box of a media file ends (32-bit sizes only).
std::vector<std::size_t> topLevelBoxEnds(const Bytes& file) {
  std::vector<std::size_t> ends;
  for (std::size_t p = 0; p + 8 <= file.size();) {
    const std::size_t size = std::size_t{file[p]} << 24 | std::size_t{file[p + 1]} << 16 |
                             std::size_t{file[p + 2]} << 8 | file[p + 3];
    if (size < 8) break;
    p += size;
    ends.push_back(p);
  }
  return ends;
}

// Formats whose framing covers the whole file refuse every proper prefix; a
// media file cut exactly after its "meta" box is still well framed, as such
// files may keep all their data in "meta". Each prefix gets a buffer of
// exactly its size, so the sanitizer sees any read past the end.
TEST(ContainerSignature, EveryTruncationOfAFramedFormatIsRefused) {
  for (const Complete& c : completeFiles()) {
    const Bytes whole = readFixture(c.file);
    const bool media = c.target == Target::avif || c.target == Target::heic;
    const bool framed = media || c.target == Target::png || c.target == Target::bmp;
    const std::vector<std::size_t> boxEnds = media ? topLevelBoxEnds(whole) : std::vector<std::size_t>{};
    for (std::size_t length = 0; length < whole.size(); ++length) {
      const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
      const bool complete = hasCompleteContainerSignature(prefix, c.target);
      const bool atBoxEnd = std::find(boxEnds.begin(), boxEnds.end(), length) != boxEnds.end();
      if (framed && !atBoxEnd) {
        ASSERT_FALSE(complete) << c.file << " prefix " << length;
      }
      completePNGStructure(prefix);
      completeBmffStructure(prefix, avifBrands());
    }
  }
}

TEST(ContainerSignature, JpegNeedsItsEndMarker) {
  const Bytes jpeg = readFixture("plain.jpg");
  EXPECT_FALSE(hasCompleteContainerSignature(Bytes(jpeg.begin(), jpeg.end() - 1), Target::jpeg));
  EXPECT_FALSE(hasCompleteContainerSignature(Bytes(jpeg.begin(), jpeg.end() - 2), Target::jpeg));
  EXPECT_TRUE(hasCompleteContainerSignature(Bytes{0xFF, 0xD8, 0xFF, 0xD9}, Target::jpeg));
  EXPECT_FALSE(hasCompleteContainerSignature(Bytes{0xFF, 0xD9}, Target::jpeg));
}

TEST(ContainerSignature, TiffNeedsAMatchingByteOrderAndMagic) {
  EXPECT_TRUE(hasCompleteContainerSignature(ByteBuilder().text("II").le16(42).le32(8).build(), Target::tiff));
  EXPECT_TRUE(hasCompleteContainerSignature(ByteBuilder().text("MM").be16(42).be32(8).build(), Target::tiff));
  EXPECT_FALSE(hasCompleteContainerSignature(ByteBuilder().text("II").be16(42).le32(8).build(), Target::tiff));
  EXPECT_FALSE(hasCompleteContainerSignature(ByteBuilder().text("MM").be16(43).be32(8).build(), Target::tiff));
  EXPECT_FALSE(hasCompleteContainerSignature(ByteBuilder().text("II").le16(42).le16(8).build(), Target::tiff));
}

TEST(ContainerSignature, GifNeedsDimensionsAndItsTrailer) {
  const Bytes gif = readFixture("plain.gif");
  EXPECT_FALSE(hasCompleteContainerSignature(Bytes(gif.begin(), gif.end() - 1), Target::gif));
  Bytes noWidth = gif;
  noWidth[6] = 0;
  noWidth[7] = 0;
  EXPECT_FALSE(hasCompleteContainerSignature(noWidth, Target::gif));
  Bytes noHeight = gif;
  noHeight[8] = 0;
  noHeight[9] = 0;
  EXPECT_FALSE(hasCompleteContainerSignature(noHeight, Target::gif));
  Bytes wideOnly = gif;
  wideOnly[6] = 0;
  wideOnly[7] = 1;  // 256 wide: one zero byte is not a zero width
  EXPECT_TRUE(hasCompleteContainerSignature(wideOnly, Target::gif));
  Bytes version = gif;
  version[4] = '8';
  EXPECT_FALSE(hasCompleteContainerSignature(version, Target::gif));
}

TEST(ContainerSignature, BmpSizeFieldMustEqualTheFileLength) {
  Bytes bmp = readFixture("plain.bmp");
  bmp.push_back(0);
  EXPECT_FALSE(hasCompleteContainerSignature(bmp, Target::bmp));
  bmp.pop_back();
  bmp[2] = static_cast<std::uint8_t>(bmp[2] + 1);
  EXPECT_FALSE(hasCompleteContainerSignature(bmp, Target::bmp));
}

// ---------------------------------------------------------------------------
// PNG

Bytes pngOf(const std::vector<Bytes>& chunks) {
  ByteBuilder b;
  b.u8(0x89).text("PNG").u8(0x0D).u8(0x0A).u8(0x1A).u8(0x0A);
  for (const Bytes& c : chunks) b.raw(c);
  return b.build();
}

Bytes chunkOf(std::string_view type, std::size_t size) { return pngChunk(type, Bytes(size, 0)); }

TEST(PngStructure, NeedsHeaderDataAndAnExactEnd) {
  EXPECT_TRUE(completePNGStructure(pngOf({chunkOf("IHDR", 13), chunkOf("IDAT", 5), chunkOf("IEND", 0)})));
  EXPECT_TRUE(completePNGStructure(
      pngOf({chunkOf("IHDR", 13), chunkOf("tEXt", 7), chunkOf("IDAT", 5), chunkOf("IDAT", 0), chunkOf("IEND", 0)})));
  EXPECT_FALSE(completePNGStructure(pngOf({chunkOf("IHDR", 13), chunkOf("IEND", 0)})));
  EXPECT_FALSE(completePNGStructure(pngOf({chunkOf("IHDR", 12), chunkOf("IDAT", 5), chunkOf("IEND", 0)})));
  EXPECT_FALSE(completePNGStructure(pngOf({chunkOf("tEXt", 13), chunkOf("IHDR", 13), chunkOf("IDAT", 5),
                                           chunkOf("IEND", 0)})));
  EXPECT_FALSE(completePNGStructure(pngOf({chunkOf("IHDR", 13), chunkOf("IDAT", 5), chunkOf("IEND", 1)})));
  EXPECT_FALSE(completePNGStructure(pngOf({chunkOf("IHDR", 13), chunkOf("IDAT", 5)})));
  Bytes trailing = readFixture("plain.png");
  trailing.push_back(0);
  EXPECT_FALSE(completePNGStructure(trailing));
  Bytes foreign = pngOf({chunkOf("IHDR", 13), chunkOf("tEXt", 1), chunkOf("IDAT", 5), chunkOf("IEND", 0)});
  foreign[8 + 25 + 4] = 0x80;
  EXPECT_FALSE(completePNGStructure(foreign));
  // CRCs are the decoder's business, not the framing's.
  Bytes badCrc = readFixture("plain.png");
  badCrc[8 + 25 - 1] ^= 0xFF;
  EXPECT_TRUE(completePNGStructure(badCrc));
}

// ---------------------------------------------------------------------------
// BMFF

Bytes boxOf(std::string_view type, const Bytes& payload) {
  return ByteBuilder().be32(8 + payload.size()).text(type).raw(payload).build();
}

Bytes fileType(std::string_view major, const std::vector<std::string_view>& compatible) {
  ByteBuilder payload;
  payload.text(major).be32(0);
  for (const std::string_view brand : compatible) payload.text(brand);
  return boxOf("ftyp", payload.build());
}

Bytes joined(const std::vector<Bytes>& parts) {
  ByteBuilder b;
  for (const Bytes& p : parts) b.raw(p);
  return b.build();
}

const Bytes meta = boxOf("meta", Bytes(12, 0));
const Bytes mdat = boxOf("mdat", Bytes(9, 0xAB));

TEST(BmffStructure, BrandsMayBeMajorOrCompatible) {
  EXPECT_TRUE(completeBmffStructure(joined({fileType("avif", {"mif1"}), meta, mdat}), avifBrands()));
  EXPECT_TRUE(completeBmffStructure(joined({fileType("mif1", {"miaf", "avif"}), meta, mdat}), avifBrands()));
  EXPECT_TRUE(completeBmffStructure(joined({fileType("mif1", {"heix"}), mdat}), heicBrands()));
  EXPECT_FALSE(completeBmffStructure(joined({fileType("mif1", {"miaf"}), meta, mdat}), avifBrands()));
  EXPECT_FALSE(completeBmffStructure(joined({fileType("heic", {"mif1"}), meta, mdat}), avifBrands()));
  // The minor version field is not a brand.
  EXPECT_FALSE(completeBmffStructure(
      joined({boxOf("ftyp", ByteBuilder().text("mif1").text("avif").build()), meta}), avifBrands()));
}

TEST(BmffStructure, FileTypeMustComeFirstAndOnlyOnce) {
  EXPECT_FALSE(completeBmffStructure(joined({meta, fileType("avif", {}), mdat}), avifBrands()));
  EXPECT_FALSE(
      completeBmffStructure(joined({fileType("avif", {}), meta, fileType("avif", {}), mdat}), avifBrands()));
  // Size not a multiple of 4, or too short to hold the major brand and minor version.
  EXPECT_FALSE(completeBmffStructure(joined({boxOf("ftyp", ByteBuilder().text("avif").be32(0).u8(0).build()), meta}),
                                     avifBrands()));
  EXPECT_FALSE(completeBmffStructure(joined({boxOf("ftyp", ByteBuilder().text("avif").build()), meta, mdat}),
                                     avifBrands()));
}

TEST(BmffStructure, NeedsContentAndAnExactTiling) {
  EXPECT_FALSE(completeBmffStructure(joined({fileType("avif", {}), boxOf("free", Bytes(8, 0))}), avifBrands()));
  Bytes trailing = joined({fileType("avif", {}), meta, mdat});
  trailing.push_back(0);
  EXPECT_FALSE(completeBmffStructure(trailing, avifBrands()));
  Bytes overlong = joined({fileType("avif", {}), meta, mdat});
  overlong[overlong.size() - mdat.size() + 3] += 1;
  EXPECT_FALSE(completeBmffStructure(overlong, avifBrands()));
  Bytes tiny = joined({fileType("avif", {}), meta, ByteBuilder().be32(7).text("free").build()});
  EXPECT_FALSE(completeBmffStructure(tiny, avifBrands()));
  Bytes foreign = joined({fileType("avif", {}), meta, mdat});
  foreign[foreign.size() - mdat.size() + 4] = 0xEE;
  EXPECT_FALSE(completeBmffStructure(foreign, avifBrands()));
}

TEST(BmffStructure, LargeAndToEndSizes) {
  const Bytes large = ByteBuilder().be32(1).text("mdat").be64(16 + 10).fill(10, 0).build();
  EXPECT_TRUE(completeBmffStructure(joined({fileType("avif", {}), meta, large}), avifBrands()));
  const Bytes badLarge = ByteBuilder().be32(1).text("mdat").be64(15).fill(10, 0).build();
  EXPECT_FALSE(completeBmffStructure(joined({fileType("avif", {}), meta, badLarge}), avifBrands()));
  const Bytes hugeLarge = ByteBuilder().be32(1).text("mdat").be64(~std::uint64_t{0}).fill(10, 0).build();
  EXPECT_FALSE(completeBmffStructure(joined({fileType("avif", {}), meta, hugeLarge}), avifBrands()));
  // A size of 0 runs to the end of the file and ends the walk.
  const Bytes toEnd = ByteBuilder().be32(0).text("mdat").fill(30, 0).build();
  EXPECT_TRUE(completeBmffStructure(joined({fileType("avif", {}), toEnd}), avifBrands()));
}

// heif-enc stores even one tile as a grid whose record sits in "idat"; the
// hostile copy is the same file with only the record's size patched.
TEST(PrimaryItemGrid, IsReadFromTheMetaBoxOfRealFiles) {
  const std::optional<PrimaryItemGrid> heic = primaryItemGrid(readFixture("plain.heic"));
  ASSERT_TRUE(heic.has_value());
  EXPECT_TRUE(heic->isGrid);
  EXPECT_EQ(heic->width, 16u);
  EXPECT_EQ(heic->height, 16u);
  const std::optional<PrimaryItemGrid> avif = primaryItemGrid(readFixture("plain.avif"));
  ASSERT_TRUE(avif.has_value());
  EXPECT_FALSE(avif->isGrid);
  const std::optional<PrimaryItemGrid> bomb = primaryItemGrid(readFixture("../hostile/grid-65000x65000.heic"));
  ASSERT_TRUE(bomb.has_value());
  EXPECT_EQ(bomb->width, 65000u);
  EXPECT_EQ(bomb->height, 65000u);
  // Every truncation inside the meta box leaves something unreadable.
  const Bytes whole = readFixture("plain.heic");
  for (std::size_t size = 0; size < 120; ++size) {
    EXPECT_FALSE(primaryItemGrid(ByteView(whole.data(), size)).has_value()) << size;
  }
}

}  // namespace
}  // namespace quorvantelmic
