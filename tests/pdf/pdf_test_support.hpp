// Fixture files and hand-built PDFs for the PDF tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/image/platform/image_platform.hpp"
#include "helper_core/pdf/platform/core_graphics_pdf.hpp"
#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic::pdf_testing {

// The fault a call throws; a "cancelled" fault (a code no operation here
// throws) when it throws none.
template <typename Call>
HelperFault faultOf(Call&& call) {
  try {
    call();
  } catch (const HelperFault& fault) {
    return fault;
  }
  return HelperFault(HelperErrorCode::cancelled, "no fault");
}

inline std::string fixturePath(const std::string& name) {
  return std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/pdf/" + name;
}

inline std::vector<std::uint8_t> readFixture(const std::string& name) {
  std::ifstream stream(fixturePath(name), std::ios::binary);
  if (!stream) throw std::runtime_error("missing fixture " + name);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

inline PDFData dataOf(std::vector<std::uint8_t> bytes) {
  return std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
}

inline std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

inline std::string streamObject(const std::string& data, const std::string& dictionary = "") {
  return "<< " + dictionary + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
}

// A classic PDF file from object bodies numbered from 1 (object 1 must be the
// catalog), with a correct cross-reference table. `bodyComment` is placed as a
// comment line before the first object.
inline std::string buildPDF(const std::vector<std::string>& objects, const std::string& bodyComment = "") {
  std::string out = "%PDF-1.7\n%\xe2\xe3\xcf\xd3\n";
  if (!bodyComment.empty()) out += "%" + bodyComment + "\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    out += entry;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return out;
}

// A document of `pages` blank pages of `mediaBox`, all drawing one shared
// content stream.
inline std::string buildPagesPDF(std::size_t pages, const std::string& mediaBox = "[0 0 612 792]",
                                 const std::string& content = "0 0 1 rg 10 10 50 50 re f",
                                 const std::string& bodyComment = "") {
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", "", streamObject(content)};
  std::string kids;
  for (std::size_t i = 0; i < pages; ++i) {
    kids += std::to_string(i + 4) + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox " + mediaBox +
                      " /Contents 3 0 R /Resources << >> >>");
  }
  objects[1] = "<< /Type /Pages /Count " + std::to_string(pages) + " /Kids [" + kids + "] >>";
  return buildPDF(objects, bodyComment);
}

// Collects everything written to standard error while it lives.
class StandardErrorCapture {
 public:
  StandardErrorCapture() {
    std::fflush(stderr);
    char name[] = "/tmp/qv-stderr-XXXXXX";
    capture_.reset(::mkstemp(name));
    if (!capture_) throw std::runtime_error("mkstemp");
    ::unlink(name);
    saved_.reset(::dup(STDERR_FILENO));
    ::dup2(capture_.get(), STDERR_FILENO);
  }
  StandardErrorCapture(const StandardErrorCapture&) = delete;
  StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;
  ~StandardErrorCapture() { restore(); }

  // Restores standard error and returns what was written to it.
  std::string finish() {
    restore();
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    off_t offset = 0;
    while ((got = ::pread(capture_.get(), buffer, sizeof buffer, offset)) > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
      offset += got;
    }
    return text;
  }

 private:
  void restore() {
    if (saved_) {
      std::fflush(stderr);
      ::dup2(saved_.get(), STDERR_FILENO);
      saved_.reset();
    }
  }
  UniqueFd capture_;
  UniqueFd saved_;
};

// The pixels an image's bytes decode to through the image platform (a JPEG
// at full size); empty when they do not decode.
inline std::vector<std::uint8_t> decodedPixels(const std::vector<std::uint8_t>& image) {
  const std::optional<ImageSource> source = ImageSource::createWithData(std::span<const std::uint8_t>(image));
  const std::optional<DecodedImage> decoded = source ? source->createImageAtIndex(0) : std::nullopt;
  if (!decoded) return {};
  return std::vector<std::uint8_t>(decoded->pixels().begin(), decoded->pixels().end());
}

}  // namespace quorvantelmic::pdf_testing
