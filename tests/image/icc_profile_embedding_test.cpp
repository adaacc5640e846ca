#include "helper_core/image/container_structure.hpp"
#include "helper_core/image/embedded_icc_profile.hpp"
#include "helper_core/image/icc_profile_embedding.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/image/image_bytes_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

// The embedders are checked against the reference decoders, which inflate the
// profile chunk, verify its CRC and reassemble APP2 segments on their own.
#include <jpeglib.h>
#include <png.h>

namespace quorvantelmic {
namespace {

using testing_bytes::ByteBuilder;
using testing_bytes::Bytes;
using testing_bytes::readFixture;

Bytes textBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A profile of the given size: the real sRGB profile, repeated, with its
// header's size field set to the new size (decoders read that many bytes).
Bytes profileOfSize(std::size_t size) {
  const Bytes real = readFixture("profile.icc");
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = real[i % real.size()];
  for (std::size_t i = 0; i < 4 && i < size; ++i) out[i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  return out;
}

void expectFault(const std::function<void()>& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "expected the fault: " << message;
  } catch (const HelperFault& fault) {
    EXPECT_EQ(fault.code(), HelperErrorCode::encodeFailed);
    EXPECT_EQ(fault.message(), message);
  }
}

// ---------------------------------------------------------------------------
// libpng reading from memory

struct PngReading {
  bool decoded = false;
  bool hasProfile = false;
  std::string profileName;
  Bytes profile;
  bool hasSrgb = false;
  unsigned width = 0;
};

struct MemoryReader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t position;
};

void pngReadFromMemory(png_structp png, png_bytep out, png_size_t count) {
  auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (count > reader->size - reader->position) png_error(png, "read past the end");
  std::memcpy(out, reader->data + reader->position, count);
  reader->position += count;
}

void pngIgnoreWarning(png_structp, png_const_charp) {}
void pngFail(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// Everything with a destructor lives outside this frame, so the jump back
// from an error skips nothing.
void decodePng(const Bytes& bytes, PngReading& result) {
  MemoryReader reader{bytes.data(), bytes.size(), 0};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngIgnoreWarning);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return;
  }
  png_set_read_fn(png, &reader, pngReadFromMemory);
  png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_charp name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  png_uint_32 profileLength = 0;
  if (png_get_iCCP(png, info, &name, &compression, &profile, &profileLength) != 0) {
    result.hasProfile = true;
    result.profileName = name;
    result.profile.assign(profile, profile + profileLength);
  }
  int intent = 0;
  result.hasSrgb = png_get_sRGB(png, info, &intent) != 0;
  result.width = png_get_image_width(png, info);
  result.decoded = true;
  png_destroy_read_struct(&png, &info, nullptr);
}

// ---------------------------------------------------------------------------
// libjpeg reading from memory

struct JpegFailure {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

void jpegFail(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegFailure*>(info->err)->jump, 1); }
void jpegIgnoreMessage(j_common_ptr, int) {}

struct JpegReading {
  bool decoded = false;
  bool hasProfile = false;
  Bytes profile;
  // Owned by the decoder's allocator until freed; kept outside the decoding
  // frame so that its value survives a jump back from an error.
  JOCTET* rawProfile = nullptr;
};

void decodeJpeg(const Bytes& bytes, JpegReading& result) {
  jpeg_decompress_struct info;
  JpegFailure failure;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = jpegFail;
  failure.manager.emit_message = jpegIgnoreMessage;
  if (setjmp(failure.jump)) {
    std::free(result.rawProfile);
    result.rawProfile = nullptr;
    jpeg_destroy_decompress(&info);
    return;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&info, TRUE);
  unsigned int profileLength = 0;
  if (jpeg_read_icc_profile(&info, &result.rawProfile, &profileLength)) {
    result.hasProfile = true;
    result.profile.assign(result.rawProfile, result.rawProfile + profileLength);
  }
  jpeg_start_decompress(&info);
  JSAMPLE row[4096 * 4];
  JSAMPROW rows[1] = {row};
  while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, rows, 1);
  jpeg_finish_decompress(&info);
  result.decoded = true;
  std::free(result.rawProfile);
  result.rawProfile = nullptr;
  jpeg_destroy_decompress(&info);
}

// ---------------------------------------------------------------------------
// Known answers

