// English OCR and flattened compression, called directly as a library user
// calls them, next to ocrmypdf (Debian's OCR tool, tesseract underneath too)
// on the same file in the same run when it is installed:
//
// - recognition of one Letter page rendered at 144 DPI (1224 x 1584), the
//   recogniser alone, with the words it found out of the words on the page;
// - ocr-pdf-english of that page as a one-page scan (render, recognise,
//   rebuild with the invisible text layer, validate, write);
// - compress-pdf-flattened of a 10-page scan made at 200 DPI, quality 0.95,
//   down to 100 DPI, quality 0.6.
//
// The process restarts itself once with OpenMP limited to one thread, as the
// helper does, so that tesseract runs as it would in the helper.
//
// Figures (Release, 2 shared cores at load 3.3, 2026-12-09; median of 3):
//   recognition of one 144-DPI page     530 ms   18 of 18 words found
//   ocr-pdf-english, one-page scan      517 ms   18 of 18 words in pdftotext's reading
//   ocrmypdf 14 (-l eng --jobs 1)      6586 ms   18 of 18 words
//   compress-pdf-flattened, 10 pages    431 ms   1865 KB down to 300 KB
// ocrmypdf spends most of its time starting Python and Ghostscript and
// rewriting the PDF; tesseract's recognition itself is the same engine.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/support/scratch_directory.hpp"
#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/image/platform/image_platform.hpp"
#include "helper_core/pdf/narrow_raster_pdf_assembler.hpp"
#include "helper_core/pdf/pdf_operations.hpp"

namespace quorvantelmic {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void die(const char* what) { bench::die("pdf_ocr_bench", what); }

// The words of the fixture page, in reading order.
const std::vector<std::string> pageWords = {"The",    "quick",  "brown", "fox",  "jumps",  "over", "the",
                                            "lazy",   "dog.",   "Invoice", "Total", "Please", "keep", "this",
                                            "letter", "for",    "your",  "records."};

std::vector<std::uint8_t> readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot read a fixture");
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) die("cannot write");
}

// How many of the page's words occur among `text`'s words (each counted once).
std::size_t wordsFound(const std::string& text) {
  std::multiset<std::string> seen;
  std::istringstream words(text);
  for (std::string word; words >> word;) seen.insert(word);
  std::size_t found = 0;
  for (const std::string& word : pageWords) {
    const auto at = seen.find(word);
    if (at != seen.end()) {
      ++found;
      seen.erase(at);
    }
  }
  return found;
}

std::string commandOutput(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
  ::pclose(pipe);
  return output;
}

std::string extractedText(const fs::path& pdf) { return commandOutput("pdftotext -q '" + pdf.string() + "' - 2>/dev/null"); }

class Scratch : public bench::ScratchDirectory {
 public:
  Scratch() : ScratchDirectory("qv-ocr-bench") {}
};

const std::vector<std::uint8_t>& englishPage() {
  static const std::vector<std::uint8_t> bytes =
      readAll(fs::path(QUORVANTELMIC_SOURCE_DIR) / "tests/fixtures/pdf_ocr/english-text.pdf");
  return bytes;
}

std::vector<RasterPDFPage> flattened(const std::vector<std::uint8_t>& pdf, std::int64_t dpi, double quality) {
  const InspectedPDF inspected = PDFInspector().inspect(pdf);
  return PDFOperations(SecureFileReader(-1), ExclusiveOutputWriter(-1)).rasterPDFPages(inspected, dpi, quality, false);
}

// A scan of `pages` copies of the English page.
std::vector<std::uint8_t> scanOf(std::size_t pages, std::int64_t dpi, double quality) {
  const RasterPDFPage page = flattened(englishPage(), dpi, quality).at(0);
  return NarrowRasterPDFAssembler().assemble(std::vector<RasterPDFPage>(pages, page));
}

