#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/staging/staging_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace testing_support;

TEST(StagingValidatorsTest, StagingNames) {
  EXPECT_NO_THROW(StagingBroker::validateStagingName(stagingName));
  for (const std::string& name :
       {std::string(".quorvantelmic-stage-00112233445566778899AABBCCDDEEFF"),
        std::string(".quorvantelmic-stage-00112233445566778899aabbccddeef"),
        std::string(".quorvantelmic-stage-00112233445566778899aabbccddeeff0"),
        std::string(".quorvantelmic-entry-00112233445566778899aabbccddeeff"), std::string(""),
        std::string(".quorvantelmic-stage-00112233445566778899aabbccddeeg0")}) {
    EXPECT_EQ(faultOf([&] { StagingBroker::validateStagingName(name); }),
              policy("The staging directory name is invalid."))
        << name;
  }
}

TEST(StagingValidatorsTest, StagingIdentifiers) {
  EXPECT_NO_THROW(StagingBroker::validateStagingId(stagingId));
  for (const std::string& id : {std::string("3F2C7A10-5B4E-4D2A-9C1E-7A8B9C0D1E2F"),
                               std::string("3f2c7a105b4e4d2a9c1e7a8b9c0d1e2f"),
                               std::string("3f2c7a10-5b4e-4d2a-9c1e-7a8b9c0d1e2"),
                               std::string("{3f2c7a10-5b4e-4d2a-9c1e-7a8b9c0d1e}"),
                               std::string("3f2c7a10-5b4e-4d2a-9c1e-7a8b9c0d1e2g")}) {
    EXPECT_EQ(faultOf([&] { StagingBroker::validateStagingId(id); }), policy("The staging identifier is invalid."))
        << id;
  }
}

TEST(StagingValidatorsTest, OutputNameInventories) {
  std::vector<std::string> names;
  for (int index = 0; index < 96; ++index) names.push_back(outputName(index));
  EXPECT_NO_THROW(StagingBroker::validateOutputNames(names));
  const HelperFault inventory = policy("The staged output-name inventory is invalid.");
  names.push_back(outputName(96));
  EXPECT_EQ(faultOf([&] { StagingBroker::validateOutputNames(names); }), inventory);
  EXPECT_EQ(faultOf([&] { StagingBroker::validateOutputNames({}); }), inventory);
  EXPECT_EQ(faultOf([&] { StagingBroker::validateOutputNames({outputName(1), outputName(1)}); }), inventory);
  // Count and distinctness are checked before the names themselves.
  EXPECT_EQ(faultOf([&] { StagingBroker::validateOutputNames({"x", "x"}); }), inventory);
  EXPECT_EQ(faultOf([&] { StagingBroker::validateOutputNames({outputName(1), "photo.png"}); }),
            policy("The staged output name is invalid."));
  EXPECT_EQ(faultOf([&] { StagingBroker::validateOutputNames({outputName(1, "jpeg")}); }),
            policy("The staged output name is invalid."));
}

TEST(StagingValidatorsTest, Digests) {
  EXPECT_NO_THROW(StagingBroker::validateSha256(std::string(64, 'a')));
  const HelperFault invalid(HelperErrorCode::invalidRequest, "The output digest is invalid.");
  EXPECT_EQ(faultOf([] { StagingBroker::validateSha256(std::string(64, 'A')); }), invalid);
  EXPECT_EQ(faultOf([] { StagingBroker::validateSha256(std::string(63, 'a')); }), invalid);
  EXPECT_EQ(faultOf([] { StagingBroker::validateSha256(std::string(65, '0')); }), invalid);
}

TEST(OwnerRecordTest, HasExactlyTheseBytes) {
  EXPECT_EQ(StagingBroker::encodedOwnerRecord(stagingId, {outputName(1), outputName(2, "pdf")}),
            "{\"expectedEntryNames\":[\".owner.json\","
            "\"output-00000000000000000000000000000001.png\","
            "\"output-00000000000000000000000000000002.pdf\"],"
            "\"schemaVersion\":1,"
            "\"stagingId\":\"3f2c7a10-5b4e-4d2a-9c1e-7a8b9c0d1e2f\"}");
  // Request order is kept; the record is not sorted.
  EXPECT_EQ(StagingBroker::encodedOwnerRecord(stagingId, {outputName(2), outputName(1)}).find(outputName(2)),
            std::string("{\"expectedEntryNames\":[\".owner.json\",\"").size());
}

TEST(OwnerRecordTest, RefusesARecordOverItsByteLimit) {
  std::vector<std::string> names(800, std::string(40, 'n'));
  EXPECT_EQ(faultOf([&] { (void)StagingBroker::encodedOwnerRecord(stagingId, names); }),
            HelperFault(HelperErrorCode::resourceLimit, "The staging ownership record exceeds its byte limit."));
}

