#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/secure_file_reader.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/file_access/file_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace testing_support;

constexpr std::int64_t limit = 1 << 20;

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

TEST(SecureFileReaderTest, RecognisesOnlyCanonicalDescriptorPaths) {
  const SecureFileReader reader(42);
  EXPECT_EQ(reader.inheritedDescriptor("/dev/fd/3"), 42);
  EXPECT_EQ(reader.inheritedDescriptor("/dev/fd/7"), 7);
  EXPECT_EQ(reader.inheritedDescriptor("/dev/fd/1023"), 1023);
  for (const char* path : {"/dev/fd/07", "/dev/fd/+7", "/dev/fd/2", "/dev/fd/0", "/dev/fd/1024", "/dev/fd/",
                           "/dev/fd/7/", "/dev/fd/7a", "/dev/fd/-7", "/dev/fd/99999"}) {
    EXPECT_EQ(reader.inheritedDescriptor(path), std::nullopt) << path;
  }
}

TEST(SecureFileReaderTest, ReadsAPathUpToExactlyTheLimit) {
  TemporaryDirectory directory;
  const std::string contents(200000, 'q');
  writeFile(directory / "source", contents);
  const SecureFileReader reader;
  EXPECT_EQ(reader.readRegularFile(directory / "source", 200000), bytesOf(contents));
  EXPECT_EQ(faultOf([&] { (void)reader.readRegularFile(directory / "source", 199999); }),
            HelperFault(HelperErrorCode::resourceLimit, "The source exceeds the byte limit."));
  writeFile(directory / "empty", "");
  EXPECT_TRUE(reader.readRegularFile(directory / "empty", 0).empty());
}

