// The helper killed with SIGKILL before each of its state-changing system
// calls in turn (creating opens, directory and link changes, renames,
// permission changes, writes, synchronisation), across every helper process
// of one whole conversion: staging, the output's write, publication and
// cleanup. The killer (system-call-killer) dooms every helper started after
// the kill as well, so nothing but the destination's state is left to the
// recovery. At each kill point the user's own files must be untouched and any
// published name complete; once `cleanup` has run, the destination must hold
// exactly what it held before or exactly what an uninterrupted conversion
// leaves, and nothing of the helper's own.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/client/client_test_support.hpp"

namespace quorvantelmic::client_testing {
namespace {

using testing_support::readFile;
using testing_support::writeFile;

using Contents = std::map<std::string, std::string>;

// Each entry's bytes; a directory (a staging directory left behind) stands
// as a marker no file can equal.
Contents contentsOf(const std::string& directory) {
  Contents contents;
  for (const std::string& name : listing(directory)) {
    struct stat status {};
    const std::string path = directory + "/" + name;
    const bool isDirectory = ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    contents[name] = isDirectory ? std::string("\0<directory>", 12) : readFile(path);
  }
  return contents;
}

class CrashConsistency : public ClientFixture {
 protected:
  // The user's files the destination starts with: one that the conversion's
  // own name collides with, and one it has nothing to do with.
  void fillDestination(const std::string& directory, const std::string& collidingName) const {
    writeFile(directory + "/" + collidingName, "the user's own file, not an image\n");
    writeFile(directory + "/notes.txt", "keep me\n");
  }

  std::string killer(long killAt) const {
    const std::string path = root_ / "killing-helper";
    writeFile(root_ / "count", "0");
    writeExecutable(path, "#!/bin/sh\nexec '" + std::string(QUORVANTELMIC_SYSTEM_CALL_KILLER) + "' '" +
                              (root_ / "count") + "' " + std::to_string(killAt) + " '" +
                              QUORVANTELMIC_HELPER_BINARY + "'\n");
    return path;
  }

  struct Tally {
    long killPoints = 0;
    long published = 0;  // kill points after which the output survived the recovery
  };

  // Runs `arguments` uninterrupted under the counting killer, then killed at
  // every counted call; returns what happened.
  Tally killAtEveryCall(const std::vector<std::string>& arguments, const std::string& collidingName) {
    const std::string referenceDirectory = root_ / "reference";
    if (::mkdir(referenceDirectory.c_str(), 0700) != 0) {
      ADD_FAILURE() << "no reference directory";
      return {};
    }
    fillDestination(referenceDirectory, collidingName);
    const Contents before = contentsOf(referenceDirectory);
    std::vector<std::string> full = arguments;
    full.insert(full.end(), {"--dest", referenceDirectory, "--helper", killer(0)});
    const ConvertRun counted = runConvert(full, root_ / "reference-journal");
    EXPECT_EQ(counted.exitStatus, 0) << describe(counted);
    const Contents after = contentsOf(referenceDirectory);
    EXPECT_GT(after.size(), before.size()) << "the traced conversion published nothing";
    const long calls = std::stol(readFile(root_ / "count"));
    EXPECT_GT(calls, 10);

    Tally tally;
    for (long killAt = 1; killAt <= calls; ++killAt) {
      // A fresh destination and journal at every kill point, so that what
      // one point leaves cannot decide the next.
      const std::string point = root_ / ("point-" + std::to_string(killAt));
      const std::string destination = point + "/destination";
      const std::string journal = point + "/journal";
      ::mkdir(point.c_str(), 0700);
      ::mkdir(destination.c_str(), 0755);
      ::mkdir(journal.c_str(), 0700);
      fillDestination(destination, collidingName);
      std::vector<std::string> interrupted = arguments;
      interrupted.insert(interrupted.end(), {"--dest", destination, "--helper", killer(killAt)});
      const ConvertRun run = runConvert(interrupted, journal);
      const std::string where = "killed at state-changing call " + std::to_string(killAt) + " of " +
                                std::to_string(calls) + "\n" + describe(run);
      EXPECT_EQ(readFile(root_ / "count"), "killed") << where;
      EXPECT_EQ(run.exitStatus, 1) << where;
      // Right after the kill: the user's files are as they were, and a name
      // the user can see is either one of them or a complete output.
      for (const auto& [name, bytes] : contentsOf(destination)) {
        if (name.starts_with(".")) continue;
        if (before.contains(name)) {
          EXPECT_EQ(bytes, before.at(name)) << name << "\n" << where;
        } else {
          EXPECT_TRUE(after.contains(name)) << name << "\n" << where;
          if (after.contains(name)) {
            EXPECT_EQ(bytes, after.at(name)) << name << "\n" << where;
          }
        }
      }

      const ConvertRun recovered = runConvert({"cleanup", "--dest", destination}, journal);
      EXPECT_EQ(recovered.exitStatus, 0) << where << "\n" << describe(recovered);
      const Contents recoveredContents = contentsOf(destination);
      EXPECT_TRUE(recoveredContents == before || recoveredContents == after)
          << where << "\nleft: " << ::testing::PrintToString(listing(destination));
      EXPECT_TRUE(listing(journal).empty()) << where;
      ++tally.killPoints;
      if (recoveredContents == after) ++tally.published;
    }
    return tally;
  }
};

TEST_F(CrashConsistency, AnImageConversionKilledAtAnyCallEndsWholeOrAbsent) {
  const Tally tally =
      killAtEveryCall({"image", fixture("image_pipeline/gps-exposure.jpg"), "--to", "png"}, "gps-exposure.png");
  RecordProperty("killPoints", std::to_string(tally.killPoints));
  RecordProperty("published", std::to_string(tally.published));
  std::printf("image conversion: %ld kill points, output kept after %ld of them\n", tally.killPoints,
              tally.published);
  EXPECT_GT(tally.published, 0);
  EXPECT_LT(tally.published, tally.killPoints);
}

TEST_F(CrashConsistency, APageSetKilledAtAnyCallIsPublishedWholeOrNotAtAll) {
  const Tally tally = killAtEveryCall(
      {"pdf-pages", fixture("pdf/text-pages.pdf"), "--to", "png", "--dpi", "36", "--name", "Page"}, "Page page 1.png");
  RecordProperty("killPoints", std::to_string(tally.killPoints));
  RecordProperty("published", std::to_string(tally.published));
  std::printf("page set: %ld kill points, outputs kept after %ld of them\n", tally.killPoints, tally.published);
  EXPECT_GT(tally.published, 0);
  EXPECT_LT(tally.published, tally.killPoints);
}

}  // namespace
}  // namespace quorvantelmic::client_testing