TEST(Crc32, MatchesTheReferenceValues) {
  EXPECT_EQ(crc32(Bytes{}), 0x00000000u);
  EXPECT_EQ(crc32(textBytes("IEND")), 0xAE426082u);
  EXPECT_EQ(crc32(textBytes("123456789")), 0xCBF43926u);
}

TEST(PngChunk, FramesLengthTypePayloadAndCrc) {
  EXPECT_EQ(pngChunk("IEND", Bytes{}), (Bytes{0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}));
  const Bytes chunk = pngChunk("tEXt", textBytes(std::string_view("a\0b", 3)));
  ASSERT_EQ(chunk.size(), 15u);
  EXPECT_EQ(Bytes(chunk.begin(), chunk.begin() + 4), (Bytes{0, 0, 0, 3}));
  const std::uint32_t crc = crc32(Bytes(chunk.begin() + 4, chunk.begin() + 11));
  EXPECT_EQ(Bytes(chunk.end() - 4, chunk.end()), (Bytes{static_cast<std::uint8_t>(crc >> 24),
                                                        static_cast<std::uint8_t>(crc >> 16),
                                                        static_cast<std::uint8_t>(crc >> 8),
                                                        static_cast<std::uint8_t>(crc)}));
  expectFault([] { pngChunk("IDA", Bytes{}); }, "The color profile cannot be embedded in the PNG safely.");
}

TEST(ZlibStoredData, EmptyAndSmallInputsMatchKnownStreams) {
  EXPECT_EQ(zlibStoredData(Bytes{}), (Bytes{0x78, 0x01, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01}));
  // The same stream Python's zlib.compress(b"abc", 0) writes.
  EXPECT_EQ(zlibStoredData(textBytes("abc")),
            (Bytes{0x78, 0x01, 0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c', 0x02, 0x4D, 0x01, 0x27}));
}

TEST(ZlibStoredData, SplitsIntoBlocksOfAtMost65535Bytes) {
  Bytes data(65536);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 % 251);
  const Bytes stream = zlibStoredData(data);
  ASSERT_EQ(stream.size(), 2 + 5 + 65535 + 5 + 1 + 4u);
  EXPECT_EQ(Bytes(stream.begin() + 2, stream.begin() + 7), (Bytes{0x00, 0xFF, 0xFF, 0x00, 0x00}));
  EXPECT_EQ(Bytes(stream.begin() + 7 + 65535, stream.begin() + 12 + 65535), (Bytes{0x01, 0x01, 0x00, 0xFE, 0xFF}));
  EXPECT_EQ(stream[12 + 65535], data.back());
  // Adler-32 of this pattern, from Python's zlib.adler32.
  EXPECT_EQ(Bytes(stream.end() - 4, stream.end()), (Bytes{0x03, 0xDE, 0x03, 0x53}));
}

// ---------------------------------------------------------------------------
// JPEG embedding

struct App2Segment {
  std::size_t offset;
  std::size_t lengthField;
  int sequence;
  int total;
  Bytes piece;
};

// Reads the consecutive APP2 ICC segments that follow the start of image.
std::vector<App2Segment> leadingIccSegments(const Bytes& jpeg) {
  std::vector<App2Segment> segments;
  std::size_t p = 2;
  while (p + 18 <= jpeg.size() && jpeg[p] == 0xFF && jpeg[p + 1] == 0xE2 &&
         std::memcmp(jpeg.data() + p + 4, "ICC_PROFILE\0", 12) == 0) {
    const std::size_t length = std::size_t{jpeg[p + 2]} << 8 | jpeg[p + 3];
    segments.push_back({p, length, jpeg[p + 16], jpeg[p + 17],
                        Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(p + 18),
                              jpeg.begin() + static_cast<std::ptrdiff_t>(p + 2 + length))});
    p += 2 + length;
  }
  return segments;
}

TEST(JpegIccEmbedding, OneSegmentRightAfterStartOfImage) {
  const Bytes jpeg = readFixture("plain.jpg");
  const Bytes profile = profileOfSize(3144);
  const Bytes out = jpegByEmbeddingIccProfile(profile, jpeg);
  const std::vector<App2Segment> segments = leadingIccSegments(out);
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].offset, 2u);
  EXPECT_EQ(segments[0].lengthField, 3160u);
  EXPECT_EQ(segments[0].sequence, 1);
  EXPECT_EQ(segments[0].total, 1);
  EXPECT_EQ(segments[0].piece, profile);
  ASSERT_EQ(out.size(), jpeg.size() + 2 + 3160);
  EXPECT_TRUE(std::equal(jpeg.begin() + 2, jpeg.end(), out.begin() + 2 + 2 + 3160));
  EXPECT_TRUE(jpegContainsEmbeddedIccProfile(out));
}

