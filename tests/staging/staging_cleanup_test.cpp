#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "tests/staging/staging_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace testing_support;

class StagingCleanupTest : public StagingFixture {
 protected:
  // Everything under the destination, one level down, to prove that a refused
  // cleanup changed nothing.
  std::map<std::string, FileIdentity> snapshot() const {
    std::map<std::string, FileIdentity> entries;
    for (const std::string& name : entriesOf(destination())) {
      entries.emplace(name, identityOf(destination() + "/" + name));
      if (S_ISDIR(lstatOf(destination() + "/" + name).st_mode)) {
        for (const std::string& inner : entriesOf(destination() + "/" + name)) {
          entries.emplace(name + "/" + inner, identityOf(destination() + "/" + name + "/" + inner));
        }
      }
    }
    return entries;
  }
};

TEST_F(StagingCleanupTest, RemovesAFreshlyPreparedDirectory) {
  const PreparedStaging prepared = prepare({outputName(1)});
  const auto before = openDescriptors();
  const CleanedStaging cleaned = cleanup(prepared, {outputName(1)}, {});
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_TRUE(cleaned.directorySyncSupported);
  EXPECT_TRUE(entriesOf(destination()).empty());
}

TEST_F(StagingCleanupTest, RemovesBoundOutputsAndSkipsAbsentOnes) {
  const std::vector<std::string> names{outputName(1), outputName(2, "pdf"), outputName(3)};
  const PreparedStaging prepared = prepare(names);
  const StagedOutputBinding first = writeOutput(names[0], "first output");
  const StagedOutputBinding third = writeOutput(names[2], "third output");
  EXPECT_NO_THROW((void)cleanup(prepared, names, {third, first}));
  EXPECT_TRUE(entriesOf(destination()).empty());
}

TEST_F(StagingCleanupTest, TheSingleOutputFormNeedsBothHalvesOfItsBinding) {
  const PreparedStaging prepared = prepare({outputName(1)});
  const StagedOutputBinding written = writeOutput(outputName(1), "bytes");
  CleanupStagingArguments arguments{"/dev/fd/3", destinationIdentity(), stagingId, stagingName,
                                    currentIdentity(staging()), prepared.ownerIdentity.protocolValue(),
                                    outputName(1), written.identity, std::nullopt};
  const auto before = snapshot();
  EXPECT_EQ(faultOf([&] { (void)broker().cleanup(arguments); }),
            HelperFault(HelperErrorCode::invalidRequest, "The cleanup output binding is incomplete."));
  arguments.outputIdentity.reset();
  arguments.outputSha256 = written.sha256;
  EXPECT_EQ(faultOf([&] { (void)broker().cleanup(arguments); }),
            HelperFault(HelperErrorCode::invalidRequest, "The cleanup output binding is incomplete."));
  EXPECT_EQ(snapshot(), before);
  arguments.outputIdentity = written.identity;
  EXPECT_NO_THROW((void)broker().cleanup(arguments));
  EXPECT_TRUE(entriesOf(destination()).empty());
}

TEST_F(StagingCleanupTest, AnUnboundPresentOutputBlocksEverything) {
  const std::vector<std::string> names{outputName(1), outputName(2)};
  const PreparedStaging prepared = prepare(names);
  const StagedOutputBinding bound = writeOutput(names[0], "bound");
  (void)writeOutput(names[1], "unbound");
  const auto before = snapshot();
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, names, {bound}); }),
            policy("An unbound staged output prevents automatic cleanup."));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(StagingCleanupTest, AForeignFileBlocksEverything) {
  const PreparedStaging prepared = prepare({outputName(1)});
  const StagedOutputBinding bound = writeOutput(outputName(1), "bound");
  writeFile(inStaging("foreign.txt"), "not ours");
  const auto before = snapshot();
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, {outputName(1)}, {bound}); }),
            policy("The staging directory contains an unexpected entry inventory."));
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(readFile(inStaging("foreign.txt")), "not ours");
}

TEST_F(StagingCleanupTest, AnOutputStillLinkedIntoTheDestinationLosesOnlyItsStagingLink) {
  const PreparedStaging prepared = prepare({outputName(1)});
  const StagedOutputBinding bound = writeOutput(outputName(1), "published picture");
  ASSERT_EQ(::link(inStaging(outputName(1)).c_str(), (destination() + "/Holiday.png").c_str()), 0);
  EXPECT_NO_THROW((void)cleanup(prepared, {outputName(1)}, {bound}));
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{"Holiday.png"});
  EXPECT_EQ(readFile(destination() + "/Holiday.png"), "published picture");
  EXPECT_EQ(lstatOf(destination() + "/Holiday.png").st_nlink, 1u);
}

TEST_F(StagingCleanupTest, AFailureRemovingTheSecondOutputPutsEverythingElseBack) {
  const std::vector<std::string> names{outputName(1), outputName(2)};
  const PreparedStaging prepared = prepare(names);
  const StagedOutputBinding first = writeOutput(names[0], "first");
  const StagedOutputBinding second = writeOutput(names[1], "second");
  const FileIdentity secondBefore = identityOf(inStaging(names[1]));
  const StagingBroker interfering(destinationDescriptor(), [&](StagingBroker::TestPoint point, BorrowedFd directory,
                                                               std::string_view entry) {
    if (point != StagingBroker::TestPoint::beforeEntryRemoval || entry != names[1]) return;
    // Another process of the same user changes the second output after the scan.
    const UniqueFd file(::openat(directory.get(), names[1].c_str(), O_WRONLY | O_APPEND));
    ASSERT_TRUE(file.valid());
    ASSERT_EQ(::write(file.get(), "!", 1), 1);
  });
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, names, {first, second}, interfering); }),
            policy("An owned staging entry changed."));
  // The first output stays removed, the second is back under its own name and
  // the directory is back under its staging name; no quarantine name is left.
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", names[1]}));
  EXPECT_EQ(identityOf(inStaging(names[1])).inode, secondBefore.inode);
  EXPECT_EQ(readFile(inStaging(names[1])), "second!");
  EXPECT_EQ(identityOf(inStaging(".owner.json")), prepared.ownerIdentity);
}

