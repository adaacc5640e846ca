#include "helper_core/pdf/platform/stream_decoding.hpp"

#include <qpdf/Pipeline.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <exception>
#include <stdexcept>
#include <string>

#include "helper_core/pdf/platform/library_support.hpp"

namespace quorvantelmic {

namespace {

// Collects at most `cap` bytes; one more byte ends the decoding by an
// exception, before the decoder produces anything further.
class CappedCollector final : public Pipeline {
 public:
  explicit CappedCollector(std::size_t cap) : Pipeline("capped collector", nullptr), cap_(cap) {}
  void write(unsigned char const* data, size_t length) override {
    if (length > cap_ - bytes.size()) {
      overflowed = true;
      throw std::length_error("decoded stream exceeds its bound");
    }
    bytes.insert(bytes.end(), data, data + length);
  }
  void finish() override {}

  std::vector<std::uint8_t> bytes;
  bool overflowed = false;

 private:
  std::size_t cap_;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> decodeFlateStreamData(std::span<const std::uint8_t> encoded,
                                                               std::int64_t predictor, std::int64_t columns,
                                                               std::size_t maximumBytes) {
  const bool png = predictor >= 10 && predictor <= 15;
  if (!(predictor == 1 || predictor == 2 || png) || columns < 1 || columns > 4096) return std::nullopt;
  try {
    const std::shared_ptr<QPDF> qpdf = detail::makeQuietQPDF();
    qpdf->emptyPDF();
    QPDFObjectHandle parameters = QPDFObjectHandle::newNull();
    if (predictor != 1) {
      parameters = QPDFObjectHandle::newDictionary();
      parameters.replaceKey("/Predictor", QPDFObjectHandle::newInteger(predictor));
      parameters.replaceKey("/Columns", QPDFObjectHandle::newInteger(columns));
    }
    QPDFObjectHandle stream = QPDFObjectHandle::newStream(qpdf.get());
    stream.replaceStreamData(std::string(reinterpret_cast<const char*>(encoded.data()), encoded.size()),
                             QPDFObjectHandle::newName("/FlateDecode"), parameters);
    CappedCollector collector(maximumBytes);
    bool filtered = false;
    const bool succeeded = stream.pipeStreamData(&collector, &filtered, 0, qpdf_dl_generalized, true, false);
    if (!succeeded || !filtered || collector.overflowed) return std::nullopt;
    return std::move(collector.bytes);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace quorvantelmic