TEST(SecureFileReaderTest, RefusesLeavesThatAreNoRegularFiles) {
  TemporaryDirectory directory;
  writeFile(directory / "target", "data");
  ASSERT_EQ(::symlink("target", (directory / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir((directory / "dir").c_str(), 0700), 0);
  const SecureFileReader reader;
  const auto before = openDescriptors();
  EXPECT_EQ(faultOf([&] { (void)reader.readRegularFile(directory / "link", limit); }),
            policy("The source could not be opened under the file policy."));
  EXPECT_EQ(faultOf([&] { (void)reader.readRegularFile(directory / "missing", limit); }),
            policy("The source could not be opened under the file policy."));
  // The FIFO opens without blocking and is then refused by its type.
  EXPECT_EQ(faultOf([&] { (void)reader.readRegularFile(directory / "fifo", limit); }),
            policy("The source must be a regular file."));
  EXPECT_EQ(faultOf([&] { (void)reader.readRegularFile(directory / "dir", limit); }),
            policy("The source must be a regular file."));
  EXPECT_EQ(faultOf([&] { (void)reader.readRegularFile(directory / "target/x", limit); }),
            policy("A parent path component is unavailable or disallowed."));
  EXPECT_EQ(openDescriptors(), before);
}

TEST(SecureFileReaderTest, RefusesAFileAppendedToDuringThePathRead) {
  TemporaryDirectory directory;
  const std::string path = directory / "growing";
  writeFile(path, std::string(100000, 'a'));
  const SecureFileReader reader(3, [&] { appendFile(path, "more"); });
  EXPECT_EQ(faultOf([&] { (void)reader.readRegularFile(path, limit); }),
            policy("The source changed while it was being read."));
}

TEST(SecureFileReaderTest, RefusesAPathWhoseLeafIsReplacedDuringTheRead) {
  TemporaryDirectory directory;
  const std::string path = directory / "source";
  writeFile(path, std::string(100000, 'a'));
  writeFile(directory / "impostor", std::string(100000, 'a'));
  const SecureFileReader reader(3, [&] { ASSERT_EQ(::rename((directory / "impostor").c_str(), path.c_str()), 0); });
  // The descriptor still reads the original, unchanged file; only the name
  // now leads elsewhere.
  EXPECT_EQ(faultOf([&] { (void)reader.readRegularFile(path, limit); }),
            policy("The source changed while it was being read."));
}

TEST(SecureFileReaderTest, ReadsAReadOnlyInheritedDescriptorWithoutMovingItsOffset) {
  TemporaryDirectory directory;
  const std::string contents = "0123456789abcdef";
  writeFile(directory / "source", contents);
  const UniqueFd inherited = openOrThrow(directory / "source", O_RDONLY);
  ASSERT_EQ(::lseek(inherited.get(), 5, SEEK_SET), 5);
  const SecureFileReader reader(inherited.get());
  const auto before = openDescriptors();
  EXPECT_EQ(reader.readRegularFile("/dev/fd/3", limit), bytesOf(contents));
  EXPECT_EQ(reader.readRegularFile("/dev/fd/" + std::to_string(inherited.get()), limit), bytesOf(contents));
  EXPECT_EQ(::lseek(inherited.get(), 0, SEEK_CUR), 5);
  EXPECT_EQ(openDescriptors(), before);
  // The parent's descriptor is still open and usable.
  char byte = 0;
  EXPECT_EQ(::read(inherited.get(), &byte, 1), 1);
  EXPECT_EQ(byte, '5');
}

TEST(SecureFileReaderTest, RefusesInheritedDescriptorsThatCanWriteOrCannotRead) {
  TemporaryDirectory directory;
  writeFile(directory / "source", "data");
  for (const int mode : {O_RDWR, O_WRONLY, O_PATH}) {
    const UniqueFd inherited = openOrThrow(directory / "source", mode);
    EXPECT_EQ(faultOf([&] { (void)SecureFileReader(inherited.get()).readRegularFile("/dev/fd/3", limit); }),
              policy("The inherited source must be a read-only regular file."));
  }
  const UniqueFd directoryDescriptor = openOrThrow(directory.path().string(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(faultOf([&] { (void)SecureFileReader(directoryDescriptor.get()).readRegularFile("/dev/fd/3", limit); }),
            policy("The inherited source must be a read-only regular file."));
  int closed = 900;
  while (::fcntl(closed, F_GETFD) != -1) ++closed;
  EXPECT_EQ(faultOf([&] { (void)SecureFileReader(closed).readRegularFile("/dev/fd/3", limit); }),
            policy("The inherited source descriptor is unavailable."));
}

TEST(SecureFileReaderTest, InheritedDescriptorLimitsAndEmptySources) {
  TemporaryDirectory directory;
  writeFile(directory / "empty", "");
  writeFile(directory / "ten", "0123456789");
  const UniqueFd empty = openOrThrow(directory / "empty", O_RDONLY);
  const UniqueFd ten = openOrThrow(directory / "ten", O_RDONLY);
  EXPECT_TRUE(SecureFileReader(empty.get()).readRegularFile("/dev/fd/3", 0).empty());
  EXPECT_EQ(SecureFileReader(ten.get()).readRegularFile("/dev/fd/3", 10).size(), 10u);
  EXPECT_EQ(faultOf([&] { (void)SecureFileReader(ten.get()).readRegularFile("/dev/fd/3", 9); }),
            HelperFault(HelperErrorCode::resourceLimit, "The source exceeds the byte limit."));
}

TEST(SecureFileReaderTest, RefusesAnInheritedSourceThatChangesDuringTheRead) {
  TemporaryDirectory directory;
  const std::string path = directory / "source";
  writeFile(path, std::string(200000, 'a'));
  const UniqueFd inherited = openOrThrow(path, O_RDONLY);
  EXPECT_EQ(faultOf([&] {
              (void)SecureFileReader(inherited.get(), [&] { appendFile(path, "x"); }).readRegularFile("/dev/fd/3", limit);
            }),
            policy("The inherited source changed while it was being read."));
  EXPECT_EQ(faultOf([&] {
              (void)SecureFileReader(inherited.get(), [&] { ASSERT_EQ(::truncate(path.c_str(), 70000), 0); })
                  .readRegularFile("/dev/fd/3", limit);
            }),
            policy("The inherited source length changed while it was being read."));
}

TEST(DescriptorDigestTest, HashesByPositionAndLeavesTheOffsetAlone) {
  TemporaryDirectory directory;
  writeFile(directory / "empty", "");
  writeFile(directory / "abc", "abc");
  const std::string large(300001, 'z');
  writeFile(directory / "large", large);
  const UniqueFd empty = openOrThrow(directory / "empty", O_RDONLY);
  const UniqueFd abc = openOrThrow(directory / "abc", O_RDONLY);
  const UniqueFd big = openOrThrow(directory / "large", O_RDONLY);
  ASSERT_EQ(::lseek(big.get(), 1234, SEEK_SET), 1234);
  EXPECT_EQ(DescriptorDigest::sha256(empty.borrow(), 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(DescriptorDigest::sha256(abc.borrow(), 3),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(DescriptorDigest::sha256(big.borrow(), limit), DescriptorDigest::sha256(bytesOf(large)));
  EXPECT_EQ(::lseek(big.get(), 0, SEEK_CUR), 1234);
}

TEST(DescriptorDigestTest, RefusesWhatItCannotHash) {
  TemporaryDirectory directory;
  writeFile(directory / "abc", "abc");
  const UniqueFd abc = openOrThrow(directory / "abc", O_RDONLY);
  const UniqueFd folder = openOrThrow(directory.path().string(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(faultOf([&] { (void)DescriptorDigest::sha256(abc.borrow(), 2); }),
            policy("The file could not be hashed under the file policy."));
  EXPECT_EQ(faultOf([&] { (void)DescriptorDigest::sha256(folder.borrow(), limit); }),
            policy("The file could not be hashed under the file policy."));
}

}  // namespace
}  // namespace quorvantelmic
