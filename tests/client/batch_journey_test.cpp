// Batches as people run them: a failure in the middle, Ctrl-C in the middle,
// more sources than descriptors, parallel jobs into one folder, file names the
// helper would refuse, long PDFs and a helper that stops answering.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "client/base_name.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/staging/publication_broker.hpp"
#include "tests/client/client_test_support.hpp"

namespace quorvantelmic::client_testing {
namespace {

using testing_support::readFile;
using testing_support::writeFile;

class ClientBatch : public ClientFixture {
 protected:
  // No staging directory or other hidden entry of the helper's is left.
  void expectNoLeftovers() const {
    for (const std::string& name : listing(destination())) {
      EXPECT_FALSE(name.starts_with(".quorvantelmic-")) << name;
    }
    EXPECT_TRUE(journalEntries().empty());
  }

  std::string source(const std::string& name, const std::string& fixtureName) const {
    const std::string folder = root_ / "sources";
    ::mkdir(folder.c_str(), 0755);
    const std::string path = folder + "/" + name;
    writeFile(path, readFile(fixture(fixtureName)));
    return path;
  }

  // A helper wrapper that counts the helper processes and lets the one
  // numbered `slow` sleep instead of working.
  std::string sleepingHelper(int slow) const {
    const std::string path = root_ / "sleeping-helper";
    writeFile(root_ / "count", "0");
    writeExecutable(path, "#!/bin/sh\nn=$(( $(cat '" + (root_ / "count") + "') + 1 ))\necho $n > '" +
                              (root_ / "count") + "'\n[ $n -eq " + std::to_string(slow) + " ] && echo $$ > '" +
                              (root_ / "sleeper") + "' && exec sleep 600\nexec '" +
                              QUORVANTELMIC_HELPER_BINARY + "'\n");
    return path;
  }
};

TEST_F(ClientBatch, AFailedThirdItemIsReportedAndTheOthersArePublished) {
  const std::vector<std::string> arguments = {
      "image", source("one.png", "image_bytes/plain.png"), source("two.bmp", "images/rgb24.bmp"),
      source("three.png", "image_pipeline/two-frames.gif"), source("four.jpg", "images/orientation-6.jpg"),
      "--to", "png", "-j", "2", "--dest", destination()};
  const ConvertRun run = convert(arguments);
  EXPECT_EQ(run.exitStatus, 1) << describe(run);
  EXPECT_EQ(listing(destination()), (std::set<std::string>{"one.png", "two.png", "four.png"}));
  EXPECT_EQ(run.standardOutput,
            "Published " + in("one.png") + "\nPublished " + in("two.png") + "\nPublished " + in("four.png") + "\n");
  EXPECT_NE(run.standardError.find("[3/4] three.png -> three.png\n"), std::string::npos) << run.standardError;
  EXPECT_NE(run.standardError.find("three.png: animated images are not converted\n"), std::string::npos);
  EXPECT_NE(run.standardError.find("3 converted, 1 failed\n"), std::string::npos);
  expectNoLeftovers();

  // --private keeps outputs to their owner; skip leaves what a rerun finds.
  const ConvertRun again = convert({"image", arguments[1], arguments[2], "--to", "png", "--on-conflict", "skip",
                                    "--private", "--dest", destination()});
  EXPECT_EQ(again.exitStatus, 0) << describe(again);
  EXPECT_EQ(again.standardOutput, "");
  EXPECT_NE(again.standardError.find("0 converted, 0 failed, 2 already there"), std::string::npos);
  const ConvertRun privately = convert({"image", arguments[1], "--to", "jpg", "--private", "--dest", destination()});
  EXPECT_EQ(privately.exitStatus, 0) << describe(privately);
  EXPECT_EQ(testing_support::lstatOf(in("one.jpg")).st_mode & 07777, 0600u);
}

TEST_F(ClientBatch, CtrlCKeepsWhatWasPublishedAndRemovesTheRest) {
  // Processes: the destination's, then one conversion each; the third
  // conversion never ends by itself.
  std::vector<std::string> arguments = {"image", source("a.png", "image_bytes/plain.png"),
                                        source("b.png", "image_pipeline/alpha.png"),
                                        source("c.bmp", "images/rgb24.bmp"), source("d.png", "image_bytes/plain.png"),
                                        "--to", "png", "-j", "1", "--helper", sleepingHelper(4), "--dest",
                                        destination()};
  StartedConvert running(arguments, journal());
  for (int attempt = 0; attempt < 1500 && readFile(root_ / "count") != "4\n"; ++attempt) ::usleep(20000);
  ASSERT_EQ(readFile(root_ / "count"), "4\n");
  ::usleep(200000);  // the sleeping helper has its staging directory
  const auto interrupted = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(running.pid(), SIGINT), 0);
  const ConvertRun stopped = running.wait();
  // The sleeper would hold the run for ten minutes; it was killed instead.
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(30));
  EXPECT_EQ(stopped.exitStatus, 130) << describe(stopped);
  EXPECT_NE(stopped.standardError.find("stopping\u2026"), std::string::npos) << stopped.standardError;
  EXPECT_EQ(stopped.standardOutput, "Published " + in("a.png") + "\nPublished " + in("b.png") + "\n");
  EXPECT_EQ(listing(destination()), (std::set<std::string>{"a.png", "b.png"}));
  expectNoLeftovers();
}

