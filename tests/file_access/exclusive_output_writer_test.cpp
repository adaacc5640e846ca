#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "helper_core/file_access/exclusive_output_writer.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "tests/file_access/file_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace testing_support;

const std::string stagedName = "output-0123456789abcdef0123456789abcdef.png";

HelperFault faultOf(const auto& call) {
  try {
    call();
  } catch (const HelperFault& fault) {
    return fault;
  }
  ADD_FAILURE() << "no fault";
  return HelperFault(HelperErrorCode::internalError, "");
}

HelperFault policy(const char* message) { return HelperFault(HelperErrorCode::filesystemPolicy, message); }

const ExclusiveOutputWriter::Validator acceptAll = [](std::span<const std::uint8_t>) {};

TEST(ExclusiveOutputWriterTest, WritesAReadOnlySingleLinkFileAndReportsItsIdentity) {
  TemporaryDirectory directory;
  const std::string path = directory / "out.png";
  // Over two read-back chunks and not a whole number of them, with bytes
  // that differ from chunk to chunk, so that a comparison at a wrong offset
  // fails.
  std::string content(150000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 251 % 26);
  const std::vector<std::uint8_t> bytes = bytesOf(content);
  std::vector<std::uint8_t> validated;
  const WrittenOutputBinding binding = ExclusiveOutputWriter().write(
      bytes, path, [&](std::span<const std::uint8_t> readBack) { validated.assign(readBack.begin(), readBack.end()); });
  EXPECT_EQ(binding.path, path);
  EXPECT_EQ(validated, bytes);
  const struct stat status = lstatOf(path);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0400u);
  EXPECT_EQ(status.st_nlink, 1u);
  EXPECT_EQ(status.st_uid, ::geteuid());
  EXPECT_EQ(binding.identity, FileIdentity::of(status));
  EXPECT_EQ(readFile(path), content);
}

TEST(ExclusiveOutputWriterTest, NeverReplacesAnExistingNameOrLink) {
  TemporaryDirectory directory;
  writeFile(directory / "existing", "keep");
  ASSERT_EQ(::symlink("nowhere", (directory / "dangling").c_str()), 0);
  ASSERT_EQ(::mkdir((directory / "folder").c_str(), 0700), 0);
  const auto before = openDescriptors();
  for (const char* name : {"existing", "dangling", "folder"}) {
    EXPECT_EQ(faultOf([&] { (void)ExclusiveOutputWriter().write(bytesOf("new"), directory / name, acceptAll); }),
              HelperFault(HelperErrorCode::outputExists, "The output path already exists."))
        << name;
  }
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_EQ(readFile(directory / "existing"), "keep");
  char target[16] = {};
  EXPECT_EQ(::readlink((directory / "dangling").c_str(), target, sizeof target - 1), 7);
  EXPECT_STREQ(target, "nowhere");
  EXPECT_FALSE(exists(directory / "nowhere"));
}

TEST(ExclusiveOutputWriterTest, RefusesEmptyAndOversizedOutputsBeforeOpeningAnything) {
  TemporaryDirectory directory;
  EXPECT_EQ(faultOf([&] { (void)ExclusiveOutputWriter().write({}, directory / "a", acceptAll); }),
            HelperFault(HelperErrorCode::resourceLimit, "The encoded output exceeds the byte limit."));
  // An untouched reservation stands in for a buffer one byte over the limit.
  const auto oversized = static_cast<std::size_t>(HelperLimits::maximumOutputBytes) + 1;
  void* memory = ::mmap(nullptr, oversized, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  const std::span<const std::uint8_t> huge(static_cast<const std::uint8_t*>(memory), oversized);
  EXPECT_EQ(faultOf([&] { (void)ExclusiveOutputWriter().write(huge, directory / "a", acceptAll); }),
            HelperFault(HelperErrorCode::resourceLimit, "The encoded output exceeds the byte limit."));
  ::munmap(memory, oversized);
  EXPECT_TRUE(entriesOf(directory.path()).empty());
}

TEST(ExclusiveOutputWriterTest, AThrowingValidatorLeavesNoFileAndItsFaultThrough) {
  TemporaryDirectory directory;
  const HelperFault expected(HelperErrorCode::encodeFailed, "The PNG output failed validation.");
  EXPECT_EQ(faultOf([&] {
              (void)ExclusiveOutputWriter().write(bytesOf("png"), directory / "out.png",
                                                  [&](std::span<const std::uint8_t>) { throw expected; });
            }),
            expected);
  EXPECT_TRUE(entriesOf(directory.path()).empty());
}

TEST(ExclusiveOutputWriterTest, NeverRemovesAReplacementMadeBeforeTheFailure) {
  TemporaryDirectory directory;
  const std::string path = directory / "out.png";
  writeFile(directory / "other", "someone else's");
  EXPECT_THROW((void)ExclusiveOutputWriter().write(bytesOf("png"), path,
                                                   [&](std::span<const std::uint8_t>) {
                                                     ASSERT_EQ(::rename((directory / "other").c_str(), path.c_str()), 0);
                                                     throw HelperFault(HelperErrorCode::encodeFailed, "Bad.");
                                                   }),
               HelperFault);
  EXPECT_EQ(readFile(path), "someone else's");
}

TEST(ExclusiveOutputWriterTest, RemoveIfStillOwnedComparesDeviceAndInodeOnly) {
  TemporaryDirectory directory;
  writeFile(directory / "mine", "1");
  FileIdentity mine = identityOf(directory / "mine");
  writeFile(directory / "other", "2");
  const UniqueFd parent = openOrThrow(directory.path().string(), O_RDONLY | O_DIRECTORY);
  ExclusiveOutputWriter::removeIfStillOwned(parent.borrow(), "other", mine);
  EXPECT_TRUE(exists(directory / "other"));
  ExclusiveOutputWriter::removeIfStillOwned(parent.borrow(), "missing", mine);
  mine.size = 99;  // a grown file is still the same file
  ExclusiveOutputWriter::removeIfStillOwned(parent.borrow(), "mine", mine);
  EXPECT_FALSE(exists(directory / "mine"));
}

class InheritedOutputDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(outputs().c_str(), 0700), 0);
    descriptor_ = openOrThrow(outputs(), O_RDONLY | O_DIRECTORY);
  }
  std::string outputs() const { return directory_ / "outputs"; }
  ExclusiveOutputWriter writer() const { return ExclusiveOutputWriter(descriptor_.get()); }

  TemporaryDirectory directory_;
  UniqueFd descriptor_;
};

