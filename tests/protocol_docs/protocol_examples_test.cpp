// Every example exchange in docs/protocol.md comes from here: each journey runs
// through the real helper binary on real files, its volatile values are
// replaced by stable stand-ins, and the result must equal the example files in
// docs/examples/ and the blocks that quote them in docs/protocol.md.
//
// After a deliberate change of the protocol, regenerate the examples with
//   QUORVANTELMIC_REGENERATE_EXAMPLES=1 <build>/tests/protocol_docs/protocol_docs_tests
// which rewrites docs/examples/*.ndjson and the quoted blocks of docs/protocol.md.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/unique_fd.hpp"
#include "tests/support/helper_process.hpp"

namespace quorvantelmic {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const fs::path sourceDirectory = QUORVANTELMIC_SOURCE_DIR;
const fs::path examplesDirectory = sourceDirectory / "docs" / "examples";
const fs::path protocolDocument = sourceDirectory / "docs" / "protocol.md";

// The display path the examples show for the user's destination directory.
constexpr const char* shownDestination = "/home/user/Pictures";

bool regenerating() {
  const char* value = std::getenv("QUORVANTELMIC_REGENERATE_EXAMPLES");
  return value != nullptr && std::string(value) == "1";
}

std::string readText(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << text;
}

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "qv-protocol-docs-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    // Staged outputs and records are read-only; the directory must be writable
    // for the removal to succeed.
    for (const auto& entry : fs::recursive_directory_iterator(path_, ignored)) {
      if (entry.is_directory(ignored)) fs::permissions(entry.path(), fs::perms::owner_all, ignored);
    }
    fs::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

UniqueFd openDirectory(const fs::path& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

UniqueFd openFile(const fs::path& path) { return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)); }

// What a parent sends for a file it has open: the seven fields of an fstat.
json identityOf(int descriptor) {
  struct stat status {};
  EXPECT_EQ(::fstat(descriptor, &status), 0);
  const ProtocolFileIdentity value = FileIdentity::of(status).protocolValue();
  return json{{"device", value.device},
              {"inode", value.inode},
              {"size", value.size},
              {"modifiedSeconds", value.modifiedSeconds},
              {"modifiedNanoseconds", value.modifiedNanoseconds},
              {"statusChangedSeconds", value.statusChangedSeconds},
              {"statusChangedNanoseconds", value.statusChangedNanoseconds}};
}

