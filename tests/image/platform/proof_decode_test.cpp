// The proof decodes that check encoded outputs without holding their frames:
// on damaged copies of real files (every output format as this layer writes
// it, and the interlaced and tiled layouts other tools write) a proof fails
// exactly when the full decode fails, and otherwise reports the shape the
// full decode has.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tests/image/platform/fixture_support.hpp"

namespace quorvantelmic {
namespace {

using testing::openFixture;
using testing::readFixture;

ImageBytes encoded(const std::string& type, const DecodedImage& image) {
  std::optional<ImageDestination> destination = ImageDestination::createWithData(type, 1);
  if (!destination) return {};
  destination->addImage(image, {});
  if (!destination->finalize()) return {};
  return destination->takeData();
}

std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xffffffffU;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320U & (0U - (crc & 1U)));
  }
  return ~crc;
}

// Every PNG chunk's CRC made right again, so that damage inside a chunk
// reaches the inflating and unfiltering instead of stopping at the CRC.
void refreshPngCrcs(ImageBytes& png) {
  std::size_t offset = 8;
  while (offset + 12 <= png.size()) {
    const std::size_t length = (std::size_t{png[offset]} << 24) | (std::size_t{png[offset + 1]} << 16) |
                               (std::size_t{png[offset + 2]} << 8) | png[offset + 3];
    if (length > png.size() - offset - 12) return;
    const std::uint32_t crc = crc32Of(png.data() + offset + 4, length + 4);
    for (int i = 0; i < 4; ++i) png[offset + 8 + length + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    offset += length + 12;
  }
}

std::uint32_t little32(const ImageBytes& bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} | (std::uint32_t{bytes[at + 1]} << 8) | (std::uint32_t{bytes[at + 2]} << 16) |
         (std::uint32_t{bytes[at + 3]} << 24);
}

// A little-endian TIFF whose last strip or tile (LONG offsets) is moved past
// the end of the file; empty when the first directory has no such array.
ImageBytes withLastBlockMissing(ImageBytes tiff) {
  if (tiff.size() < 8 || tiff[0] != 'I') return {};
  const std::size_t directory = little32(tiff, 4);
  const std::size_t entries = tiff[directory] | (std::size_t{tiff[directory + 1]} << 8);
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t entry = directory + 2 + 12 * i;
    const unsigned tag = tiff[entry] | (unsigned{tiff[entry + 1]} << 8);
    const unsigned type = tiff[entry + 2] | (unsigned{tiff[entry + 3]} << 8);
    const std::size_t count = little32(tiff, entry + 4);
    if ((tag != 273 && tag != 324) || type != 4 || count < 2) continue;
    const std::size_t last = little32(tiff, entry + 8) + 4 * (count - 1);
    const std::uint32_t beyond = static_cast<std::uint32_t>(tiff.size() + 4096);
    for (int b = 0; b < 4; ++b) tiff[last + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(beyond >> (8 * b));
    return tiff;
  }
  return {};
}

struct Verdicts {
  int decoded = 0;
  int refused = 0;
};

// The full decode and the proof of `bytes` agree; a JPEG's full decode is
// the one at 1/8 that its proof stands for.
void expectProofAgrees(const ImageBytes& bytes, const std::string& what, Verdicts& verdicts) {
  const std::optional<ImageSource> source = ImageSource::createWithData(bytes);
  if (!source) return;  // damage in the header: nothing to decode
  const bool jpeg = source->type() == "public.jpeg";
  const std::optional<DecodedImage> full = source->createImageAtIndex(0, jpeg ? 1 : 0);
  const std::optional<DecodedFrameShape> proof = source->proveImageAtIndex(0);
  ASSERT_EQ(full.has_value(), proof.has_value()) << what;
  if (!full) {
    ++verdicts.refused;
    return;
  }
  ++verdicts.decoded;
  EXPECT_EQ(proof->width, full->width()) << what;
  EXPECT_EQ(proof->height, full->height()) << what;
  EXPECT_EQ(proof->bitsPerComponent, full->bitsPerComponent()) << what;
  EXPECT_EQ(proof->alphaInfo, full->alphaInfo()) << what;
  ASSERT_TRUE(proof->colorSpace && full->colorSpace()) << what;
  EXPECT_EQ(proof->colorSpace->name(), full->colorSpace()->name()) << what;
}

