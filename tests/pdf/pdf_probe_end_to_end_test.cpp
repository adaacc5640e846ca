// inspect-pdf through the real helper binary, with the source passed down as a
// real inherited descriptor.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "helper_core/file_access/unique_fd.hpp"
#include "tests/pdf/pdf_test_support.hpp"
#include "tests/support/helper_process.hpp"

namespace quorvantelmic {
namespace {

using nlohmann::json;
using testing::runHelper;

const std::string requestId = "6B29FC40-CA47-1067-B31D-00DD010662DA";

std::string inspectRequest(const std::string& sourcePath) {
  return json{{"protocolVersion", 4}, {"requestId", requestId}, {"operation", "inspect-pdf"},
              {"sourcePath", sourcePath}}.dump() + "\n";
}

std::string helloRequest() {
  return json{{"protocolVersion", 4}, {"requestId", requestId}, {"operation", "hello"}}.dump() + "\n";
}

UniqueFd openFixture(const std::string& name) {
  UniqueFd descriptor(::open(pdf_testing::fixturePath(name).c_str(), O_RDONLY | O_CLOEXEC));
  if (!descriptor) throw std::runtime_error("cannot open " + name);
  return descriptor;
}

TEST(InspectPDFEndToEnd, AnswersTheProbeOfTheInheritedSource) {
  const UniqueFd source = openFixture("rotations.pdf");
  const testing::HelperRun run = runHelper(inspectRequest("/dev/fd/3"), {{3, source.get()}});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardError, "");
  const std::vector<json> responses = run.responses();
  ASSERT_EQ(responses.size(), 1u);
  const json& response = responses[0];
  EXPECT_EQ(response["ok"], true);
  EXPECT_EQ(response["operation"], "inspect-pdf");
  EXPECT_EQ(response["requestId"], requestId);
  const json& probe = response["pdfProbe"];
  EXPECT_EQ(probe["family"], "pdf");
  EXPECT_EQ(probe["pageCount"], 6);
  ASSERT_EQ(probe["pages"].size(), 6u);
  EXPECT_EQ(probe["pages"][3], (json{{"widthPoints", 612.0}, {"heightPoints", 792.0}, {"rotation", 270}}));
  EXPECT_EQ(probe["pages"][5], (json{{"widthPoints", 300.0}, {"heightPoints", 400.0}, {"rotation", 90}}));
  EXPECT_EQ(probe["hasText"], false);
  EXPECT_FALSE(response.contains("outputs"));
  EXPECT_FALSE(response.contains("error"));
}

TEST(InspectPDFEndToEnd, FurtherDescriptorsAndFeatureFlags) {
  const UniqueFd source = openFixture("signature-field.pdf");
  const testing::HelperRun run = runHelper(inspectRequest("/dev/fd/5"), {{5, source.get()}});
  EXPECT_EQ(run.exitStatus, 0);
  const std::vector<json> responses = run.responses();
  ASSERT_EQ(responses.size(), 1u);
  const json& probe = responses[0]["pdfProbe"];
  EXPECT_EQ(probe["hasForms"], true);
  EXPECT_EQ(probe["hasSignatures"], true);
  EXPECT_EQ(probe["hasAnnotations"], true);
  EXPECT_EQ(probe["hasOutlines"], false);
}

TEST(InspectPDFEndToEnd, RefusalsAreAnsweredAndTheSessionGoesOn) {
  struct Case {
    const char* fixture;
    const char* code;
    const char* message;
  };
  for (const Case& c : {Case{"incremental-update.pdf", "unsupported-source",
                             "Incrementally updated or ambiguous PDF structure is not accepted."},
                        Case{"encrypted-user-password.pdf", "unsupported-source",
                             "Encrypted or password-protected PDFs are not accepted."},
                        Case{"rotation-45.pdf", "unsupported-source", "A PDF page has an unsupported rotation."},
                        Case{"make-fixtures.sh", "decode-failed", "The source is not a PDF document."}}) {
    const UniqueFd source = openFixture(c.fixture);
    const testing::HelperRun run = runHelper(inspectRequest("/dev/fd/3") + helloRequest(), {{3, source.get()}});
    EXPECT_EQ(run.exitStatus, 0) << c.fixture;
    EXPECT_EQ(run.standardError, "") << c.fixture;
    const std::vector<json> responses = run.responses();
    ASSERT_EQ(responses.size(), 2u) << c.fixture;
    EXPECT_EQ(responses[0]["ok"], false);
    EXPECT_EQ(responses[0]["operation"], "inspect-pdf");
    EXPECT_EQ(responses[0]["error"], (json{{"code", c.code}, {"message", c.message}})) << c.fixture;
    EXPECT_EQ(responses[1]["operation"], "hello");
  }
}

TEST(InspectPDFEndToEnd, HostileSourcesStayQuiet) {
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>"};
  for (int level = 0; level < 50000; ++level) {
    objects.push_back("<< /Type /Pages /Count 1 /Kids [" + std::to_string(level + 3) + " 0 R] >>");
  }
  objects.push_back("<< /Type /Page /MediaBox [0 0 612 792] >>");
  char name[] = "/tmp/qv-hostile-XXXXXX";
  UniqueFd file(::mkstemp(name));
  ASSERT_TRUE(file);
  ::unlink(name);
  const std::string bytes = pdf_testing::buildPDF(objects);
  ASSERT_EQ(::write(file.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  UniqueFd source(::open(("/proc/self/fd/" + std::to_string(file.get())).c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(source);

  const testing::HelperRun run = runHelper(inspectRequest("/dev/fd/3"), {{3, source.get()}});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardError, "");
  const std::vector<json> responses = run.responses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0]["error"], (json{{"code", "decode-failed"}, {"message", "The PDF could not be opened."}}));
}

TEST(InspectPDFEndToEnd, AMissingDescriptorIsAPolicyFault) {
  const testing::HelperRun run = runHelper(inspectRequest("/dev/fd/3"));
  EXPECT_EQ(run.exitStatus, 0);
  const std::vector<json> responses = run.responses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0]["error"]["code"], "filesystem-policy");
  EXPECT_EQ(responses[0]["error"]["message"], "The inherited source descriptor is unavailable.");
}

}  // namespace
}  // namespace quorvantelmic
