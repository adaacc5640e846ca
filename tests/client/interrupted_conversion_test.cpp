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

#include <csignal>
#include <optional>
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
  // When not negative, the last of those requests is cut short: the helper
  // is killed this many seconds after it received it, wherever it then is.
  // `withheld` kills it when that request arrives, before it is passed on.
  double midStep = -1;
};

constexpr double withheld = -2;

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
import os, signal, subprocess, sys, time
real = ")" + std::string(QUORVANTELMIC_HELPER_BINARY) + R"("
counter = ")" + (root_ / "count") + R"("
marker = ")" + (root_ / "dead") + R"("
doomed, passed, for_good, mid_step = )" + std::to_string(point.process) + ", " +
                                   std::to_string(point.requests) + ", " + (forGood ? "True" : "False") + ", " +
                                   std::to_string(point.midStep) + R"(
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
    if not line or (index == passed - 1 and mid_step == -2):
        break
    child.stdin.write(line)
    child.stdin.flush()
    if index == passed - 1 and mid_step >= 0:
        time.sleep(mid_step)
        break
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
    return readFile(referenceRun(arguments) + "/" + name);
  }

  const std::vector<std::string> conversion = {"image", fixture("image_pipeline/gps-exposure.jpg"), "--to", "png"};
};

std::string label(const KillPoint& point) {
  return "process " + std::to_string(point.process) + " after " + std::to_string(point.requests) + " requests" +
         (point.midStep >= 0 ? ", the last cut short after " + std::to_string(point.midStep) + " s" : "");
}