class StagingPrimitivesTest : public StagingFixture {};

TEST_F(StagingPrimitivesTest, InventoryHoldsAtMost97NamesAndCanBeTakenRepeatedly) {
  for (int index = 0; index < 97; ++index) writeFile(destination() + "/" + std::to_string(index), "");
  const UniqueFd directory = openOrThrow(destination(), O_RDONLY | O_DIRECTORY);
  const std::vector<std::string> first = StagingBroker::inventory(directory.borrow());
  EXPECT_EQ(first.size(), 97u);
  // The listing works through a duplicate that shares its position with the
  // descriptor; a second listing must not start where the first ended.
  EXPECT_EQ(StagingBroker::inventory(directory.borrow()), first);
  EXPECT_EQ(std::count(first.begin(), first.end(), "."), 0);
  writeFile(destination() + "/97", "");
  EXPECT_EQ(faultOf([&] { (void)StagingBroker::inventory(directory.borrow()); }),
            policy("The staging inventory exceeds the entry limit."));
}

TEST_F(StagingPrimitivesTest, InventoryRefusesNamesThatAreNoUtf8) {
  writeFile(destination() + "/caf\xE9", "");
  const UniqueFd directory = openOrThrow(destination(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(faultOf([&] { (void)StagingBroker::inventory(directory.borrow()); }),
            policy("The staging inventory contains an invalid name."));
}

TEST_F(StagingPrimitivesTest, ExactInventoryCountsEveryName) {
  writeFile(destination() + "/a", "");
  writeFile(destination() + "/b", "");
  const UniqueFd directory = openOrThrow(destination(), O_RDONLY | O_DIRECTORY);
  EXPECT_NO_THROW(StagingBroker::requireExactInventory(directory.borrow(), {"b", "a"}));
  for (const std::vector<std::string>& expected :
       {std::vector<std::string>{"a"}, std::vector<std::string>{"a", "b", "c"}, std::vector<std::string>{"a", "a"}}) {
    EXPECT_EQ(faultOf([&] { StagingBroker::requireExactInventory(directory.borrow(), expected); }),
              policy("The staging directory contains an unexpected entry inventory."));
  }
}

TEST_F(StagingPrimitivesTest, RandomHexIsLowercaseAndFresh) {
  const std::string a = StagingBroker::randomHex(16);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, StagingBroker::randomHex(16));
}

TEST_F(StagingPrimitivesTest, RemovalLeavesAReplacementUnderItsName) {
  const std::string path = destination() + "/entry";
  writeFile(path, "original");
  const FileIdentity original = identityOf(path);
  writeFile(destination() + "/impostor", "original");
  ASSERT_EQ(::rename((destination() + "/impostor").c_str(), path.c_str()), 0);
  const UniqueFd directory = openOrThrow(destination(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(faultOf([&] {
              StagingBroker::removeOwnedRegularEntry(directory.borrow(), "entry", original, std::nullopt, std::nullopt);
            }),
            policy("An owned staging entry changed."));
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{"entry"});
  EXPECT_NE(identityOf(path).inode, original.inode);
}

TEST_F(StagingPrimitivesTest, RemovalProvesBytesAndDigestAndPutsTheEntryBack) {
  const std::string path = destination() + "/entry";
  writeFile(path, "record");
  const FileIdentity identity = identityOf(path);
  const UniqueFd directory = openOrThrow(destination(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(faultOf([&] {
              StagingBroker::removeOwnedRegularEntry(directory.borrow(), "entry", identity, std::string("other!"),
                                                     std::nullopt);
            }),
            policy("The staging ownership record changed."));
  EXPECT_EQ(faultOf([&] {
              StagingBroker::removeOwnedRegularEntry(directory.borrow(), "entry", identity, std::nullopt,
                                                     std::string(64, '0'));
            }),
            policy("The staged output digest changed."));
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{"entry"});
  EXPECT_EQ(identityOf(path).inode, identity.inode);
  EXPECT_EQ(faultOf([&] {
              StagingBroker::removeOwnedRegularEntry(directory.borrow(), "missing", identity, std::nullopt,
                                                     std::nullopt);
            }),
            policy("An owned staging entry could not be quarantined."));

  StagingBroker::removeOwnedRegularEntry(directory.borrow(), "entry", identity, std::string("record"),
                                         DescriptorDigest::sha256(bytesOf("record")));
  EXPECT_TRUE(entriesOf(destination()).empty());
}

TEST_F(StagingPrimitivesTest, RemovalAcceptsASecondLinkAndRemovesOnlyItsOwn) {
  writeFile(destination() + "/staged", "published bytes");
  ASSERT_EQ(::link((destination() + "/staged").c_str(), (root_ / "published").c_str()), 0);
  const FileIdentity identity = identityOf(destination() + "/staged");
  const UniqueFd directory = openOrThrow(destination(), O_RDONLY | O_DIRECTORY);
  StagingBroker::removeOwnedRegularEntry(directory.borrow(), "staged", identity, std::nullopt, std::nullopt);
  EXPECT_TRUE(entriesOf(destination()).empty());
  EXPECT_EQ(readFile(root_ / "published"), "published bytes");
  EXPECT_EQ(lstatOf(root_ / "published").st_nlink, 1u);
}

TEST_F(StagingPrimitivesTest, QuarantineOfAStagingRootMovesBackWhenItIsNotTheExpectedDirectory) {
  ASSERT_EQ(::mkdir(staging().c_str(), 0700), 0);
  FileIdentity other = identityOf(staging());
  other.inode += 1;
  EXPECT_EQ(faultOf([&] {
              (void)StagingBroker::quarantineStagingRoot(BorrowedFd(destinationDescriptor()), stagingName, other);
            }),
            policy("The staging directory identity changed."));
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});

  const std::string quarantine =
      StagingBroker::quarantineStagingRoot(BorrowedFd(destinationDescriptor()), stagingName, identityOf(staging()));
  EXPECT_TRUE(quarantine.starts_with(".quorvantelmic-cleanup-"));
  EXPECT_EQ(quarantine.size(), std::string(".quorvantelmic-cleanup-").size() + 32);
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{quarantine});
}

