#include "helper_core/session/request_processor.hpp"

#include <gtest/gtest.h>

#include "tests/protocol/request_fixtures.hpp"

namespace quorvantelmic {
namespace {

using namespace quorvantelmic::testing;

const RequestProcessor processor;

TEST(RequestProcessor, HelloEchoesTheIdentifierUnchanged) {
  for (const std::string& id : {kRequestId, std::string("3f2504e0-4f89-41d3-9a0c-0305e82c3301")}) {
    json request = envelope("hello");
    request["requestId"] = id;
    const HelperResponse response = processor.processLine(request.dump());
    EXPECT_EQ(response, HelperResponse::hello(id));
    EXPECT_EQ(response.helperVersion, "0.5.0");
  }
}

TEST(RequestProcessor, RefusesTheFivePDFComponentOperationsByName) {
  const std::string pdf = "/dev/fd/4/" + stagedName("pdf");
  struct Case {
    json request;
    std::string message;
  };
  std::vector<Case> cases;
  json merge = envelope("merge-pdfs");
  merge["sourcePaths"] = json::array({"/dev/fd/3", "/dev/fd/5"});
  merge["outputPath"] = pdf;
  cases.push_back({merge, "PDF merge is not a Quorvantelmic format conversion."});
  json split = envelope("split-pdf");
  split["sourcePath"] = "/dev/fd/3";
  split["outputPaths"] = json::array({pdf});
  cases.push_back({split, "PDF split is not a Quorvantelmic format conversion."});
  json rotate = envelope("rotate-pdf-clockwise");
  rotate["sourcePath"] = "/dev/fd/3";
  rotate["outputPath"] = pdf;
  cases.push_back({rotate, "PDF rotation is not a Quorvantelmic format conversion."});
  json compress = rotate;
  compress["operation"] = "compress-pdf-flattened";
  compress["options"] = json{{"dpi", 72}, {"jpegQuality", 0.5}};
  cases.push_back({compress, "PDF compression is not a Quorvantelmic format conversion."});
  json ocr = rotate;
  ocr["operation"] = "ocr-pdf-english";
  cases.push_back({ocr, "OCR is not a Quorvantelmic format conversion."});

  for (const auto& c : cases) {
    const HelperResponse response = processor.processLine(c.request.dump());
    EXPECT_EQ(response, HelperResponse::failure(kRequestId, *helperOperationFromWire(c.request["operation"].get<std::string>()),
                                                HelperErrorCode::unsupportedSource, c.message));
  }
  // A malformed request of a refused kind is still invalid-request.
  merge["sourcePaths"] = json::array({"/dev/fd/3"});
  EXPECT_EQ(processor.processLine(merge.dump()).error->code, HelperErrorCode::invalidRequest);
}

TEST(RequestProcessor, DecodingFailuresAreAddressedByTheForgivingReading) {
  EXPECT_EQ(processor.processLine("garbage"),
            HelperResponse::failure(std::string(defaultRequestId), HelperOperation::protocolFailure,
                                    HelperErrorCode::invalidRequest, "The request must be one JSON object."));
  json version = envelope("hello");
  version["protocolVersion"] = 3;
  EXPECT_EQ(processor.processLine(version.dump()),
            HelperResponse::failure(kRequestId, HelperOperation::hello, HelperErrorCode::invalidRequest,
                                    "The protocol version is not supported."));
  json badField = convertImage();
  badField["options"]["quality"] = 5;
  EXPECT_EQ(processor.processLine(badField.dump()),
            HelperResponse::failure(kRequestId, HelperOperation::convertImage, HelperErrorCode::invalidRequest,
                                    "The image quality is outside the allowed range."));
}

TEST(RequestProcessor, SupportedOperationsAreTheTwelveInOrder) {
  std::vector<std::string> names;
  for (const auto operation : RequestProcessor::supportedOperations()) names.emplace_back(wireString(operation));
  EXPECT_EQ(names, (std::vector<std::string>{"inspect-image", "convert-image", "inspect-pdf", "images-to-pdf",
                                             "pdf-pages-to-png", "pdf-pages-to-jpeg", "prepare-staging",
                                             "prepare-staging-set", "cleanup-staging", "cleanup-staging-set",
                                             "publish-output", "publish-output-set"}));
}

}  // namespace
}  // namespace quorvantelmic
