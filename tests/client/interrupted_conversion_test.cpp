// The helper killed with SIGKILL at every step of a conversion and its
// publication, through a wrapper given as --helper: the destination must end
// with the complete published file or nothing, never a partial file, once the
// client's own rollback or its `cleanup` command has run.
//
// The wrapper counts the helper processes the client starts. At the chosen one
// it passes the first requests through and kills the real helper and itself
// right after the helper has carried out the next one (or before it sees
// anything), so the client gets no answer for a step that did happen. The
// client's destination process lives across the conversion's own process, so
// "for good" dooms the processes started after the kill, not those running.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/client/client_test_support.hpp"

namespace quorvantelmic::client_testing {
namespace {

using testing_support::readFile;
using testing_support::writeFile;

struct KillPoint {
  int process;   // which helper process the client starts, counting from 1
  int requests;  // requests carried out before the kill; 0 kills it before it reads one
};

// Processes of a one-source image conversion: the destination's (hello,
// capabilities, prepare-staging, publish-output, cleanup-staging) and the
// conversion's (convert-image).
const std::vector<KillPoint> imageKillPoints = {{1, 0}, {1, 2}, {1, 3}, {1, 4},
                                                {1, 5}, {2, 0}, {2, 1}};

class ClientInterrupted : public ClientFixture {
 protected:
  // `forGood`: every helper process started after the kill dies at once as
  // well, so the client's own rollback cannot run either.
  std::string wrapper(const KillPoint& point, bool forGood) const {
    const std::string path = root_ / "killing-helper";
    writeFile(root_ / "count", "0");
    ::unlink((root_ / "dead").c_str());
    writeExecutable(path, R"(#!/usr/bin/env python3
import os, signal, subprocess, sys
real = ")" + std::string(QUORVANTELMIC_HELPER_BINARY) + R"("
counter = ")" + (root_ / "count") + R"("
marker = ")" + (root_ / "dead") + R"("
doomed, passed, for_good = )" + std::to_string(point.process) + ", " + std::to_string(point.requests) + ", " +
                                   (forGood ? "True" : "False") + R"(
with open(counter) as f:
    n = int(f.read()) + 1
with open(counter, "w") as f:
    f.write(str(n))
if for_good and os.path.exists(marker):
    os.kill(os.getpid(), signal.SIGKILL)
if n != doomed:
    os.execv(real, [real])
if passed == 0:
    open(marker, "w").close()
    os.kill(os.getpid(), signal.SIGKILL)
child = subprocess.Popen([real], stdin=subprocess.PIPE, stdout=subprocess.PIPE, close_fds=False)
for index in range(passed):
    line = sys.stdin.buffer.readline()
    if not line:
        break
    child.stdin.write(line)
    child.stdin.flush()
    answer = child.stdout.readline()
    if index < passed - 1:
        sys.stdout.buffer.write(answer)
        sys.stdout.buffer.flush()
child.kill()
open(marker, "w").close()
os.kill(os.getpid(), signal.SIGKILL)
)");
    return path;
  }

  // The destination holds nothing, or exactly the complete output.
  void expectCompleteOrNothing(const std::string& name, const std::string& reference, const std::string& label) const {
    const std::set<std::string> names = listing(destination());
    if (names.empty()) return;
    EXPECT_EQ(names, std::set<std::string>{name}) << label;
    if (names.contains(name)) {
      EXPECT_EQ(readFile(in(name)), reference) << label;
    }
  }

  std::string reference(const std::vector<std::string>& arguments, const std::string& name) const {
    const std::string elsewhere = root_ / "reference";
    ::mkdir(elsewhere.c_str(), 0700);
    std::vector<std::string> full = arguments;
    full.insert(full.end(), {"--dest", elsewhere});
    const ConvertRun run = runConvert(full, root_ / "reference-journal");
    EXPECT_EQ(run.exitStatus, 0) << describe(run);
    return readFile(elsewhere + "/" + name);
  }

