// Hostile images through the real helper binary: headers that declare frames
// of tens of gigabytes, a GIF of thousands of frames, PNG chunks that inflate
// to 50 MB, a TIFF whose directory chain loops. Each must be answered with its
// code and message, within a bounded time, without a crash, and (for the
// pixel bombs) without the helper ever holding much memory: a peak far below
// what one decoded frame would take proves that none was allocated.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper_core/file_access/unique_fd.hpp"
#include "tests/file_access/file_test_support.hpp"
#include "tests/support/helper_child.hpp"
#include "tests/hostile/hostile_session.hpp"

namespace quorvantelmic {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr long kSmallPeakKilobytes = 200L * 1024;  // 200 MiB
constexpr auto kSessionDeadline = 180s;             // sanitized debug build on a shared machine

const std::string kStagedName = "output-0000000000000000000000000000b0b0.png";

std::string fixture(const std::string& name) {
  return std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/hostile/" + name;
}

using hostile::measuringEnvironment;
using hostile::request;

struct HostileRun {
  testing::ChildOutcome outcome;
  json inspection;
  json conversion;
  std::set<std::string> outputs;  // what is left in the staging directory
};

// One session on the fixture: inspect-image, then convert-image into PNG.
HostileRun runHostile(const std::string& name) {
  testing_support::TemporaryDirectory staging;
  const UniqueFd source = testing_support::openOrThrow(fixture(name), O_RDONLY);
  const UniqueFd directory = testing_support::openOrThrow(staging.path().string(), O_RDONLY | O_DIRECTORY);
  json convert = request("convert-image", "4b1d0c2e-9f3a-4e5b-8c6d-000000000002");
  convert["outputPath"] = "/dev/fd/4/" + kStagedName;
  convert["options"] = json{{"quality", 0.8},
                            {"metadataPolicy", "preserve"},
                            {"orientationPolicy", "preserve"},
                            {"targetTypeIdentifier", "public.png"},
                            {"maximumWidth", nullptr},
                            {"maximumHeight", nullptr}};
  const std::string session =
      request("inspect-image", "4b1d0c2e-9f3a-4e5b-8c6d-000000000001").dump() + "\n" + convert.dump() + "\n";

  HostileRun run;
  run.outcome = testing::runSession(session, {{3, source.get()}, {4, directory.get()}}, kSessionDeadline,
                                    measuringEnvironment());
  std::printf("[ figures  ] %s: peak %ld KiB, %.2f s\n", name.c_str(), run.outcome.peakKilobytes, run.outcome.seconds);
  run.outputs = testing_support::entriesOf(staging.path().string());
  EXPECT_FALSE(run.outcome.timedOut) << name << " took longer than the deadline";
  EXPECT_EQ(run.outcome.signal, 0) << name;
  EXPECT_EQ(run.outcome.exitStatus, 0) << name;
  EXPECT_EQ(run.outcome.standardError, "") << name;
  const std::vector<json> responses = run.outcome.responses();
  EXPECT_EQ(responses.size(), 2u) << name;
  if (responses.size() == 2) {
    run.inspection = responses[0];
    run.conversion = responses[1];
  }
  return run;
}

void expectRefused(const HostileRun& run, const std::string& name, const char* code, const char* message) {
  const json error = {{"code", code}, {"message", message}};
  EXPECT_EQ(run.inspection["ok"], false) << name;
  EXPECT_EQ(run.inspection["error"], error) << name << ": " << run.inspection.dump();
  EXPECT_EQ(run.conversion["ok"], false) << name;
  EXPECT_EQ(run.conversion["error"], error) << name << ": " << run.conversion.dump();
  EXPECT_TRUE(run.outputs.empty()) << name << " left an output behind";
}

// Where the header is read, the declared size decides before any pixel is
// decoded. JPEG, GIF and lossy WebP cannot even state 100000 x 100000; they
// declare the most their fields (or libjpeg) allow, still far over the limit.
TEST(PixelBombs, DeclaredSizesOverTheLimitAreRefusedWithoutAllocatingTheFrame) {
  for (const char* name : {"bomb-100000x100000.png", "bomb-100000x100000.tiff", "bomb-65500x65500.jpg",
                           "bomb-65535x65535.gif", "bomb-16383x16383.webp"}) {
    const HostileRun run = runHostile(name);
    expectRefused(run, name, "resource-limit", "The source image exceeds the pixel limit.");
    EXPECT_LT(run.outcome.peakKilobytes, kSmallPeakKilobytes) << name;
  }
}

// libavif itself refuses to parse an item whose spatial extents exceed its
// own size limit, so no header ever states the size: the source is not a
// readable image, and nothing was allocated for it either.
TEST(PixelBombs, AnAVIFBeyondTheDecoderLimitIsNotReadable) {
  const HostileRun run = runHostile("bomb-100000x100000.avif");
  expectRefused(run, "bomb-100000x100000.avif", "decode-failed", "The source is not a readable image.");
  EXPECT_LT(run.outcome.peakKilobytes, kSmallPeakKilobytes);
}

// A HEIC grid that announces 16 x 16 but whose grid record asks for
// 65000 x 65000: libheif would allocate the grid's canvas while decoding.
TEST(PixelBombs, AHEICGridLargerThanItsAnnouncedSizeIsNotDecoded) {
  const HostileRun run = runHostile("grid-65000x65000.heic");
  expectRefused(run, "grid-65000x65000.heic", "decode-failed", "The source image pixels could not be decoded.");
  EXPECT_LT(run.outcome.peakKilobytes, kSmallPeakKilobytes);
}

// images-to-pdf inspects each image the same way before it draws a page.
TEST(PixelBombs, ImagesToPDFRefusesThemBeforeDrawing) {
  for (const char* name : {"bomb-100000x100000.png", "bomb-100000x100000.tiff", "bomb-65500x65500.jpg",
                           "bomb-65535x65535.gif", "bomb-16383x16383.webp", "frames-3000.gif"}) {
    testing_support::TemporaryDirectory staging;
    const UniqueFd source = testing_support::openOrThrow(fixture(name), O_RDONLY);
    const UniqueFd directory = testing_support::openOrThrow(staging.path().string(), O_RDONLY | O_DIRECTORY);
    json bind = request("images-to-pdf", "4b1d0c2e-9f3a-4e5b-8c6d-000000000003");
    bind.erase("sourcePath");
    bind["sourcePaths"] = json::array({"/dev/fd/3"});
    bind["outputPath"] = "/dev/fd/4/output-0000000000000000000000000000b0b0.pdf";
    const testing::ChildOutcome run = testing::runSession(
        bind.dump() + "\n", {{3, source.get()}, {4, directory.get()}}, kSessionDeadline, measuringEnvironment());
    std::printf("[ figures  ] images-to-pdf %s: peak %ld KiB, %.2f s\n", name, run.peakKilobytes, run.seconds);
    EXPECT_EQ(run.exitStatus, 0) << name;
    EXPECT_EQ(run.standardError, "") << name;
    const std::vector<json> responses = run.responses();
    ASSERT_EQ(responses.size(), 1u) << name;
    EXPECT_EQ(responses[0]["error"]["code"], "resource-limit") << name;
    EXPECT_EQ(responses[0]["error"]["message"], std::string(name).starts_with("frames")
                                                    ? "The source image exceeds the frame limit."
                                                    : "The source image exceeds the pixel limit.")
        << name;
    EXPECT_LT(run.peakKilobytes, kSmallPeakKilobytes) << name;
    EXPECT_TRUE(testing_support::entriesOf(staging.path().string()).empty()) << name;
  }
}

TEST(FrameBombs, AGIFOfThreeThousandFramesHitsTheFrameLimit) {
  const HostileRun run = runHostile("frames-3000.gif");
  expectRefused(run, "frames-3000.gif", "resource-limit", "The source image exceeds the frame limit.");
  EXPECT_LT(run.outcome.peakKilobytes, kSmallPeakKilobytes);
}

// The chain of two directories that points back to its first ends at the
// loop: two frames, not an endless walk.
TEST(FrameBombs, ATIFFWhoseDirectoriesLoopEndsAtTheFrameLimit) {
  const HostileRun run = runHostile("looping-ifd.tiff");
  expectRefused(run, "looping-ifd.tiff", "resource-limit", "The source image exceeds the frame limit.");
  EXPECT_LT(run.outcome.peakKilobytes, kSmallPeakKilobytes);
}

// Compressed metadata chunks (a colour profile, a text chunk) whose streams
// inflate to 50 MB from 50 KB. Their inflated size is counted through a small
// window before libpng or the metadata reader inflates anything, and the file
// is refused once the count passes the budget, so the helper never holds more
// than a pixel bomb's few megabytes. The same bombs split into many smaller
// chunks are refused as well: the budget is for the whole file.
TEST(ChunkBombs, InflatingMetadataChunksAreRefusedBeforeTheyAreInflated) {
  for (const char* name : {"iccp-bomb.png", "itxt-bomb.png", "ztxt-many-chunks-bomb.png"}) {
    const HostileRun run = runHostile(name);
    expectRefused(run, name, "decode-failed", "The source is not a readable image.");
    EXPECT_LT(run.outcome.peakKilobytes, kSmallPeakKilobytes) << name;
  }
}

// Just under the budget the same kind of chunks are read as ever: an 8 MB
// profile (what the PNG writer still carries) is found and described.
TEST(ChunkBombs, MetadataJustUnderTheBudgetIsStillRead) {
  const HostileRun run = runHostile("iccp-8mb.png");
  EXPECT_EQ(run.inspection["ok"], true) << run.inspection.dump();
  EXPECT_EQ(run.inspection["probe"]["hasIccProfile"], true);
  EXPECT_EQ(run.inspection["probe"]["width"], 16);
}

}  // namespace
}  // namespace quorvantelmic
