#include "helper_core/image/byte_readers.hpp"

#include <utility>

namespace quorvantelmic {

std::optional<std::uint64_t> integer(ByteView bytes, std::uint64_t offset, int byteCount, bool littleEndian) {
  if (byteCount < 1 || byteCount > 8) return std::nullopt;
  const auto count = static_cast<std::uint64_t>(byteCount);
  if (!rangeFits(bytes.size(), offset, count)) return std::nullopt;
  std::uint64_t value = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t index = littleEndian ? offset + count - 1 - i : offset + i;
    value = (value << 8) | bytes[index];
  }
  return value;
}

std::optional<std::uint64_t> bigEndianInteger(ByteView bytes, std::uint64_t offset, int byteCount) {
  return integer(bytes, offset, byteCount, false);
}

std::optional<std::string> asciiString(ByteView bytes, std::uint64_t offset, std::uint64_t length) {
  if (!rangeFits(bytes.size(), offset, length)) return std::nullopt;
  std::string text;
  text.reserve(length);
  for (std::uint64_t i = 0; i < length; ++i) {
    const std::uint8_t byte = bytes[offset + i];
    if (byte > 0x7F) return std::nullopt;
    text.push_back(static_cast<char>(byte));
  }
  return text;
}

bool hasFourCharacterCode(ByteView bytes, std::uint64_t offset, std::string_view code) {
  if (code.size() != 4 || !rangeFits(bytes.size(), offset, 4)) return false;
  for (std::uint64_t i = 0; i < 4; ++i) {
    if (bytes[offset + i] != static_cast<std::uint8_t>(code[i])) return false;
  }
  return true;
}

std::optional<BmffBoxHeader> readBmffBoxHeader(ByteView bytes, std::uint64_t position, std::uint64_t remaining) {
  if (remaining < 8) return std::nullopt;
  const std::optional<std::uint64_t> declared = bigEndianInteger(bytes, position, 4);
  std::optional<std::string> type = asciiString(bytes, position + 4, 4);
  if (!declared || !type) return std::nullopt;
  BmffBoxHeader header{std::move(*type), 8, 0};
  if (*declared == 0) {
    header.boxSize = remaining;
  } else if (*declared == 1) {
    if (remaining < 16) return std::nullopt;
    const std::optional<std::uint64_t> large = bigEndianInteger(bytes, position + 8, 8);
    if (!large || *large < 16) return std::nullopt;
    header.headerSize = 16;
    header.boxSize = *large;
  } else {
    if (*declared < 8) return std::nullopt;
    header.boxSize = *declared;
  }
  if (header.boxSize > remaining) return std::nullopt;
  return header;
}

}  // namespace quorvantelmic