TEST(JpegIccEmbedding, ProfilesAreCutInto65519BytePieces) {
  const Bytes jpeg = readFixture("plain.jpg");
  const std::vector<App2Segment> exact = leadingIccSegments(jpegByEmbeddingIccProfile(profileOfSize(65519), jpeg));
  ASSERT_EQ(exact.size(), 1u);
  EXPECT_EQ(exact[0].lengthField, 65535u);

  const Bytes profile = profileOfSize(65520);
  const std::vector<App2Segment> split = leadingIccSegments(jpegByEmbeddingIccProfile(profile, jpeg));
  ASSERT_EQ(split.size(), 2u);
  EXPECT_EQ(split[0].piece.size(), 65519u);
  EXPECT_EQ(split[1].piece.size(), 1u);
  EXPECT_EQ(split[0].sequence, 1);
  EXPECT_EQ(split[1].sequence, 2);
  EXPECT_EQ(split[0].total, 2);
  EXPECT_EQ(split[1].total, 2);
  EXPECT_EQ(split[1].piece[0], profile.back());
}

TEST(JpegIccEmbedding, TheLargestProfileTakes255Segments) {
  const Bytes jpeg = readFixture("plain.jpg");
  const Bytes largest = profileOfSize(16707345);
  const std::vector<App2Segment> segments = leadingIccSegments(jpegByEmbeddingIccProfile(largest, jpeg));
  ASSERT_EQ(segments.size(), 255u);
  EXPECT_EQ(segments.back().sequence, 255);
  EXPECT_EQ(segments.back().total, 255);
  EXPECT_EQ(segments.back().lengthField, 65535u);
  expectFault([&] { jpegByEmbeddingIccProfile(profileOfSize(16707346), jpeg); },
              "The color profile cannot be embedded in the JPEG safely.");
}

TEST(JpegIccEmbedding, RefusesEmptyProfilesAndNonJpegInput) {
  const Bytes jpeg = readFixture("plain.jpg");
  const std::string message = "The color profile cannot be embedded in the JPEG safely.";
  expectFault([&] { jpegByEmbeddingIccProfile(Bytes{}, jpeg); }, message);
  expectFault([&] { jpegByEmbeddingIccProfile(profileOfSize(10), Bytes{0xFF}); }, message);
  expectFault([&] { jpegByEmbeddingIccProfile(profileOfSize(10), readFixture("plain.png")); }, message);
  // Two bytes are enough: the rest is copied as it is.
  EXPECT_EQ(jpegByEmbeddingIccProfile(Bytes{7}, Bytes{0xFF, 0xD8}).size(), 2 + 2 + 16 + 1u);
}

TEST(JpegIccEmbedding, TheDecoderReassemblesTheProfileAndStillDecodes) {
  const Bytes jpeg = readFixture("plain.jpg");
  for (const std::size_t size : {std::size_t{2576}, std::size_t{150000}}) {
    const Bytes profile = size == 2576 ? readFixture("profile.icc") : profileOfSize(size);
    JpegReading reading;
    decodeJpeg(jpegByEmbeddingIccProfile(profile, jpeg), reading);
    EXPECT_TRUE(reading.decoded) << size;
    EXPECT_TRUE(reading.hasProfile) << size;
    EXPECT_EQ(reading.profile, profile) << size;
  }
}

// ---------------------------------------------------------------------------
// PNG embedding

std::vector<std::string> chunkTypes(const Bytes& png) {
  std::vector<std::string> types;
  for (std::size_t p = 8; p + 12 <= png.size();) {
    const std::size_t length = std::size_t{png[p]} << 24 | std::size_t{png[p + 1]} << 16 |
                               std::size_t{png[p + 2]} << 8 | png[p + 3];
    types.emplace_back(reinterpret_cast<const char*>(png.data() + p + 4), 4);
    p += length + 12;
  }
  return types;
}

