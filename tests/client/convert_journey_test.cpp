// Whole journeys through quorvantelmic-convert and the real helper: every source
// format into every target, metadata removal, collision names, page sets,
// images to PDF, refused sources and helpers that break the protocol.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/client/client_test_support.hpp"

namespace quorvantelmic::client_testing {
namespace {

using testing_support::readFile;
using testing_support::writeFile;

bool startsWith(const std::string& bytes, std::string_view magic) { return bytes.compare(0, magic.size(), magic) == 0; }

// The container signature each target's bytes must start with.
bool hasSignature(const std::string& bytes, const std::string& target) {
  if (target == "jpeg") return startsWith(bytes, "\xFF\xD8\xFF");
  if (target == "png") return startsWith(bytes, "\x89PNG\r\n\x1A\n");
  if (target == "tiff") return startsWith(bytes, std::string("II*\0", 4)) || startsWith(bytes, std::string("MM\0*", 4));
  if (target == "avif") return bytes.size() > 12 && bytes.compare(4, 8, "ftypavif") == 0;
  if (target == "gif") return startsWith(bytes, "GIF89a") || startsWith(bytes, "GIF87a");
  if (target == "bmp") return startsWith(bytes, "BM");
  return false;
}

const std::map<std::string, std::string> extensionOf = {{"jpeg", "jpg"}, {"png", "png"}, {"tiff", "tiff"},
                                                        {"avif", "avif"}, {"gif", "gif"}, {"bmp", "bmp"}};

class ClientEveryFormat : public ClientFixture, public ::testing::WithParamInterface<std::string> {};

// Seven sources, three of them named "still": converted two at a time, they
// are still published in source order as still, still 2 and still 3.
TEST_P(ClientEveryFormat, EverySourceFormatIsPublishedAsTheTarget) {
  const std::string target = GetParam();
  const std::string extension = extensionOf.at(target);
  const ConvertRun run = convert({"image", fixture("images/orientation-6.jpg"), fixture("image_pipeline/alpha.png"),
                                  fixture("image_bytes/plain.tif"), fixture("images/still.avif"),
                                  fixture("images/still.gif"), fixture("images/rgb24.bmp"),
                                  fixture("images/still.webp"), "--to", target, "--dest", destination()});
  ASSERT_EQ(run.exitStatus, 0) << describe(run);
  const std::vector<std::string> names = {"orientation-6", "alpha", "plain", "still", "still 2", "rgb24", "still 3"};
  std::set<std::string> expected;
  std::string summary;
  for (const std::string& name : names) {
    expected.insert(name + "." + extension);
    const std::string path = in(name + "." + extension);
    summary += "Published " + path + "\n";
  }
  EXPECT_EQ(listing(destination()), expected);
  EXPECT_EQ(run.standardOutput, summary);
  EXPECT_NE(run.standardError.find("[4/7] still.avif -> still." + extension + "\n"), std::string::npos)
      << run.standardError;
  EXPECT_NE(run.standardError.find("[7/7] still.webp -> still." + extension + "\n"), std::string::npos);
  EXPECT_NE(run.standardError.find("7 converted, 0 failed\n"), std::string::npos);
  // What the umask leaves of 0666, as for any new file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  for (const std::string& name : expected) {
    EXPECT_TRUE(hasSignature(readFile(in(name)), target)) << name;
    EXPECT_EQ(testing_support::lstatOf(in(name)).st_mode & 07777, 0666u & ~mask) << name;
  }
  EXPECT_TRUE(journalEntries().empty());
}

INSTANTIATE_TEST_SUITE_P(Targets, ClientEveryFormat, ::testing::Values("jpeg", "png", "tiff", "avif", "gif", "bmp"));

using ClientJourney = ClientFixture;

std::string exiftoolGPS(const std::string& path) {
  const std::string output = path + ".exif";
  const std::string command = "exiftool -s -s -s -GPSLatitude '" + path + "' > '" + output + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) return "exiftool failed";
  return readFile(output);
}