// A run killed outright (SIGKILL, a second Ctrl-C) leaves its staging
// directory; the next run into that destination removes it, because the
// journal proves it is ours and no live run holds it.
TEST_F(ClientBatch, WhatAKilledRunLeftIsRemovedByTheNextRun) {
  StartedConvert running({"image", source("a.png", "image_bytes/plain.png"), "--to", "png", "--helper",
                          sleepingHelper(2), "--dest", destination()},
                         journal());
  for (int attempt = 0; attempt < 1500 && readFile(root_ / "count") != "2\n"; ++attempt) ::usleep(20000);
  ASSERT_EQ(readFile(root_ / "count"), "2\n");
  ::usleep(200000);
  ASSERT_EQ(::kill(running.pid(), SIGKILL), 0);
  (void)running.wait();
  ::kill(std::stoi(readFile(root_ / "sleeper")), SIGKILL);
  std::size_t left = 0;
  for (const std::string& name : listing(destination())) left += name.starts_with(".quorvantelmic-stage-") ? 1 : 0;
  ASSERT_EQ(left, 1u);

  const ConvertRun next = convert({"image", source("b.png", "image_pipeline/alpha.png"), "--to", "png", "--dest",
                                   destination()});
  EXPECT_EQ(next.exitStatus, 0) << describe(next);
  EXPECT_NE(next.standardError.find("by an interrupted run"), std::string::npos) << next.standardError;
  EXPECT_EQ(listing(destination()), std::set<std::string>{"b.png"});
  expectNoLeftovers();
}

TEST_F(ClientBatch, AHelperThatStopsAnsweringIsKilledAndReportedHung) {
  // Five seconds, not one: on a loaded machine the sanitizer build of a
  // healthy helper can take more than a second to answer.
  const ConvertRun run = convert({"image", source("a.png", "image_bytes/plain.png"),
                                  source("b.png", "image_pipeline/alpha.png"), "--to", "png", "-j", "1", "--timeout",
                                  "5", "--helper", sleepingHelper(2), "--dest", destination()});
  EXPECT_EQ(run.exitStatus, 1) << describe(run);
  EXPECT_NE(run.standardError.find("a.png: The helper neither answered nor ended within 5 s; it was stopped as hung.\n"),
            std::string::npos)
      << run.standardError;
  EXPECT_EQ(listing(destination()), std::set<std::string>{"b.png"});
  expectNoLeftovers();
}

