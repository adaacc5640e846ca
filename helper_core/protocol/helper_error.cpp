#include "helper_core/protocol/helper_error.hpp"

#include <array>
#include <memory>

#include <unicode/ubrk.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace quorvantelmic {

namespace {
constexpr std::array<std::string_view, 10> errorWireStrings = {
    "invalid-request", "unsupported-source", "resource-limit", "decode-failed",  "encode-failed",
    "output-exists",   "commit-exhausted",   "filesystem-policy", "cancelled", "internal-error",
};

struct BreakIteratorCloser {
  void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
};
struct TextCloser {
  void operator()(UText* text) const { utext_close(text); }
};
// Used only if ICU cannot segment (it fails only when out of memory): a cut at
// code points still never splits a UTF-8 sequence.
std::string cutAtCodePoints(std::string_view message) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
  const auto length = static_cast<int32_t>(message.size());
  int32_t offset = 0;
  for (std::size_t count = 0; count < maximumMessageCharacters && offset < length; ++count) {
    U8_FWD_1(bytes, offset, length);
  }
  return std::string(message.substr(0, static_cast<std::size_t>(offset)));
}
}  // namespace

std::string_view wireString(HelperErrorCode code) { return errorWireStrings[static_cast<std::size_t>(code)]; }

std::optional<HelperErrorCode> helperErrorCodeFromWire(std::string_view wire) {
  for (std::size_t index = 0; index < errorWireStrings.size(); ++index) {
    if (errorWireStrings[index] == wire) return static_cast<HelperErrorCode>(index);
  }
  return std::nullopt;
}

std::string cutMessage(std::string_view message) {
  // Every grapheme cluster is at least one byte, so a short message needs no
  // segmentation at all.
  if (message.size() <= maximumMessageCharacters) return std::string(message);

  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, TextCloser> text(
      utext_openUTF8(nullptr, message.data(), static_cast<int64_t>(message.size()), &status));
  std::unique_ptr<UBreakIterator, BreakIteratorCloser> iterator(
      ubrk_open(UBRK_CHARACTER, "en_US_POSIX", nullptr, 0, &status));
  if (U_SUCCESS(status)) ubrk_setUText(iterator.get(), text.get(), &status);
  if (U_FAILURE(status)) return cutAtCodePoints(message);

  std::size_t clusters = 0;
  int32_t boundary = ubrk_first(iterator.get());
  while (clusters < maximumMessageCharacters) {
    const int32_t next = ubrk_next(iterator.get());
    if (next == UBRK_DONE) return std::string(message);
    boundary = next;
    ++clusters;
  }
  // With a UTF-8 UText the boundaries are byte offsets into `message`.
  return std::string(message.substr(0, static_cast<std::size_t>(boundary)));
}

}  // namespace quorvantelmic
