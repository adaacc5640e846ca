// Decoding and encoding a 12-megapixel photo through the image platform layer
// against the same library driven directly, and AVIF encoding at the chosen
// speed against the fastest and the codec's default speed.
#include <benchmark/benchmark.h>

#include <avif/avif.h>
#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <unistd.h>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/image/platform/image_platform.hpp"

namespace {

using quorvantelmic::ColorSpace;
using quorvantelmic::DecodedImage;
using quorvantelmic::ImageAlphaInfo;
using quorvantelmic::ImageBytes;
using quorvantelmic::ImageDestination;
namespace ImagePropertyKey = quorvantelmic::ImagePropertyKey;
using quorvantelmic::ImageSource;
using quorvantelmic::PropertyDictionary;
using quorvantelmic::PropertyKey;
using quorvantelmic::PropertyValue;

constexpr std::size_t photoWidth = 4000;
constexpr std::size_t photoHeight = 3000;

// A photo-like picture: smooth gradients with a few hard edges and a little
// grain, so that every encoder has real work to do.
const DecodedImage& photo() {
  static const DecodedImage image = [] {
    auto pixels = std::make_shared<ImageBytes>(photoWidth * photoHeight * 3);
    std::uint32_t noise = 2463534242U;
    for (std::size_t y = 0; y < photoHeight; ++y) {
      for (std::size_t x = 0; x < photoWidth; ++x) {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        const double fx = static_cast<double>(x) / photoWidth;
        const double fy = static_cast<double>(y) / photoHeight;
        const int grain = static_cast<int>(noise % 9) - 4;
        const bool edge = ((x / 400) + (y / 300)) % 2 == 0;
        std::uint8_t* p = pixels->data() + (y * photoWidth + x) * 3;
        p[0] = static_cast<std::uint8_t>(std::clamp(static_cast<int>(200 * fx + 30 * std::sin(fy * 20)) + grain, 0, 255));
        p[1] = static_cast<std::uint8_t>(std::clamp(static_cast<int>(180 * fy + (edge ? 40 : 0)) + grain, 0, 255));
        p[2] = static_cast<std::uint8_t>(std::clamp(static_cast<int>(120 + 100 * std::cos(fx * 9)) + grain, 0, 255));
      }
    }
    return DecodedImage(photoWidth, photoHeight, 8, photoWidth * 3, ImageAlphaInfo::none, ColorSpace::deviceRgb(), pixels);
  }();
  return image;
}

PropertyDictionary properties(double quality) {
  PropertyDictionary dictionary;
  dictionary.set(PropertyKey(std::string(ImagePropertyKey::orientation)), PropertyValue::number(1));
  dictionary.set(PropertyKey(std::string(quorvantelmic::ImageDestinationOption::lossyCompressionQuality)),
                 PropertyValue::number(quality));
  return dictionary;
}

ImageBytes layerEncode(const std::string& type) {
  std::optional<ImageDestination> destination = ImageDestination::createWithData(type, 1);
  if (!destination) throw std::runtime_error("no destination");
  destination->addImage(photo(), properties(0.9));
  if (!destination->finalize()) throw std::runtime_error("encode failed");
  return destination->takeData();
}

const ImageBytes& encoded(const std::string& type) {
  static std::map<std::string, ImageBytes> cache;
  auto found = cache.find(type);
  if (found != cache.end()) return found->second;
  ImageBytes bytes;
  if (type == "org.webmproject.webp") {
    std::uint8_t* output = nullptr;
    const std::size_t size = WebPEncodeRGB(photo().pixels().data(), static_cast<int>(photoWidth), static_cast<int>(photoHeight),
                                           static_cast<int>(photoWidth * 3), 90, &output);
    bytes.assign(output, output + size);
    WebPFree(output);
  } else {
    bytes = layerEncode(type);
  }
  return cache.emplace(type, std::move(bytes)).first->second;
}

// --- through the layer ------------------------------------------------------

void decodeThroughLayer(benchmark::State& state, const std::string& type) {
  const ImageBytes& bytes = encoded(type);
  for (auto _ : state) {
    // The caller hands over the bytes it read; making that copy is not the
    // layer's work.
    state.PauseTiming();
    ImageBytes input = bytes;
    state.ResumeTiming();
    std::optional<ImageSource> source = ImageSource::createWithData(std::move(input));
    std::optional<DecodedImage> image = source->createImageAtIndex(0);
    if (!image) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(image->pixels().data());
  }
  state.counters["bytes"] = static_cast<double>(bytes.size());
}

// Creating the source and reading its properties: everything but the pixels.
void describeThroughLayer(benchmark::State& state, const std::string& type) {
  const ImageBytes& bytes = encoded(type);
  for (auto _ : state) {
    state.PauseTiming();
    ImageBytes input = bytes;
    state.ResumeTiming();
    std::optional<ImageSource> source = ImageSource::createWithData(std::move(input));
    benchmark::DoNotOptimize(source->copyPropertiesAtIndex(0));
  }
}

void encodeThroughLayer(benchmark::State& state, const std::string& type) {
  for (auto _ : state) {
    ImageBytes bytes = layerEncode(type);
    benchmark::DoNotOptimize(bytes.data());
    state.counters["bytes"] = static_cast<double>(bytes.size());
  }
}

// --- the libraries driven directly ------------------------------------------

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};
[[noreturn]] void jpegFail(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }

