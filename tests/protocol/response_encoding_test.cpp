#include "helper_core/protocol/helper_response.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {
namespace {

using nlohmann::json;

std::vector<std::string> keysInOrder(const std::string& encoded) {
  // Reads the top-level keys in the order they were written.
  std::vector<std::string> keys;
  json::parser_callback_t callback = [&keys](int depth, json::parse_event_t event, json& parsed) {
    if (depth == 1 && event == json::parse_event_t::key) keys.push_back(parsed.get<std::string>());
    return true;
  };
  const json ignored = json::parse(encoded, callback);
  (void)ignored;
  return keys;
}

const std::string requestId = "7A1C2B4E-5D6F-4A8B-9C0D-1E2F3A4B5C6D";

TEST(ResponseEncoding, HelloHasExactlyItsSixKeysInByteOrder) {
  const std::string encoded = encodeResponse(HelperResponse::hello(requestId));
  EXPECT_EQ(keysInOrder(encoded), (std::vector<std::string>{"buildProfileId", "helperVersion", "ok", "operation",
                                                             "protocolVersion", "requestId"}));
  EXPECT_EQ(encoded.find(' '), std::string::npos);
  EXPECT_EQ(encoded.find('\n'), std::string::npos);
  const json parsed = json::parse(encoded);
  EXPECT_EQ(parsed["helperVersion"], "0.5.0");
  EXPECT_EQ(parsed["requestId"], requestId);
  EXPECT_EQ(parsed["ok"], true);
  EXPECT_EQ(parsed["protocolVersion"], 4);
}

TEST(ResponseEncoding, FailureCarriesOnlyTheEnvelopeAndError) {
  const std::string encoded = encodeResponse(
      HelperResponse::failure(requestId, HelperOperation::convertImage, HelperErrorCode::decodeFailed, "Nope."));
  EXPECT_EQ(keysInOrder(encoded),
            (std::vector<std::string>{"error", "ok", "operation", "protocolVersion", "requestId"}));
  EXPECT_EQ(encoded.substr(0, 53), R"({"error":{"code":"decode-failed","message":"Nope."},")");
  EXPECT_NE(encoded.find(R"("ok":false,"operation":"convert-image")"), std::string::npos);
}

TEST(ResponseEncoding, NestedRecordsSortTheirKeysAndOmitAbsentBitDepth) {
  HelperResponse response = HelperResponse::success(requestId, HelperOperation::inspectImage);
  response.probe = ImageProbe{"image", "public.png", 3, 2, 1, 1, true, false, std::nullopt, false, false, false, false};
  std::string encoded = encodeResponse(response);
  EXPECT_EQ(encoded.find("bitDepth"), std::string::npos);
  EXPECT_NE(encoded.find(R"("probe":{"family":"image","frameCount":1,"hasAlpha":true,"hasAuxiliaryImages":false,)"
                         R"("hasHdr":false,"hasIccProfile":false,"hasMetadata":false,"hasUnsupportedMetadata":false,)"
                         R"("height":2,"orientation":1,"uniformTypeIdentifier":"public.png","width":3})"),
            std::string::npos)
      << encoded;
  response.probe->bitDepth = 0;
  encoded = encodeResponse(response);
  EXPECT_NE(encoded.find(R"("probe":{"bitDepth":0,"family")"), std::string::npos);

  HelperResponse identity = HelperResponse::success(requestId, HelperOperation::prepareStaging);
  identity.stagingIdentity = ProtocolFileIdentity{"1", "2", "3", "-4", "5", "6", "7"};
  EXPECT_NE(encodeResponse(identity).find(
                R"("stagingIdentity":{"device":"1","inode":"2","modifiedNanoseconds":"5","modifiedSeconds":"-4",)"
                R"("size":"3","statusChangedNanoseconds":"7","statusChangedSeconds":"6"})"),
            std::string::npos);
}

TEST(ResponseEncoding, SlashesAreNeverEscapedAndDoublesReadBackExactly) {
  HelperResponse response = HelperResponse::success(requestId, HelperOperation::publishOutput);
  response.finalPath = "/Users/someone/Pictures/Holiday 2.png";
  response.removed = true;
  response.collisionIndex = 2;
  std::string encoded = encodeResponse(response);
  EXPECT_NE(encoded.find(R"("finalPath":"/Users/someone/Pictures/Holiday 2.png")"), std::string::npos);
  EXPECT_EQ(encoded.find("\\/"), std::string::npos);

  HelperResponse pdf = HelperResponse::success(requestId, HelperOperation::inspectPDF);
  const std::vector<double> awkward = {612.0, 0.1 + 0.2, 841.8897637795276, 1e-7, 14400.0, 5e-324};
  PDFProbe probe;
  for (const double value : awkward) probe.pages.push_back(PDFPageGeometry{value, value / 3, 90});
  pdf.pdfProbe = probe;
  const json parsed = json::parse(encodeResponse(pdf));
  for (std::size_t index = 0; index < awkward.size(); ++index) {
    EXPECT_EQ(parsed["pdfProbe"]["pages"][index]["widthPoints"].get<double>(), awkward[index]);
    EXPECT_EQ(parsed["pdfProbe"]["pages"][index]["heightPoints"].get<double>(), awkward[index] / 3);
  }
}

TEST(ResponseEncoding, ResponseLimitIsExactlyInclusive) {
  HelperResponse response = HelperResponse::success(requestId, HelperOperation::publishOutput);
  response.displayName = "";
  const std::size_t overhead = encodeResponse(response).size();
  response.displayName = std::string(static_cast<std::size_t>(HelperLimits::maximumResponseBytes) - overhead, 'x');
  EXPECT_EQ(encodeResponse(response).size(), static_cast<std::size_t>(HelperLimits::maximumResponseBytes));
  response.displayName->push_back('x');
  try {
    (void)encodeResponse(response);
    FAIL() << "expected the response limit";
  } catch (const HelperFault& fault) {
    EXPECT_EQ(fault, HelperFault(HelperErrorCode::resourceLimit, "The helper response exceeds the protocol limit."));
  }
}

TEST(ResponseEncoding, FailureConstructorCutsTheMessage) {
  const auto response =
      HelperResponse::failure(requestId, HelperOperation::hello, HelperErrorCode::internalError, std::string(600, 'm'));
  EXPECT_EQ(response.error->message, std::string(480, 'm'));
}

}  // namespace
}  // namespace quorvantelmic
