// What inspect-pdf costs on a 100-page text PDF and on a 1000-page PDF, split
// into its parts: reading the source through a descriptor, opening the bytes
// with both PDF libraries, the byte scans (name tokens, object declarations,
// end markers), and the whole operation.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/pdf/pdf_name_features.hpp"
#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {
namespace {

std::string streamObject(const std::string& data) {
  return "<< /Length " + std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
}

// `pages` pages, each with its own content stream of `lines` text lines in
// Helvetica, under one page tree.
std::string textPDF(int pages, int lines) {
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", "",
                                      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  std::string kids;
  for (int page = 0; page < pages; ++page) {
    const int pageObject = static_cast<int>(objects.size()) + 1;
    kids += std::to_string(pageObject) + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R >> >> "
                      "/Contents " + std::to_string(pageObject + 1) + " 0 R >>");
    std::string content = "BT /F1 11 Tf 72 740 Td 14 TL\n";
    for (int line = 0; line < lines; ++line) {
      content += "(Page " + std::to_string(page + 1) + ", line " + std::to_string(line + 1) +
                 ": the quick brown fox jumps over the lazy dog.) '\n";
    }
    content += "ET";
    objects.push_back(streamObject(content));
  }
  objects[1] = "<< /Type /Pages /Count " + std::to_string(pages) + " /Kids [" + kids + "] >>";

  std::string out = "%PDF-1.7\n%\xe2\xe3\xcf\xd3\n";
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

// The document written to an unlinked temporary file, opened read-only.
UniqueFd sourceFile(const std::string& bytes) {
  char name[] = "/tmp/qv-pdf-bench-XXXXXX";
  UniqueFd file(::mkstemp(name));
  ::unlink(name);
  if (!file || ::write(file.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  UniqueFd readOnly(::open(("/proc/self/fd/" + std::to_string(file.get())).c_str(), O_RDONLY | O_CLOEXEC));
  if (!readOnly) std::abort();
  return readOnly;
}

const std::string& document(std::int64_t pages) {
  static const std::string hundred = textPDF(100, 40);
  static const std::string thousand = textPDF(1000, 4);
  return pages == 100 ? hundred : thousand;
}

void setBytes(benchmark::State& state, std::size_t size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
  state.counters["fileBytes"] = static_cast<double>(size);
}

void BM_InspectPDF(benchmark::State& state) {
  const std::string& bytes = document(state.range(0));
  const UniqueFd source = sourceFile(bytes);
  const PDFOperations operations(SecureFileReader(source.get()), ExclusiveOutputWriter(4));
  for (auto _ : state) benchmark::DoNotOptimize(operations.inspectPDF("/dev/fd/3"));
  setBytes(state, bytes.size());
}

void BM_ReadSource(benchmark::State& state) {
  const std::string& bytes = document(state.range(0));
  const UniqueFd source = sourceFile(bytes);
  const SecureFileReader reader(source.get());
  for (auto _ : state) benchmark::DoNotOptimize(reader.readRegularFile("/dev/fd/3", HelperLimits::maximumPDFSourceBytes));
  setBytes(state, bytes.size());
}

void BM_OpenWithBothLibraries(benchmark::State& state) {
  const std::string& text = document(state.range(0));
  const PDFData data = std::make_shared<const std::vector<std::uint8_t>>(text.begin(), text.end());
  for (auto _ : state) {
    std::optional<CGPDFDocument> structure = CGPDFDocument::createWithData(data);
    std::optional<PDFDocument> model = PDFDocument::initWithData(data);
    benchmark::DoNotOptimize(structure->numberOfPages() + model->pageCount());
  }
  setBytes(state, text.size());
}

void BM_ByteScans(benchmark::State& state) {
  const std::string& text = document(state.range(0));
  const std::vector<std::uint8_t> bytes(text.begin(), text.end());
  for (auto _ : state) {
    benchmark::DoNotOptimize(PDFInspector::countMarker(bytes, "%%EOF"));
    benchmark::DoNotOptimize(PDFInspector::countMarker(bytes, "startxref"));
    benchmark::DoNotOptimize(PDFInspector::countObjectDeclarations(bytes));
    benchmark::DoNotOptimize(PDFNameFeatures(bytes).any());
  }
  setBytes(state, bytes.size());
}

BENCHMARK(BM_InspectPDF)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadSource)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenWithBothLibraries)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ByteScans)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvantelmic

BENCHMARK_MAIN();