void decodeJpegDirect(benchmark::State& state) {
  const ImageBytes& bytes = encoded("public.jpeg");
  for (auto _ : state) {
    ImageBytes pixels(photoWidth * photoHeight * 3);
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegFail;
    if (setjmp(error.jump) != 0) {
      jpeg_destroy_decompress(&info);
      state.SkipWithError("jpeg");
      break;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), bytes.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    info.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&info);
    while (info.output_scanline < info.output_height) {
      JSAMPROW row = pixels.data() + std::size_t{info.output_scanline} * photoWidth * 3;
      jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    benchmark::DoNotOptimize(pixels.data());
  }
}

void encodeJpegDirect(benchmark::State& state) {
  for (auto _ : state) {
    jpeg_compress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegFail;
    unsigned char* output = nullptr;
    unsigned long size = 0;
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &output, &size);
    info.image_width = photoWidth;
    info.image_height = photoHeight;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    for (int i = 0; i < info.num_components; ++i) info.comp_info[i].h_samp_factor = info.comp_info[i].v_samp_factor = 1;
    info.dct_method = JDCT_ISLOW;
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
      JSAMPROW row = const_cast<JSAMPROW>(photo().pixels().data() + std::size_t{info.next_scanline} * photoWidth * 3);
      jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    ImageBytes bytes(output, output + size);
    std::free(output);
    benchmark::DoNotOptimize(bytes.data());
  }
}

void decodePngDirect(benchmark::State& state) {
  const ImageBytes& bytes = encoded("public.png");
  for (auto _ : state) {
    ImageBytes pixels(photoWidth * photoHeight * 3);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    png_image_begin_read_from_memory(&image, bytes.data(), bytes.size());
    image.format = PNG_FORMAT_RGB;
    png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
    png_image_free(&image);
    benchmark::DoNotOptimize(pixels.data());
  }
}

void encodePngDirect(benchmark::State& state) {
  for (auto _ : state) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = photoWidth;
    image.height = photoHeight;
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, photo().pixels().data(), 0, nullptr);
    ImageBytes bytes(size);
    png_image_write_to_memory(&image, bytes.data(), &size, 0, photo().pixels().data(), 0, nullptr);
    benchmark::DoNotOptimize(bytes.data());
  }
}

void decodeTiffDirect(benchmark::State& state) {
  const ImageBytes& bytes = encoded("public.tiff");
  char path[] = "/tmp/qv-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    state.SkipWithError("temporary file");
    return;
  }
  close(fd);
  for (auto _ : state) {
    ImageBytes pixels(photoWidth * photoHeight * 3);
    TIFF* tiff = TIFFOpen(path, "rm");
    std::size_t offset = 0;
    for (tstrip_t strip = 0; strip < TIFFNumberOfStrips(tiff); ++strip) {
      offset += static_cast<std::size_t>(
          TIFFReadEncodedStrip(tiff, strip, pixels.data() + offset, static_cast<tmsize_t>(pixels.size() - offset)));
    }
    TIFFClose(tiff);
    benchmark::DoNotOptimize(pixels.data());
  }
  unlink(path);
}

void encodeTiffDirect(benchmark::State& state) {
  char path[] = "/tmp/qv-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("temporary file");
    return;
  }
  close(fd);
  ImageBytes row(photoWidth * 3);
  for (auto _ : state) {
    TIFF* tiff = TIFFOpen(path, "w");
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(photoWidth));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(photoHeight));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, 6);
    TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
    for (std::size_t y = 0; y < photoHeight; ++y) {
      std::memcpy(row.data(), photo().pixels().data() + y * photoWidth * 3, row.size());
      TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0);
    }
    TIFFClose(tiff);
  }
  unlink(path);
}

void decodeWebpDirect(benchmark::State& state) {
  const ImageBytes& bytes = encoded("org.webmproject.webp");
  for (auto _ : state) {
    ImageBytes pixels(photoWidth * photoHeight * 3);
    WebPDecodeRGBInto(bytes.data(), bytes.size(), pixels.data(), pixels.size(), static_cast<int>(photoWidth * 3));
    benchmark::DoNotOptimize(pixels.data());
  }
}

void decodeAvifDirect(benchmark::State& state) {
  const ImageBytes& bytes = encoded("public.avif");
  for (auto _ : state) {
    ImageBytes pixels(photoWidth * photoHeight * 3);
    avifDecoder* decoder = avifDecoderCreate();
    decoder->codecChoice = AVIF_CODEC_CHOICE_DAV1D;
    decoder->maxThreads = 1;
    avifImage* image = avifImageCreateEmpty();
    avifDecoderReadMemory(decoder, image, bytes.data(), bytes.size());
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    rgb.format = AVIF_RGB_FORMAT_RGB;
    rgb.depth = 8;
    rgb.pixels = pixels.data();
    rgb.rowBytes = static_cast<std::uint32_t>(photoWidth * 3);
    avifImageYUVToRGB(image, &rgb);
    avifImageDestroy(image);
    avifDecoderDestroy(decoder);
    benchmark::DoNotOptimize(pixels.data());
  }
}

