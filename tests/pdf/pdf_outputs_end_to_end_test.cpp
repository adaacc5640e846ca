// The PDF operations that write outputs, through the real helper binary: a
// staging directory prepared by the helper, the outputs written into it from
// sources on inherited descriptors (pages rendered from a PDF, or a PDF built
// from images), and the result published into the destination.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/unique_fd.hpp"
#include "tests/file_access/file_test_support.hpp"
#include "tests/pdf/pdf_test_support.hpp"
#include "tests/support/helper_process.hpp"

namespace quorvantelmic {
namespace {

using nlohmann::json;
using testing::runHelper;
using testing_support::entriesOf;
using testing_support::identityOf;
using testing_support::openOrThrow;
using testing_support::readFile;

const std::string stagingId = "7c0e5a52-4d1b-4f7e-9a3c-2b1d0e9f8a71";
const std::string stagingName = ".quorvantelmic-stage-0f1e2d3c4b5a69788796a5b4c3d2e1f0";

std::string staged(int index, const std::string& extension) {
  char hex[33] = {};
  std::snprintf(hex, sizeof hex, "%032x", index);
  return std::string("output-") + hex + "." + extension;
}

json wire(const ProtocolFileIdentity& identity) {
  return json{{"device", identity.device},
              {"inode", identity.inode},
              {"size", identity.size},
              {"modifiedSeconds", identity.modifiedSeconds},
              {"modifiedNanoseconds", identity.modifiedNanoseconds},
              {"statusChangedSeconds", identity.statusChangedSeconds},
              {"statusChangedNanoseconds", identity.statusChangedNanoseconds}};
}

json envelope(const char* operation, int serial) {
  char id[37] = {};
  std::snprintf(id, sizeof id, "5d1c9e20-3b4a-4c6d-8e7f-%012d", serial);
  return json{{"protocolVersion", 4}, {"requestId", id}, {"operation", operation}};
}

json singleResponse(const testing::HelperRun& run, int exitStatus = 0) {
  EXPECT_EQ(run.exitStatus, exitStatus);
  EXPECT_EQ(run.standardError, "");
  const std::vector<json> responses = run.responses();
  EXPECT_EQ(responses.size(), 1u);
  return responses.empty() ? json() : responses[0];
}

class PDFOutputsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(destination().c_str(), 0700), 0);
    destination_ = openOrThrow(destination(), O_RDONLY | O_DIRECTORY);
  }

  std::string destination() const { return root_ / "destination"; }
  std::string staging() const { return destination() + "/" + stagingName; }
  json destinationIdentity() const { return wire(identityOf(destination()).protocolValue()); }

  // prepare-staging for one output, through descriptor 3 on the destination.
  json prepareOne(const std::string& name) {
    json request = envelope("prepare-staging", 1);
    request["destinationPath"] = "/dev/fd/3";
    request["destinationIdentity"] = destinationIdentity();
    request["stagingId"] = stagingId;
    request["stagingName"] = stagingName;
    request["outputName"] = name;
    json prepared = singleResponse(runHelper(request.dump() + "\n", {{3, destination_.get()}}));
    EXPECT_EQ(prepared["ok"], true) << prepared.dump();
    return prepared;
  }

  // images-to-pdf with the images on descriptors 3, 5, 6, … and the staging
  // directory on descriptor 4.
  json imagesToPDF(const std::vector<std::string>& images, const std::string& name) {
    std::vector<UniqueFd> sources;
    std::map<int, int> descriptors;
    json request = envelope("images-to-pdf", 2);
    request["sourcePaths"] = json::array();
    int number = 3;
    for (const std::string& image : images) {
      sources.push_back(openOrThrow(pdf_testing::fixturePath("images/" + image), O_RDONLY));
      descriptors[number] = sources.back().get();
      request["sourcePaths"].push_back("/dev/fd/" + std::to_string(number));
      number = number == 3 ? 5 : number + 1;
    }
    const UniqueFd stagingDirectory = openOrThrow(staging(), O_RDONLY | O_DIRECTORY);
    descriptors[4] = stagingDirectory.get();
    request["outputPath"] = "/dev/fd/4/" + name;
    return singleResponse(runHelper(request.dump() + "\n", descriptors));
  }

  // prepare-staging-set for `names`, through descriptor 3 on the destination.
  json prepare(const std::vector<std::string>& names) {
    json request = envelope("prepare-staging-set", 1);
    request["destinationPath"] = "/dev/fd/3";
    request["destinationIdentity"] = destinationIdentity();
    request["stagingId"] = stagingId;
    request["stagingName"] = stagingName;
    request["outputNames"] = names;
    json prepared = singleResponse(runHelper(request.dump() + "\n", {{3, destination_.get()}}));
    EXPECT_EQ(prepared["ok"], true) << prepared.dump();
    return prepared;
  }

  // One rendering request with the source on `sourceDescriptor` and the
  // staging directory on descriptor 4.
  json render(const char* operation, const std::string& fixture, int sourceDescriptor,
              const std::vector<std::string>& names, const json& options, int exitStatus = 0) {
    const UniqueFd source = openOrThrow(pdf_testing::fixturePath(fixture), O_RDONLY);
    const UniqueFd stagingDirectory = openOrThrow(staging(), O_RDONLY | O_DIRECTORY);
    json request = envelope(operation, 2);
    request["sourcePath"] = "/dev/fd/" + std::to_string(sourceDescriptor);
    request["outputPaths"] = json::array();
    for (const std::string& name : names) request["outputPaths"].push_back("/dev/fd/4/" + name);
    request["options"] = options;
    return singleResponse(
        runHelper(request.dump() + "\n", {{sourceDescriptor, source.get()}, {4, stagingDirectory.get()}}),
        exitStatus);
  }

  // publish-output-set of the staged names under "<base> <n>" names.
  json publish(const json& prepared, const std::vector<std::string>& names, const std::vector<std::string>& sha256,
               const std::string& base, const std::string& extension) {
    json request = envelope("publish-output-set", 3);
    request["destinationPath"] = "/dev/fd/3";
    request["destinationDisplayPath"] = "/home/me/Documents";
    request["destinationIdentity"] = destinationIdentity();
    request["stagingName"] = stagingName;
    request["stagingId"] = stagingId;
    // The parent stats what it was told about: the staging directory and each
    // staged output, whose digests the render response reported.
    request["stagingIdentity"] = wire(identityOf(staging()).protocolValue());
    request["ownerIdentity"] = prepared["ownerIdentity"];
    request["outputs"] = json::array();
    for (std::size_t i = 0; i < names.size(); ++i) {
      request["outputs"].push_back(json{{"outputName", names[i]},
                                        {"outputIdentity", wire(identityOf(staging() + "/" + names[i]).protocolValue())},
                                        {"outputSha256", sha256[i]},
                                        {"outputBaseName", base + " " + std::to_string(i + 1)},
                                        {"outputExtension", extension}});
    }
    return singleResponse(runHelper(request.dump() + "\n", {{3, destination_.get()}}));
  }

  testing_support::TemporaryDirectory root_;
  UniqueFd destination_;
};

