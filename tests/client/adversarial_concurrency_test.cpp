// Another program of the same user meddling with the destination while whole
// conversions run in it: it drops files under the names the conversion wants,
// touches, links, opens up and replaces the helper's staged entries, swaps a
// staging directory for a look-alike and plants symbolic links. Whatever it
// does, nothing it made may be removed or overwritten, and every file the
// converter reports as published must be the conversion's true output. A run
// may fail (the identity checks catching the meddling) but never succeed with
// the wrong file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/client/client_test_support.hpp"

namespace quorvantelmic::client_testing {
namespace {

using testing_support::readFile;
using testing_support::writeFile;

// The meddler: runs until stopped, from its own seed, and remembers the
// content of every file it made so that their survival can be checked.
class Meddler {
 public:
  // Between steps it pauses for up to `pauseMicroseconds`.
  Meddler(std::string destination, std::string wantedName, unsigned seed, std::size_t pauseMicroseconds)
      : destination_(std::move(destination)),
        wantedName_(std::move(wantedName)),
        random_(seed),
        pauseMicroseconds_(pauseMicroseconds) {}

  void start() {
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        step();
        ::usleep(static_cast<useconds_t>(pick(pauseMicroseconds_)));
      }
    });
  }
  void stop() {
    stop_.store(true);
    thread_.join();
  }

  const std::vector<std::string>& planted() const { return planted_; }
  long steps() const { return steps_; }

 private:
  std::size_t pick(std::size_t count) { return std::uniform_int_distribution<std::size_t>(0, count - 1)(random_); }

  // A new file of unique content under `path`, never replacing anything.
  bool plant(const std::string& path) {
    const std::string content = "planted by another program, number " + std::to_string(planted_.size()) + "\n";
    const UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file || ::write(file.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
      return false;
    }
    planted_.push_back(content);
    return true;
  }

  std::vector<std::string> helperDirectories() const {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(destination_, error)) {
      const std::string name = entry.path().filename();
      if (name.starts_with(".quorvantelmic-stage-") || name.starts_with(".quorvantelmic-cleanup-")) {
        found.push_back(entry.path());
      }
    }
    return found;
  }

  void step() {
    ++steps_;
    const std::string stem = std::filesystem::path(wantedName_).stem();
    const std::string extension = std::filesystem::path(wantedName_).extension();
    const std::string counter = std::to_string(steps_);
    switch (pick(4)) {
      case 0: {  // take the names the conversion wants next
        const std::string names[] = {wantedName_, stem + " 2" + extension, stem + " 3" + extension};
        plant(destination_ + "/" + names[pick(3)]);
        return;
      }
      case 1: {  // a symbolic link under a wanted name
        const std::string link = destination_ + "/" + stem + " " + std::to_string(4 + pick(3)) + extension;
        (void)::symlink("notes.txt", link.c_str());
        return;
      }
      default:
        break;
    }
    const std::vector<std::string> directories = helperDirectories();
    if (directories.empty()) return;
    const std::string directory = directories[pick(directories.size())];
    std::vector<std::string> entries;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) entries.push_back(entry.path());
    switch (pick(6)) {
      case 0: {  // swap the staging directory for a look-alike
        const std::string aside = destination_ + "/moved aside " + counter;
        if (::rename(directory.c_str(), aside.c_str()) == 0 && ::mkdir(directory.c_str(), 0700) == 0) {
          plant(directory + "/.owner.json");
          for (const std::string& entry : entries) plant(directory + "/" + std::string(std::filesystem::path(entry).filename()));
        }
        return;
      }
      case 1:
        plant(directory + "/extra " + counter);
        return;
      default:
        break;
    }
    if (entries.empty()) return;
    const std::string entry = entries[pick(entries.size())];
    switch (pick(4)) {
      case 0:  // touch
        (void)::utimensat(AT_FDCWD, entry.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
        return;
      case 1:  // a second link to the helper's file
        (void)::link(entry.c_str(), (destination_ + "/linked " + counter).c_str());
        return;
      case 2:  // open it up to everyone
        (void)::chmod(entry.c_str(), 0666);
        return;
      default: {  // replace it with a file of our own
        const std::string replacement = destination_ + "/replacement " + counter;
        if (!plant(replacement)) return;
        // Replacing a file it planted itself is the meddler's own loss.
        std::string replaced;
        try {
          replaced = readFile(entry);
        } catch (const std::exception&) {
        }
        if (::rename(replacement.c_str(), entry.c_str()) == 0) std::erase(planted_, replaced);
        return;
      }
    }
  }

  std::string destination_;
  std::string wantedName_;
  std::mt19937 random_;
  std::size_t pauseMicroseconds_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<std::string> planted_;
  long steps_ = 0;
};

// The content of every regular file under `root`, with how often it occurs.
std::map<std::string, int> everyFileUnder(const std::string& root) {
  std::map<std::string, int> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && !entry.is_symlink() && entry.file_size() < (1 << 20)) {
      ++found[readFile(entry.path())];
    }
  }
  return found;
}

