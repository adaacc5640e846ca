// Every numeric limit of the helper. Maxima are inclusive: a maximum itself is
// allowed, one more is refused. Nothing here is configurable at run time.
#pragma once

#include <cstdint>

namespace quorvantelmic {

struct HelperLimits {
  HelperLimits() = delete;

  static constexpr std::int64_t maximumProtocolLineBytes = 65536;
  static constexpr std::int64_t maximumProtocolSessionBytes = 8388608;
  static constexpr std::int64_t maximumProtocolRequests = 512;
  static constexpr std::int64_t maximumResponseBytes = 262144;
  static constexpr std::int64_t maximumSourceBytes = 536870912;
  static constexpr std::int64_t maximumOutputBytes = 536870912;
  static constexpr std::int64_t maximumPixels = 100000000;
  static constexpr std::int64_t maximumFrames = 1;
  static constexpr std::int64_t maximumResizeDimension = 1000000;
  static constexpr std::int64_t maximumPathUTF8Bytes = 4096;
  static constexpr std::int64_t maximumOutputBaseNameUTF8Bytes = 160;
  static constexpr std::int64_t maximumPDFSourceBytes = 536870912;
  static constexpr std::int64_t maximumPDFAggregateSourceBytes = 536870912;
  static constexpr std::int64_t maximumPDFObjects = 100000;
  static constexpr std::int64_t maximumPDFPages = 1000;
  static constexpr std::int64_t maximumOutputSetFiles = 96;
  static constexpr std::int64_t maximumPDFImageSources = 500;
  static constexpr std::int64_t maximumPDFMergeSources = 64;
  static constexpr double maximumPDFPagePoints = 14400.0;
  static constexpr std::int64_t maximumPDFPagePixels = 32768;
  static constexpr std::int64_t maximumPDFRenderDimension = 32768;
  static constexpr std::int64_t maximumPDFRenderPixels = 100000000;
  static constexpr std::int64_t maximumPDFAggregatePixels = 250000000;
  static constexpr std::int64_t minimumPDFRenderDPI = 36;
  static constexpr std::int64_t maximumPDFRenderDPI = 300;
  static constexpr double minimumPDFJPEGQuality = 0.6;
  static constexpr double maximumPDFJPEGQuality = 0.95;
  static constexpr std::int64_t minimumPDFCompressionDPI = 36;
  static constexpr std::int64_t maximumPDFCompressionDPI = 200;
  static constexpr double minimumPDFCompressionQuality = 0.35;
  static constexpr double maximumPDFCompressionQuality = 0.85;
  static constexpr std::int64_t ocrPDFDPI = 144;
  static constexpr double ocrPDFJPEGQuality = 0.95;
  static constexpr std::int64_t maximumOCRLinesPerPage = 4096;
  static constexpr std::int64_t maximumOCRLineBytes = 2048;
  static constexpr std::int64_t maximumOCRTextBytesPerPage = 1048576;

  // Not a wire limit: the quality range of image conversion.
  static constexpr double minimumImageQuality = 0.6;
  static constexpr double maximumImageQuality = 1.0;
};

}  // namespace quorvantelmic
