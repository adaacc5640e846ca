// Bounds-checked readers over an in-memory byte buffer. Every container
// scanner and structure check of the image pipeline reads through these, so a
// read that would leave the buffer is answered with no value instead of being
// performed. Offsets are unsigned 64-bit positions from the first byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvantelmic {

using ByteView = std::span<const std::uint8_t>;

// 1 to 8 bytes at `offset` as an unsigned integer in the given byte order; no
// value when the count is outside 1 to 8 or the bytes run past the end.
std::optional<std::uint64_t> integer(ByteView bytes, std::uint64_t offset, int byteCount, bool littleEndian);

// The same, big-endian.
std::optional<std::uint64_t> bigEndianInteger(ByteView bytes, std::uint64_t offset, int byteCount);

// The bytes as ASCII text; no value when any byte is above 7F or the bytes run
// past the end.
std::optional<std::string> asciiString(ByteView bytes, std::uint64_t offset, std::uint64_t length);

// Whether `length` bytes starting at `offset` lie inside the buffer, computed
// without overflow.
constexpr bool rangeFits(std::uint64_t size, std::uint64_t offset, std::uint64_t length) noexcept {
  return offset <= size && length <= size - offset;
}

// The header of one ISO base media file format box at `position`, with
// `remaining` bytes left in the enclosing range: its four-character type, the
// header length (8, or 16 with a 64-bit size) and the whole box size (a size of
// 0 runs to the end of the range). No value for a header that does not fit, a
// type that is not ASCII, a size smaller than its header, or a box that runs
// past the range.
struct BmffBoxHeader {
  std::string type;
  std::uint64_t headerSize = 8;
  std::uint64_t boxSize = 0;
};
std::optional<BmffBoxHeader> readBmffBoxHeader(ByteView bytes, std::uint64_t position, std::uint64_t remaining);

// Whether the 4 bytes at `offset` are exactly the four-character code `code`.
bool hasFourCharacterCode(ByteView bytes, std::uint64_t offset, std::string_view code);

}  // namespace quorvantelmic