  const std::vector<std::string> conversion = {"image", fixture("image_pipeline/gps-exposure.jpg"), "--to", "png"};
};

std::string label(const KillPoint& point) {
  return "process " + std::to_string(point.process) + " after " + std::to_string(point.requests) + " requests";
}

TEST_F(ClientInterrupted, AHelperKilledOnceIsRolledBackByTheClientItself) {
  const std::string expected = reference(conversion, "gps-exposure.png");
  for (const KillPoint& point : imageKillPoints) {
    std::vector<std::string> arguments = conversion;
    arguments.insert(arguments.end(), {"--dest", destination(), "--helper", wrapper(point, false)});
    const ConvertRun run = convert(arguments);
    const std::string where = label(point) + "\n" + describe(run);
    EXPECT_EQ(run.exitStatus, 1) << where;
    EXPECT_NE(run.standardError.find("The helper was stopped by signal 9 before it answered."), std::string::npos)
        << where;
    expectCompleteOrNothing("gps-exposure.png", expected, where);
    // Nothing is left for `cleanup`, except when the helper died during the
    // final cleanup itself, which it had already finished.
    if (point.process != 1 || point.requests != 5) {
      EXPECT_TRUE(journalEntries().empty()) << where;
    }
    const ConvertRun recovered = convert({"cleanup"});
    EXPECT_EQ(recovered.exitStatus, 0) << describe(recovered);
    expectCompleteOrNothing("gps-exposure.png", expected, where);
    EXPECT_TRUE(journalEntries().empty()) << where;
    for (const std::string& name : listing(destination())) ::unlink(in(name).c_str());
  }
}

TEST_F(ClientInterrupted, AHelperKilledForGoodIsRecoveredByTheCleanupCommand) {
  const std::string expected = reference(conversion, "gps-exposure.png");
  for (const KillPoint& point : imageKillPoints) {
    std::vector<std::string> arguments = conversion;
    arguments.insert(arguments.end(), {"--dest", destination(), "--helper", wrapper(point, true)});
    const ConvertRun run = convert(arguments);
    const std::string where = label(point) + "\n" + describe(run);
    EXPECT_EQ(run.exitStatus, 1) << where;
    // Whatever is visible now is already whole; the staging directory may
    // still be there, hidden.
    for (const std::string& name : listing(destination())) {
      if (name.starts_with(".quorvantelmic-stage-")) continue;
      EXPECT_EQ(name, "gps-exposure.png") << where;
      EXPECT_EQ(readFile(in(name)), expected) << where;
    }

    const ConvertRun recovered = convert({"cleanup"});
    EXPECT_EQ(recovered.exitStatus, 0) << where << "\n" << describe(recovered);
    expectCompleteOrNothing("gps-exposure.png", expected, where);
    EXPECT_TRUE(journalEntries().empty()) << where;
    // Publication is the step that decides: killed before it, nothing; after it, the file.
    const bool published = point.process == 1 && point.requests >= 4;
    EXPECT_EQ(listing(destination()).size(), published ? 1u : 0u) << where;
    for (const std::string& name : listing(destination())) ::unlink(in(name).c_str());
  }
}

TEST_F(ClientInterrupted, AKilledPageSetIsPublishedWholeOrNotAtAll) {
  const std::vector<std::string> pages = {"pdf-pages", fixture("pdf/plain-page.pdf"), "--to", "png", "--dpi", "36",
                                          "--name", "Page"};
  const std::string expected = reference(pages, "Page page 1.png");
  // The destination's process serves hello, capabilities, the set's
  // preparation, publication and cleanup; the second inspects the PDF and the
  // third renders the pages.
  for (const KillPoint& point : std::vector<KillPoint>{{1, 3}, {3, 1}, {1, 4}}) {
    std::vector<std::string> arguments = pages;
    arguments.insert(arguments.end(), {"--dest", destination(), "--helper", wrapper(point, true)});
    const ConvertRun run = convert(arguments);
    const std::string where = label(point) + "\n" + describe(run);
    EXPECT_EQ(run.exitStatus, 1) << where;
    const ConvertRun recovered = convert({"cleanup", "--dest", destination()});
    EXPECT_EQ(recovered.exitStatus, 0) << where << "\n" << describe(recovered);
    expectCompleteOrNothing("Page page 1.png", expected, where);
    EXPECT_EQ(listing(destination()).size(), point.requests == 4 ? 1u : 0u) << where;
    EXPECT_TRUE(journalEntries().empty()) << where;
    for (const std::string& name : listing(destination())) ::unlink(in(name).c_str());
  }
}

}  // namespace
}  // namespace quorvantelmic::client_testing
