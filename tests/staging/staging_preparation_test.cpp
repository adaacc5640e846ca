#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/staging/staging_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace testing_support;

class StagingPreparationTest : public StagingFixture {};

TEST_F(StagingPreparationTest, CreatesAPrivateDirectoryWithItsExactOwnershipRecord) {
  const auto before = openDescriptors();
  const PreparedStaging prepared = prepare({outputName(1), outputName(2, "jpg")});
  EXPECT_EQ(openDescriptors(), before);

  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});
  EXPECT_EQ(entriesOf(staging()), std::set<std::string>{".owner.json"});
  const struct stat directory = lstatOf(staging());
  EXPECT_TRUE(S_ISDIR(directory.st_mode));
  EXPECT_EQ(directory.st_mode & 07777, 0700u);
  EXPECT_EQ(prepared.stagingIdentity, FileIdentity::of(directory));

  const struct stat record = lstatOf(inStaging(".owner.json"));
  EXPECT_EQ(record.st_mode & 07777, 0400u);
  EXPECT_EQ(record.st_nlink, 1u);
  EXPECT_EQ(prepared.ownerIdentity, FileIdentity::of(record));
  EXPECT_EQ(readFile(inStaging(".owner.json")),
            "{\"expectedEntryNames\":[\".owner.json\",\"output-00000000000000000000000000000001.png\","
            "\"output-00000000000000000000000000000002.jpg\"],\"schemaVersion\":1,"
            "\"stagingId\":\"3f2c7a10-5b4e-4d2a-9c1e-7a8b9c0d1e2f\"}");
  EXPECT_TRUE(prepared.directorySyncSupported);
}

TEST_F(StagingPreparationTest, ChecksItsArgumentsInOrderBeforeCreatingAnything) {
  const ProtocolFileIdentity identity = destinationIdentity();
  const std::vector<std::string> good{outputName(1)};
  const auto attempt = [&](std::string_view path, std::string_view id, std::string_view name,
                           const std::vector<std::string>& names) {
    return faultOf([&] { (void)broker().prepare(path, identity, id, name, names); });
  };
  for (const char* path : {"/dev/fd/3/", "/dev/fd/4", "/dev/fd/03", "/tmp"}) {
    EXPECT_EQ(attempt(path, "bad", "bad", {}), policy("Staging preparation requires the inherited destination descriptor."));
  }
  EXPECT_EQ(attempt("/dev/fd/3", "bad", "bad", {}), policy("The staging directory name is invalid."));
  EXPECT_EQ(attempt("/dev/fd/3", "bad", stagingName, {}), policy("The staged output-name inventory is invalid."));
  EXPECT_EQ(attempt("/dev/fd/3", "bad", stagingName, {"photo.png"}), policy("The staged output name is invalid."));
  EXPECT_EQ(attempt("/dev/fd/3", "3F2C7A10-5B4E-4D2A-9C1E-7A8B9C0D1E2F", stagingName, good),
            policy("The staging identifier is invalid."));
  ProtocolFileIdentity outOfRange = identity;
  outOfRange.modifiedNanoseconds = "1000000000";
  EXPECT_EQ(faultOf([&] { (void)broker().prepare("/dev/fd/3", outOfRange, stagingId, stagingName, good); }),
            HelperFault(HelperErrorCode::invalidRequest, "The file identity is outside the platform range."));
  EXPECT_TRUE(entriesOf(destination()).empty());
}

TEST_F(StagingPreparationTest, RefusesADestinationWhoseIdentityMovedOn) {
  const ProtocolFileIdentity stale = destinationIdentity();
  // Any change to the destination, here a newer modification time, counts.
  writeFile(destination() + "/note", "");
  ASSERT_EQ(::unlink((destination() + "/note").c_str()), 0);
  EXPECT_EQ(faultOf([&] { (void)broker().prepare("/dev/fd/3", stale, stagingId, stagingName, {outputName(1)}); }),
            policy("The inherited destination identity changed."));
  EXPECT_TRUE(entriesOf(destination()).empty());
}

