#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <string>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/path_policy.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/file_access/file_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace testing_support;

ProtocolFileIdentity wire(std::string device, std::string size = "10", std::string modifiedNanoseconds = "5",
                          std::string statusChangedNanoseconds = "6") {
  return ProtocolFileIdentity{std::move(device), "77", std::move(size), "-3", std::move(modifiedNanoseconds), "4",
                              std::move(statusChangedNanoseconds)};
}

void expectOutOfRange(const ProtocolFileIdentity& identity) {
  try {
    FileIdentity converted(identity);
    FAIL() << "accepted";
  } catch (const HelperFault& fault) {
    EXPECT_EQ(fault, HelperFault(HelperErrorCode::invalidRequest, "The file identity is outside the platform range."));
  }
}

TEST(FileIdentityTest, RoundTripsThroughTheWireFormOfARealFile) {
  TemporaryDirectory directory;
  writeFile(directory / "f", "hello");
  const FileIdentity identity = identityOf(directory / "f");
  EXPECT_EQ(identity.size, 5);
  EXPECT_EQ(FileIdentity(identity.protocolValue()), identity);
  struct stat status = lstatOf(directory / "f");
  EXPECT_EQ(identity.protocolValue().modifiedNanoseconds, std::to_string(status.st_mtim.tv_nsec));
  EXPECT_EQ(identity.protocolValue().device, std::to_string(status.st_dev));
}

TEST(FileIdentityTest, RendersSignedFieldsPlainly) {
  FileIdentity identity;
  identity.modifiedSeconds = -42;
  identity.statusChangedSeconds = std::numeric_limits<std::int64_t>::min();
  const ProtocolFileIdentity value = identity.protocolValue();
  EXPECT_EQ(value.modifiedSeconds, "-42");
  EXPECT_EQ(value.statusChangedSeconds, "-9223372036854775808");
  EXPECT_EQ(value.device, "0");
  EXPECT_EQ(FileIdentity(value), identity);
}

// Linux device numbers exceed 2^31, so the whole unsigned 64-bit dev_t range
// converts back; a helper refusing its own identities could publish nothing.
TEST(FileIdentityTest, AcceptsEveryDeviceNumberOfThePlatform) {
  EXPECT_EQ(FileIdentity(wire("2147483648")).device, 2147483648u);
  EXPECT_EQ(FileIdentity(wire("18446744073709551615")).device, std::numeric_limits<dev_t>::max());
  expectOutOfRange(wire("18446744073709551616"));
  expectOutOfRange(wire("-1"));
}

TEST(FileIdentityTest, RefusesValuesOutsideTheirRanges) {
  EXPECT_EQ(FileIdentity(wire("1", "9223372036854775807")).size, std::numeric_limits<std::int64_t>::max());
  expectOutOfRange(wire("1", "9223372036854775808"));
  EXPECT_EQ(FileIdentity(wire("1", "1", "999999999", "999999999")).modifiedNanoseconds, 999999999);
  expectOutOfRange(wire("1", "1", "1000000000"));
  expectOutOfRange(wire("1", "1", "0", "1000000000"));
  expectOutOfRange(wire("1", "1", "-1"));
  expectOutOfRange(wire(""));
  expectOutOfRange(wire("1 "));
  expectOutOfRange(wire("0x10"));
  expectOutOfRange(wire("+"));
  EXPECT_EQ(FileIdentity(wire("+7")).device, 7u);

  ProtocolFileIdentity seconds = wire("1");
  seconds.modifiedSeconds = "-9223372036854775809";
  expectOutOfRange(seconds);
  seconds.modifiedSeconds = "-9223372036854775808";
  EXPECT_EQ(FileIdentity(seconds).modifiedSeconds, std::numeric_limits<std::int64_t>::min());
}

TEST(FileIdentityTest, NarrowComparisonsIgnoreWhatTheyAreMeantToIgnore) {
  FileIdentity a;
  a.device = 1;
  a.inode = 2;
  a.size = 3;
  a.modifiedSeconds = 4;
  FileIdentity b = a;
  b.statusChangedSeconds = 9;
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a.sameContentStamp(b));
  b.modifiedNanoseconds = 1;
  EXPECT_FALSE(a.sameContentStamp(b));
  EXPECT_TRUE(a.sameObject(b));
}

void expectPolicyFault(const std::string& path, const char* message) {
  const auto before = openDescriptors();
  try {
    (void)PathPolicy::openParentDirectory(path);
    ADD_FAILURE() << "accepted " << path;
  } catch (const HelperFault& fault) {
    EXPECT_EQ(fault, HelperFault(HelperErrorCode::filesystemPolicy, message)) << path;
  }
  EXPECT_EQ(openDescriptors(), before) << "descriptor leaked for " << path;
}

constexpr const char* absoluteMessage = "The file path does not satisfy the absolute path policy.";
constexpr const char* normalizedMessage = "The file path does not satisfy the normalized path policy.";
constexpr const char* componentMessage = "The file path does not satisfy the component policy.";
constexpr const char* parentMessage = "A parent path component is unavailable or disallowed.";

