// Publication and cleanup when the file system fails underneath them: each
// failure either changes nothing or leaves the user's file whole, and a
// later request can finish the work.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tests/staging/staging_test_support.hpp"
#include "tests/fault_injection/system_call_faults.hpp"

namespace quorvantelmic {
namespace {

using namespace testing_support;

class InjectedFaults : public PublicationFixture {
 protected:
  void TearDown() override { clearInjectedFaults(); }

  // The staging directory holds the record and the staged output under its
  // own name, and the destination nothing else: the failed request changed
  // nothing a retry depends on.
  void expectUnchanged(const StagedOutputBinding& output) const {
    EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});
    EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", output.outputName}));
  }

  PublishedOutput publish(const PreparedStaging& prepared, const StagedOutputBinding& output) const {
    return PublicationBroker(destinationDescriptor()).publish(arguments(prepared, output, "Holiday"));
  }
};

TEST_F(InjectedFaults, AFailureBeforeTheCommitChangesNothingAndTheRetryPublishes) {
  struct Case {
    SystemCall call;
    int error;
    int letThrough;
    const char* message;
  };
  for (const Case& c : {
           Case{SystemCall::fsync, EIO, 0, "The staged output could not be synchronized before publication."},
           // A file system without RENAME_NOREPLACE: never a replacing rename.
           Case{SystemCall::renameat2, EINVAL, 0, "The validated staged output could not be pinned for publication."},
           Case{SystemCall::linkat, EXDEV, 0, "The validated output could not be linked into the destination."},
           // The link is made, then the output's own synchronisation fails:
           // the new name is removed again.
           Case{SystemCall::fsync, EIO, 1, "The committed output could not be synchronized."},
       }) {
    SCOPED_TRACE(c.message);
    const auto [prepared, output] = staged(outputName(1), "picture");
    injectFault(c.call, c.error, c.letThrough);
    EXPECT_EQ(faultOf([&] { (void)publish(prepared, output); }), policy(c.message));
    EXPECT_EQ(injectedFailures(c.call), 1);
    clearInjectedFaults();
    expectUnchanged(output);

    StagedOutputBinding current = output;
    current.identity = currentIdentity(inStaging(output.outputName));
    const PublishedOutput published = publish(prepared, current);
    EXPECT_EQ(published.displayName, "Holiday.png");
    EXPECT_EQ(readFile(destination() + "/Holiday.png"), "picture");
    (void)cleanup(prepared, {output.outputName}, {});
    ASSERT_EQ(::unlink((destination() + "/Holiday.png").c_str()), 0);
  }
}

TEST_F(InjectedFaults, AFailedRemovalAfterALinkNeverLosesTheOutput) {
  // The output's synchronisation fails after the link, and so does the
  // removal of the new name: the file keeps a name the helper can prove, and
  // the staged output is back under its own.
  const auto [prepared, output] = staged(outputName(1), "picture");
  injectFault(SystemCall::fsync, EIO, 1);
  injectFault(SystemCall::unlinkat, EIO);
  EXPECT_EQ(faultOf([&] { (void)publish(prepared, output); }),
            policy("The committed output could not be synchronized."));
  clearInjectedFaults();
  EXPECT_EQ(readFile(inStaging(output.outputName)), "picture");
  for (const std::string& name : entriesOf(destination())) {
    if (name != stagingName) {
      EXPECT_EQ(readFile(destination() + "/" + name), "picture") << name;
    }
  }
}

TEST_F(InjectedFaults, AFailureAfterTheCommitOnlyAsksForACleanup) {
  const auto [prepared, output] = staged(outputName(1), "picture");
  injectFault(SystemCall::unlinkat, EIO);  // the staged pin cannot be removed
  const PublishedOutput published = publish(prepared, output);
  EXPECT_TRUE(published.stagingCleanupPending);
  EXPECT_EQ(readFile(destination() + "/Holiday.png"), "picture");
  EXPECT_EQ(published.committedIdentity, identityOf(destination() + "/Holiday.png"));
  // The pin stayed behind as a second name of the published file; the
  // cleanup it asks for removes that name and leaves the file whole.
  clearInjectedFaults();
  (void)cleanup(prepared, {output.outputName}, {});
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{"Holiday.png"});
  EXPECT_EQ(readFile(destination() + "/Holiday.png"), "picture");
  struct stat status {};
  ASSERT_EQ(::stat((destination() + "/Holiday.png").c_str(), &status), 0);
  EXPECT_EQ(status.st_nlink, 1u);
}

