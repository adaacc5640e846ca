// A decoded request: its identifier and one payload per request operation. The
// payload alternatives stand in the order of HelperOperation, so the operation
// of a request is the index of its payload.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/helper_operation.hpp"
#include "helper_core/protocol/staging_request_arguments.hpp"

namespace quorvantelmic {

enum class MetadataPolicy { preserve, remove };

struct ConvertImageOptions {
  double quality = 1.0;
  MetadataPolicy metadataPolicy = MetadataPolicy::preserve;
  std::string orientationPolicy = "preserve";
  RasterTargetTypeIdentifier targetTypeIdentifier = RasterTargetTypeIdentifier::png;
  std::optional<std::int64_t> maximumWidth;
  std::optional<std::int64_t> maximumHeight;

  friend bool operator==(const ConvertImageOptions&, const ConvertImageOptions&) = default;
};

struct PDFRenderOptions {
  std::int64_t dpi = 144;
  std::optional<double> jpegQuality;  // JPEG page export only

  friend bool operator==(const PDFRenderOptions&, const PDFRenderOptions&) = default;
};

struct PDFCompressionOptions {
  std::int64_t dpi = 144;
  double jpegQuality = 0.6;

  friend bool operator==(const PDFCompressionOptions&, const PDFCompressionOptions&) = default;
};

struct HelperRequest {
  struct Hello {
    friend bool operator==(const Hello&, const Hello&) = default;
  };
  struct Capabilities {
    friend bool operator==(const Capabilities&, const Capabilities&) = default;
  };
  struct InspectImage {
    std::string sourcePath;
    friend bool operator==(const InspectImage&, const InspectImage&) = default;
  };
  struct ConvertImage {
    std::string sourcePath;
    std::string outputPath;
    ConvertImageOptions options;
    friend bool operator==(const ConvertImage&, const ConvertImage&) = default;
  };
  struct InspectPDF {
    std::string sourcePath;
    friend bool operator==(const InspectPDF&, const InspectPDF&) = default;
  };
  struct ImagesToPDF {
    std::vector<std::string> sourcePaths;
    std::string outputPath;
    friend bool operator==(const ImagesToPDF&, const ImagesToPDF&) = default;
  };
  struct MergePDFs {
    std::vector<std::string> sourcePaths;
    std::string outputPath;
    friend bool operator==(const MergePDFs&, const MergePDFs&) = default;
  };
  struct PDFPagesToPNG {
    std::string sourcePath;
    std::vector<std::string> outputPaths;
    PDFRenderOptions options;
    friend bool operator==(const PDFPagesToPNG&, const PDFPagesToPNG&) = default;
  };
  struct PDFPagesToJPEG {
    std::string sourcePath;
    std::vector<std::string> outputPaths;
    PDFRenderOptions options;
    friend bool operator==(const PDFPagesToJPEG&, const PDFPagesToJPEG&) = default;
  };
  struct SplitPDF {
    std::string sourcePath;
    std::vector<std::string> outputPaths;
    friend bool operator==(const SplitPDF&, const SplitPDF&) = default;
  };
  struct RotatePDFClockwise {
    std::string sourcePath;
    std::string outputPath;
    friend bool operator==(const RotatePDFClockwise&, const RotatePDFClockwise&) = default;
  };
  struct CompressPDFFlattened {
    std::string sourcePath;
    std::string outputPath;
    PDFCompressionOptions options;
    friend bool operator==(const CompressPDFFlattened&, const CompressPDFFlattened&) = default;
  };
  struct OCRPDFEnglish {
    std::string sourcePath;
    std::string outputPath;
    friend bool operator==(const OCRPDFEnglish&, const OCRPDFEnglish&) = default;
  };

  using Payload = std::variant<Hello, Capabilities, InspectImage, ConvertImage, InspectPDF, ImagesToPDF, MergePDFs,
                               PDFPagesToPNG, PDFPagesToJPEG, SplitPDF, RotatePDFClockwise, CompressPDFFlattened,
                               OCRPDFEnglish, PrepareStagingArguments, PrepareStagingSetArguments,
                               CleanupStagingArguments, CleanupStagingSetArguments, PublishOutputArguments,
                               PublishOutputSetArguments>;
  static_assert(std::variant_size_v<Payload> + 1 == helperOperationCount,
                "one payload per request operation, in operation order");

  std::string requestId;
  Payload payload;

  HelperOperation operation() const { return static_cast<HelperOperation>(payload.index()); }

  friend bool operator==(const HelperRequest&, const HelperRequest&) = default;
};

}  // namespace quorvantelmic
