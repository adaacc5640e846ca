// capabilities, inspect-image and convert-image through the helper executable,
// with the source and the output directory passed down as descriptors 3 and 4.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "tests/image/pipeline/pipeline_test_support.hpp"

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

}  // namespace
}  // namespace quorvantelmic