TEST_F(PDFOutputsEndToEnd, PNGPagesAreRenderedStagedAndPublished) {
  const std::vector<std::string> names = {staged(1, "png"), staged(2, "png"), staged(3, "png")};
  const json prepared = prepare(names);

  const json rendered = render("pdf-pages-to-png", "text-pages.pdf", 3, names, json{{"dpi", 144}});
  ASSERT_EQ(rendered["ok"], true) << rendered.dump();
  EXPECT_EQ(rendered["operation"], "pdf-pages-to-png");
  EXPECT_FALSE(rendered.contains("pdfProbe"));
  ASSERT_EQ(rendered["outputs"].size(), 3u);
  std::vector<std::string> digests;
  for (std::size_t i = 0; i < 3; ++i) {
    const json& record = rendered["outputs"][i];
    const std::string bytes = readFile(staging() + "/" + names[i]);
    EXPECT_EQ(record["index"], i);
    EXPECT_EQ(record["byteLength"], bytes.size());
    EXPECT_EQ(record["sha256"], DescriptorDigest::sha256(testing_support::bytesOf(bytes)));
    // 1224 × 1584 in the IHDR chunk.
    ASSERT_GT(bytes.size(), 24u);
    EXPECT_EQ(bytes.substr(16, 8), std::string("\0\0\x04\xc8\0\0\x06\x30", 8));
    digests.push_back(record["sha256"]);
  }

  const json published = publish(prepared, names, digests, "Report page", "png");
  ASSERT_EQ(published["ok"], true) << published.dump();
  EXPECT_EQ(published["operation"], "publish-output-set");
  EXPECT_EQ(entriesOf(destination()),
            (std::set<std::string>{stagingName, "Report page 1.png", "Report page 2.png", "Report page 3.png"}));
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string bytes = readFile(destination() + "/Report page " + std::to_string(i + 1) + ".png");
    EXPECT_EQ(DescriptorDigest::sha256(testing_support::bytesOf(bytes)), digests[i]);
  }
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json"}));
}

TEST_F(PDFOutputsEndToEnd, JPEGPagesFromAFurtherDescriptorArePublished) {
  std::vector<std::string> jpg;
  for (int i = 1; i <= 6; ++i) jpg.push_back(staged(i, "jpg"));
  const json prepared = prepare(jpg);

  const json rendered =
      render("pdf-pages-to-jpeg", "rotations.pdf", 5, jpg, json{{"dpi", 150}, {"jpegQuality", 0.6}});
  ASSERT_EQ(rendered["ok"], true) << rendered.dump();
  EXPECT_EQ(rendered["operation"], "pdf-pages-to-jpeg");
  ASSERT_EQ(rendered["outputs"].size(), 6u);
  std::vector<std::string> digests;
  for (const json& record : rendered["outputs"]) digests.push_back(record["sha256"]);

  const json published = publish(prepared, jpg, digests, "Turned", "jpg");
  ASSERT_EQ(published["ok"], true) << published.dump();
  for (int i = 1; i <= 6; ++i) {
    const std::string bytes = readFile(destination() + "/Turned " + std::to_string(i) + ".jpg");
    EXPECT_EQ(static_cast<unsigned char>(bytes.at(0)), 0xFFu);
    EXPECT_EQ(static_cast<unsigned char>(bytes.at(1)), 0xD8u);
  }
}