void encodeAvifDirect(benchmark::State& state) {
  for (auto _ : state) {
    avifImage* image = avifImageCreate(photoWidth, photoHeight, 8, AVIF_PIXEL_FORMAT_YUV444);
    image->yuvRange = AVIF_RANGE_FULL;
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    rgb.format = AVIF_RGB_FORMAT_RGB;
    rgb.pixels = const_cast<std::uint8_t*>(photo().pixels().data());
    rgb.rowBytes = static_cast<std::uint32_t>(photoWidth * 3);
    avifImageRGBToYUV(image, &rgb);
    avifEncoder* encoder = avifEncoderCreate();
    encoder->codecChoice = AVIF_CODEC_CHOICE_AOM;
    encoder->maxThreads = 1;
    encoder->speed = quorvantelmic::detail::avifEncoderSpeed;
    encoder->minQuantizer = encoder->maxQuantizer = 6;
    avifRWData output = AVIF_DATA_EMPTY;
    avifEncoderWrite(encoder, image, &output);
    benchmark::DoNotOptimize(output.data);
    avifRWDataFree(&output);
    avifEncoderDestroy(encoder);
    avifImageDestroy(image);
  }
}

void encodeAvifAtSpeed(benchmark::State& state) {
  const int speed = static_cast<int>(state.range(0));
  for (auto _ : state) {
    quorvantelmic::detail::EncodeRequest request{photo(), 1, 0.9, nullptr, {}};
    std::optional<ImageBytes> bytes = quorvantelmic::detail::encodeAvifAtSpeed(request, speed);
    if (!bytes) state.SkipWithError("avif");
    state.counters["bytes"] = bytes ? static_cast<double>(bytes->size()) : 0;
  }
}

void decodeGifDirect(benchmark::State& state) {
  const ImageBytes& bytes = encoded("com.compuserve.gif");
  struct Reader {
    const ImageBytes* bytes;
    std::size_t offset;
  };
  for (auto _ : state) {
    Reader reader{&bytes, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, [](GifFileType* file, GifByteType* out, int length) {
      auto* r = static_cast<Reader*>(file->UserData);
      const std::size_t count = std::min(static_cast<std::size_t>(length), r->bytes->size() - r->offset);
      std::memcpy(out, r->bytes->data() + r->offset, count);
      r->offset += count;
      return static_cast<int>(count);
    }, &error);
    DGifSlurp(gif);
    benchmark::DoNotOptimize(gif->SavedImages[0].RasterBits);
    DGifCloseFile(gif, &error);
  }
}

}  // namespace

BENCHMARK_CAPTURE(decodeThroughLayer, jpeg, std::string("public.jpeg"))->Unit(benchmark::kMillisecond);
BENCHMARK(decodeJpegDirect)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeThroughLayer, png, std::string("public.png"))->Unit(benchmark::kMillisecond);
BENCHMARK(decodePngDirect)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeThroughLayer, tiff, std::string("public.tiff"))->Unit(benchmark::kMillisecond);
BENCHMARK(decodeTiffDirect)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeThroughLayer, webp, std::string("org.webmproject.webp"))->Unit(benchmark::kMillisecond);
BENCHMARK(decodeWebpDirect)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeThroughLayer, avif, std::string("public.avif"))->Unit(benchmark::kMillisecond);
BENCHMARK(decodeAvifDirect)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeThroughLayer, gif, std::string("com.compuserve.gif"))->Unit(benchmark::kMillisecond);
BENCHMARK(decodeGifDirect)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeThroughLayer, bmp, std::string("com.microsoft.bmp"))->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(describeThroughLayer, jpeg, std::string("public.jpeg"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(describeThroughLayer, png, std::string("public.png"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(describeThroughLayer, tiff, std::string("public.tiff"))->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(encodeThroughLayer, jpeg, std::string("public.jpeg"))->Unit(benchmark::kMillisecond);
BENCHMARK(encodeJpegDirect)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeThroughLayer, png, std::string("public.png"))->Unit(benchmark::kMillisecond);
BENCHMARK(encodePngDirect)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeThroughLayer, tiff, std::string("public.tiff"))->Unit(benchmark::kMillisecond);
BENCHMARK(encodeTiffDirect)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeThroughLayer, avif, std::string("public.avif"))->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(encodeAvifDirect)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(encodeThroughLayer, gif, std::string("com.compuserve.gif"))->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(encodeThroughLayer, bmp, std::string("com.microsoft.bmp"))->Unit(benchmark::kMillisecond);
BENCHMARK(encodeAvifAtSpeed)->Arg(AVIF_SPEED_DEFAULT)->Arg(6)->Arg(8)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
