#include "tests/image/pipeline/pipeline_test_support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "tests/support/helper_process.hpp"

namespace quorvantelmic::testing {

std::string fixturePath(const std::string& name) {
  const std::string root = std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/";
  const auto slash = name.find('/');
  const std::string folder = name.substr(0, slash);
  const std::string leaf = name.substr(slash + 1);
  if (folder == "pipeline") return root + "image_pipeline/" + leaf;
  if (folder == "images") return root + "images/" + leaf;
  if (folder == "bytes") return root + "image_bytes/" + leaf;
  throw std::invalid_argument("unknown fixture folder " + name);
}

std::vector<std::uint8_t> fixtureBytes(const std::string& name) {
  return testing_support::bytesOf(testing_support::readFile(fixturePath(name)));
}

UniqueFd openForReading(const std::string& path) {
  UniqueFd descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!descriptor) throw std::system_error(errno, std::generic_category(), "open " + path);
  return descriptor;
}

ConversionRig::ConversionRig(const std::string& sourcePath, bool historicalHeic,
                             std::optional<std::vector<std::string>> destinationOverride)
    : source_(openForReading(sourcePath)),
      output_(::open(directory_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      operations_(SecureFileReader(source_.get()), ExclusiveOutputWriter(output_.get()), std::move(destinationOverride),
                  historicalHeic) {
  if (!output_) throw std::system_error(errno, std::generic_category(), "open output directory");
}

std::string ConversionRig::stagedPath(std::string_view extension) {
  char digits[33];
  std::snprintf(digits, sizeof digits, "%032x", ++counter_);
  return std::string("/dev/fd/4/output-") + digits + "." + std::string(extension);
}

std::string ConversionRig::filePath(const std::string& stagedPath) const {
  return directory_ / stagedPath.substr(std::string("/dev/fd/4/").size());
}

std::vector<std::string> ConversionRig::entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory_.path())) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

ConvertedImage ConversionRig::convert(const ConvertImageOptions& options, std::string* writtenFile) {
  const std::string path = stagedPath(rawValue(outputExtension(options.targetTypeIdentifier)));
  ConvertedImage result = operations_.convertImage("/dev/fd/3", path, options);
  if (writtenFile != nullptr) *writtenFile = filePath(path);
  return result;
}

ConvertImageOptions optionsFor(RasterTargetTypeIdentifier target, MetadataPolicy policy) {
  ConvertImageOptions options;
  options.quality = 0.9;
  options.metadataPolicy = policy;
  options.targetTypeIdentifier = target;
  return options;
}

InspectedImage inspectBytes(const std::vector<std::uint8_t>& bytes) { return ImageInspector().inspect(bytes, true); }

std::string exiftoolTag(const std::string& path, const std::string& tag) {
  const std::string command = "exiftool -q -q -n -s3 -" + tag + " '" + path + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) throw std::runtime_error("cannot run exiftool");
  std::string output;
  std::array<char, 256> buffer{};
  while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), pipe.get()) != nullptr) output += buffer.data();
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

nlohmann::json runOneRequest(const nlohmann::json& request, const std::map<int, int>& descriptors,
                             int expectedStatus) {
  const HelperRun run = runHelper(request.dump() + "\n", descriptors);
  EXPECT_EQ(run.exitStatus, expectedStatus) << run.standardError;
  EXPECT_EQ(run.standardError, "");
  const std::vector<nlohmann::json> responses = run.responses();
  if (responses.size() != 1) {
    ADD_FAILURE() << "expected one response, got " << responses.size();
    return nlohmann::json::object();
  }
  return responses[0];
}

}  // namespace quorvantelmic::testing