TEST_F(ClientJourney, StrippedMetadataLeavesNoPositionAndASecondRunTakesName2) {
  const std::string source = fixture("image_pipeline/gps-exposure.jpg");
  const ConvertRun kept = convert({"image", source, "--to", "jpeg", "--dest", destination()});
  ASSERT_EQ(kept.exitStatus, 0) << describe(kept);
  const ConvertRun stripped = convert({"image", source, "--to", "jpeg", "--strip-metadata", "--dest", destination()});
  ASSERT_EQ(stripped.exitStatus, 0) << describe(stripped);
  EXPECT_EQ(stripped.standardOutput, "Published " + in("gps-exposure 2.jpg") + "\n");
  EXPECT_EQ(listing(destination()), (std::set<std::string>{"gps-exposure.jpg", "gps-exposure 2.jpg"}));

  // The helper's own reading of the outputs.
  const ConvertRun keptProbe = convert({"inspect", "--json", in("gps-exposure.jpg")});
  const ConvertRun strippedProbe = convert({"inspect", "--json", in("gps-exposure 2.jpg")});
  ASSERT_EQ(strippedProbe.exitStatus, 0) << describe(strippedProbe);
  EXPECT_EQ(nlohmann::json::parse(keptProbe.standardOutput)["probe"]["hasMetadata"], true);
  EXPECT_EQ(nlohmann::json::parse(strippedProbe.standardOutput)["probe"]["hasMetadata"], false);
  // Scaled down to fit the box, the aspect ratio kept (64 x 48 to 32 x 24).
  const ConvertRun scaled = convert({"image", source, "--to", "png", "--max-width", "32", "--max-height", "40",
                                     "--name", "Small", "--dest", destination()});
  ASSERT_EQ(scaled.exitStatus, 0) << describe(scaled);
  const nlohmann::json small = nlohmann::json::parse(convert({"inspect", "--json", in("Small.png")}).standardOutput);
  EXPECT_EQ(small["probe"]["width"], 32);
  EXPECT_EQ(small["probe"]["height"], 24);
  // And an independent one, when exiftool is there.
  if (std::system("command -v exiftool > /dev/null") == 0) {
    EXPECT_NE(exiftoolGPS(in("gps-exposure.jpg")), "");
    EXPECT_EQ(exiftoolGPS(in("gps-exposure 2.jpg")), "");
  }
}