TEST_F(ClientInterrupted, AHelperKilledOnceIsRolledBackByTheClientItself) {
  const std::string expected = reference(conversion, "gps-exposure.png");
  // Killed before preparation, nothing exists yet; the test below covers that.
  for (const KillPoint& point : imageKillPoints) {
    if (point.process == 1 && point.requests < 3) continue;
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

// Killed in the middle of publication or cleanup, wherever the helper then
// is: linked or not, pinned, or quarantined. Which state a delay lands on
// varies from run to run; every one of them must end the same way.
TEST_F(ClientInterrupted, AHelperKilledInTheMiddleOfAStepLeavesTheFileWholeOrAbsent) {
  const std::string expected = reference(conversion, "gps-exposure.png");
  for (const KillPoint& point : std::vector<KillPoint>{{1, 4, 0.02}, {1, 4, 0.03}, {1, 5, 0.004}, {1, 5, 0.01}}) {
    std::vector<std::string> arguments = conversion;
    arguments.insert(arguments.end(), {"--dest", destination(), "--helper", wrapper(point, true)});
    const ConvertRun run = convert(arguments);
    const std::string where = label(point) + "\n" + describe(run);
    EXPECT_EQ(run.exitStatus, 1) << where;
    const ConvertRun recovered = convert({"cleanup"});
    EXPECT_EQ(recovered.exitStatus, 0) << where << "\n" << describe(recovered);
    expectCompleteOrNothing("gps-exposure.png", expected, where);
    EXPECT_TRUE(journalEntries().empty()) << where;
    for (const std::string& name : listing(destination())) ::unlink(in(name).c_str());
  }
}

std::string onlyEntryWithPrefix(const std::string& directory, const std::string& prefix) {
  std::string found;
  for (const std::string& name : listing(directory)) {
    if (name.starts_with(prefix)) found = name;
  }
  return found;
}

// The states a helper killed in the middle of a step leaves, made here
// exactly as the helper makes them (the same renames), so that each is
// certain to be reached: a staged output pinned for publication, the
// ownership record on its way to removal, and the whole staging directory
// under its cleanup quarantine name.
TEST_F(ClientInterrupted, WhatAHelperKilledMidStepLeftUnderItsOwnNamesIsRecovered) {
  struct Case {
    KillPoint point;
    const char* entry;  // the staging entry to move, or "" for the directory itself
    const char* prefix;
    bool published;
  };
  const Case cases[] = {
      {{1, 4, withheld}, "output-", ".quorvantelmic-publish-", false},
      {{1, 4}, ".owner.json", ".quorvantelmic-entry-", true},
      {{1, 4}, "", ".quorvantelmic-cleanup-", true},
  };
  const std::string expected = reference(conversion, "gps-exposure.png");
  for (const Case& c : cases) {
    std::vector<std::string> arguments = conversion;
    arguments.insert(arguments.end(), {"--dest", destination(), "--helper", wrapper(c.point, true)});
    const ConvertRun run = convert(arguments);
    const std::string where = label(c.point) + ", " + c.prefix + "\n" + describe(run);
    EXPECT_EQ(run.exitStatus, 1) << where;
    const std::string staging = onlyEntryWithPrefix(destination(), ".quorvantelmic-stage-");
    ASSERT_FALSE(staging.empty()) << where;
    const std::string from = std::string(c.entry).empty() ? in(staging)
                                                          : in(staging) + "/" + onlyEntryWithPrefix(in(staging), c.entry);
    const std::string to = (std::string(c.entry).empty() ? destination() : in(staging)) + "/" + c.prefix +
                           std::string(32, '7');
    ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << where;

    const ConvertRun recovered = convert({"cleanup"});
    EXPECT_EQ(recovered.exitStatus, 0) << where << "\n" << describe(recovered);
    EXPECT_EQ(listing(destination()).size(), c.published ? 1u : 0u) << where;
    expectCompleteOrNothing("gps-exposure.png", expected, where);
    EXPECT_TRUE(journalEntries().empty()) << where;
    for (const std::string& name : listing(destination())) ::unlink(in(name).c_str());
  }
}

// A helper whose second process (the conversion's) sleeps for three seconds
// before it starts; returns once the client has reached that point.
std::string startSlowConversion(const TemporaryDirectory& root, std::optional<StartedConvert>& running,
                                const std::vector<std::string>& arguments, const std::string& journal) {
  const std::string slow = root / "slow-helper";
  writeFile(root / "count", "0");
  writeExecutable(slow, "#!/bin/sh\nn=$(( $(cat '" + (root / "count") + "') + 1 ))\necho $n > '" +
                            (root / "count") + "'\n[ $n -eq 2 ] && sleep 3\nexec '" + QUORVANTELMIC_HELPER_BINARY +
                            "'\n");
  std::vector<std::string> full = arguments;
  full.insert(full.end(), {"--helper", slow});
  running.emplace(full, journal);
  for (int attempt = 0; attempt < 250 && readFile(root / "count") != "2\n"; ++attempt) ::usleep(20000);
  return readFile(root / "count");
}

// `cleanup` run from another window while a conversion is under way leaves
// that conversion's staging directory alone.
TEST_F(ClientInterrupted, CleanupLeavesAConversionInProgressAlone) {
  std::vector<std::string> arguments = conversion;
  arguments.insert(arguments.end(), {"--dest", destination()});
  std::optional<StartedConvert> running;
  ASSERT_EQ(startSlowConversion(root_, running, arguments, journal()), "2\n");

  const ConvertRun cleanup = convert({"cleanup"});
  EXPECT_EQ(cleanup.exitStatus, 0) << describe(cleanup);
  EXPECT_NE(cleanup.standardOutput.find("a conversion that is still running uses it"), std::string::npos)
      << describe(cleanup);
  const ConvertRun finished = running->wait();
  EXPECT_EQ(finished.exitStatus, 0) << describe(finished);
  EXPECT_EQ(listing(destination()), std::set<std::string>{"gps-exposure.png"});
  EXPECT_TRUE(journalEntries().empty());
}

// Ctrl-C during a conversion: the step under way finishes, nothing more is
// published, and what was staged is removed.
TEST_F(ClientInterrupted, AnInterruptedRunStopsAfterTheStepAndRemovesWhatItStaged) {
  std::vector<std::string> arguments = {"image", fixture("image_pipeline/gps-exposure.jpg"),
                                        fixture("image_bytes/plain.png"), "--to", "png", "--jobs", "1",
                                        "--dest", destination()};
  std::optional<StartedConvert> running;
  ASSERT_EQ(startSlowConversion(root_, running, arguments, journal()), "2\n");
  ASSERT_EQ(::kill(running->pid(), SIGINT), 0);
  const ConvertRun stopped = running->wait();
  EXPECT_EQ(stopped.exitStatus, 130) << describe(stopped);
  EXPECT_NE(stopped.standardError.find("interrupted; what was not published was removed"), std::string::npos)
      << describe(stopped);
  EXPECT_EQ(stopped.standardOutput, "");
  EXPECT_TRUE(listing(destination()).empty());
  EXPECT_TRUE(journalEntries().empty());
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