json identityOf(const fs::path& path) {
  const UniqueFd descriptor(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  EXPECT_TRUE(descriptor) << path;
  return identityOf(descriptor.get());
}

json envelope(const char* operation, int serial) {
  char requestId[37];
  std::snprintf(requestId, sizeof requestId, "7d1c4e2a-5b3f-4a60-9e8d-%012d", serial);
  return json{{"protocolVersion", 4}, {"requestId", requestId}, {"operation", operation}};
}

// Replaces what changes from run to run (and machine to machine) by stand-ins,
// the same stand-in for the same value everywhere in one journey, so that an
// identity answered in one step is recognisably the one sent in the next:
// - device numbers become 2049, 2050, ...; inodes 131073, 131074, ...;
// - a modification or status-change time becomes 1767225600 (2026-01-01 UTC)
//   plus ten times the file's place among the inodes plus the number of
//   earlier values that time of that file had; nanoseconds become 0;
// - SHA-256 digests become 64 copies of one hexadecimal digit (1, 2, ...);
// - the temporary destination directory is shown as /home/user/Pictures.
// Sizes, byte lengths, names and everything else are shown as they came.
class Normaliser {
 public:
  explicit Normaliser(std::string destinationPath) : destinationPath_(std::move(destinationPath)) {}

  json operator()(const json& value) {
    if (value.is_object()) {
      if (isIdentity(value)) return identity(value);
      json result = json::object();
      for (const auto& [key, member] : value.items()) {
        if ((key == "sha256" || key == "outputSha256") && member.is_string()) {
          result[key] = digest(member.get<std::string>());
        } else {
          result[key] = (*this)(member);
        }
      }
      return result;
    }
    if (value.is_array()) {
      json result = json::array();
      for (const json& element : value) result.push_back((*this)(element));
      return result;
    }
    if (value.is_string()) return path(value.get<std::string>());
    return value;
  }

 private:
  static bool isIdentity(const json& value) {
    static const std::set<std::string> keys{"device",      "inode",
                                            "size",        "modifiedSeconds",
                                            "modifiedNanoseconds", "statusChangedSeconds",
                                            "statusChangedNanoseconds"};
    if (value.size() != keys.size()) return false;
    for (const auto& [key, member] : value.items()) {
      if (!keys.contains(key) || !member.is_string()) return false;
    }
    return true;
  }

  static std::string standIn(std::map<std::string, std::string>& table, const std::string& value,
                             auto&& make) {
    const auto found = table.find(value);
    if (found != table.end()) return found->second;
    const std::string replacement = make(table.size());
    table.emplace(value, replacement);
    return replacement;
  }

  // A time stands for a state of one file, never for a moment: timestamps are
  // coarse, so two files touched within one clock tick may or may not share a
  // value from run to run, while one file's time changes only when the file did.
  std::string time(const std::string& inodeStandIn, const char* kind, const std::string& value) {
    auto& versions = times_[inodeStandIn + kind];
    const auto found = std::find(versions.begin(), versions.end(), value);
    const auto version = static_cast<std::size_t>(found - versions.begin());
    if (found == versions.end()) versions.push_back(value);
    const std::size_t file = std::stoul(inodeStandIn) - firstInode;
    return std::to_string(firstSecond + 10 * file + version);
  }

  json identity(const json& value) {
    json result = value;
    result["device"] = standIn(devices_, value["device"], [](std::size_t index) { return std::to_string(2049 + index); });
    const std::string inode =
        standIn(inodes_, value["inode"], [](std::size_t index) { return std::to_string(firstInode + index); });
    result["inode"] = inode;
    result["modifiedSeconds"] = time(inode, "m", value["modifiedSeconds"].get<std::string>() + "." +
                                                     value["modifiedNanoseconds"].get<std::string>());
    result["statusChangedSeconds"] = time(inode, "c", value["statusChangedSeconds"].get<std::string>() + "." +
                                                          value["statusChangedNanoseconds"].get<std::string>());
    result["modifiedNanoseconds"] = "0";
    result["statusChangedNanoseconds"] = "0";
    return result;
  }

  // 64 copies of one digit for the first fifteen, then a repeated pair.
  std::string digest(const std::string& value) {
    return standIn(digests_, value, [](std::size_t index) {
      char pair[3];
      if (index < 15) return std::string(64, "123456789abcdef"[index]);
      std::snprintf(pair, sizeof pair, "%02zx", (index + 1) % 256);
      std::string text;
      while (text.size() < 64) text += pair;
      return text;
    });
  }

  std::string path(std::string text) const {
    for (std::size_t at; (at = text.find(destinationPath_)) != std::string::npos;) {
      text.replace(at, destinationPath_.size(), shownDestination);
    }
    return text;
  }

  static constexpr std::size_t firstInode = 131073;
  static constexpr std::size_t firstSecond = 1767225600;  // 2026-01-01T00:00:00Z
  std::string destinationPath_;
  std::map<std::string, std::string> devices_;
  std::map<std::string, std::string> inodes_;
  std::map<std::string, std::vector<std::string>> times_;
  std::map<std::string, std::string> digests_;
};

// One journey: the sessions it runs, each example's lines kept under its file
// name as request, answer, request, answer, ...
class Journey {
 public:
  explicit Journey(const fs::path& destination) : normalise_(destination.string()) {}

  // Runs one helper session; when `example` is not empty its exchanges become
  // that example file. Returns the answers as the helper gave them.
  std::vector<json> session(const std::string& example, const std::vector<json>& requests,
                            const std::map<int, int>& descriptors, int expectedStatus = 0) {
    std::string input;
    for (const json& request : requests) input += request.dump() + "\n";
    const testing::HelperRun run = testing::runHelper(input, descriptors);
    EXPECT_EQ(run.exitStatus, expectedStatus) << example;
    EXPECT_EQ(run.standardError, "") << example;
    std::vector<json> responses = run.responses();
    if (!example.empty()) {
      std::string& lines = examples_[example];
      for (std::size_t index = 0; index < requests.size() && index < responses.size(); ++index) {
        lines += normalise_(requests[index]).dump() + "\n";
        lines += normalise_(responses[index]).dump() + "\n";
      }
    }
    return responses;
  }

  // Compares every example with its file, or writes them when regenerating.
  void check() const {
    for (const auto& [name, lines] : examples_) {
      const fs::path file = examplesDirectory / name;
      if (regenerating()) {
        fs::create_directories(examplesDirectory);
        writeText(file, lines);
        continue;
      }
      EXPECT_EQ(readText(file), lines) << file << " differs from what the helper answers now; if the change is "
                                       << "deliberate, regenerate with QUORVANTELMIC_REGENERATE_EXAMPLES=1";
    }
  }

 private:
  Normaliser normalise_;
  std::map<std::string, std::string> examples_;
};

constexpr const char* stagingName = ".quorvantelmic-stage-5e0c7f3a91b24d68a0f1c2e3d4b5a697";
constexpr const char* stagingId = "c6a1f0e2-93b4-4d57-8a2e-1f0b3c4d5e6f";

std::string stagedName(int serial, const char* extension) {
  char name[64];
  std::snprintf(name, sizeof name, "output-3f9a2c1e8b7d4a6f9e0c1b2a%08d.%s", serial, extension);
  return name;
}

json prepareRequest(const char* operation, int serial, const json& destinationIdentity) {
  json request = envelope(operation, serial);
  request["destinationPath"] = "/dev/fd/3";
  request["destinationIdentity"] = destinationIdentity;
  request["stagingId"] = stagingId;
  request["stagingName"] = stagingName;
  return request;
}

fs::path fixture(const char* relative) { return sourceDirectory / "tests" / "fixtures" / relative; }

TEST(ProtocolExamples, ConversionJourneyFromHelloToCleanup) {
  TemporaryDirectory destination;
  Journey journey(destination.path());
  const UniqueFd destinationDescriptor = openDirectory(destination.path());

  // 1. Who the helper is and what it can do: no descriptors needed.
  const auto greeting = journey.session("conversion-1-hello.ndjson",
                                        {envelope("hello", 1), envelope("capabilities", 2)}, {});
  ASSERT_EQ(greeting.size(), 2u);
  EXPECT_EQ(greeting[0]["helperVersion"], "0.5.0");

  // 2. Inspect the source on descriptor 3.
  const UniqueFd source = openFile(fixture("images/photo-metadata.jpg"));
  json inspect = envelope("inspect-image", 3);
  inspect["sourcePath"] = "/dev/fd/3";
  const auto inspected = journey.session("conversion-2-probe-image.ndjson", {inspect}, {{3, source.get()}});
  ASSERT_EQ(inspected.size(), 1u);
  EXPECT_EQ(inspected[0]["ok"], true) << inspected[0];

  // 3. A private staging directory inside the destination.
  const std::string outputName = stagedName(1, "png");
  json prepare = prepareRequest("prepare-staging", 4, identityOf(destinationDescriptor.get()));
  prepare["outputName"] = outputName;
  const auto prepared =
      journey.session("conversion-3-prepare-staging.ndjson", {prepare}, {{3, destinationDescriptor.get()}});
  ASSERT_EQ(prepared.size(), 1u);
  ASSERT_EQ(prepared[0]["ok"], true) << prepared[0];

  // 4. Convert into the staging directory, which the parent passes as descriptor 4.
  const fs::path staging = destination.path() / stagingName;
  const UniqueFd stagingDescriptor = openDirectory(staging);
  ASSERT_TRUE(stagingDescriptor);
  json convert = envelope("convert-image", 5);
  convert["sourcePath"] = "/dev/fd/3";
  convert["outputPath"] = "/dev/fd/4/" + outputName;
  convert["options"] = json{{"quality", 0.9},           {"metadataPolicy", "remove"},
                            {"orientationPolicy", "preserve"}, {"targetTypeIdentifier", "public.png"},
                            {"maximumWidth", nullptr},   {"maximumHeight", nullptr}};
  const auto converted = journey.session("conversion-4-convert-image.ndjson", {convert},
                                         {{3, source.get()}, {4, stagingDescriptor.get()}});
  ASSERT_EQ(converted.size(), 1u);
  ASSERT_EQ(converted[0]["ok"], true) << converted[0];

  // 5. Publish. The staging directory's times changed when the output was
  // added, so the parent sends what it reads now, not what preparation answered.
  EXPECT_NE(identityOf(staging), prepared[0]["stagingIdentity"]);
  json publish = envelope("publish-output", 6);
  publish["destinationPath"] = "/dev/fd/3";
  publish["destinationDisplayPath"] = destination.path().string();
  publish["destinationIdentity"] = identityOf(destinationDescriptor.get());
  publish["stagingName"] = stagingName;
  publish["stagingId"] = stagingId;
  publish["ownerIdentity"] = prepared[0]["ownerIdentity"];
  publish["outputName"] = outputName;
  publish["outputIdentity"] = identityOf(staging / outputName);
  publish["outputSha256"] = converted[0]["sha256"];
  publish["outputBaseName"] = "Holiday";
  publish["outputExtension"] = "png";
  // A stale staging identity first: the helper refuses to touch a directory
  // that is not in the state the parent last saw.
  json stale = publish;
  stale["requestId"] = envelope("", 7)["requestId"];
  stale["stagingIdentity"] = prepared[0]["stagingIdentity"];
  publish["stagingIdentity"] = identityOf(staging);
  const auto published = journey.session("conversion-5-publish-output.ndjson", {stale, publish},
                                         {{3, destinationDescriptor.get()}});
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(published[0]["error"]["code"], "filesystem-policy");
  ASSERT_EQ(published[1]["ok"], true) << published[1];
  EXPECT_TRUE(fs::exists(destination.path() / "Holiday.png"));

  // 6. Clean up: the published output's staged link is already gone, so no
  // output binding is sent; the staging directory is read again.
  json cleanup = prepareRequest("cleanup-staging", 8, identityOf(destinationDescriptor.get()));
  cleanup["stagingIdentity"] = identityOf(staging);
  cleanup["ownerIdentity"] = prepared[0]["ownerIdentity"];
  cleanup["outputName"] = outputName;
  cleanup["output"] = nullptr;
  const auto cleaned =
      journey.session("conversion-6-cleanup-staging.ndjson", {cleanup}, {{3, destinationDescriptor.get()}});
  ASSERT_EQ(cleaned.size(), 1u);
  EXPECT_EQ(cleaned[0]["removed"], true) << cleaned[0];
  EXPECT_FALSE(fs::exists(staging));
  journey.check();
}

TEST(ProtocolExamples, PageExportJourneyPublishedAsASet) {
  TemporaryDirectory destination;
  Journey journey(destination.path());
  const UniqueFd destinationDescriptor = openDirectory(destination.path());
  // A name already taken: the set moves to the next free index as a whole.
  writeText(destination.path() / "Report page 1.png", "an earlier export");

  const UniqueFd pdf = openFile(fixture("pdf/text-pages.pdf"));
  json inspect = envelope("inspect-pdf", 11);
  inspect["sourcePath"] = "/dev/fd/3";
  const auto inspected = journey.session("pages-1-probe-pdf.ndjson", {inspect}, {{3, pdf.get()}});
  ASSERT_EQ(inspected.size(), 1u);
  ASSERT_EQ(inspected[0]["ok"], true) << inspected[0];
  const auto pageCount = inspected[0]["pdfProbe"]["pageCount"].get<int>();
  ASSERT_GE(pageCount, 2);

  std::vector<std::string> names;
  for (int page = 1; page <= pageCount; ++page) names.push_back(stagedName(page, "png"));
  json prepare = prepareRequest("prepare-staging-set", 12, identityOf(destinationDescriptor.get()));
  prepare["outputNames"] = names;
  const auto prepared =
      journey.session("pages-2-prepare-staging-set.ndjson", {prepare}, {{3, destinationDescriptor.get()}});
  ASSERT_EQ(prepared.size(), 1u);
  ASSERT_EQ(prepared[0]["ok"], true) << prepared[0];

  const fs::path staging = destination.path() / stagingName;
  const UniqueFd stagingDescriptor = openDirectory(staging);
  // PDF sources may sit on any descriptor from 3 to 1023 except 4.
  json render = envelope("pdf-pages-to-png", 13);
  render["sourcePath"] = "/dev/fd/5";
  render["outputPaths"] = json::array();
  for (const std::string& name : names) render["outputPaths"].push_back("/dev/fd/4/" + name);
  render["options"] = json{{"dpi", 72}};
  const auto rendered = journey.session("pages-3-pdf-pages-to-png.ndjson", {render},
                                        {{4, stagingDescriptor.get()}, {5, pdf.get()}});
  ASSERT_EQ(rendered.size(), 1u);
  ASSERT_EQ(rendered[0]["ok"], true) << rendered[0];

  json publish = envelope("publish-output-set", 14);
  publish["destinationPath"] = "/dev/fd/3";
  publish["destinationDisplayPath"] = destination.path().string();
  publish["destinationIdentity"] = identityOf(destinationDescriptor.get());
  publish["stagingName"] = stagingName;
  publish["stagingId"] = stagingId;
  publish["stagingIdentity"] = identityOf(staging);
  publish["ownerIdentity"] = prepared[0]["ownerIdentity"];
  publish["outputs"] = json::array();
  for (std::size_t index = 0; index < names.size(); ++index) {
    publish["outputs"].push_back(json{{"outputName", names[index]},
                                      {"outputIdentity", identityOf(staging / names[index])},
                                      {"outputSha256", rendered[0]["outputs"][index]["sha256"]},
                                      {"outputBaseName", "Report page " + std::to_string(index + 1)},
                                      {"outputExtension", "png"}});
  }
  const auto published =
      journey.session("pages-4-publish-output-set.ndjson", {publish}, {{3, destinationDescriptor.get()}});
  ASSERT_EQ(published.size(), 1u);
  ASSERT_EQ(published[0]["ok"], true) << published[0];
  EXPECT_EQ(published[0]["collisionIndex"], 2);
  EXPECT_TRUE(fs::exists(destination.path() / "Report page 1 2.png"));

  json cleanup = prepareRequest("cleanup-staging-set", 15, identityOf(destinationDescriptor.get()));
  cleanup["stagingIdentity"] = identityOf(staging);
  cleanup["ownerIdentity"] = prepared[0]["ownerIdentity"];
  cleanup["outputNames"] = names;
  cleanup["outputs"] = json::array();
  const auto cleaned =
      journey.session("pages-5-cleanup-staging-set.ndjson", {cleanup}, {{3, destinationDescriptor.get()}});
  ASSERT_EQ(cleaned.size(), 1u);
  EXPECT_EQ(cleaned[0]["removed"], true) << cleaned[0];
  EXPECT_FALSE(fs::exists(staging));
  journey.check();
}

TEST(ProtocolExamples, ImagesToPDFAndJPEGPageExportWriteIntoAPreparedDirectory) {
  TemporaryDirectory destination;
  Journey journey(destination.path());
  const UniqueFd destinationDescriptor = openDirectory(destination.path());
  const std::string pdfName = stagedName(21, "pdf");
  const std::vector<std::string> jpegNames{stagedName(22, "jpg"), stagedName(23, "jpg")};
  json prepare = prepareRequest("prepare-staging-set", 20, identityOf(destinationDescriptor.get()));
  prepare["outputNames"] = json::array({pdfName, jpegNames[0], jpegNames[1]});
  const auto prepared = journey.session("", {prepare}, {{3, destinationDescriptor.get()}});
  ASSERT_EQ(prepared.size(), 1u);
  ASSERT_EQ(prepared[0]["ok"], true) << prepared[0];
  const UniqueFd stagingDescriptor = openDirectory(destination.path() / stagingName);

  const UniqueFd first = openFile(fixture("images/orientation-1.png"));
  const UniqueFd second = openFile(fixture("images/photo-metadata.jpg"));
  json images = envelope("images-to-pdf", 21);
  images["sourcePaths"] = json::array({"/dev/fd/3", "/dev/fd/5"});
  images["outputPath"] = "/dev/fd/4/" + pdfName;
  const auto built = journey.session("images-to-pdf.ndjson", {images},
                                     {{3, first.get()}, {4, stagingDescriptor.get()}, {5, second.get()}});
  ASSERT_EQ(built.size(), 1u);
  ASSERT_EQ(built[0]["ok"], true) << built[0];

  // The PDF just built is the source of the JPEG export.
  const UniqueFd pdf = openFile(destination.path() / stagingName / pdfName);
  json render = envelope("pdf-pages-to-jpeg", 22);
  render["sourcePath"] = "/dev/fd/3";
  render["outputPaths"] = json::array({"/dev/fd/4/" + jpegNames[0], "/dev/fd/4/" + jpegNames[1]});
  render["options"] = json{{"dpi", 36}, {"jpegQuality", 0.85}};
  const auto rendered = journey.session("pdf-pages-to-jpeg.ndjson", {render},
                                        {{3, pdf.get()}, {4, stagingDescriptor.get()}});
  ASSERT_EQ(rendered.size(), 1u);
  ASSERT_EQ(rendered[0]["ok"], true) << rendered[0];
  EXPECT_EQ(rendered[0]["outputs"].size(), 2u);

  // Nothing of this set is published: cleanup binds every staged output to
  // its identity and digest, and the helper removes exactly those.
  const fs::path staging = destination.path() / stagingName;
  json cleanup = prepareRequest("cleanup-staging-set", 23, identityOf(destinationDescriptor.get()));
  cleanup["stagingIdentity"] = identityOf(staging);
  cleanup["ownerIdentity"] = prepared[0]["ownerIdentity"];
  cleanup["outputNames"] = json::array({pdfName, jpegNames[0], jpegNames[1]});
  cleanup["outputs"] = json::array({json{{"outputName", pdfName},
                                         {"identity", identityOf(staging / pdfName)},
                                         {"sha256", built[0]["outputs"][0]["sha256"]}}});
  for (std::size_t index = 0; index < jpegNames.size(); ++index) {
    cleanup["outputs"].push_back(json{{"outputName", jpegNames[index]},
                                      {"identity", identityOf(staging / jpegNames[index])},
                                      {"sha256", rendered[0]["outputs"][index]["sha256"]}});
  }
  const auto cleaned =
      journey.session("cleanup-staging-set-unpublished.ndjson", {cleanup}, {{3, destinationDescriptor.get()}});
  ASSERT_EQ(cleaned.size(), 1u);
  EXPECT_EQ(cleaned[0]["removed"], true) << cleaned[0];
  EXPECT_TRUE(fs::is_empty(destination.path()));
  journey.check();
}

TEST(ProtocolExamples, AbandonedConversionIsCleanedUpWithItsOutputBinding) {
  TemporaryDirectory destination;
  Journey journey(destination.path());
  const UniqueFd destinationDescriptor = openDirectory(destination.path());
  const std::string outputName = stagedName(41, "jpg");
  json prepare = prepareRequest("prepare-staging", 41, identityOf(destinationDescriptor.get()));
  prepare["outputName"] = outputName;
  const auto prepared = journey.session("", {prepare}, {{3, destinationDescriptor.get()}});
  ASSERT_EQ(prepared.size(), 1u);
  const fs::path staging = destination.path() / stagingName;
  const UniqueFd stagingDescriptor = openDirectory(staging);
  const UniqueFd source = openFile(fixture("images/orientation-1.png"));
  json convert = envelope("convert-image", 42);
  convert["sourcePath"] = "/dev/fd/3";
  convert["outputPath"] = "/dev/fd/4/" + outputName;
  convert["options"] = json{{"quality", 0.8},           {"metadataPolicy", "preserve"},
                            {"orientationPolicy", "preserve"}, {"targetTypeIdentifier", "public.jpeg"},
                            {"maximumWidth", 16},        {"maximumHeight", nullptr}};
  const auto converted =
      journey.session("", {convert}, {{3, source.get()}, {4, stagingDescriptor.get()}});
  ASSERT_EQ(converted.size(), 1u);
  ASSERT_EQ(converted[0]["ok"], true) << converted[0];

  // The user cancelled before publication: the staged output is still there.
  json cleanup = prepareRequest("cleanup-staging", 43, identityOf(destinationDescriptor.get()));
  cleanup["stagingIdentity"] = identityOf(staging);
  cleanup["ownerIdentity"] = prepared[0]["ownerIdentity"];
  cleanup["outputName"] = outputName;
  cleanup["output"] = json{{"identity", identityOf(staging / outputName)}, {"sha256", converted[0]["sha256"]}};
  const auto cleaned =
      journey.session("cleanup-staging-unpublished.ndjson", {cleanup}, {{3, destinationDescriptor.get()}});
  ASSERT_EQ(cleaned.size(), 1u);
  EXPECT_EQ(cleaned[0]["removed"], true) << cleaned[0];
  EXPECT_TRUE(fs::is_empty(destination.path()));
  journey.check();
}

TEST(ProtocolExamples, RefusedOperationsAndErrorsKeepOrEndTheSession) {
  TemporaryDirectory destination;
  Journey journey(destination.path());

  // The five PDF operations the helper refuses: decoded in full, refused
  // without touching a descriptor, and the session goes on.
  json merge = envelope("merge-pdfs", 31);
  merge["sourcePaths"] = json::array({"/dev/fd/3", "/dev/fd/5"});
  merge["outputPath"] = "/dev/fd/4/" + stagedName(31, "pdf");
  json split = envelope("split-pdf", 32);
  split["sourcePath"] = "/dev/fd/3";
  split["outputPaths"] = json::array({"/dev/fd/4/" + stagedName(32, "pdf"), "/dev/fd/4/" + stagedName(33, "pdf")});
  json rotate = envelope("rotate-pdf-clockwise", 33);
  rotate["sourcePath"] = "/dev/fd/3";
  rotate["outputPath"] = "/dev/fd/4/" + stagedName(34, "pdf");
  json compress = envelope("compress-pdf-flattened", 34);
  compress["sourcePath"] = "/dev/fd/3";
  compress["outputPath"] = "/dev/fd/4/" + stagedName(35, "pdf");
  compress["options"] = json{{"dpi", 150}, {"jpegQuality", 0.6}};
  json ocr = envelope("ocr-pdf-english", 35);
  ocr["sourcePath"] = "/dev/fd/3";
  ocr["outputPath"] = "/dev/fd/4/" + stagedName(36, "pdf");
  const auto refused =
      journey.session("refused-operations.ndjson", {merge, split, rotate, compress, ocr, envelope("hello", 36)}, {});
  ASSERT_EQ(refused.size(), 6u);
  for (std::size_t index = 0; index < 5; ++index) EXPECT_EQ(refused[index]["error"]["code"], "unsupported-source");
  EXPECT_EQ(refused[5]["ok"], true);

  // An operation error leaves the session running: preparing a staging
  // directory whose name is taken.
  const UniqueFd destinationDescriptor = openDirectory(destination.path());
  ASSERT_EQ(::mkdir((destination.path() / stagingName).c_str(), 0700), 0);
  json prepare = prepareRequest("prepare-staging", 37, identityOf(destinationDescriptor.get()));
  prepare["outputName"] = stagedName(37, "png");
  const auto taken = journey.session("operation-error.ndjson", {prepare, envelope("hello", 38)},
                                     {{3, destinationDescriptor.get()}});
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0]["error"]["code"], "output-exists");

  // A request the decoder refuses is answered once and ends the session with
  // status 2: the hello after it is never read.
  json unknownField = envelope("hello", 39);
  unknownField["verbose"] = true;
  const auto ended = journey.session("invalid-request.ndjson", {unknownField, envelope("hello", 40)}, {}, 2);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0]["error"]["code"], "invalid-request");

  // A line that is not a request at all is answered under the operation
  // "protocol" and the all-zero request identifier.
  const testing::HelperRun garbage = testing::runHelper("hello\n");
  EXPECT_EQ(garbage.exitStatus, 2);
  const auto answers = garbage.responses();
  ASSERT_EQ(answers.size(), 1u);
  const std::string notJson = "hello\n" + answers[0].dump() + "\n";
  if (regenerating()) {
    writeText(examplesDirectory / "not-a-request.ndjson", notJson);
  } else {
    EXPECT_EQ(readText(examplesDirectory / "not-a-request.ndjson"), notJson);
  }
  journey.check();
}

