// The JPEG data a PDF page embeds as it is: the same pixels as the source,
// none of its metadata, and nothing for a JPEG that does not qualify.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <jpeglib.h>

#include <gtest/gtest.h>

#include "helper_core/image/jpeg_metadata_removal.hpp"
#include "tests/image/image_bytes_test_support.hpp"

namespace quorvantelmic {
namespace {

using testing_bytes::Bytes;

Bytes fixture(const std::string& path) {
  std::FILE* file = std::fopen((std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/" + path).c_str(), "rb");
  if (file == nullptr) throw std::runtime_error("missing fixture " + path);
  Bytes bytes;
  unsigned char buffer[65536];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.insert(bytes.end(), buffer, buffer + got);
  std::fclose(file);
  return bytes;
}

struct Failure {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};
void fail(j_common_ptr info) { std::longjmp(reinterpret_cast<Failure*>(info->err)->jump, 1); }
void quiet(j_common_ptr, int) {}

// libjpeg's decode of the whole image; empty when it fails.
Bytes pixelsOf(const Bytes& jpeg) {
  jpeg_decompress_struct info;
  Failure failure;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = fail;
  failure.manager.emit_message = quiet;
  Bytes pixels;
  if (setjmp(failure.jump)) {
    jpeg_destroy_decompress(&info);
    return {};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  const std::size_t rowBytes = static_cast<std::size_t>(info.output_width) * info.output_components;
  pixels.resize(rowBytes * info.output_height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = pixels.data() + info.output_scanline * rowBytes;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return pixels;
}

bool contains(const Bytes& bytes, std::string_view text) {
  return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

TEST(JpegMetadataRemoval, KeepsThePixelsAndDropsEveryMetadataSegment) {
  // A progressive photo with EXIF GPS, XMP, IPTC and a comment.
  const Bytes source = fixture("pdf/images/photo-gps.jpg");
  ASSERT_TRUE(contains(source, "Exif") && contains(source, "Ada Lovelace") && contains(source, "holiday comment"));
  const std::optional<StrippedJpeg> stripped = jpegWithoutMetadata(source);
  ASSERT_TRUE(stripped);
  EXPECT_EQ(stripped->width, 320);
  EXPECT_EQ(stripped->height, 240);
  EXPECT_EQ(stripped->components, 3);
  EXPECT_LT(stripped->data.size(), source.size());
  for (const char* text : {"Exif", "GPS", "Ada Lovelace", "Tower", "holiday comment", "Photoshop", "JFIF"}) {
    EXPECT_FALSE(contains(stripped->data, text)) << text;
  }
  const Bytes before = pixelsOf(source);
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(pixelsOf(stripped->data), before);

  // A baseline photo with an orientation and a big quality table set.
  const Bytes baseline = fixture("image_pipeline/gps-exposure.jpg");
  const std::optional<StrippedJpeg> plain = jpegWithoutMetadata(baseline);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(contains(plain->data, "Exif"));
  EXPECT_EQ(pixelsOf(plain->data), pixelsOf(baseline));
}

TEST(JpegMetadataRemoval, EndsAtTheFirstEndOfImageAndAcceptsFillBytes) {
  const Bytes source = fixture("pdf/images/photo-gps.jpg");
  const Bytes expected = jpegWithoutMetadata(source)->data;
  // A secondary image or any trailer after the end marker is left out.
  Bytes trailed = source;
  const Bytes second = fixture("images/orientation-1.jpg");
  trailed.insert(trailed.end(), second.begin(), second.end());
  ASSERT_TRUE(jpegWithoutMetadata(trailed));
  EXPECT_EQ(jpegWithoutMetadata(trailed)->data, expected);
  // Fill bytes before a marker belong to the marker.
  Bytes filled = source;
  filled.insert(filled.begin() + 2, {0xFF, 0xFF, 0xFF});
  ASSERT_TRUE(jpegWithoutMetadata(filled));
  EXPECT_EQ(jpegWithoutMetadata(filled)->data, expected);
}

TEST(JpegMetadataRemoval, RefusesWhatAReaderCouldNotShowAsTheSamePixels) {
  // Four components (CMYK) are not a PDF page's colour.
  EXPECT_FALSE(jpegWithoutMetadata(fixture("images/cmyk.jpg")));
  // Not a JPEG, and a JPEG cut anywhere before its end marker.
  EXPECT_FALSE(jpegWithoutMetadata(Bytes{}));
  EXPECT_FALSE(jpegWithoutMetadata(fixture("images/orientation-1.png")));
  const Bytes source = fixture("pdf/images/photo-gps.jpg");
  for (std::size_t cut = 0; cut + 2 < source.size(); cut += 97) {
    EXPECT_FALSE(jpegWithoutMetadata(Bytes(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(cut))))
        << cut;
  }
  // A segment length that runs past the end.
  Bytes overlong = {0xFF, 0xD8, 0xFF, 0xDB, 0xFF, 0xF0, 0x00};
  EXPECT_FALSE(jpegWithoutMetadata(overlong));
  // An arithmetic-coded frame header (SOF9).
  testing_bytes::ByteBuilder arithmetic;
  arithmetic.u8(0xFF).u8(0xD8).u8(0xFF).u8(0xC9).be16(11).u8(8).be16(8).be16(8).u8(1).u8(1).u8(0x11).u8(0);
  arithmetic.u8(0xFF).u8(0xD9);
  EXPECT_FALSE(jpegWithoutMetadata(arithmetic.build()));
}

}  // namespace
}  // namespace quorvantelmic