TEST_F(InjectedFaults, APreparationWhoseRecordCannotBeSynchronizedLeavesNothing) {
  injectFault(SystemCall::fsync, EIO);
  EXPECT_EQ(faultOf([&] { (void)prepare({outputName(1)}); }),
            policy("The staging ownership record could not be synchronized."));
  clearInjectedFaults();
  EXPECT_TRUE(entriesOf(destination()).empty());
}

TEST_F(InjectedFaults, ACleanupThatFailsAfterRemovingTheRecordCanBeRepeated) {
  struct Case {
    SystemCall call;
    int letThrough;
    const char* message;  // nothing: the cleanup itself succeeds
  };
  for (const Case& c : {
           // The record's removal (after the output's): it goes back under its
           // name, with a new status-change time.
           Case{SystemCall::unlinkat, 1, "An identity-bound staging entry could not be removed."},
           // The emptied directory's own removal: it goes back empty.
           Case{SystemCall::unlinkat, 2, "The empty staging directory could not be removed."},
           // The emptied directory's synchronisation is only reported.
           Case{SystemCall::fsync, 0, nullptr},
       }) {
    SCOPED_TRACE(c.message != nullptr ? c.message : "synchronisation");
    const auto [prepared, output] = staged(outputName(1), "picture");
    injectFault(c.call, EIO, c.letThrough);
    if (c.message != nullptr) {
      EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, {output.outputName}, {output}); }), policy(c.message));
      clearInjectedFaults();
      EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});
    }
    EXPECT_EQ(cleanup(prepared, {output.outputName}, {output}).directorySyncSupported, c.message != nullptr);
    clearInjectedFaults();
    EXPECT_TRUE(entriesOf(destination()).empty());
  }
}

TEST_F(InjectedFaults, DirectoriesThatCannotBeSynchronizedAreReportedNotRefused) {
  const auto [prepared, output] = staged(outputName(1), "picture");
  // The two file synchronisations pass; the destination's fails as on a file
  // system that cannot synchronise directories.
  injectFault(SystemCall::fsync, EINVAL, 2);
  const PublishedOutput published = publish(prepared, output);
  EXPECT_FALSE(published.directorySyncSupported);
  EXPECT_FALSE(published.stagingCleanupPending);
  EXPECT_EQ(readFile(destination() + "/Holiday.png"), "picture");
}

TEST_F(InjectedFaults, ASetWhoseSecondLinkFailsLeavesTheDestinationAsItWas) {
  const PreparedStaging prepared = prepare({outputName(1), outputName(2)});
  const StagedOutputBinding first = writeOutput(outputName(1), "page one");
  const StagedOutputBinding second = writeOutput(outputName(2), "page two");
  injectFault(SystemCall::linkat, ENOSPC, 1);
  const PublicationBroker broker(destinationDescriptor());
  EXPECT_EQ(faultOf([&] { (void)broker.publishSet(setArguments(prepared, {{first, "Scan 1"}, {second, "Scan 2"}})); }),
            policy("A validated output could not be linked into the destination."));
  clearInjectedFaults();
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", first.outputName, second.outputName}));
}

TEST_F(InjectedFaults, ShortReadsProveAsMuchAsWholeOnes) {
  limitReads(3);
  const auto [prepared, output] = staged(outputName(1), "a picture of some length");
  EXPECT_FALSE(publish(prepared, output).stagingCleanupPending);
  EXPECT_EQ(readFile(destination() + "/Holiday.png"), "a picture of some length");
  (void)cleanup(prepared, {output.outputName}, {});
  // An abandoned output is proved by its digest before it is removed.
  const auto [again, abandoned] = staged(outputName(2), "another picture");
  (void)cleanup(again, {abandoned.outputName}, {abandoned});
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{"Holiday.png"});
}

TEST_F(InjectedFaults, ACleanupThatCannotQuarantineLeavesTheDirectoryForTheNextOne) {
  const auto [prepared, output] = staged(outputName(1), "picture");
  injectFault(SystemCall::renameat2, EINVAL);
  EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, {output.outputName}, {output}); }),
            policy("The staging directory could not be quarantined for cleanup."));
  clearInjectedFaults();
  expectUnchanged(output);
  (void)cleanup(prepared, {output.outputName}, {output});
  EXPECT_TRUE(entriesOf(destination()).empty());
}

}  // namespace
}  // namespace quorvantelmic
