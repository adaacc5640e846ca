// WebP through libwebp: the demuxer for frames and the ICCP, EXIF and XMP
// chunks, the animation decoder for frame 0 of an animation, the plain
// decoder straight into the image buffer for a still.
#include <cstring>

#include <webp/decode.h>
#include <webp/demux.h>

#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/image/platform/pixels.hpp"

namespace quorvantelmic::detail {
namespace {

struct DemuxDeleter {
  void operator()(WebPDemuxer* demuxer) const noexcept { WebPDemuxDelete(demuxer); }
};
struct AnimDecoderDeleter {
  void operator()(WebPAnimDecoder* decoder) const noexcept { WebPAnimDecoderDelete(decoder); }
};

ImageBytes chunk(WebPDemuxer* demuxer, const char* fourcc) {
  WebPChunkIterator iterator;
  ImageBytes data;
  if (WebPDemuxGetChunk(demuxer, fourcc, 1, &iterator) != 0) {
    data.assign(iterator.chunk.bytes, iterator.chunk.bytes + iterator.chunk.size);
    WebPDemuxReleaseChunkIterator(&iterator);
  }
  return data;
}

class WebpDecoder final : public FormatDecoder {
 public:
  WebpDecoder(SharedBytes bytes, WebPDemuxer* demuxer, const WebPBitstreamFeatures& features) : bytes_(std::move(bytes)) {
    description_.typeIdentifier = "org.webmproject.webp";
    animated_ = features.has_animation != 0;
    description_.frameCount = animated_ ? WebPDemuxGetI(demuxer, WEBP_FF_FRAME_COUNT) : 1;
    description_.width = animated_ ? WebPDemuxGetI(demuxer, WEBP_FF_CANVAS_WIDTH) : static_cast<std::size_t>(features.width);
    description_.height = animated_ ? WebPDemuxGetI(demuxer, WEBP_FF_CANVAS_HEIGHT) : static_cast<std::size_t>(features.height);
    description_.storedBitDepth = 8;
    description_.hasAlpha = features.has_alpha != 0;
    description_.iccProfile = chunk(demuxer, "ICCP");
    ImageBytes exif = chunk(demuxer, "EXIF");
    // Some writers keep the JPEG-style "Exif\0\0" prefix inside the chunk.
    if (exif.size() >= 6 && std::memcmp(exif.data(), "Exif\0\0", 6) == 0) exif.erase(exif.begin(), exif.begin() + 6);
    description_.exifBlob = std::move(exif);
    description_.xmpPacket = chunk(demuxer, "XMP ");
  }

  std::optional<DecodedImage> decodeFrame0() const override {
    const std::size_t channels = description_.hasAlpha || animated_ ? 4 : 3;
    const std::size_t rowBytes = description_.width * channels;
    auto pixels = allocatePixels(rowBytes * description_.height);
    if (!pixels) return std::nullopt;
    if (animated_) {
      WebPAnimDecoderOptions options;
      if (WebPAnimDecoderOptionsInit(&options) == 0) return std::nullopt;
      options.color_mode = MODE_RGBA;
      options.use_threads = 0;
      WebPData data{bytes_->data(), bytes_->size()};
      std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter> decoder(WebPAnimDecoderNew(&data, &options));
      if (!decoder) return std::nullopt;
      std::uint8_t* frame = nullptr;
      int timestamp = 0;
      if (WebPAnimDecoderGetNext(decoder.get(), &frame, &timestamp) == 0 || frame == nullptr) return std::nullopt;
      std::memcpy(pixels->data(), frame, pixels->size());
    } else {
      const bool ok = channels == 4
                          ? WebPDecodeRGBAInto(bytes_->data(), bytes_->size(), pixels->data(), pixels->size(),
                                               static_cast<int>(rowBytes)) != nullptr
                          : WebPDecodeRGBInto(bytes_->data(), bytes_->size(), pixels->data(), pixels->size(),
                                              static_cast<int>(rowBytes)) != nullptr;
      if (!ok) return std::nullopt;
    }
    std::shared_ptr<const ColorSpace> space;
    if (!description_.iccProfile.empty()) space = ColorSpace::createWithIccData(description_.iccProfile);
    if (!space || space->model() != ColorSpaceModel::rgb) space = ColorSpace::deviceRgb();
    return DecodedImage(description_.width, description_.height, 8, rowBytes,
                        channels == 4 ? ImageAlphaInfo::last : ImageAlphaInfo::none, std::move(space), std::move(pixels));
  }

 private:
  SharedBytes bytes_;
  bool animated_ = false;
};

}  // namespace

bool sniffWebp(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 && std::memcmp(bytes.data() + 8, "WEBP", 4) == 0;
}

std::unique_ptr<FormatDecoder> createWebpDecoder(const SharedBytes& bytes) {
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(bytes->data(), bytes->size(), &features) != VP8_STATUS_OK) return nullptr;
  WebPData data{bytes->data(), bytes->size()};
  std::unique_ptr<WebPDemuxer, DemuxDeleter> demuxer(WebPDemux(&data));
  if (!demuxer) return nullptr;
  auto decoder = std::make_unique<WebpDecoder>(bytes, demuxer.get(), features);
  if (decoder->description().width == 0 || decoder->description().height == 0 || decoder->description().frameCount == 0) {
    return nullptr;
  }
  return decoder;
}

}  // namespace quorvantelmic::detail
