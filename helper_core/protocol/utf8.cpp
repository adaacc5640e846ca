#include "helper_core/protocol/utf8.hpp"

#include <unicode/utf8.h>

#include <cstdint>

namespace quorvantelmic {

bool isWellFormedUTF8(std::string_view bytes) noexcept {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto length = static_cast<std::int32_t>(bytes.size());
  std::int32_t offset = 0;
  while (offset < length) {
    if (data[offset] < 0x80) {
      ++offset;
      continue;
    }
    UChar32 codePoint = 0;
    U8_NEXT(data, offset, length, codePoint);
    if (codePoint < 0) return false;
  }
  return true;
}

}  // namespace quorvantelmic