TEST(ProofDecode, FailsExactlyWhenTheFullDecodeFails) {
  const DecodedImage photo = *openFixture("photo-640x480.jpg").createImageAtIndex(0);
  struct Case {
    std::string name;
    ImageBytes bytes;
  };
  std::vector<Case> cases = {
      {"png output", encoded("public.png", photo)},
      {"tiff output", encoded("public.tiff", photo)},
      {"gif output", encoded("com.compuserve.gif", photo)},
      {"bmp output", encoded("com.microsoft.bmp", photo)},
      {"jpeg output", encoded("public.jpeg", photo)},
      {"interlaced png", readFixture("debian-pngtest-interlaced.png")},
      {"tiled tiff", readFixture("tiled-deflate.tiff")},
      {"interlaced gif", readFixture("interlaced.gif")},
      {"rle8 bmp", readFixture("palette-rle8.bmp")},
      {"avif output", encoded("public.avif", photo)},
      {"grey avif with alpha", encoded("public.avif", *openFixture("gray-alpha.png").createImageAtIndex(0))},
      {"10-bit avif", readFixture("hdr-pq.avif")},
  };
  for (const Case& item : cases) {
    ASSERT_FALSE(item.bytes.empty()) << item.name;
    const bool png = item.name.find("png") != std::string::npos;
    Verdicts verdicts;
    expectProofAgrees(item.bytes, item.name + " whole", verdicts);
    ASSERT_EQ(verdicts.decoded, 1) << item.name;
    // Cut at 12 points and one byte changed at 24 points, spread over the
    // file past its first 64 bytes (the headers, which both share).
    const std::size_t body = item.bytes.size() - 64;
    Verdicts cuts;
    for (std::size_t step = 1; step <= 12; ++step) {
      const ImageBytes cut(item.bytes.begin(), item.bytes.begin() + static_cast<std::ptrdiff_t>(64 + body * step / 13));
      expectProofAgrees(cut, item.name + " cut " + std::to_string(step), cuts);
    }
    // A file cut short never decodes, whether or not its header still opens.
    EXPECT_EQ(cuts.decoded, 0) << item.name;
    for (std::size_t step = 1; step <= 24; ++step) {
      ImageBytes changed = item.bytes;
      changed[64 + body * step / 25] ^= 0x5a;
      if (png) refreshPngCrcs(changed);
      expectProofAgrees(changed, item.name + " byte " + std::to_string(step), verdicts);
    }
    if (png) {
      // The last byte of the zlib stream's checksum, and then the end
      // chunk's CRC, which only reading on to the end chunk checks.
      ImageBytes changed = item.bytes;
      std::size_t offset = 8;
      std::size_t lastImageDataEnd = 0;
      while (offset + 12 <= changed.size()) {
        const std::size_t length = (std::size_t{changed[offset]} << 24) | (std::size_t{changed[offset + 1]} << 16) |
                                   (std::size_t{changed[offset + 2]} << 8) | changed[offset + 3];
        if (std::string(changed.begin() + static_cast<std::ptrdiff_t>(offset + 4),
                        changed.begin() + static_cast<std::ptrdiff_t>(offset + 8)) == "IDAT") {
          lastImageDataEnd = offset + 8 + length;
        }
        offset += length + 12;
      }
      ASSERT_GT(lastImageDataEnd, 0u) << item.name;
      changed[lastImageDataEnd - 1] ^= 0x01;
      refreshPngCrcs(changed);
      Verdicts checksum;
      expectProofAgrees(changed, item.name + " checksum", checksum);
      ImageBytes badEnd = item.bytes;
      badEnd.back() ^= 0x01;
      expectProofAgrees(badEnd, item.name + " end chunk", checksum);
      EXPECT_EQ(checksum.refused, 2) << item.name;
    }
    if (item.name.find("tiff") != std::string::npos) {
      const ImageBytes lastMissing = withLastBlockMissing(item.bytes);
      ASSERT_FALSE(lastMissing.empty()) << item.name;
      Verdicts missing;
      expectProofAgrees(lastMissing, item.name + " without its last block", missing);
      EXPECT_EQ(missing.refused, 1) << item.name;
    }
    // AV1 carries no checksum: in a frame as large as the photo's, a changed
    // byte decodes to other pixels, and libavif refuses a cut file as soon
    // as it is opened. The smaller AVIFs above meet refusals all the same.
    if (item.name != "avif output") {
      EXPECT_GT(verdicts.refused + cuts.refused, 0) << item.name;
    }
  }
}

// The AVIF proof converts only its first rows to RGB: frames of one row,
// one pixel and odd sizes, with and without alpha, prove as they decode.
TEST(ProofDecode, SmallAndOddAvifFramesProveAsTheyDecode) {
  for (const auto& [width, height] : {std::pair<std::size_t, std::size_t>{1, 1}, {3, 1}, {1, 3}, {5, 3}, {7, 9}}) {
    for (const bool alpha : {false, true}) {
      const std::size_t channels = alpha ? 4 : 3;
      auto pixels = std::make_shared<ImageBytes>(width * height * channels);
      for (std::size_t i = 0; i < pixels->size(); ++i) (*pixels)[i] = static_cast<std::uint8_t>(i * 37 + 11);
      const DecodedImage image(width, height, 8, width * channels, alpha ? ImageAlphaInfo::last : ImageAlphaInfo::none,
                               ColorSpace::deviceRgb(), pixels);
      const std::string what = std::to_string(width) + " x " + std::to_string(height) + (alpha ? " with alpha" : "");
      const ImageBytes avif = encoded("public.avif", image);
      ASSERT_FALSE(avif.empty()) << what;
      Verdicts verdicts;
      expectProofAgrees(avif, what, verdicts);
      EXPECT_EQ(verdicts.decoded, 1) << what;
    }
  }
}

}  // namespace
}  // namespace quorvantelmic