TEST_F(InheritedOutputDirectoryTest, WritesStagedNamesIntoTheInheritedDirectory) {
  const std::string path = "/dev/fd/4/" + stagedName;
  const WrittenOutputBinding binding = writer().write(bytesOf("image"), path, acceptAll);
  EXPECT_EQ(binding.path, path);
  EXPECT_EQ(binding.identity, identityOf(outputs() + "/" + stagedName));
  EXPECT_EQ(readFile(outputs() + "/" + stagedName), "image");
  // The inherited descriptor itself stays open and in place.
  EXPECT_NE(::fcntl(descriptor_.get(), F_GETFD), -1);
}

TEST_F(InheritedOutputDirectoryTest, RefusesNamesThatAreNoStagedOutputNamesBeforeCreatingAnything) {
  ASSERT_EQ(::mkdir((outputs() + "/sub").c_str(), 0700), 0);
  for (const std::string& leaf : {std::string("picture.png"), "sub/" + stagedName, std::string(""),
                                 std::string("output-0123456789ABCDEF0123456789abcdef.png"),
                                 std::string("output-0123456789abcdef0123456789abcdef.jpeg")}) {
    EXPECT_EQ(faultOf([&] { (void)writer().write(bytesOf("x"), "/dev/fd/4/" + leaf, acceptAll); }),
              policy("The inherited output name failed its file policy."))
        << leaf;
  }
  EXPECT_EQ(entriesOf(outputs()), std::set<std::string>{"sub"});
  EXPECT_TRUE(entriesOf(outputs() + "/sub").empty());
}

TEST_F(InheritedOutputDirectoryTest, RefusesADirectoryOpenToGroupOrOthers) {
  for (const mode_t mode : {0750, 0705, 0701, 0770}) {
    ASSERT_EQ(::chmod(outputs().c_str(), mode), 0);
    EXPECT_EQ(faultOf([&] { (void)writer().write(bytesOf("x"), "/dev/fd/4/" + stagedName, acceptAll); }),
              policy("The inherited output directory failed its file policy."))
        << std::oct << mode;
  }
  EXPECT_TRUE(entriesOf(outputs()).empty());
}

TEST_F(InheritedOutputDirectoryTest, RefusesAnInheritedDescriptorThatIsNoDirectory) {
  writeFile(directory_ / "file", "x");
  const UniqueFd file = openOrThrow(directory_ / "file", O_RDONLY);
  EXPECT_EQ(faultOf([&] {
              (void)ExclusiveOutputWriter(file.get()).write(bytesOf("x"), "/dev/fd/4/" + stagedName, acceptAll);
            }),
            policy("The inherited output directory failed its file policy."));
  int closed = 900;
  while (::fcntl(closed, F_GETFD) != -1) ++closed;
  EXPECT_EQ(faultOf([&] {
              (void)ExclusiveOutputWriter(closed).write(bytesOf("x"), "/dev/fd/4/" + stagedName, acceptAll);
            }),
            policy("The inherited output directory failed its file policy."));
}

}  // namespace
}  // namespace quorvantelmic