// The fenced blocks of protocol.md that follow a marker line
// "<!-- example: NAME -->" hold exactly the file docs/examples/NAME, and every
// example file is quoted at least once.
TEST(ProtocolExamples, DocumentQuotesEveryExampleFileExactly) {
  const std::string marker = "<!-- example: ";
  std::string document = readText(protocolDocument);
  ASSERT_FALSE(document.empty()) << protocolDocument;
  std::set<std::string> quoted;
  std::string rewritten;
  std::size_t position = 0;
  for (std::size_t at; (at = document.find(marker, position)) != std::string::npos;) {
    const std::size_t nameEnd = document.find(" -->", at);
    ASSERT_NE(nameEnd, std::string::npos);
    const std::string name = document.substr(at + marker.size(), nameEnd - at - marker.size());
    const std::size_t open = document.find("```json\n", nameEnd);
    ASSERT_NE(open, std::string::npos) << name;
    ASSERT_EQ(document.find_first_not_of(" \n", nameEnd + 4), open) << "no block right after the marker of " << name;
    const std::size_t bodyStart = open + 8;
    const std::size_t close = document.find("```\n", bodyStart);
    ASSERT_NE(close, std::string::npos) << name;
    const std::string file = readText(examplesDirectory / name);
    EXPECT_FALSE(file.empty()) << name;
    if (!regenerating()) {
      EXPECT_EQ(document.substr(bodyStart, close - bodyStart), file) << "the block quoting " << name;
    }
    rewritten += document.substr(position, bodyStart - position) + file;
    position = close;
    quoted.insert(name);
  }
  rewritten += document.substr(position);
  if (regenerating()) writeText(protocolDocument, rewritten);
  for (const auto& entry : fs::directory_iterator(examplesDirectory)) {
    EXPECT_TRUE(quoted.contains(entry.path().filename().string()))
        << entry.path().filename() << " is not quoted in protocol.md";
  }
}

}  // namespace
}  // namespace quorvantelmic