TEST_F(StagingPreparationTest, ASecondPreparationWithTheSameNameLeavesTheFirstUntouched) {
  const PreparedStaging first = prepare({outputName(1)});
  const std::string record = readFile(inStaging(".owner.json"));
  const FileIdentity directory = identityOf(staging());
  EXPECT_EQ(faultOf([&] { (void)prepare({outputName(2)}); }),
            HelperFault(HelperErrorCode::outputExists, "The private staging directory already exists."));
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});
  EXPECT_EQ(identityOf(staging()), directory);
  EXPECT_EQ(identityOf(inStaging(".owner.json")), first.ownerIdentity);
  EXPECT_EQ(readFile(inStaging(".owner.json")), record);
}

TEST_F(StagingPreparationTest, Accepts96NamesAndRefuses97BeforeCreatingAnything) {
  std::vector<std::string> names;
  for (int index = 0; index < 97; ++index) names.push_back(outputName(index));
  EXPECT_EQ(faultOf([&] { (void)prepare(names); }), policy("The staged output-name inventory is invalid."));
  EXPECT_TRUE(entriesOf(destination()).empty());
  names.pop_back();
  (void)prepare(names);
  const nlohmann::json record = nlohmann::json::parse(readFile(inStaging(".owner.json")));
  ASSERT_EQ(record["expectedEntryNames"].size(), 97u);
  EXPECT_EQ(record["expectedEntryNames"][0], ".owner.json");
  EXPECT_EQ(record["expectedEntryNames"][96], outputName(95));
}

TEST_F(StagingPreparationTest, RollsBackTheRecordButKeepsADirectoryHoldingSomethingForeign) {
  const StagingBroker intruded(destinationDescriptor(),
                               [](StagingBroker::TestPoint point, BorrowedFd directory, std::string_view) {
                                 if (point != StagingBroker::TestPoint::ownerRecordCreated) return;
                                 const UniqueFd file(::openat(directory.get(), "intruder", O_CREAT | O_WRONLY, 0600));
                                 ASSERT_TRUE(file.valid());
                               });
  EXPECT_EQ(faultOf([&] {
              (void)intruded.prepare("/dev/fd/3", destinationIdentity(), stagingId, stagingName, {outputName(1)});
            }),
            policy("The staging directory contains an unexpected entry inventory."));
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});
  EXPECT_EQ(entriesOf(staging()), std::set<std::string>{"intruder"});
}

TEST_F(StagingPreparationTest, RollsBackCompletelyWhenTheDirectoryChangesAfterItsIdentityWasTaken) {
  const StagingBroker touched(destinationDescriptor(),
                              [](StagingBroker::TestPoint point, BorrowedFd directory, std::string_view) {
                                if (point != StagingBroker::TestPoint::stagingIdentityRecorded) return;
                                {
                                  const UniqueFd file(::openat(directory.get(), "t", O_CREAT | O_WRONLY, 0600));
                                  ASSERT_TRUE(file.valid());
                                }
                                ASSERT_EQ(::unlinkat(directory.get(), "t", 0), 0);
                              });
  EXPECT_EQ(faultOf([&] {
              (void)touched.prepare("/dev/fd/3", destinationIdentity(), stagingId, stagingName, {outputName(1)});
            }),
            policy("The staging directory identity changed."));
  // The record and the directory went through their quarantine names and are
  // gone; the name is free again.
  EXPECT_TRUE(entriesOf(destination()).empty());
  EXPECT_NO_THROW((void)prepare({outputName(1)}));
}

TEST_F(StagingPreparationTest, RefusesADestinationDescriptorThatIsNoReadOnlyDirectory) {
  writeFile(root_ / "file", "x");
  const UniqueFd file = openOrThrow(root_ / "file", O_RDONLY);
  EXPECT_EQ(faultOf([&] {
              (void)StagingBroker(file.get()).prepare("/dev/fd/3", currentIdentity(root_ / "file"), stagingId,
                                                      stagingName, {outputName(1)});
            }),
            policy("The inherited destination identity changed."));
}

}  // namespace
}  // namespace quorvantelmic