std::vector<std::string> publishedPaths(const std::string& standardOutput) {
  std::vector<std::string> paths;
  std::size_t start = 0;
  while (start < standardOutput.size()) {
    const std::size_t end = standardOutput.find('\n', start);
    const std::string line = standardOutput.substr(start, end - start);
    if (line.starts_with("Published ")) paths.push_back(line.substr(10));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return paths;
}

class AdversarialConcurrency : public ClientFixture {
 protected:
  struct Tally {
    int runs = 0;
    int published = 0;
    int refused = 0;  // runs in which a check caught the meddling and the run failed
    long steps = 0;
    std::map<std::string, int> reasons;  // the messages that ended refused runs
  };

  // `runs` conversions of `arguments`, each into a fresh destination with a
  // meddler of its own seed; `expected` maps each output's base name to its
  // true bytes.
  Tally meddleWith(const std::vector<std::string>& arguments, const std::string& wantedName,
                   const std::map<std::string, std::string>& expected, int runs) {
    Tally tally;
    for (int run = 0; run < runs; ++run) {
      const std::string point = root_ / ("run-" + std::to_string(run));
      const std::string destination = point + "/destination";
      const std::string journal = point + "/journal";
      ::mkdir(point.c_str(), 0700);
      ::mkdir(destination.c_str(), 0755);
      ::mkdir(journal.c_str(), 0700);
      writeFile(destination + "/notes.txt", "the user's own notes\n");

      // From a frantic meddler to an occasional one.
      const std::size_t pauses[] = {1500, 20000, 100000, 500000, 3000000};
      Meddler meddler(destination, wantedName, static_cast<unsigned>(run + 1), pauses[run % 5]);
      meddler.start();
      std::vector<std::string> full = arguments;
      full.insert(full.end(), {"--dest", destination});
      const ConvertRun converted = runConvert(full, journal);
      meddler.stop();
      const ConvertRun cleaned = runConvert({"cleanup", "--dest", destination}, journal);
      const std::string where = "run " + std::to_string(run) + "\n" + describe(converted) + describe(cleaned);

      ++tally.runs;
      tally.steps += meddler.steps();
      if (converted.exitStatus == 0) ++tally.published;
      if (converted.exitStatus != 0) {
        ++tally.refused;
        const std::string& error = converted.standardError;
        const std::size_t code = error.find(": ", error.find(": ") + 2);
        ++tally.reasons[error.substr(code == std::string::npos ? 0 : code + 2,
                                     error.find('\n') - (code == std::string::npos ? 0 : code + 2))];
      }
      EXPECT_TRUE(converted.exitStatus == 0 || converted.exitStatus == 1) << where;

      // What the converter says it published is the conversion's output.
      for (const std::string& path : publishedPaths(converted.standardOutput)) {
        bool matches = false;
        const std::string bytes = testing_support::exists(path) ? readFile(path) : std::string();
        for (const auto& [base, reference] : expected) matches = matches || bytes == reference;
        EXPECT_TRUE(matches) << path << " is not a true output\n" << where;
      }
      // Nothing the meddler made was removed or changed, and the user's
      // notes are intact.
      const std::map<std::string, int> contents = everyFileUnder(point);
      for (const std::string& content : meddler.planted()) {
        EXPECT_TRUE(contents.contains(content)) << "lost: " << content << where;
      }
      EXPECT_EQ(readFile(destination + "/notes.txt"), "the user's own notes\n") << where;
      if (HasFailure()) break;
    }
    return tally;
  }

  std::map<std::string, std::string> reference(const std::vector<std::string>& arguments) const {
    const std::string elsewhere = referenceRun(arguments);
    std::map<std::string, std::string> outputs;
    for (const std::string& name : listing(elsewhere)) outputs[name] = readFile(elsewhere + "/" + name);
    return outputs;
  }

  void report(const char* what, const Tally& tally) {
    RecordProperty("runs", std::to_string(tally.runs));
    RecordProperty("refused", std::to_string(tally.refused));
    RecordProperty("meddlerSteps", std::to_string(tally.steps));
    std::printf("%s: %d runs, %d published, %d refused by a check, %ld meddling steps\n", what, tally.runs,
                tally.published, tally.refused, tally.steps);
    for (const auto& [reason, count] : tally.reasons) std::printf("  %d x %s\n", count, reason.c_str());
  }
};

TEST_F(AdversarialConcurrency, AnImageConversionNeverPublishesOrRemovesAnotherProgramsFile) {
  const std::vector<std::string> conversion = {"image", fixture("image_pipeline/gps-exposure.jpg"), "--to", "png"};
  const auto expected = reference(conversion);
  ASSERT_EQ(expected.size(), 1u);
  const Tally tally = meddleWith(conversion, "gps-exposure.png", expected, 10);
  report("image conversion", tally);
  EXPECT_EQ(tally.runs, 10);
  EXPECT_GT(tally.published, 0) << "no run got through: the checks were never tried on a publication";
}

TEST_F(AdversarialConcurrency, APageSetNeverPublishesOrRemovesAnotherProgramsFile) {
  const std::vector<std::string> pages = {"pdf-pages", fixture("pdf/text-pages.pdf"), "--to", "png", "--dpi", "36",
                                          "--name", "Page"};
  const auto expected = reference(pages);
  ASSERT_EQ(expected.size(), 3u);
  const Tally tally = meddleWith(pages, "Page page 1.png", expected, 10);
  report("page set", tally);
  EXPECT_EQ(tally.runs, 10);
  EXPECT_GT(tally.published, 0) << "no run got through: the checks were never tried on a publication";
}

}  // namespace
}  // namespace quorvantelmic::client_testing