TEST_F(StagingPrimitivesTest, DirectorySynchronisationReportsUnsupportedFileSystems) {
  EXPECT_TRUE(StagingBroker::synchronizeDirectory(BorrowedFd(destinationDescriptor())));
  // procfs refuses fsync on its directories with EINVAL.
  const UniqueFd proc = openOrThrow("/proc", O_RDONLY | O_DIRECTORY);
  EXPECT_FALSE(StagingBroker::synchronizeDirectory(proc.borrow()));
}

TEST_F(StagingPrimitivesTest, PrivateDirectoryPolicy) {
  ASSERT_EQ(::mkdir(staging().c_str(), 0700), 0);
  const UniqueFd directory = openOrThrow(staging(), O_RDONLY | O_DIRECTORY);
  const dev_t device = identityOf(destination()).device;
  EXPECT_NO_THROW(StagingBroker::verifyPrivateStagingDirectory(directory.borrow(), identityOf(staging()), device));
  const HelperFault refused = policy("The staging directory failed its private-directory policy.");
  EXPECT_EQ(faultOf([&] { StagingBroker::verifyPrivateStagingDirectory(directory.borrow(), std::nullopt, device + 1); }),
            refused);
  FileIdentity stale = identityOf(staging());
  stale.modifiedNanoseconds = (stale.modifiedNanoseconds + 1) % 1000000000;
  EXPECT_EQ(faultOf([&] { StagingBroker::verifyPrivateStagingDirectory(directory.borrow(), stale, device); }), refused);
  for (const mode_t mode : {0500, 0710, 0701, 0600}) {
    ASSERT_EQ(::chmod(staging().c_str(), mode), 0);
    EXPECT_EQ(faultOf([&] { StagingBroker::verifyPrivateStagingDirectory(directory.borrow(), std::nullopt, device); }),
              refused)
        << std::oct << mode;
  }
}

TEST_F(StagingPrimitivesTest, InheritedDestinationMustBeTheExpectedReadOnlyDirectory) {
  const FileIdentity expected = FileIdentity(destinationIdentity());
  const UniqueFd duplicate = broker().openInheritedDestination(expected);
  EXPECT_NE(duplicate.get(), destinationDescriptor());
  const HelperFault changed = policy("The inherited destination identity changed.");
  FileIdentity stale = expected;
  stale.statusChangedSeconds -= 1;
  EXPECT_EQ(faultOf([&] { (void)broker().openInheritedDestination(stale); }), changed);
  writeFile(root_ / "file", "x");
  const UniqueFd file = openOrThrow(root_ / "file", O_RDONLY);
  EXPECT_EQ(faultOf([&] { (void)StagingBroker(file.get()).openInheritedDestination(identityOf(root_ / "file")); }),
            changed);
  int closed = 900;
  while (::fcntl(closed, F_GETFD) != -1) ++closed;
  EXPECT_EQ(faultOf([&] { (void)StagingBroker(closed).openInheritedDestination(expected); }),
            policy("The inherited destination descriptor is unavailable."));
}

}  // namespace
}  // namespace quorvantelmic