// Every source open at once would need 1200 descriptors; a run needs a few per
// job whatever the batch's size.
TEST_F(ClientBatch, ABatchLargerThanTheDescriptorLimitConvertsEverySource) {
  const std::string folder = root_ / "many";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const std::string original = source("dot.png", "image_bytes/plain.png");
  // The sanitizer build starts each helper several times slower: a quarter of
  // the batch under a quarter of the limit proves the same there.
#if defined(__SANITIZE_ADDRESS__)
  constexpr int count = 300;
  constexpr rlim_t limit = 64;
#else
  constexpr int count = 1200;
  constexpr rlim_t limit = 256;
#endif
  for (int index = 0; index < count; ++index) {
    ASSERT_EQ(::link(original.c_str(), (folder + "/" + std::to_string(10000 + index) + ".png").c_str()), 0);
  }
  writeFile(folder + "/notes.txt", "not an image\n");
  rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = limit;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const ConvertRun run = convert({"image", folder, "--to", "png", "-j", "2", "--quiet", "--dest", destination()});
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(run.exitStatus, 0) << run.standardError.substr(0, 2000);
  EXPECT_EQ(listing(destination()).size(), static_cast<std::size_t>(count));
  EXPECT_TRUE(listing(destination()).contains(std::to_string(10000 + count - 1) + ".png"));
  expectNoLeftovers();
  const ConvertRun summary = convert({"image", folder, "--to", "png", "--on-conflict", "skip", "--dest", destination()});
  EXPECT_NE(summary.standardError.find("0 converted, 0 failed, " + std::to_string(count) +
                                       " already there, 1 skipped (not images)"),
            std::string::npos)
      << summary.standardError.substr(summary.standardError.size() > 300 ? summary.standardError.size() - 300 : 0);
}

TEST_F(ClientBatch, ParallelJobsIntoOneFolderGetDistinctNamesInSourceOrder) {
  std::vector<std::string> arguments = {"image"};
  for (int index = 0; index < 6; ++index) {
    const std::string folder = root_ / ("set" + std::to_string(index));
    ::mkdir(folder.c_str(), 0755);
    writeFile(folder + "/photo.jpg", readFile(fixture(index % 2 == 0 ? "images/orientation-6.jpg"
                                                                       : "image_pipeline/gps-exposure.jpg")));
    arguments.push_back(folder + "/photo.jpg");
  }
  arguments.insert(arguments.end(), {"--to", "jpeg", "-j", "2", "--dest", destination()});
  const ConvertRun run = convert(arguments);
  ASSERT_EQ(run.exitStatus, 0) << describe(run);
  EXPECT_EQ(listing(destination()), (std::set<std::string>{"photo.jpg", "photo 2.jpg", "photo 3.jpg", "photo 4.jpg",
                                                           "photo 5.jpg", "photo 6.jpg"}));
  // Source order decides the names: the odd ones are the bigger photo.
  EXPECT_EQ(readFile(in("photo 2.jpg")), readFile(in("photo 4.jpg")));
  EXPECT_NE(readFile(in("photo.jpg")), readFile(in("photo 2.jpg")));
  expectNoLeftovers();
}

