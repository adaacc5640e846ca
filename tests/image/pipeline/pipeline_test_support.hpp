// Fixtures, real descriptors and output directories for the image pipeline tests.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/image/image_operations.hpp"
#include <nlohmann/json.hpp>

#include "tests/file_access/file_test_support.hpp"

namespace quorvantelmic::testing {

// "pipeline/<name>" is tests/fixtures/image_pipeline, "images/<name>" and
// "bytes/<name>" the shared fixture folders.
std::string fixturePath(const std::string& name);
std::vector<std::uint8_t> fixtureBytes(const std::string& name);

UniqueFd openForReading(const std::string& path);

// A staging-like directory (0700) opened as the output descriptor, and a
// source opened as the input descriptor, with ImageOperations over both.
class ConversionRig {
 public:
  explicit ConversionRig(const std::string& sourcePath, bool historicalHeic = false,
                         std::optional<std::vector<std::string>> destinationOverride = std::nullopt);

  const ImageOperations& operations() const { return operations_; }
  // "/dev/fd/4/output-<32 hex>.<ext>", a fresh name each call.
  std::string stagedPath(std::string_view extension);
  // The staged file behind a path from stagedPath().
  std::string filePath(const std::string& stagedPath) const;
  std::vector<std::string> entries() const;
  ConvertedImage convert(const ConvertImageOptions& options, std::string* writtenFile = nullptr);

  int sourceDescriptor() const { return source_.get(); }
  int outputDescriptor() const { return output_.get(); }
  const testing_support::TemporaryDirectory& directory() const { return directory_; }

 private:
  testing_support::TemporaryDirectory directory_;
  UniqueFd source_;
  UniqueFd output_;
  ImageOperations operations_;
  int counter_ = 0;
};

ConvertImageOptions optionsFor(RasterTargetTypeIdentifier target, MetadataPolicy policy = MetadataPolicy::preserve);

// The inspection of a file's bytes with pixels decoded.
InspectedImage inspectBytes(const std::vector<std::uint8_t>& bytes);

// exiftool's reading of one tag ("-n" numeric), empty when absent.
std::string exiftoolTag(const std::string& path, const std::string& tag);

// Runs the real helper with one request line and descriptors 3 and 4; the
// session ends with `expectedStatus` (2 after an invalid-request answer).
nlohmann::json runOneRequest(const nlohmann::json& request, const std::map<int, int>& descriptors,
                             int expectedStatus = 0);

}  // namespace quorvantelmic::testing
