#include "helper_core/protocol/helper_error.hpp"

#include <gtest/gtest.h>

#include "helper_core/protocol/helper_identity.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {
namespace {

TEST(HelperErrorCode, WireStringsRoundTripExactly) {
  const std::vector<std::string> expected = {
      "invalid-request", "unsupported-source", "resource-limit",    "decode-failed", "encode-failed",
      "output-exists",   "commit-exhausted",   "filesystem-policy", "cancelled",     "internal-error"};
  for (std::size_t index = 0; index < expected.size(); ++index) {
    const auto code = static_cast<HelperErrorCode>(index);
    EXPECT_EQ(wireString(code), expected[index]);
    EXPECT_EQ(helperErrorCodeFromWire(expected[index]), code);
  }
  EXPECT_FALSE(helperErrorCodeFromWire("Invalid-Request").has_value());
  EXPECT_FALSE(helperErrorCodeFromWire("invalid_request").has_value());
  EXPECT_FALSE(helperErrorCodeFromWire("").has_value());
}

TEST(HelperFault, EqualityIsCodeAndMessage) {
  EXPECT_EQ(HelperFault(HelperErrorCode::decodeFailed, "A."), HelperFault(HelperErrorCode::decodeFailed, "A."));
  EXPECT_FALSE(HelperFault(HelperErrorCode::decodeFailed, "A.") == HelperFault(HelperErrorCode::encodeFailed, "A."));
  EXPECT_FALSE(HelperFault(HelperErrorCode::decodeFailed, "A.") == HelperFault(HelperErrorCode::decodeFailed, "B."));
}

TEST(HelperLimits, HoldTheDocumentedValues) {
  EXPECT_EQ(HelperLimits::maximumPDFPagePoints, 14400.0);
  EXPECT_EQ(HelperLimits::minimumPDFJPEGQuality, 0.6);
  EXPECT_EQ(HelperLimits::maximumPDFJPEGQuality, 0.95);
  EXPECT_EQ(HelperLimits::ocrPDFJPEGQuality, 0.95);
  EXPECT_EQ(HelperLimits::minimumPDFCompressionQuality, 0.35);
  EXPECT_EQ(HelperLimits::maximumPDFCompressionQuality, 0.85);
  EXPECT_EQ(HelperLimits::maximumFrames, 1);
  EXPECT_EQ(HelperLimits::maximumOutputSetFiles, 96);
  EXPECT_EQ(HelperLimits::maximumPDFImageSources, 500);
}

TEST(HelperIdentity, BuildProfileNamesThisToolchainSystemAndArchitecture) {
  const std::string profile(HelperIdentity::buildProfileId);
  const auto first = profile.find('-');
  const auto second = profile.find('-', first + 1);
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(profile.find('-', second + 1), std::string::npos);
  EXPECT_EQ(profile.substr(first + 1, second - first - 1), "linux");
#if defined(__x86_64__)
  EXPECT_EQ(profile.substr(second + 1), "x86_64");
#endif
#if defined(__clang__)
  EXPECT_EQ(profile.substr(0, 5), "clang");
#else
  EXPECT_EQ(profile.substr(0, first), "gcc" + std::to_string(__GNUC__));
#endif
  EXPECT_EQ(HelperIdentity::helperVersion, "0.5.0");
  EXPECT_EQ(HelperIdentity::protocolVersion, 4);
}

TEST(CutMessage, CountsGraphemeClustersNotBytes) {
  EXPECT_EQ(cutMessage("The helper could not complete the request."), "The helper could not complete the request.");
  EXPECT_EQ(cutMessage(std::string(480, 'a')), std::string(480, 'a'));
  EXPECT_EQ(cutMessage(std::string(481, 'a')), std::string(480, 'a'));

  // "e" followed by a combining acute accent is one user-perceived character
  // of three bytes; 500 of them cut to 480 whole clusters.
  std::string accented;
  for (int i = 0; i < 500; ++i) accented += "e\xcc\x81";
  const std::string cut = cutMessage(accented);
  EXPECT_EQ(cut.size(), 480u * 3);
  EXPECT_EQ(cut, accented.substr(0, 480 * 3));

  // A family emoji joined by zero-width joiners is one cluster of 25 bytes.
  const std::string family = "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7\xe2\x80\x8d\xf0\x9f\x91\xa6";
  std::string emoji;
  for (int i = 0; i < 481; ++i) emoji += family;
  EXPECT_EQ(cutMessage(emoji).size(), 480u * family.size());

  // Exactly 480 clusters of many bytes stay whole.
  std::string exact;
  for (int i = 0; i < 480; ++i) exact += family;
  EXPECT_EQ(cutMessage(exact), exact);
}

}  // namespace
}  // namespace quorvantelmic
