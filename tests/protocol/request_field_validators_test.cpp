#include "helper_core/protocol/request_field_validators.hpp"

#include <gtest/gtest.h>

#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {
namespace {

using nlohmann::json;

template <typename Call>
std::string messageOf(Call call) {
  try {
    call();
  } catch (const HelperFault& fault) {
    EXPECT_EQ(fault.code(), HelperErrorCode::invalidRequest);
    return fault.message();
  }
  return "accepted";
}

TEST(ExactNumbers, BooleansAreNeverNumbers) {
  const json values = json::parse(R"([36, 36.0, 3.6e1, 36.5, true, "36", null, -9.223372036854775808e18,
                                      9.223372036854775807e18, 18446744073709551615, 1e300])");
  EXPECT_EQ(exactInteger(&values[0]), 36);
  EXPECT_EQ(exactInteger(&values[1]), 36);
  EXPECT_EQ(exactInteger(&values[2]), 36);
  EXPECT_FALSE(exactInteger(&values[3]));
  EXPECT_FALSE(exactInteger(&values[4]));
  EXPECT_FALSE(exactInteger(&values[5]));
  EXPECT_FALSE(exactInteger(&values[6]));
  EXPECT_EQ(exactInteger(&values[7]), INT64_MIN);
  EXPECT_FALSE(exactInteger(&values[8]));  // rounds to 2^63 as a double
  EXPECT_FALSE(exactInteger(&values[9]));
  EXPECT_FALSE(exactInteger(&values[10]));
  EXPECT_FALSE(exactInteger(nullptr));
  EXPECT_EQ(exactDouble(&values[0]), 36.0);
  EXPECT_EQ(exactDouble(&values[3]), 36.5);
  EXPECT_FALSE(exactDouble(&values[4]));
  EXPECT_FALSE(exactDouble(&values[5]));
}

TEST(CanonicalUUID, AcceptsVersionedNilAndMaximum) {
  for (const char* good : {"00000000-0000-0000-0000-000000000000", "ffffffff-ffff-ffff-ffff-ffffffffffff",
                           "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF", "3F2504E0-4F89-11D3-9A0C-0305E82C3301",
                           "3f2504e0-4f89-81d3-bA0C-0305e82c3301", "00000000-0000-4000-8000-000000000000"}) {
    const json value = good;
    EXPECT_EQ(requireCanonicalUUID(&value), good);
  }
  for (const json& bad : {json("3f2504e0-4f89-01d3-9a0c-0305e82c3301"), json("3f2504e0-4f89-91d3-9a0c-0305e82c3301"),
                          json("3f2504e0-4f89-41d3-ca0c-0305e82c3301"), json("{3f2504e0-4f89-41d3-9a0c-0305e82c330}"),
                          json("3f2504e04f8941d39a0c0305e82c3301"), json("3f2504e0-4f89-41d3-9a0c-0305e82c330"),
                          json("3f2504e0-4f89-41d3-9a0c-0305e82c33011"), json("3f2504e0-4f89-41d3-9a0c-0305e82c330g"),
                          json(1), json(nullptr)}) {
    EXPECT_EQ(messageOf([&] { requireCanonicalUUID(&bad); }), "The request ID must be a canonical UUID.") << bad;
  }
}

TEST(BoundedValues, PathsStringsAndDimensions) {
  const json root = "/";
  EXPECT_EQ(requirePathString(&root), "/");
  const json longest = "/" + std::string(4095, 'p');
  EXPECT_NO_THROW(requirePathString(&longest));
  for (const json& bad : {json("/" + std::string(4096, 'p')), json("relative"), json(std::string("/a\0b", 4)),
                          json(""), json(5)}) {
    EXPECT_EQ(messageOf([&] { requirePathString(&bad); }), "The file path must be a bounded absolute path.");
  }

  std::string threeByteNames;
  for (int i = 0; i < 32; ++i) threeByteNames += "\xe2\x82\xac";  // 32 euro signs, 96 bytes
  const json exact = threeByteNames;
  EXPECT_NO_THROW(requireBoundedString(&exact, 96, "output name"));
  const json over = threeByteNames + "x";
  EXPECT_EQ(messageOf([&] { requireBoundedString(&over, 96, "output name"); }), "The output name is invalid.");
  EXPECT_EQ(messageOf([&] { requireBoundedString(nullptr, 96, "staging name"); }), "The staging name is invalid.");

  const json nothing = nullptr;
  EXPECT_FALSE(requireOptionalResizeDimension(&nothing, "maximum width").has_value());
  EXPECT_EQ(messageOf([&] { requireOptionalResizeDimension(nullptr, "maximum width"); }),
            "The maximum width is outside the allowed range.");
}