TEST_F(StagingCleanupTest, OutputsThatDifferFromTheirBindingsBlockEverything) {
  const PreparedStaging prepared = prepare({outputName(1)});
  const StagedOutputBinding bound = writeOutput(outputName(1), "contents");
  const auto before = snapshot();

  StagedOutputBinding wrongDigest = bound;
  wrongDigest.sha256 = DescriptorDigest::sha256(bytesOf("CONTENTS"));
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, {outputName(1)}, {wrongDigest}); }),
            policy("The staged output digest changed."));
  StagedOutputBinding wrongInode = bound;
  wrongInode.identity.inode = "1";
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, {outputName(1)}, {wrongInode}); }),
            policy("An owned staging entry changed."));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(StagingCleanupTest, SwappedOutputNamesAreDetected) {
  const std::vector<std::string> names{outputName(1), outputName(2)};
  const PreparedStaging prepared = prepare(names);
  const StagedOutputBinding first = writeOutput(names[0], "same size A");
  const StagedOutputBinding second = writeOutput(names[1], "same size B");
  ASSERT_EQ(::rename(inStaging(names[0]).c_str(), inStaging("swap").c_str()), 0);
  ASSERT_EQ(::rename(inStaging(names[1]).c_str(), inStaging(names[0]).c_str()), 0);
  ASSERT_EQ(::rename(inStaging("swap").c_str(), inStaging(names[1]).c_str()), 0);
  const auto before = snapshot();
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, names, {first, second}); }), policy("An owned staging entry changed."));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(StagingCleanupTest, ARecordThatChangedBlocksEverything) {
  const PreparedStaging prepared = prepare({outputName(1)});
  // Same length, other bytes: a rewrite by someone who can write the file.
  std::string record = readFile(inStaging(".owner.json"));
  record.back() = ']';
  writeFile(inStaging(".owner.json"), record);
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, {outputName(1)}, {}); }), policy("An owned staging entry changed."));
  EXPECT_EQ(entriesOf(staging()), std::set<std::string>{".owner.json"});
}

TEST_F(StagingCleanupTest, TheRecordMustNameExactlyThePlannedOutputs) {
  const PreparedStaging prepared = prepare({outputName(1)});
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, {outputName(2)}, {}); }),
            policy("The staging ownership record changed."));
  EXPECT_EQ(entriesOf(staging()), std::set<std::string>{".owner.json"});
}

TEST_F(StagingCleanupTest, ARecreatedStagingDirectoryIsNotOurs) {
  const PreparedStaging prepared = prepare({outputName(1)});
  ASSERT_EQ(::rename(staging().c_str(), (destination() + "/moved").c_str()), 0);
  ASSERT_EQ(::mkdir(staging().c_str(), 0700), 0);
  const auto before = snapshot();
  EXPECT_EQ(faultOf([&] {
              (void)broker().cleanup("/dev/fd/3", destinationIdentity(), stagingId, stagingName,
                                     prepared.stagingIdentity.protocolValue(),
                                     prepared.ownerIdentity.protocolValue(), {outputName(1)}, {});
            }),
            policy("The staging directory failed its private-directory policy."));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(StagingCleanupTest, RefusesMalformedBindingsBeforeOpeningAnything) {
  const PreparedStaging prepared = prepare({outputName(1), outputName(2)});
  const StagedOutputBinding bound = writeOutput(outputName(1), "x");
  const std::vector<std::string> names{outputName(1), outputName(2)};
  const HelperFault inventory(HelperErrorCode::invalidRequest, "The cleanup output binding inventory is invalid.");
  StagedOutputBinding unplanned = bound;
  unplanned.outputName = outputName(3);
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, names, {unplanned}); }), inventory);
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, names, {bound, bound}); }), inventory);
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, {outputName(1)}, {bound, bound}); }), inventory);

  StagedOutputBinding badDigest = bound;
  badDigest.sha256 = std::string(64, 'F');
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, names, {badDigest}); }),
            HelperFault(HelperErrorCode::invalidRequest, "The output digest is invalid."));
  StagedOutputBinding empty = bound;
  empty.identity.size = "0";
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, names, {empty}); }),
            HelperFault(HelperErrorCode::resourceLimit, "The cleanup output binding exceeds its byte limit."));
  StagedOutputBinding large = bound;
  large.identity.size = "300000000";
  StagedOutputBinding alsoLarge = large;
  alsoLarge.outputName = outputName(2);
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, names, {large, alsoLarge}); }),
            HelperFault(HelperErrorCode::resourceLimit, "The cleanup output set exceeds its aggregate byte limit."));
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", outputName(1)}));

  // The destination path comes first of all.
  EXPECT_EQ(faultOf([&] {
              (void)broker().cleanup("/dev/fd/4", destinationIdentity(), stagingId, stagingName,
                                     prepared.stagingIdentity.protocolValue(),
                                     prepared.ownerIdentity.protocolValue(), {}, {unplanned});
            }),
            policy("Staging cleanup requires the inherited destination descriptor."));
}

}  // namespace
}  // namespace quorvantelmic
