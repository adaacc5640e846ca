#include "helper_core/pdf/narrow_raster_pdf_assembler.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "helper_core/pdf/jpeg_recoding.hpp"
#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

namespace {

using Bytes = std::vector<std::uint8_t>;

void append(Bytes& output, std::string_view text) { output.insert(output.end(), text.begin(), text.end()); }

std::string decimal(std::int64_t value) { return std::to_string(value); }

// The lower edge of a box along one axis, clamped into [0, 1]; a box that
// cannot be placed (not a number) goes to the far edge, where it covers nothing.
double clampedOrigin(double origin, double extent) {
  const double minimum = std::min(origin, origin + extent);
  if (std::isnan(minimum) || minimum >= 1) return 1;
  return minimum < 0 ? 0 : minimum;
}

// The extent of a box along one axis, at least 0.001 and at most 1.
double clampedExtent(double extent) {
  const double magnitude = std::fabs(extent);
  if (std::isnan(magnitude) || magnitude >= 1) return 1;
  return std::max(magnitude, 0.001);
}

std::string hexadecimal(std::string_view text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(text.size() * 2);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    hex.push_back(digits[byte >> 4]);
    hex.push_back(digits[byte & 0x0F]);
  }
  return hex;
}

[[noreturn]] void outputTooLarge() {
  throw HelperFault(HelperErrorCode::resourceLimit, "The PDF output exceeds the byte limit.");
}

void checkSize(const Bytes& output) {
  if (static_cast<std::int64_t>(output.size()) > HelperLimits::maximumOutputBytes) outputTooLarge();
}

// Compressed image data is arbitrary bytes. A run in it that our own
// inspection reads as structure (a feature name such as "/EF" or "/3D" before
// a delimiter, or an end-of-file or cross-reference marker) would make the
// writer's output fail the inspection it must pass. Such data is coded anew
// from the same coefficients (jpegRecodedPastScreen), or, when no recoding
// passes, stored hex-encoded on top of its DCT coding at twice its size:
// either way the page shows the same pixels, and the file carries only the
// names and markers the writer itself chose.

// Two upper-case hexadecimal digits per byte, a line break after every 32
// bytes, and the end-of-data mark ">".
Bytes hexEncoded(const Bytes& bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  Bytes text;
  text.reserve(bytes.size() * 2 + bytes.size() / 32 + 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text.push_back(static_cast<std::uint8_t>(digits[bytes[i] >> 4]));
    text.push_back(static_cast<std::uint8_t>(digits[bytes[i] & 0x0F]));
    if (i % 32 == 31) text.push_back('\n');
  }
  text.push_back('>');
  return text;
}

constexpr std::uint8_t fileHeader[] = {0x25, 0x50, 0x44, 0x46, 0x2D, 0x31, 0x2E, 0x37, 0x0A, 0x25,
                                       0xC3, 0xA2, 0xC3, 0xA3, 0xC3, 0x8F, 0xC3, 0x93, 0x0A};

}  // namespace