TEST(InheritedSources, OnlyCanonicalDescriptorsThreeToTenTwentyThreeButFour) {
  for (const char* good : {"/dev/fd/3", "/dev/fd/5", "/dev/fd/1023"}) {
    const json value = good;
    EXPECT_EQ(requireInheritedSourcePath(&value), good);
  }
  for (const char* bad : {"/dev/fd/4", "/dev/fd/2", "/dev/fd/1024", "/dev/fd/03", "/dev/fd/+3", "/dev/fd/",
                          "/dev/fd/3/", "/dev/fd/99999",
                          // Found by fuzzing: adding up these digits overflowed an int.
                          "/dev/fd/36666666666666666666666666"}) {
    const json value = bad;
    EXPECT_EQ(messageOf([&] { requireInheritedSourcePath(&value); }), "The inherited PDF source descriptor is invalid.")
        << bad;
  }
  const json ordinary = "/tmp/a.pdf";
  EXPECT_EQ(messageOf([&] { requireInheritedSourcePath(&ordinary); }),
            "A PDF source must use an inherited descriptor path.");
}

TEST(StagedOutputPaths, LeafMustBeAStagedNameOfTheExpectedExtension) {
  const std::string name = "output-" + std::string(32, 'a') + ".png";
  const json good = "/dev/fd/4/" + name;
  EXPECT_NO_THROW(requireStagedOutputPath(&good, StagedOutputExtension::png));
  EXPECT_EQ(messageOf([&] { requireStagedOutputPath(&good, StagedOutputExtension::pdf); }),
            "The staged PDF output path is invalid.");
  const json nested = "/dev/fd/4/dir/" + name;
  EXPECT_EQ(messageOf([&] { requireStagedOutputPath(&nested, StagedOutputExtension::png); }),
            "The staged PDF output path is invalid.");
  const json wrongDirectory = "/dev/fd/3/" + name;
  EXPECT_EQ(messageOf([&] { requireStagedOutputPath(&wrongDirectory, StagedOutputExtension::png); }),
            "The staged PDF output path is invalid.");
  const json number = 4;
  EXPECT_EQ(messageOf([&] { requireStagedOutputPath(&number, StagedOutputExtension::png); }),
            "The PDF output must use the inherited staging directory.");

  json paths = json::array();
  for (int index = 0; index < 97; ++index) {
    char hex[33];
    std::snprintf(hex, sizeof hex, "%032x", index);
    paths.push_back("/dev/fd/4/output-" + std::string(hex) + ".png");
  }
  EXPECT_EQ(messageOf([&] { requireStagedOutputPaths(&paths, StagedOutputExtension::png); }),
            "The staged PDF output inventory is invalid.");
  paths.erase(96);
  EXPECT_EQ(requireStagedOutputPaths(&paths, StagedOutputExtension::png).size(), 96u);
  paths[1] = paths[0];
  EXPECT_EQ(messageOf([&] { requireStagedOutputPaths(&paths, StagedOutputExtension::png); }),
            "Staged PDF output paths must be distinct.");
  const json empty = json::array();
  EXPECT_EQ(messageOf([&] { requireStagedOutputPaths(&empty, StagedOutputExtension::png); }),
            "The staged PDF output inventory is invalid.");
}

}  // namespace
}  // namespace quorvantelmic
