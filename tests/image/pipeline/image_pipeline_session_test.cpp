// capabilities, inspect-image and convert-image through the helper executable,
// with the source and the output directory passed down as descriptors 3 and 4.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/file_identity.hpp"
#include "tests/image/pipeline/pipeline_test_support.hpp"
#include "tests/support/helper_process.hpp"

namespace quorvantelmic {
namespace {

using nlohmann::json;
using testing::fixturePath;

constexpr const char* requestId = "00000000-0000-4000-8000-00000000a001";

json request(const char* operation) {
  return json{{"operation", operation}, {"requestId", requestId}, {"protocolVersion", 4}};
}

TEST(ImagePipelineSession, CapabilitiesReportsTheFilteredListsAndTheOperations) {
  const json response = testing::runOneRequest(request("capabilities"), {});
  EXPECT_EQ(response["ok"], true);
  EXPECT_EQ(response["operation"], "capabilities");
  EXPECT_EQ(response["sourceTypeIdentifiers"],
            json::array({"com.compuserve.gif", "com.microsoft.bmp", "org.webmproject.webp", "public.avif",
                         "public.jpeg", "public.png", "public.tiff"}));
  EXPECT_EQ(response["destinationTypeIdentifiers"],
            json::array({"com.compuserve.gif", "com.microsoft.bmp", "public.avif", "public.jpeg", "public.png",
                         "public.tiff"}));
  EXPECT_EQ(response["supportedOperations"].size(), 12u);
}

TEST(ImagePipelineSession, InspectImageAnswersTheProbeOfDescriptorThree) {
  const UniqueFd source = testing::openForReading(fixturePath("pipeline/portrait-6.jpg"));
  json inspect = request("inspect-image");
  inspect["sourcePath"] = "/dev/fd/3";
  const json response = testing::runOneRequest(inspect, {{3, source.get()}});
  EXPECT_EQ(response["ok"], true) << response.dump();
  EXPECT_EQ(response["operation"], "inspect-image");
  EXPECT_EQ(response["probe"], json({{"bitDepth", 8},
                                     {"family", "image"},
                                     {"frameCount", 1},
                                     {"hasAlpha", false},
                                     {"hasAuxiliaryImages", false},
                                     {"hasHdr", false},
                                     {"hasIccProfile", false},
                                     {"hasMetadata", true},
                                     {"hasUnsupportedMetadata", false},
                                     {"height", 3000},
                                     {"orientation", 6},
                                     {"uniformTypeIdentifier", "public.jpeg"},
                                     {"width", 4000}}));
  EXPECT_FALSE(response.contains("byteLength"));
}

TEST(ImagePipelineSession, InspectImageFaultsBecomeErrorResponses) {
  const UniqueFd animated = testing::openForReading(fixturePath("pipeline/two-frames.gif"));
  json inspect = request("inspect-image");
  inspect["sourcePath"] = "/dev/fd/3";
  const json response = testing::runOneRequest(inspect, {{3, animated.get()}});
  EXPECT_EQ(response["ok"], false);
  EXPECT_EQ(response["error"], json({{"code", "resource-limit"}, {"message", "The source image exceeds the frame limit."}}));
  // A directory on descriptor 3 is a policy breach of the reader.
  testing_support::TemporaryDirectory directory;
  const UniqueFd folder(::open(directory.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const json refused = testing::runOneRequest(inspect, {{3, folder.get()}});
  EXPECT_EQ(refused["error"]["code"], "filesystem-policy");
}


json conversionRequest(const std::string& outputName, const char* target, const char* policy) {
  json convert = request("convert-image");
  convert["sourcePath"] = "/dev/fd/3";
  convert["outputPath"] = "/dev/fd/4/" + outputName;
  convert["options"] = json{{"quality", 0.85},
                            {"metadataPolicy", policy},
                            {"orientationPolicy", "preserve"},
                            {"targetTypeIdentifier", target},
                            {"maximumWidth", nullptr},
                            {"maximumHeight", nullptr}};
  return convert;
}

struct WireTarget {
  const char* identifier;
  const char* extension;
};

constexpr WireTarget wireTargets[] = {
    {"public.jpeg", "jpg"}, {"public.png", "png"},          {"public.tiff", "tiff"},
    {"public.avif", "avif"}, {"com.compuserve.gif", "gif"}, {"com.microsoft.bmp", "bmp"},
};

TEST(ImagePipelineSession, EverySourceFormatConvertsIntoEveryTargetThroughDescriptors) {
  const char* sources[] = {"images/orientation-6.jpg", "pipeline/alpha.png", "bytes/plain.tif", "images/still.avif",
                           "images/still.gif",         "images/rgb24.bmp",   "images/still.webp"};
  for (const char* source : sources) {
    testing_support::TemporaryDirectory staging;
    const UniqueFd input = testing::openForReading(fixturePath(source));
    const UniqueFd output(::open(staging.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string session;
    std::vector<std::string> names;
    for (std::size_t index = 0; index < std::size(wireTargets); ++index) {
      names.push_back("output-" + std::string(31, '0') + std::to_string(index + 1) + "." + wireTargets[index].extension);
      session += conversionRequest(names.back(), wireTargets[index].identifier, "remove").dump() + "\n";
    }
    const testing::HelperRun run = testing::runHelper(session, {{3, input.get()}, {4, output.get()}});
    ASSERT_EQ(run.exitStatus, 0) << source;
    const std::vector<json> responses = run.responses();
    ASSERT_EQ(responses.size(), std::size(wireTargets)) << source;
    for (std::size_t index = 0; index < responses.size(); ++index) {
      const json& response = responses[index];
      const std::string label = std::string(source) + " -> " + wireTargets[index].identifier;
      ASSERT_EQ(response["ok"], true) << label << ": " << response.dump();
      EXPECT_EQ(response["operation"], "convert-image");
      const std::string file = staging / names[index];
      const struct stat status = testing_support::lstatOf(file);
      EXPECT_EQ(status.st_mode & 07777, 0400u) << label;
      EXPECT_EQ(response["byteLength"], status.st_size) << label;
      const std::vector<std::uint8_t> bytes = testing_support::bytesOf(testing_support::readFile(file));
      EXPECT_EQ(response["sha256"], DescriptorDigest::sha256(bytes)) << label;
      EXPECT_EQ(testing::inspectBytes(bytes).probe.uniformTypeIdentifier, wireTargets[index].identifier) << label;
    }
  }
}

TEST(ImagePipelineSession, ConversionFaultsAnswerTheirCodeAndLeaveNothingBehind) {
  testing_support::TemporaryDirectory staging;
  const UniqueFd output(::open(staging.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::string name = "output-" + std::string(32, 'a') + ".png";
  struct Case {
    const char* source;
    json request;
    const char* code;
    const char* message;
  };
  const Case cases[] = {
      {"pipeline/two-frames.gif", conversionRequest(name, "public.png", "preserve"), "resource-limit",
       "The source image exceeds the frame limit."},
      {"images/still.heic", conversionRequest(name, "public.png", "preserve"), "unsupported-source",
       "The image type is not accepted by this static-raster operation."},
      {"pipeline/gps-exposure.jpg", conversionRequest(name, "public.jpeg", "preserve"), "invalid-request",
       "The staged output extension does not match the image target."},
      {"pipeline/gps-exposure.jpg", conversionRequest("output-" + std::string(32, 'a') + ".heic", "public.heic", "remove"),
       "unsupported-source", "HEIC output is not part of the current static-raster operation."},
      {"pipeline/bomb-10001x10000.png", conversionRequest(name, "public.png", "remove"), "resource-limit",
       "The source image exceeds the pixel limit."},
  };
  for (const Case& c : cases) {
    const UniqueFd input = testing::openForReading(fixturePath(c.source));
    const int status = std::string(c.code) == "invalid-request" ? 2 : 0;
    const json response = testing::runOneRequest(c.request, {{3, input.get()}, {4, output.get()}}, status);
    EXPECT_EQ(response["ok"], false) << c.source;
    EXPECT_EQ(response["error"], json({{"code", c.code}, {"message", c.message}})) << c.source;
    EXPECT_FALSE(response.contains("sha256"));
    EXPECT_TRUE(std::filesystem::is_empty(staging.path())) << c.source;
  }
}


json wire(const FileIdentity& identity) {
  const ProtocolFileIdentity value = identity.protocolValue();
  return json{{"device", value.device},
              {"inode", value.inode},
              {"size", value.size},
              {"modifiedSeconds", value.modifiedSeconds},
              {"modifiedNanoseconds", value.modifiedNanoseconds},
              {"statusChangedSeconds", value.statusChangedSeconds},
              {"statusChangedNanoseconds", value.statusChangedNanoseconds}};
}

// The parent's whole road: prepare a staging directory in the destination,
// convert into it through descriptor 4, publish the staged output.
TEST(ImagePipelineSession, AConvertedOutputIsPublishedIntoTheDestination) {
  testing_support::TemporaryDirectory destination;
  const std::string stagingId = "6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1b01";
  const std::string stagingName = ".quorvantelmic-stage-" + std::string(31, '0') + "7";
  const std::string outputName = "output-" + std::string(31, '0') + "9.avif";
  const UniqueFd destinationFd(::open(destination.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

  json prepare = request("prepare-staging");
  prepare["destinationPath"] = "/dev/fd/3";
  prepare["destinationIdentity"] = wire(testing_support::identityOf(destination.path().string()));
  prepare["stagingId"] = stagingId;
  prepare["stagingName"] = stagingName;
  prepare["outputName"] = outputName;
  const json prepared = testing::runOneRequest(prepare, {{3, destinationFd.get()}});
  ASSERT_EQ(prepared["ok"], true) << prepared.dump();

  const std::string stagingPath = destination / stagingName;
  const UniqueFd stagingFd(::open(stagingPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const UniqueFd source = testing::openForReading(fixturePath("pipeline/creator.jpg"));
  const json converted =
      testing::runOneRequest(conversionRequest(outputName, "public.avif", "preserve"), {{3, source.get()}, {4, stagingFd.get()}});
  ASSERT_EQ(converted["ok"], true) << converted.dump();
  const std::string staged = stagingPath + "/" + outputName;
  const std::string stagedBytes = testing_support::readFile(staged);

  json publish = request("publish-output");
  publish["destinationPath"] = "/dev/fd/3";
  publish["destinationDisplayPath"] = "/home/someone/Pictures";
  publish["destinationIdentity"] = wire(testing_support::identityOf(destination.path().string()));
  publish["stagingName"] = stagingName;
  publish["stagingId"] = stagingId;
  publish["stagingIdentity"] = wire(testing_support::identityOf(stagingPath));
  publish["ownerIdentity"] = prepared["ownerIdentity"];
  publish["outputName"] = outputName;
  publish["outputIdentity"] = wire(testing_support::identityOf(staged));
  publish["outputSha256"] = converted["sha256"];
  publish["outputBaseName"] = "Portrait";
  publish["outputExtension"] = "avif";
  const json published = testing::runOneRequest(publish, {{3, destinationFd.get()}});
  ASSERT_EQ(published["ok"], true) << published.dump();
  EXPECT_EQ(published["displayName"], "Portrait.avif");
  const std::string final = destination / "Portrait.avif";
  EXPECT_EQ(testing_support::readFile(final), stagedBytes);
  EXPECT_EQ(testing_support::lstatOf(final).st_mode & 07777, 0600u);
  EXPECT_EQ(testing::exiftoolTag(final, "XMP-dc:Creator"), "Ada Lovelace");
}

}  // namespace
}  // namespace quorvantelmic