TEST_F(ClientBatch, AwkwardFileNamesArePublishedUnderNamesTheHelperAccepts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"2024-05-01T10:00:00.png", "2024-05-01T10-00-00.png"},
      {"e\xCC\x81t\xC3\xA9.png", "\xC3\xA9t\xC3\xA9.png"},  // NFD in, NFC out
      {".hidden.png", "hidden.png"},
      {"v2..png", "v2.png"},
      {"  spaced out .png", "spaced out.png"},
      {"bad\xFF\xFEname.png", "bad\xEF\xBF\xBD\xEF\xBF\xBDname.png"},
      {"rtl\xE2\x80\xAE" "gnp.png", "rtl-gnp.png"},
      {std::string(150, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9.png",
       std::string(150, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9.png"},  // 160 bytes, é kept whole
  };
  std::vector<std::string> arguments = {"image"};
  std::set<std::string> expected;
  for (const auto& [name, published] : cases) {
    arguments.push_back(source(name, "image_bytes/plain.png"));
    expected.insert(published);
  }
  arguments.insert(arguments.end(), {"--to", "PNG", "--dest", destination()});
  const ConvertRun run = convert(arguments);
  EXPECT_EQ(run.exitStatus, 0) << describe(run);
  EXPECT_EQ(listing(destination()), expected);
  // Names are printed without what could steer the terminal.
  EXPECT_EQ(run.standardError.find("\xE2\x80\xAE"), std::string::npos);
  expectNoLeftovers();

  // A --name that cannot be used is explained, with what would do.
  const ConvertRun refused = convert({"image", arguments[1], "--to", "png", "--name", "a:b", "--dest", destination()});
  EXPECT_EQ(refused.exitStatus, 2);
  EXPECT_NE(refused.standardError.find("--name \"a:b\" cannot be used: it contains \":\". \"a-b\" would do."),
            std::string::npos)
      << refused.standardError;

  // The sanitiser agrees with the helper's own rule on nastier names still.
  std::vector<std::string> nasty = {"\x01\x7F", "...", " . . ", "a/b", "\xE2\x80\x8B" "zero width",
                                    "x\xCC\x81\xCC\xA3", std::string(300, '\xFF'), "\xF0\x9F\x98\x80" "ok",
                                    std::string(159, 'b') + "\xF0\x9F\x98\x80", "tail\xE3\x80\x80"};
  for (int seed = 0; seed < 200; ++seed) {
    std::string random;
    for (int index = 0; index < 40; ++index) random += static_cast<char>((seed * 131 + index * 71) % 256);
    nasty.push_back(random);
  }
  for (const std::string& name : nasty) {
    const std::string sanitized = sanitizedBaseName(name);
    if (sanitized.empty()) continue;
    EXPECT_NO_THROW(PublicationBroker::validateOutputBaseName(sanitized)) << sanitized;
    EXPECT_FALSE(baseNameProblem(sanitized).has_value()) << sanitized;
  }
  for (const std::string& name : {std::string("a:b"), std::string(" a"), std::string("a."), std::string(161, 'c'),
                                  std::string("e\xCC\x81")}) {
    EXPECT_TRUE(baseNameProblem(name).has_value()) << name;
    EXPECT_THROW(PublicationBroker::validateOutputBaseName(name), HelperFault) << name;
  }
}

TEST_F(ClientBatch, A120PagePDFRendersWholeAndInRanges) {
  const std::string pdf = root_ / "long.pdf";
  std::string command = "qpdf --empty --pages";
  for (int copy = 0; copy < 40; ++copy) command += " '" + fixture("pdf/text-pages.pdf") + "'";
  command += " -- '" + pdf + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);

  const ConvertRun whole = convert({"pdf-pages", pdf, "--to", "png", "--dpi", "36", "--name", "Long", "--quiet",
                                    "--dest", destination()});
  ASSERT_EQ(whole.exitStatus, 0) << describe(whole);
  std::set<std::string> pages = listing(destination());
  EXPECT_EQ(pages.size(), 120u);
  EXPECT_TRUE(pages.contains("Long page 001.png"));
  EXPECT_TRUE(pages.contains("Long page 097.png"));
  EXPECT_TRUE(pages.contains("Long page 120.png"));
  // Page 4 is the fixture's first page again.
  EXPECT_EQ(readFile(in("Long page 004.png")), readFile(in("Long page 001.png")));
  EXPECT_NE(readFile(in("Long page 002.png")), readFile(in("Long page 001.png")));

  // A range across the 96-page boundary moves to the next free number as
  // one set.
  const ConvertRun range = convert({"pdf-pages", pdf, "--to", "png", "--dpi", "36", "--name", "Long", "--first",
                                    "94", "--last", "99", "--dest", destination()});
  ASSERT_EQ(range.exitStatus, 0) << describe(range);
  EXPECT_EQ(range.standardOutput.find("Published " + in("Long page 094 2.png") + "\n"), 0u) << range.standardOutput;
  EXPECT_EQ(listing(destination()).size(), 126u);
  EXPECT_EQ(readFile(in("Long page 097 2.png")), readFile(in("Long page 097.png")));
  EXPECT_TRUE(listing(destination()).contains("Long page 099 2.png"));
  // Forty pages on four workers render as four requests at once, and still
  // publish as one set in page order, each page what it is alone.
  const ConvertRun parallel = convert({"pdf-pages", pdf, "--to", "png", "--dpi", "36", "--name", "Long", "--first",
                                       "1", "--last", "40", "-j", "4", "--dest", destination()});
  ASSERT_EQ(parallel.exitStatus, 0) << describe(parallel);
  std::string expected;
  for (int page = 1; page <= 40; ++page) {
    const std::string number = (page < 10 ? "00" : "0") + std::to_string(page);
    expected += "Published " + in("Long page " + number + " 2.png") + "\n";
    ASSERT_EQ(readFile(in("Long page " + number + " 2.png")), readFile(in("Long page " + number + ".png"))) << page;
  }
  EXPECT_EQ(parallel.standardOutput, expected);
  EXPECT_NE(parallel.standardError.find("[4/4]"), std::string::npos) << parallel.standardError;
  // A page that cannot be drawn fails its request; the requests after it,
  // though rendered at the same time, publish nothing.
  const std::string failing = root_ / "failing.pdf";
  const std::string failingCommand = "qpdf --empty --pages '" +
                                     fixture("pdf/drawing-cost/shading-function-1000-operators.pdf") + "' '" +
                                     fixture("pdf/text-pages.pdf") + "' '" + fixture("pdf/text-pages.pdf") + "' '" +
                                     fixture("pdf/text-pages.pdf") + "' -- '" +
                                     failing + "'";
  ASSERT_EQ(std::system(failingCommand.c_str()), 0);
  const std::size_t before = listing(destination()).size();
  const ConvertRun failed = convert({"pdf-pages", failing, "--to", "png", "--dpi", "36", "-j", "2", "--dest",
                                     destination()});
  EXPECT_EQ(failed.exitStatus, 1);
  EXPECT_NE(failed.standardError.find("[2/2]"), std::string::npos) << failed.standardError;
  EXPECT_NE(failed.standardError.find("A PDF page could not be rendered"), std::string::npos) << failed.standardError;
  EXPECT_EQ(listing(destination()).size(), before);
  const ConvertRun outside = convert({"pdf-pages", pdf, "--to", "png", "--first", "121", "--dest", destination()});
  EXPECT_EQ(outside.exitStatus, 1);
  EXPECT_NE(outside.standardError.find("the PDF has 120 pages"), std::string::npos) << outside.standardError;
  expectNoLeftovers();
}

TEST_F(ClientBatch, AMissingDestinationIsExplainedOrMade) {
  const std::string missing = (root_ / "not") + "/yet";
  const ConvertRun refused = convert({"image", fixture("image_bytes/plain.png"), "--to", "png", "--dest", missing});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_NE(refused.standardError.find("does not exist; --mkdir creates it"), std::string::npos)
      << refused.standardError;
  const ConvertRun made =
      convert({"image", fixture("image_bytes/plain.png"), "--to", "png", "--mkdir", "--dest", missing});
  EXPECT_EQ(made.exitStatus, 0) << describe(made);
  EXPECT_EQ(listing(missing), std::set<std::string>{"plain.png"});
}

}  // namespace
}  // namespace quorvantelmic::client_testing