// One operation into a fresh 0700 output directory, with the source on a
// descriptor of its own the way the parent passes it.
struct OperationRun {
  explicit OperationRun(const std::vector<std::uint8_t>& source) {
    fs::create_directory(scratch.path() / "out");
    fs::permissions(scratch.path() / "out", fs::perms::owner_all);
    writeAll(scratch.path() / "source.pdf", source);
    // Well above 3 and 4, which stand for the request's own descriptors.
    const UniqueFd opened(::open((scratch.path() / "source.pdf").c_str(), O_RDONLY | O_CLOEXEC));
    if (opened) sourceFd = UniqueFd(::fcntl(opened.get(), F_DUPFD_CLOEXEC, 700));
    outputFd = UniqueFd(::open((scratch.path() / "out").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!sourceFd || !outputFd) die("cannot open the run's files");
  }
  PDFOperations operations() const { return PDFOperations(SecureFileReader(-1), ExclusiveOutputWriter(outputFd.get())); }
  std::string sourcePath() const { return "/dev/fd/" + std::to_string(sourceFd.get()); }
  std::string outputPath() {
    char name[64];
    std::snprintf(name, sizeof name, "/dev/fd/4/output-%032x.pdf", ++counter);
    return name;
  }
  fs::path written() const {
    for (const auto& entry : fs::directory_iterator(scratch.path() / "out")) return entry.path();
    die("nothing written");
  }
  void clear() const {
    for (const auto& entry : fs::directory_iterator(scratch.path() / "out")) {
      fs::permissions(entry.path(), fs::perms::owner_all);
      fs::remove(entry.path());
    }
  }

  Scratch scratch;
  UniqueFd sourceFd;
  UniqueFd outputFd;
  unsigned counter = 0;
};

void BM_RecognizeOnePage144Dpi(benchmark::State& state) {
  const RasterPDFPage page = flattened(englishPage(), 144, 0.9).at(0);
  const std::optional<ImageSource> source = ImageSource::createWithData(page.jpegData);
  if (!source) die("the page does not decode");
  const std::optional<DecodedImage> image = source->createImageAtIndex(0);
  if (!image) die("the page does not decode");
  std::string text;
  for (auto _ : state) {
    const std::vector<OCRLine> lines = PDFOperations::recognizeEnglishText(*image);
    text.clear();
    for (const OCRLine& line : lines) text += line.text + "\n";
    benchmark::DoNotOptimize(text);
  }
  state.counters["words_found"] = static_cast<double>(wordsFound(text));
  state.counters["words_on_page"] = static_cast<double>(pageWords.size());
}
BENCHMARK(BM_RecognizeOnePage144Dpi)->Unit(benchmark::kMillisecond)->Iterations(3);

// The output descriptor is 4 inside the helper; here the writer gets the
// directory's own descriptor, and the staged name says /dev/fd/4/.
void BM_OcrPdfEnglishOnePageScan(benchmark::State& state) {
  OperationRun run(scanOf(1, 144, 0.9));
  std::string text;
  for (auto _ : state) {
    (void)run.operations().ocrImageOnlyPDFEnglish(run.sourcePath(), run.outputPath());
    state.PauseTiming();
    text = extractedText(run.written());
    run.clear();
    state.ResumeTiming();
  }
  state.counters["words_found"] = static_cast<double>(wordsFound(text));
  state.counters["words_on_page"] = static_cast<double>(pageWords.size());
}
BENCHMARK(BM_OcrPdfEnglishOnePageScan)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_OcrmypdfOnePageScan(benchmark::State& state) {
  if (std::system("command -v ocrmypdf >/dev/null 2>&1") != 0) {
    state.SkipWithError("ocrmypdf is not installed");
    return;
  }
  Scratch scratch;
  const fs::path input = scratch.path() / "scan.pdf";
  const fs::path output = scratch.path() / "ocr.pdf";
  writeAll(input, scanOf(1, 144, 0.9));
  const std::string command = "OMP_THREAD_LIMIT=1 ocrmypdf -q -l eng --jobs 1 --output-type pdf '" + input.string() +
                              "' '" + output.string() + "' >/dev/null 2>&1";
  std::string text;
  for (auto _ : state) {
    fs::remove(output);
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("ocrmypdf failed");
      return;
    }
    state.PauseTiming();
    text = extractedText(output);
    state.ResumeTiming();
  }
  state.counters["words_found"] = static_cast<double>(wordsFound(text));
  state.counters["words_on_page"] = static_cast<double>(pageWords.size());
}
BENCHMARK(BM_OcrmypdfOnePageScan)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CompressTenPageScan(benchmark::State& state) {
  const std::vector<std::uint8_t> scan = scanOf(10, 200, 0.95);
  OperationRun run(scan);
  std::uintmax_t writtenBytes = 0;
  for (auto _ : state) {
    (void)run.operations().compressPDFFlattened(run.sourcePath(), run.outputPath(), {100, 0.6});
    state.PauseTiming();
    writtenBytes = fs::file_size(run.written());
    run.clear();
    state.ResumeTiming();
  }
  state.counters["source_KB"] = static_cast<double>(scan.size()) / 1024.0;
  state.counters["output_KB"] = static_cast<double>(writtenBytes) / 1024.0;
}
BENCHMARK(BM_CompressTenPageScan)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace quorvantelmic

int main(int argc, char** argv) {
  quorvantelmic::ensureSingleThreadedLibraryRuntime(argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
