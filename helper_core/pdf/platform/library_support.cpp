#include "helper_core/pdf/platform/library_support.hpp"

#include <poppler-global.h>
#include <qpdf/Pipeline.hh>
#include <qpdf/Pl_Discard.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFLogger.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <qpdf/Buffer.hh>

#include <cmath>
#include <exception>
#include <limits>
#include <set>
#include <utility>
#include <vector>

namespace quorvantelmic::detail {

namespace {

void dropPopplerMessage(const std::string&, void*) {}

}  // namespace

std::shared_ptr<QPDF> makeQuietQPDF() {
  auto logger = QPDFLogger::create();
  auto discard = std::make_shared<Pl_Discard>();
  logger->setInfo(discard);
  logger->setWarn(discard);
  logger->setError(discard);
  logger->setSave(discard, false);
  auto qpdf = std::make_shared<QPDF>();
  qpdf->setLogger(logger);
  qpdf->setSuppressWarnings(true);
  return qpdf;
}

QPDFOpening openQPDF(const PDFData& data, std::shared_ptr<QPDF>& qpdf) {
  qpdf.reset();
  if (!data) return QPDFOpening::unreadable;
  auto candidate = makeQuietQPDF();
  try {
    candidate->processMemoryFile("source", reinterpret_cast<const char*>(data->data()), data->size());
  } catch (const QPDFExc& exception) {
    return exception.getErrorCode() == qpdf_e_password ? QPDFOpening::passwordRequired : QPDFOpening::unreadable;
  } catch (const std::exception&) {
    return QPDFOpening::unreadable;
  }
  qpdf = std::move(candidate);
  return QPDFOpening::opened;
}

bool pageTreeWithinBounds(QPDF& qpdf) {
  try {
    std::vector<std::pair<QPDFObjectHandle, std::size_t>> pending;
    pending.emplace_back(qpdf.getRoot().getKey("/Pages"), 0);
    std::set<QPDFObjGen> visited;
    std::size_t nodes = 0;
    while (!pending.empty()) {
      auto [node, depth] = std::move(pending.back());
      pending.pop_back();
      if (depth > maximumPageTreeDepth || ++nodes > maximumPageTreeNodes) return false;
      if (node.isIndirect() && !visited.insert(node.getObjGen()).second) continue;
      if (!node.isDictionary()) continue;
      QPDFObjectHandle kids = node.getKey("/Kids");
      if (!kids.isArray()) continue;
      const int count = kids.getArrayNItems();
      for (int i = count - 1; i >= 0; --i) pending.emplace_back(kids.getArrayItem(i), depth + 1);
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<std::int32_t> pageRotation(QPDFObjectHandle object) {
  try {
    QPDFPageObjectHelper page(object);
    QPDFObjectHandle rotate = page.getAttribute("/Rotate", false);
    if (rotate.isNull()) return 0;
    double value = 0;
    if (rotate.isInteger()) {
      const long long integer = rotate.getIntValue();
      if (integer < std::numeric_limits<std::int32_t>::min() || integer > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
      }
      return static_cast<std::int32_t>(integer);
    }
    if (!rotate.isReal()) return std::nullopt;
    value = rotate.getNumericValue();
    if (!std::isfinite(value) || std::trunc(value) != value || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
      return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void silencePoppler() {
  // Poppler keeps one process-wide error hook; installing it once is enough,
  // and a function-local static makes that thread-safe.
  static const bool installed = [] {
    poppler::set_debug_error_function(dropPopplerMessage, nullptr);
    return true;
  }();
  (void)installed;
}

namespace {

// Appends what qpdf writes to a byte vector, so the file is built where it is
// returned instead of in a buffer it would be copied out of.
class VectorPipeline final : public Pipeline {
 public:
  explicit VectorPipeline(std::vector<std::uint8_t>& bytes) : Pipeline("serialised PDF", nullptr), bytes_(bytes) {}
  void write(unsigned char const* data, size_t length) override { bytes_.insert(bytes_.end(), data, data + length); }
  void finish() override {}

 private:
  std::vector<std::uint8_t>& bytes_;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> serializedPDF(QPDF& qpdf, std::size_t expectedBytes) {
  try {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(expectedBytes);
    VectorPipeline output(bytes);
    QPDFWriter writer(qpdf);
    writer.setOutputPipeline(&output);
    writer.setObjectStreamMode(qpdf_o_disable);
    writer.setCompressStreams(false);
    writer.setDecodeLevel(qpdf_dl_none);
    writer.setLinearization(false);
    writer.setDeterministicID(true);
    writer.write();
    return bytes;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace quorvantelmic::detail