TEST(PathPolicyTest, RefusesMalformedPathsInOrder) {
  expectPolicyFault("relative/path", absoluteMessage);
  expectPolicyFault("", absoluteMessage);
  expectPolicyFault(std::string("/tmp/a\0b", 8), absoluteMessage);
  expectPolicyFault("/tmp/a/", absoluteMessage);
  expectPolicyFault("/", absoluteMessage);
  // The absolute rule is checked before the component rules.
  expectPolicyFault("/a/../b/", absoluteMessage);
  expectPolicyFault("/a//b", normalizedMessage);
  expectPolicyFault("/a/./b", normalizedMessage);
  expectPolicyFault("/a/../b", normalizedMessage);
  expectPolicyFault("/..", normalizedMessage);
  expectPolicyFault("/b", componentMessage);
}

TEST(PathPolicyTest, CountsTheLimitInUtf8Bytes) {
  const std::string exact = "/" + std::string(4095, 'a');
  EXPECT_NO_THROW(PathPolicy::validateAbsoluteNormalizedPath(exact));
  EXPECT_THROW(PathPolicy::validateAbsoluteNormalizedPath(exact + "a"), HelperFault);

  std::string multibyte = "/";
  while (multibyte.size() + 3 <= 4096) multibyte += "\xE2\x82\xAC";  // U+20AC, three bytes
  multibyte += std::string(4096 - multibyte.size(), 'b');
  ASSERT_EQ(multibyte.size(), 4096u);
  EXPECT_NO_THROW(PathPolicy::validateAbsoluteNormalizedPath(multibyte));
  EXPECT_THROW(PathPolicy::validateAbsoluteNormalizedPath(multibyte + "\xE2\x82\xAC"), HelperFault);
}

TEST(PathPolicyTest, OpensTheParentAndYieldsTheLeaf) {
  TemporaryDirectory directory;
  ASSERT_EQ(::mkdir((directory / "a").c_str(), 0700), 0);
  const OpenedParentDirectory parent = PathPolicy::openParentDirectory(directory / "a/leaf");
  EXPECT_EQ(parent.leafName, "leaf");
  struct stat opened {};
  ASSERT_EQ(::fstat(parent.descriptor.get(), &opened), 0);
  EXPECT_EQ(FileIdentity::of(opened), identityOf(directory / "a"));
  // The leaf is neither opened nor required to exist.
  EXPECT_FALSE(exists(directory / "a/leaf"));
}

TEST(PathPolicyTest, RefusesSymbolicLinkParentsEvenToValidDirectories) {
  TemporaryDirectory directory;
  ASSERT_EQ(::mkdir((directory / "real").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((directory / "real").c_str(), (directory / "link").c_str()), 0);
  expectPolicyFault(directory / "link/leaf", parentMessage);
  // A relative link is refused just the same.
  ASSERT_EQ(::symlink("real", (directory / "relative").c_str()), 0);
  expectPolicyFault(directory / "relative/leaf", parentMessage);
  // The system's own /dev/fd is a link, so descriptor-looking paths that are no
  // inherited descriptor cannot sneak through it.
  expectPolicyFault("/dev/fd/07", parentMessage);
}

TEST(PathPolicyTest, RefusesEveryWayOutOfAHostileSymlinkMaze) {
  TemporaryDirectory directory;
  const std::string root = directory.path().string();
  ASSERT_EQ(::mkdir((root + "/d").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((root + "/d/inner").c_str(), 0700), 0);
  writeFile(root + "/d/file", "x");
  // A loop, a chain of links, a link out of the tree, a dangling link, a link
  // hidden deep inside real directories, and a regular file used as a directory.
  ASSERT_EQ(::symlink("loop", (root + "/loop").c_str()), 0);
  ASSERT_EQ(::symlink("chain2", (root + "/chain1").c_str()), 0);
  ASSERT_EQ(::symlink("d", (root + "/chain2").c_str()), 0);
  ASSERT_EQ(::symlink("/etc", (root + "/d/inner/escape").c_str()), 0);
  ASSERT_EQ(::symlink("missing", (root + "/d/dangling").c_str()), 0);
  ASSERT_EQ(::symlink("..", (root + "/d/inner/up").c_str()), 0);

  expectPolicyFault(root + "/loop/x", parentMessage);
  expectPolicyFault(root + "/chain1/inner/x", parentMessage);
  expectPolicyFault(root + "/d/inner/escape/passwd", parentMessage);
  expectPolicyFault(root + "/d/dangling/x", parentMessage);
  expectPolicyFault(root + "/d/inner/up/file", parentMessage);
  expectPolicyFault(root + "/d/file/x", parentMessage);
  expectPolicyFault(root + "/d/missing/x", parentMessage);
  // The same leaf is reachable through real directories only.
  EXPECT_EQ(PathPolicy::openParentDirectory(root + "/d/inner/escape").leafName, "escape");
}

}  // namespace
}  // namespace quorvantelmic