TEST_F(PDFOutputsEndToEnd, RefusalsLeaveTheStagingDirectoryAsPrepared) {
  const std::vector<std::string> names = {staged(1, "png"), staged(2, "png")};
  (void)prepare(names);
  struct Case {
    const char* operation;
    const char* fixture;
    json options;
    std::vector<std::string> outputs;
    json error;
    int exitStatus;
  };
  const json keys{{"code", "invalid-request"}, {"message", "The request contains missing or unknown fields."}};
  const std::vector<Case> cases = {
      {"pdf-pages-to-png", "text-pages.pdf", json{{"dpi", 72}}, names,
       json{{"code", "invalid-request"}, {"message", "The image output inventory does not match the page count."}}, 2},
      {"pdf-pages-to-png", "mediabox-largest.pdf", json{{"dpi", 300}}, {names[0]},
       json{{"code", "resource-limit"}, {"message", "A rendered PDF page exceeds the pixel limit."}}, 0},
      // The request decoder holds each operation to its own option keys, so
      // these never reach the component. Every invalid-request answer ends
      // the session.
      {"pdf-pages-to-jpeg", "plain-page.pdf", json{{"dpi", 72}}, {staged(1, "jpg")}, keys, 2},
      {"pdf-pages-to-png", "plain-page.pdf", json{{"dpi", 72}, {"jpegQuality", 0.8}}, {names[0]}, keys, 2},
  };
  for (const Case& c : cases) {
    const json response = render(c.operation, c.fixture, 3, c.outputs, c.options, c.exitStatus);
    EXPECT_EQ(response["ok"], false) << c.fixture;
    EXPECT_EQ(response["operation"], c.operation);
    EXPECT_EQ(response["error"], c.error) << response.dump();
    EXPECT_FALSE(response.contains("outputs"));
  }
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json"}));
}

TEST_F(PDFOutputsEndToEnd, ImagesBecomeAPDFThatIsPublished) {
  const std::string name = staged(9, "pdf");
  const json prepared = prepareOne(name);
  const json built = imagesToPDF({"marker-800x600.png", "portrait-6.jpg", "half-transparent.png"}, name);
  ASSERT_EQ(built["ok"], true) << built.dump();
  EXPECT_EQ(built["operation"], "images-to-pdf");
  ASSERT_EQ(built["outputs"].size(), 1u);
  const json& record = built["outputs"][0];
  const std::string bytes = readFile(staging() + "/" + name);
  EXPECT_EQ(record, (json{{"index", 0}, {"byteLength", bytes.size()},
                          {"sha256", DescriptorDigest::sha256(testing_support::bytesOf(bytes))}}));
  EXPECT_EQ(bytes.substr(0, 5), "%PDF-");

  json publish = envelope("publish-output", 3);
  publish["destinationPath"] = "/dev/fd/3";
  publish["destinationDisplayPath"] = "/home/me/Documents";
  publish["destinationIdentity"] = destinationIdentity();
  publish["stagingName"] = stagingName;
  publish["stagingId"] = stagingId;
  publish["stagingIdentity"] = wire(identityOf(staging()).protocolValue());
  publish["ownerIdentity"] = prepared["ownerIdentity"];
  publish["outputName"] = name;
  publish["outputIdentity"] = wire(identityOf(staging() + "/" + name).protocolValue());
  publish["outputSha256"] = record["sha256"];
  publish["outputBaseName"] = "Album";
  publish["outputExtension"] = "pdf";
  const json published = singleResponse(runHelper(publish.dump() + "\n", {{3, destination_.get()}}));
  ASSERT_EQ(published["ok"], true) << published.dump();
  EXPECT_EQ(published["finalPath"], "/home/me/Documents/Album.pdf");
  EXPECT_EQ(readFile(destination() + "/Album.pdf"), bytes);
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json"}));
}

TEST_F(PDFOutputsEndToEnd, ARefusedImageLeavesNothingStaged) {
  const std::string name = staged(9, "pdf");
  (void)prepareOne(name);
  const json refused = imagesToPDF({"marker-800x600.png", "small.heic"}, name);
  EXPECT_EQ(refused["ok"], false);
  EXPECT_EQ(refused["operation"], "images-to-pdf");
  EXPECT_EQ(refused["error"], (json{{"code", "unsupported-source"},
                                    {"message", "The image type is not accepted by the current image-to-PDF operation."}}));
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json"}));
}

}  // namespace
}  // namespace quorvantelmic