std::string NarrowRasterPDFAssembler::pdfNumber(double value) {
  // A number that is not finite has no PDF form; writing "nan" or "inf" would
  // make the whole file unreadable, so it is written as 0.
  if (!std::isfinite(value)) return "0";
  const double rounded = std::round(value * 1000) / 1000;  // std::round rounds half away from zero
  char buffer[512];
  if (rounded == std::round(rounded)) {
    std::snprintf(buffer, sizeof buffer, "%.0f", rounded);
    const std::string text = buffer;
    return text == "-0" ? "0" : text;
  }
  std::snprintf(buffer, sizeof buffer, "%.3f", rounded);
  std::string text = buffer;
  while (!text.empty() && text.back() == '0') text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

Bytes NarrowRasterPDFAssembler::streamObject(const std::string& dictionary, const Bytes& stream) {
  const std::string head = "<< " + dictionary + " /Length " + std::to_string(stream.size()) + " >>\nstream\n";
  constexpr std::string_view tail = "\nendstream";
  // Sized once and filled in place: one copy of the stream bytes.
  Bytes object(head.size() + stream.size() + tail.size());
  auto cursor = std::copy(head.begin(), head.end(), object.begin());
  cursor = std::copy(stream.begin(), stream.end(), cursor);
  std::copy(tail.begin(), tail.end(), cursor);
  return object;
}

std::string NarrowRasterPDFAssembler::pageContent(const RasterPDFPage& page) {
  const double w = page.widthPoints;
  const double h = page.heightPoints;
  std::string content = "q\n" + pdfNumber(w) + " 0 0 " + pdfNumber(h) + " 0 0 cm\n/Im0 Do\nQ\n";
  for (const auto& line : page.ocrLines) {
    if (line.text.empty()) continue;
    const auto k = static_cast<double>(line.text.size());
    const double x0 = clampedOrigin(line.boundingBox.x, line.boundingBox.width);
    const double y0 = clampedOrigin(line.boundingBox.y, line.boundingBox.height);
    const double bw = clampedExtent(line.boundingBox.width);
    const double bh = clampedExtent(line.boundingBox.height);
    const double size = std::max(h * bh * 0.8, 4.0);
    const double scaling = std::max(std::min((w * bw) / std::max(size * 0.52 * k, 1.0) * 100, 500.0), 20.0);
    content += "BT\n/F0 " + pdfNumber(size) + " Tf\n3 Tr\n" + pdfNumber(scaling) + " Tz\n1 0 0 1 " +
               pdfNumber(w * x0) + " " + pdfNumber(h * y0) + " Tm\n<" + hexadecimal(line.text) + "> Tj\nET\n";
  }
  return content;
}

Bytes NarrowRasterPDFAssembler::assemble(const std::vector<RasterPDFPage>& pages) const {
  const auto n = static_cast<std::int64_t>(pages.size());
  if (n == 0 || n > HelperLimits::maximumPDFPages) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The PDF output page count is invalid.");
  }
  const std::int64_t objectCount = 3 * n + 3;

  // Each slot holds the object's text and, for a stream, the stream bytes by
  // reference, so a page's JPEG data is copied exactly once: into the output.
  struct ObjectBody {
    std::string head;
    const Bytes* stream = nullptr;
    std::string tail;
  };
  std::vector<std::optional<ObjectBody>> objects(static_cast<std::size_t>(objectCount + 1));
  const auto textBody = [](std::string body) { return ObjectBody{std::move(body), nullptr, std::string()}; };
  const auto streamBody = [](const std::string& dictionary, const Bytes& stream) {
    return ObjectBody{"<< " + dictionary + " /Length " + std::to_string(stream.size()) + " >>\nstream\n", &stream,
                      "\nendstream"};
  };
  objects[1] = textBody("<< /Type /Catalog /Pages 2 0 R >>");
  std::string kids;
  for (std::int64_t i = 0; i < n; ++i) kids += (i == 0 ? "" : " ") + decimal(3 * i + 4) + " 0 R";
  objects[2] = textBody("<< /Type /Pages /Count " + decimal(n) + " /Kids [" + kids + "] >>");
  objects[3] = textBody("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
  std::vector<Bytes> contents(pages.size());
  std::vector<Bytes> encodedImages(pages.size());
  for (std::int64_t i = 0; i < n; ++i) {
    const auto index = static_cast<std::size_t>(i);
    const auto& page = pages[index];
    const std::int64_t p = 3 * i + 4;
    objects[static_cast<std::size_t>(p)] = textBody(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + pdfNumber(page.widthPoints) + " " +
        pdfNumber(page.heightPoints) + "] /Resources << /XObject << /Im0 " + decimal(p + 1) +
        " 0 R >> /Font << /F0 3 0 R >> >> /Contents " + decimal(p + 2) + " 0 R >>");
    const std::string image = "/Type /XObject /Subtype /Image /Width " + decimal(page.pixelWidth) + " /Height " +
                              decimal(page.pixelHeight) + " /ColorSpace /DeviceRGB /BitsPerComponent 8";
    const bool screened = readsAsPDFStructure(page.jpegData);
    std::optional<Bytes> recoded;
    if (screened) recoded = jpegRecodedPastScreen(page.jpegData, page.pixelWidth, page.pixelHeight);
    if (recoded) {
      encodedImages[index] = std::move(*recoded);
      objects[static_cast<std::size_t>(p + 1)] = streamBody(image + " /Filter /DCTDecode", encodedImages[index]);
    } else if (screened) {
      // Twice the size: refused as too large before it is even made when the
      // data alone is more than half the limit.
      if (static_cast<std::int64_t>(page.jpegData.size()) > HelperLimits::maximumOutputBytes / 2) outputTooLarge();
      encodedImages[index] = hexEncoded(page.jpegData);
      objects[static_cast<std::size_t>(p + 1)] =
          streamBody(image + " /Filter [/ASCIIHexDecode /DCTDecode]", encodedImages[index]);
    } else {
      objects[static_cast<std::size_t>(p + 1)] = streamBody(image + " /Filter /DCTDecode", page.jpegData);
    }
    const std::string content = pageContent(page);
    contents[index].assign(content.begin(), content.end());
    objects[static_cast<std::size_t>(p + 2)] = streamBody("", contents[index]);
  }

  std::size_t expected = sizeof fileHeader + 64 * static_cast<std::size_t>(objectCount);
  for (const auto& slot : objects) {
    if (slot) expected += slot->head.size() + slot->tail.size() + (slot->stream ? slot->stream->size() : 0);
  }
  Bytes output(std::begin(fileHeader), std::end(fileHeader));
  if (static_cast<std::int64_t>(expected) <= HelperLimits::maximumOutputBytes) output.reserve(expected);
  std::vector<std::size_t> offsets(static_cast<std::size_t>(objectCount + 1), 0);
  for (std::int64_t k = 1; k <= objectCount; ++k) {
    const auto& slot = objects[static_cast<std::size_t>(k)];
    if (!slot) throw HelperFault(HelperErrorCode::internalError, "The PDF object inventory is incomplete.");
    offsets[static_cast<std::size_t>(k)] = output.size();
    append(output, decimal(k) + " 0 obj\n");
    append(output, slot->head);
    if (slot->stream != nullptr) {
      // Refuse before copying a stream that alone would pass the limit.
      if (static_cast<std::int64_t>(output.size() + slot->stream->size()) > HelperLimits::maximumOutputBytes) {
        outputTooLarge();
      }
      output.insert(output.end(), slot->stream->begin(), slot->stream->end());
    }
    append(output, slot->tail);
    append(output, "\nendobj\n");
    checkSize(output);
  }

  const std::size_t crossReference = output.size();
  append(output, "xref\n0 " + decimal(objectCount + 1) + "\n0000000000 65535 f \n");
  char entry[32];
  for (std::int64_t k = 1; k <= objectCount; ++k) {
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offsets[static_cast<std::size_t>(k)]);
    append(output, entry);
  }
  append(output, "trailer\n<< /Size " + decimal(objectCount + 1) + " /Root 1 0 R >>\nstartxref\n" +
                     std::to_string(crossReference) + "\n%%EOF");
  checkSize(output);
  return output;
}

}  // namespace quorvantelmic
