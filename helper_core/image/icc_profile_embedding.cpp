#include "helper_core/image/icc_profile_embedding.hpp"

#include "helper_core/protocol/helper_error.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

namespace quorvantelmic {
namespace {

constexpr std::array<std::uint8_t, 8> pngSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint64_t storedBlockMaximumBytes = 65535;
constexpr std::uint64_t pngMaximumChunkPayload = 0x7FFFFFFF;
constexpr std::uint64_t pngMaximumProfileBytes = 0xFFFFFFFF;

[[noreturn]] void fail(const char* message) { throw HelperFault(HelperErrorCode::encodeFailed, message); }

// The reflected CRC-32 table, built at compile time; the result is the same
// as the bit-by-bit definition, eight times fewer steps.
constexpr std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> crcTable = makeCrcTable();

std::uint32_t crcUpdate(std::uint32_t crc, ByteView data) {
  for (const std::uint8_t byte : data) crc = crcTable[(crc ^ byte) & 0xFFu] ^ (crc >> 8);
  return crc;
}

// Reduces modulo 65521 once per 5552 bytes, the longest run over which the
// sums cannot overflow 32 bits; the value equals reducing after every byte.
std::uint32_t adler32(ByteView data) {
  static constexpr std::uint32_t modulus = 65521;
  static constexpr std::size_t run = 5552;
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  for (std::size_t start = 0; start < data.size(); start += run) {
    const std::size_t end = std::min(data.size(), start + run);
    for (std::size_t i = start; i < end; ++i) {
      a += data[i];
      b += a;
    }
    a %= modulus;
    b %= modulus;
  }
  return (b << 16) | a;
}

void appendBigEndian32(EncodedBytes& out, std::uint64_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendLittleEndian16(EncodedBytes& out, std::uint64_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void append(EncodedBytes& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

std::uint64_t storedBlockCount(std::uint64_t size) {
  return size == 0 ? 1 : (size + storedBlockMaximumBytes - 1) / storedBlockMaximumBytes;
}

std::uint64_t zlibStoredSize(std::uint64_t size) { return 2 + 5 * storedBlockCount(size) + size + 4; }

void appendZlibStoredData(EncodedBytes& out, ByteView data) {
  const std::uint64_t blocks = storedBlockCount(data.size());
  // CMF 78 (deflate, 32 KiB window), FLG 01 (fastest, no dictionary, check bits).
  out.push_back(0x78);
  out.push_back(0x01);
  std::uint64_t offset = 0;
  for (std::uint64_t block = 0; block < blocks; ++block) {
    const std::uint64_t length = std::min<std::uint64_t>(storedBlockMaximumBytes, data.size() - offset);
    const bool final = block + 1 == blocks;
    out.push_back(final ? 0x01 : 0x00);
    appendLittleEndian16(out, length);
    appendLittleEndian16(out, ~length & 0xFFFFu);
    append(out, data.subspan(offset, length));
    offset += length;
  }
  appendBigEndian32(out, adler32(data));
}

}  // namespace

std::uint32_t crc32(ByteView data) { return ~crcUpdate(0xFFFFFFFFu, data); }

EncodedBytes zlibStoredData(ByteView data) {
  EncodedBytes out;
  out.reserve(zlibStoredSize(data.size()));
  appendZlibStoredData(out, data);
  return out;
}

EncodedBytes pngChunk(std::string_view type, ByteView payload) {
  if (type.size() != 4 || payload.size() > pngMaximumChunkPayload) {
    fail("The color profile cannot be embedded in the PNG safely.");
  }
  EncodedBytes chunk;
  chunk.reserve(payload.size() + 12);
  appendBigEndian32(chunk, payload.size());
  for (const char c : type) chunk.push_back(static_cast<std::uint8_t>(c));
  append(chunk, payload);
  const std::uint32_t crc = ~crcUpdate(0xFFFFFFFFu, ByteView(chunk).subspan(4));
  appendBigEndian32(chunk, crc);
  return chunk;
}

EncodedBytes jpegByEmbeddingIccProfile(ByteView profile, ByteView jpeg) {
  if (profile.empty() || profile.size() > jpegIccMaximumProfileBytes || jpeg.size() < 2 || jpeg[0] != 0xFF ||
      jpeg[1] != 0xD8) {
    fail("The color profile cannot be embedded in the JPEG safely.");
  }
  const std::uint64_t segments = (profile.size() + jpegIccSegmentPayloadBytes - 1) / jpegIccSegmentPayloadBytes;
  EncodedBytes out;
  out.reserve(jpeg.size() + profile.size() + 18 * segments);
  out.push_back(0xFF);
  out.push_back(0xD8);
  static constexpr std::string_view identifier{"ICC_PROFILE\0", 12};
  std::uint64_t offset = 0;
  for (std::uint64_t sequence = 1; sequence <= segments; ++sequence) {
    const std::uint64_t pieceSize = std::min(jpegIccSegmentPayloadBytes, profile.size() - offset);
    // The length field counts itself, the identifier, both sequence bytes and the piece.
    const std::uint64_t lengthField = pieceSize + 2 + identifier.size() + 2;
    if (lengthField > 0xFFFF) fail("The color profile segment exceeds the JPEG marker limit.");
    out.push_back(0xFF);
    out.push_back(0xE2);
    out.push_back(static_cast<std::uint8_t>(lengthField >> 8));
    out.push_back(static_cast<std::uint8_t>(lengthField));
    for (const char c : identifier) out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(static_cast<std::uint8_t>(sequence));
    out.push_back(static_cast<std::uint8_t>(segments));
    append(out, profile.subspan(offset, pieceSize));
    offset += pieceSize;
  }
  append(out, jpeg.subspan(2));
  return out;
}

EncodedBytes pngByEmbeddingIccProfile(ByteView profile, ByteView png) {
  // An empty profile would make an "iCCP" chunk that decoders reject.
  if (png.size() < pngSignature.size() || !std::equal(pngSignature.begin(), pngSignature.end(), png.begin()) ||
      profile.empty() || profile.size() > pngMaximumProfileBytes) {
    fail("The color profile cannot be embedded in the PNG safely.");
  }
  // Refuse before building anything that could not become one chunk.
  const std::uint64_t payloadSize = pngIccProfileName.size() + 2 + zlibStoredSize(profile.size());
  if (payloadSize > pngMaximumChunkPayload) fail("The color profile cannot be embedded in the PNG safely.");

  EncodedBytes out;
  out.reserve(png.size() + payloadSize + 12);
  // The profile chunk is written straight into the output, so the profile is
  // copied once.
  const auto appendProfileChunk = [&] {
    appendBigEndian32(out, payloadSize);
    const std::size_t typeStart = out.size();
    for (const char c : std::string_view("iCCP")) out.push_back(static_cast<std::uint8_t>(c));
    for (const char c : pngIccProfileName) out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0x00);  // name terminator
    out.push_back(0x00);  // compression method 0 (deflate)
    appendZlibStoredData(out, profile);
    appendBigEndian32(out, ~crcUpdate(0xFFFFFFFFu, ByteView(out).subspan(typeStart)));
  };
  append(out, ByteView(pngSignature));
  const std::uint64_t size = png.size();
  std::uint64_t position = 8;
  bool sawHeader = false;
  bool sawEnd = false;
  while (position < size) {
    if (size - position < 12) fail("The encoded PNG chunk stream is invalid.");
    const std::uint64_t length = *bigEndianInteger(png, position, 4);
    if (length > size - position - 12) fail("The encoded PNG chunk stream is invalid.");
    const std::optional<std::string> type = asciiString(png, position + 4, 4);
    if (!type) fail("The encoded PNG chunk type is invalid.");
    const std::uint64_t chunkSize = length + 12;
    // Decoders read the header first and stop at IEND: a profile put after a
    // header that comes late, or a chunk after the end, would never be seen.
    if (sawEnd || (!sawHeader && *type != "IHDR")) fail("The encoded PNG chunk stream is invalid.");
    if (*type != "iCCP" && *type != "sRGB") {
      if (*type == "IHDR" && sawHeader) fail("The encoded PNG has duplicate headers.");
      append(out, png.subspan(position, chunkSize));
      if (*type == "IHDR") {
        sawHeader = true;
        appendProfileChunk();
      }
    }
    if (*type == "IEND") sawEnd = true;
    position += chunkSize;
  }
  if (!sawHeader || !sawEnd || position != size) fail("The encoded PNG is incomplete.");
  return out;
}

}  // namespace quorvantelmic
