// The paths where the file system refuses the helper's user. Root is never
// refused, so when the suite runs as root (as in CI) each case runs in a
// child process that has become an unprivileged user first.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "tests/staging/staging_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace testing_support;

constexpr uid_t unprivilegedUser = 65534;  // nobody

class PermissionDenied : public PublicationFixture {
 protected:
  // Runs `body` as a user the file system can refuse, in a child process;
  // the child's failures fail the test through its exit status.
  void asUnprivilegedUser(const std::function<void()>& body) {
    EXPECT_EXIT(
        {
          if (::geteuid() == 0) {
            if (::chown(root_.path().c_str(), unprivilegedUser, unprivilegedUser) != 0 ||
                ::chown(destination().c_str(), unprivilegedUser, unprivilegedUser) != 0 ||
                ::setgid(unprivilegedUser) != 0 || ::setuid(unprivilegedUser) != 0) {
              std::_Exit(3);
            }
          }
          body();
          std::_Exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
  }

  void setDestinationMode(mode_t mode) const { ASSERT_EQ(::chmod(destination().c_str(), mode), 0); }
};

TEST_F(PermissionDenied, AReadOnlyDestinationRefusesPreparationPublicationAndCleanupAndKeepsEverything) {
  asUnprivilegedUser([&] {
    setDestinationMode(0500);
    EXPECT_EQ(faultOf([&] { (void)prepare({outputName(1)}); }),
              policy("The private staging directory could not be created."));
    setDestinationMode(0700);

    const auto [prepared, output] = staged(outputName(1), "picture");
    setDestinationMode(0500);
    EXPECT_EQ(faultOf([&] { (void)PublicationBroker(destinationDescriptor()).publish(arguments(prepared, output, "Holiday")); }),
              policy("The validated output could not be linked into the destination."));
    EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", output.outputName}));
    EXPECT_EQ(faultOf([&] { (void)cleanup(prepared, {output.outputName}, {output}); }),
              policy("The staging directory could not be quarantined for cleanup."));
    EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});

    // Once the user may write again, the same requests finish the work.
    setDestinationMode(0700);
    StagedOutputBinding current = output;
    current.identity = currentIdentity(inStaging(output.outputName));
    EXPECT_EQ(PublicationBroker(destinationDescriptor()).publish(arguments(prepared, current, "Holiday")).displayName,
              "Holiday.png");
    (void)cleanup(prepared, {output.outputName}, {});
    EXPECT_EQ(entriesOf(destination()), std::set<std::string>{"Holiday.png"});
  });
}

}  // namespace
}  // namespace quorvantelmic