// Inserts a chunk after the first chunk (IHDR) of a PNG.
Bytes withChunkAfterHeader(const Bytes& png, const Bytes& chunk) {
  Bytes out(png.begin(), png.begin() + 8 + 25);
  out.insert(out.end(), chunk.begin(), chunk.end());
  out.insert(out.end(), png.begin() + 8 + 25, png.end());
  return out;
}

TEST(PngIccEmbedding, TheDecoderInflatesTheProfileAndAcceptsEveryCrc) {
  const Bytes profile = readFixture("profile.icc");
  const Bytes out = pngByEmbeddingIccProfile(profile, readFixture("plain.png"));
  PngReading reading;
  decodePng(out, reading);
  EXPECT_TRUE(reading.decoded);
  ASSERT_TRUE(reading.hasProfile);
  EXPECT_EQ(reading.profileName, "Quorvantelmic ICC");
  EXPECT_EQ(reading.profile, profile);
  EXPECT_EQ(reading.width, 16u);
  EXPECT_TRUE(completePNGStructure(out));
  EXPECT_TRUE(pngContainsEmbeddedIccProfile(out));
  // The size grows by the profile, one stored block, the zlib framing, the
  // name and method bytes, and the chunk framing.
  EXPECT_EQ(out.size(), readFixture("plain.png").size() + profile.size() + 5 + 2 + 4 + 19 + 12);
}

