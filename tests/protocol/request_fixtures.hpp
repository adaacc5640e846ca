// Builders of well-formed request objects, so that each test changes exactly the
// field it is about.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace quorvantelmic::testing {

using nlohmann::json;

inline const std::string kRequestId = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
inline const std::string kStagingId = "5e6f7a8b-9c0d-4e1f-a2b3-c4d5e6f7a8b9";
inline const std::string kHex32 = "00112233445566778899aabbccddeeff";
inline const std::string kDigest(64, 'a');

inline std::string stagedName(const std::string& extension, char digit = '0') {
  return "output-" + std::string(32, digit) + "." + extension;
}

inline json envelope(const std::string& operation) {
  return json{{"operation", operation}, {"requestId", kRequestId}, {"protocolVersion", 4}};
}

inline json identity() {
  return json{{"device", "66306"},           {"inode", "1234567"},
              {"size", "0"},                 {"modifiedSeconds", "1700000000"},
              {"modifiedNanoseconds", "999999999"}, {"statusChangedSeconds", "-1"},
              {"statusChangedNanoseconds", "0"}};
}

inline json conversionOptions() {
  return json{{"quality", 0.8},         {"metadataPolicy", "preserve"}, {"orientationPolicy", "preserve"},
              {"targetTypeIdentifier", "public.png"}, {"maximumWidth", nullptr}, {"maximumHeight", 1000000}};
}

inline json convertImage() {
  json request = envelope("convert-image");
  request["options"] = conversionOptions();
  request["sourcePath"] = "/dev/fd/3";
  request["outputPath"] = "/dev/fd/4/" + stagedName("png");
  return request;
}

inline json prepareStaging() {
  json request = envelope("prepare-staging");
  request["destinationPath"] = "/dev/fd/3";
  request["destinationIdentity"] = identity();
  request["stagingId"] = kStagingId;
  request["stagingName"] = ".quorvantelmic-stage-" + kHex32;
  request["outputName"] = stagedName("png");
  return request;
}

inline json cleanupStaging() {
  json request = envelope("cleanup-staging");
  request["destinationPath"] = "/dev/fd/3";
  request["destinationIdentity"] = identity();
  request["stagingId"] = kStagingId;
  request["stagingName"] = ".quorvantelmic-stage-" + kHex32;
  request["stagingIdentity"] = identity();
  request["ownerIdentity"] = identity();
  request["outputName"] = stagedName("png");
  request["output"] = nullptr;
  return request;
}

inline json cleanupStagingSet() {
  json request = envelope("cleanup-staging-set");
  request["destinationPath"] = "/dev/fd/3";
  request["destinationIdentity"] = identity();
  request["stagingId"] = kStagingId;
  request["stagingName"] = ".quorvantelmic-stage-" + kHex32;
  request["stagingIdentity"] = identity();
  request["ownerIdentity"] = identity();
  request["outputNames"] = json::array({stagedName("png", '1'), stagedName("png", '2')});
  request["outputs"] = json::array();
  return request;
}

inline json publishOutput() {
  json request = envelope("publish-output");
  request["destinationPath"] = "/dev/fd/3";
  request["destinationDisplayPath"] = "/home/someone/Pictures";
  request["destinationIdentity"] = identity();
  request["stagingName"] = ".quorvantelmic-stage-" + kHex32;
  request["stagingId"] = kStagingId;
  request["stagingIdentity"] = identity();
  request["ownerIdentity"] = identity();
  request["outputName"] = stagedName("jpg");
  request["outputIdentity"] = identity();
  request["outputSha256"] = kDigest;
  request["outputBaseName"] = "Holiday";
  request["outputExtension"] = "jpg";
  return request;
}

inline json publishMember(char digit, const std::string& extension = "png") {
  return json{{"outputName", stagedName(extension, digit)},
              {"outputIdentity", identity()},
              {"outputSha256", kDigest},
              {"outputBaseName", std::string("Page ") + digit},
              {"outputExtension", extension}};
}

inline json publishOutputSet(int members = 2) {
  json request = envelope("publish-output-set");
  request["destinationPath"] = "/dev/fd/3";
  request["destinationDisplayPath"] = "/home/someone/Pictures";
  request["destinationIdentity"] = identity();
  request["stagingName"] = ".quorvantelmic-stage-" + kHex32;
  request["stagingId"] = kStagingId;
  request["stagingIdentity"] = identity();
  request["ownerIdentity"] = identity();
  request["outputs"] = json::array();
  for (int index = 0; index < members; ++index) {
    json entry = publishMember('0');
    entry["outputName"] = "output-" + std::string(28, '0') + [&] {
      // Room for any int, so that the optimiser sees no truncation.
      char buffer[12];
      std::snprintf(buffer, sizeof buffer, "%04x", static_cast<unsigned>(index) & 0xffffU);
      return std::string(buffer);
    }() + ".png";
    request["outputs"].push_back(entry);
  }
  return request;
}

}  // namespace quorvantelmic::testing