TEST_F(ClientJourney, ADestinationWhoseNamesAreAllTakenFailsAndKeepsNothing) {
  for (int index = 1; index <= 10000; ++index) {
    const std::string name = index == 1 ? "plain.png" : "plain " + std::to_string(index) + ".png";
    const UniqueFd file(::open(in(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(file.valid()) << name;
  }
  const std::set<std::string> before = listing(destination());
  const ConvertRun run = convert({"image", fixture("image_bytes/plain.png"), "--to", "png", "--dest", destination()});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.standardError.find("plain.png: every name for it is taken in " + destination()), std::string::npos)
      << run.standardError;
  EXPECT_EQ(run.standardOutput, "");
  EXPECT_EQ(listing(destination()), before);
  EXPECT_EQ(readFile(in("plain 10000.png")), "");
  EXPECT_TRUE(journalEntries().empty());
}

TEST_F(ClientJourney, PDFPagesArePublishedAsOneSetThatMovesTogether) {
  const ConvertRun run = convert({"pdf-pages", fixture("pdf/text-pages.pdf"), "--to", "png", "--dpi", "72", "--name",
                                  "Report", "--dest", destination()});
  ASSERT_EQ(run.exitStatus, 0) << describe(run);
  EXPECT_EQ(listing(destination()),
            (std::set<std::string>{"Report page 1.png", "Report page 2.png", "Report page 3.png"}));
  EXPECT_NE(run.standardError.find("[1/1] text-pages.pdf -> Report page 1.png \u2026 Report page 3.png\n"),
            std::string::npos)
      << run.standardError;
  for (int page = 1; page <= 3; ++page) {
    EXPECT_TRUE(hasSignature(readFile(in("Report page " + std::to_string(page) + ".png")), "png"));
  }

  // One taken name moves the whole set to the next index.
  writeFile(in("Report page 2.jpg"), "someone else's");
  const ConvertRun again = convert({"pdf-pages", fixture("pdf/text-pages.pdf"), "--to", "jpeg", "--quality", "0.7",
                                    "--name", "Report", "--quiet", "--dest", destination()});
  ASSERT_EQ(again.exitStatus, 0) << describe(again);
  EXPECT_EQ(again.standardError, "");
  EXPECT_EQ(again.standardOutput, "Published " + in("Report page 1 2.jpg") + "\nPublished " + in("Report page 2 2.jpg") +
                                      "\nPublished " + in("Report page 3 2.jpg") + "\n");
  EXPECT_EQ(readFile(in("Report page 2.jpg")), "someone else's");
  EXPECT_TRUE(hasSignature(readFile(in("Report page 3 2.jpg")), "jpeg"));
  EXPECT_TRUE(journalEntries().empty());
}

// Two conversions into one folder at the same time: each changes the folder
// while the other's requests are on their way, and both must still publish
// everything under distinct names.
TEST_F(ClientJourney, TwoConversionsIntoOneFolderAtOnceBothPublishEverything) {
  const std::vector<std::string> arguments = {"image", fixture("image_pipeline/alpha.png"),
                                              fixture("image_bytes/plain.png"), fixture("images/rgb24.bmp"), "--to",
                                              "png", "--dest", destination()};
  StartedConvert first(arguments, journal());
  StartedConvert second(arguments, journal());
  const ConvertRun one = first.wait();
  const ConvertRun other = second.wait();
  EXPECT_EQ(one.exitStatus, 0) << describe(one);
  EXPECT_EQ(other.exitStatus, 0) << describe(other);
  EXPECT_EQ(listing(destination()),
            (std::set<std::string>{"alpha.png", "alpha 2.png", "plain.png", "plain 2.png", "rgb24.png", "rgb24 2.png"}));
  EXPECT_TRUE(journalEntries().empty());
}

TEST_F(ClientJourney, ImagesBecomeOnePDF) {
  const ConvertRun run = convert({"images-to-pdf", fixture("pdf_writer/page-64x48.jpg"),
                                  fixture("image_pipeline/alpha.png"), fixture("images/rgb24.bmp"), "--name", "Album",
                                  "--dest", destination()});
  ASSERT_EQ(run.exitStatus, 0) << describe(run);
  EXPECT_EQ(listing(destination()), (std::set<std::string>{"Album.pdf"}));
  EXPECT_EQ(run.standardOutput, "Published " + in("Album.pdf") + "\n");
  const ConvertRun inspected = convert({"inspect", in("Album.pdf")});
  ASSERT_EQ(inspected.exitStatus, 0) << describe(inspected);
  EXPECT_NE(inspected.standardOutput.find("pages:              3\n"), std::string::npos) << inspected.standardOutput;
}

TEST_F(ClientJourney, RefusedSourcesPrintTheHelpersMessageAndLeaveTheDestinationAsItWas) {
  writeFile(in("notes.txt"), "already here");
  const std::set<std::string> before = listing(destination());
  const struct stat statusBefore = testing_support::lstatOf(destination());
  const ConvertRun run = convert({"image", fixture("image_pipeline/two-frames.gif"), fixture("images/still.heic"),
                                  "--to", "png", "--dest", destination()});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.standardError.find("two-frames.gif: animated images are not converted\n"), std::string::npos)
      << run.standardError;
  EXPECT_NE(run.standardError.find("still.heic: HEIC images are not converted\n"), std::string::npos);
  EXPECT_NE(run.standardError.find("0 converted, 2 failed\n"), std::string::npos);
  // The helper's own code and message only when asked for.
  EXPECT_EQ(run.standardError.find("resource-limit"), std::string::npos);
  const ConvertRun verbose = convert({"image", fixture("image_pipeline/two-frames.gif"), "--to", "png", "--verbose",
                                      "--dest", destination()});
  EXPECT_NE(verbose.standardError.find(
                "animated images are not converted [resource-limit: The source image exceeds the frame limit.]"),
            std::string::npos)
      << verbose.standardError;
  EXPECT_EQ(run.standardOutput, "");
  EXPECT_EQ(listing(destination()), before);
  EXPECT_EQ(readFile(in("notes.txt")), "already here");
  EXPECT_EQ(testing_support::lstatOf(destination()).st_nlink, statusBefore.st_nlink);
  EXPECT_TRUE(journalEntries().empty());
}

TEST_F(ClientJourney, AHelperThatAnswersGarbageOrNothingIsReportedAsSuch) {
  const std::string garbage = root_ / "garbage-helper";
  writeExecutable(garbage, "#!/bin/sh\nread line\necho 'this is not a response'\n");
  const ConvertRun run = convert({"image", fixture("image_bytes/plain.png"), "--to", "png", "--helper", garbage,
                                  "--dest", destination()});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.standardError.find("The helper answered with something that is not a response."), std::string::npos)
      << run.standardError;

  const std::string silent = root_ / "silent-helper";
  writeExecutable(silent, "#!/bin/sh\nexit 7\n");
  const ConvertRun quiet = convert({"inspect", fixture("image_bytes/plain.png"), "--helper", silent});
  EXPECT_EQ(quiet.exitStatus, 1);
  EXPECT_NE(quiet.standardError.find("The helper ended with exit status 7 before it answered."), std::string::npos)
      << quiet.standardError;
  EXPECT_TRUE(listing(destination()).empty());
  EXPECT_TRUE(journalEntries().empty());
}