TEST(PngIccEmbedding, PngcheckAcceptsTheOutput) {
  if (std::system("command -v pngcheck >/dev/null 2>&1") != 0) GTEST_SKIP() << "pngcheck is not installed";
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("image-bytes-" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  const std::filesystem::path file = directory / "embedded.png";
  const Bytes out = pngByEmbeddingIccProfile(readFixture("profile.icc"), readFixture("plain.png"));
  {
    std::ofstream stream(file, std::ios::binary);
    stream.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  }
  const std::string command = "pngcheck -q '" + file.string() + "' >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::filesystem::remove_all(directory);
}

TEST(PngIccEmbedding, OldProfileAndSrgbChunksAreReplacedByOneProfileAfterTheHeader) {
  // The fixture already carries an iCCP chunk; add an sRGB chunk as well.
  const Bytes source = withChunkAfterHeader(readFixture("profile.png"), pngChunk("sRGB", Bytes{0}));
  const std::vector<std::string> sourceTypes = chunkTypes(source);
  ASSERT_EQ(std::count(sourceTypes.begin(), sourceTypes.end(), "iCCP"), 1);
  ASSERT_EQ(std::count(sourceTypes.begin(), sourceTypes.end(), "sRGB"), 1);
  const Bytes newProfile = profileOfSize(70000);  // two stored blocks
  const Bytes out = pngByEmbeddingIccProfile(newProfile, source);
  const std::vector<std::string> types = chunkTypes(out);
  ASSERT_GE(types.size(), 3u);
  EXPECT_EQ(types[0], "IHDR");
  EXPECT_EQ(types[1], "iCCP");
  EXPECT_EQ(std::count(types.begin(), types.end(), "iCCP"), 1);
  EXPECT_EQ(std::count(types.begin(), types.end(), "sRGB"), 0);
  PngReading reading;
  decodePng(out, reading);
  EXPECT_TRUE(reading.decoded);
  EXPECT_FALSE(reading.hasSrgb);
  EXPECT_EQ(reading.profile, newProfile);
}

TEST(PngIccEmbedding, RefusesStreamsItCannotRewriteSafely) {
  const Bytes profile = readFixture("profile.icc");
  const Bytes png = readFixture("plain.png");
  expectFault([&] { pngByEmbeddingIccProfile(profile, readFixture("plain.jpg")); },
              "The color profile cannot be embedded in the PNG safely.");
  expectFault([&] { pngByEmbeddingIccProfile(Bytes{}, png); },
              "The color profile cannot be embedded in the PNG safely.");
  // Cut in the middle of the IDAT chunk.
  expectFault([&] { pngByEmbeddingIccProfile(profile, Bytes(png.begin(), png.begin() + 60)); },
              "The encoded PNG chunk stream is invalid.");
  // Cut just before IEND: every chunk is whole, but the end is missing.
  expectFault([&] { pngByEmbeddingIccProfile(profile, Bytes(png.begin(), png.end() - 12)); },
              "The encoded PNG is incomplete.");
  expectFault([&] { pngByEmbeddingIccProfile(profile, Bytes(png.begin(), png.begin() + 8)); },
              "The encoded PNG is incomplete.");
  Bytes foreignType = png;
  foreignType[8 + 4] = 0xC9;
  expectFault([&] { pngByEmbeddingIccProfile(profile, foreignType); }, "The encoded PNG chunk type is invalid.");
  const Bytes header(png.begin() + 8, png.begin() + 8 + 25);
  expectFault([&] { pngByEmbeddingIccProfile(profile, withChunkAfterHeader(png, header)); },
              "The encoded PNG has duplicate headers.");
}

// Decoders take the header from the first chunk and stop at IEND, so a
// profile put after a header that comes late, or after the end, is never read.
// header-after-end.png, found by fuzzing, starts with an old iCCP chunk and an
// IEND and only then carries IHDR: it used to come back "embedded" with the
// new profile after that late header.
TEST(PngIccEmbedding, RefusesStreamsWhoseProfileNoDecoderWouldRead) {
  const Bytes profile = readFixture("profile.icc");
  expectFault([&] { pngByEmbeddingIccProfile(profile, readFixture("header-after-end.png")); },
              "The encoded PNG chunk stream is invalid.");
  const Bytes png = readFixture("plain.png");
  const Bytes text = pngChunk("tEXt", textBytes(std::string_view("Comment\0late", 12)));
  Bytes textFirst(png.begin(), png.begin() + 8);
  textFirst.insert(textFirst.end(), text.begin(), text.end());
  textFirst.insert(textFirst.end(), png.begin() + 8, png.end());
  expectFault([&] { pngByEmbeddingIccProfile(profile, textFirst); }, "The encoded PNG chunk stream is invalid.");
  Bytes afterEnd = png;
  afterEnd.insert(afterEnd.end(), text.begin(), text.end());
  expectFault([&] { pngByEmbeddingIccProfile(profile, afterEnd); }, "The encoded PNG chunk stream is invalid.");
  // The same chunk before IEND is kept and the profile still lands after IHDR.
  const Bytes out = pngByEmbeddingIccProfile(profile, withChunkAfterHeader(png, text));
  EXPECT_TRUE(completePNGStructure(out));
  const std::vector<std::string> types = chunkTypes(out);
  ASSERT_GE(types.size(), 3u);
  EXPECT_EQ(types[1], "iCCP");
  EXPECT_EQ(types[2], "tEXt");
}

// Whatever a damaged PNG or JPEG looks like, an embedding either refuses it
// with encode-failed or returns bytes in which the new profile is found.
TEST(IccEmbedding, DamagedInputsAreRefusedOrCarryTheProfile) {
  const Bytes profile = readFixture("profile.icc");
  std::mt19937 random(20261209);
  for (const char* file : {"plain.png", "profile.png", "plain.jpg", "profile.jpg"}) {
    const Bytes original = readFixture(file);
    const bool isPng = std::string(file).ends_with(".png");
    for (int round = 0; round < 400; ++round) {
      Bytes damaged = original;
      const int flips = 1 + static_cast<int>(random() % 4);
      for (int i = 0; i < flips; ++i) damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
      if (round % 3 == 0) damaged.resize(random() % damaged.size());
      try {
        const Bytes out = isPng ? pngByEmbeddingIccProfile(profile, damaged) : jpegByEmbeddingIccProfile(profile, damaged);
        EXPECT_TRUE(isPng ? pngContainsEmbeddedIccProfile(out) : jpegContainsEmbeddedIccProfile(out)) << file;
      } catch (const HelperFault& fault) {
        EXPECT_EQ(fault.code(), HelperErrorCode::encodeFailed);
      }
    }
  }
}

TEST(IccEmbedding, EveryPrefixOfAPngIsRefusedButTheWholeFile) {
  const Bytes profile = readFixture("profile.icc");
  const Bytes png = readFixture("profile.png");
  for (std::size_t length = 0; length < png.size(); ++length) {
    const Bytes prefix(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_THROW(pngByEmbeddingIccProfile(profile, prefix), HelperFault) << length;
  }
  EXPECT_NO_THROW(pngByEmbeddingIccProfile(profile, png));
}

}  // namespace
}  // namespace quorvantelmic