TEST_F(ClientJourney, HelpNamesEveryCommandAndBadCommandLinesAreRefused) {
  const ConvertRun help = convert({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* usage : {"image SOURCE... --to FORMAT --dest DIR", "inspect SOURCE [--json]",
                            "pdf-pages SOURCE --to png|jpeg --dest DIR", "images-to-pdf SOURCE... --dest DIR --name BASE",
                            "cleanup [--dest DIR]"}) {
    EXPECT_NE(help.standardOutput.find(usage), std::string::npos) << usage;
  }
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"image", "a.jpg", "--to", "webp", "--dest", "."},
        std::vector<std::string>{"image", "a.jpg", "--to", "png", "--dest", ".", "--quality", "0.5"},
        std::vector<std::string>{"pdf-pages", "a.pdf", "--to", "png", "--dest", ".", "--dpi", "301"},
        std::vector<std::string>{"images-to-pdf", "a.jpg", "--dest", "."}, std::vector<std::string>{"convert"}}) {
    const ConvertRun refused = convert(arguments);
    EXPECT_EQ(refused.exitStatus, 2) << arguments.front();
    EXPECT_NE(refused.standardError.find("--help"), std::string::npos);
  }
  // Near misses are named; a percentage is a quality too.
  EXPECT_NE(convert({"imgae", "a.jpg"}).standardError.find("Did you mean image?"), std::string::npos);
  EXPECT_NE(convert({"image", "a.jpg", "--dset", "."}).standardError.find("Did you mean --dest?"), std::string::npos);
  const ConvertRun percent = convert({"image", fixture("image_bytes/plain.png"), "--to", "JPG", "--quality", "90",
                                      "--dest", destination()});
  EXPECT_EQ(percent.exitStatus, 0) << describe(percent);
  EXPECT_EQ(convert({"image", "a.jpg", "--to", "png", "--quality", "101", "--dest", "."}).exitStatus, 2);

  const ConvertRun version = convert({"--version"});
  EXPECT_EQ(version.exitStatus, 0) << describe(version);
  EXPECT_NE(version.standardOutput.find("quorvantelmic-convert 0.5.0\nquorvantelmic-helper 0.5.0 ("),
            std::string::npos)
      << version.standardOutput;
}

}  // namespace
}  // namespace quorvantelmic::client_testing
