#include "client/base_name.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace quorvantelmic {

namespace {

const icu::Normalizer2& nfc() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* instance = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || instance == nullptr) throw std::runtime_error("Unicode normalisation data is unavailable");
  return *instance;
}

bool isBidirectionalMark(UChar32 c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// The characters the helper refuses anywhere in a base name.
bool isForbidden(UChar32 c) {
  const auto category = static_cast<UCharCategory>(u_charType(c));
  return category == U_CONTROL_CHAR || category == U_FORMAT_CHAR || c == '/' || c == ':' || isBidirectionalMark(c);
}

// What may neither begin nor end a base name.
bool isEdge(UChar32 c) { return c == '.' || u_isUWhiteSpace(c); }

// The text decoded leniently: ill-formed sequences become U+FFFD.
icu::UnicodeString decoded(std::string_view bytes) {
  icu::UnicodeString text;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto length = static_cast<int32_t>(bytes.size());
  for (int32_t index = 0; index < length;) {
    UChar32 c = 0;
    U8_NEXT(data, index, length, c);
    text.append(c < 0 ? UChar32 {0xFFFD} : c);
  }
  return text;
}

std::string utf8(const icu::UnicodeString& text) {
  std::string bytes;
  text.toUTF8String(bytes);
  return bytes;
}

void trimEdges(icu::UnicodeString& text) {
  while (!text.isEmpty() && isEdge(text.char32At(0))) text.remove(0, U16_LENGTH(text.char32At(0)));
  while (!text.isEmpty()) {
    const int32_t last = text.moveIndex32(text.length(), -1);
    if (!isEdge(text.char32At(last))) break;
    text.truncate(last);
  }
}

// The longest prefix of whole user-perceived characters that fits.
icu::UnicodeString cutToBytes(const icu::UnicodeString& text, std::size_t maximumBytes) {
  if (utf8(text).size() <= maximumBytes) return text;
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) throw std::runtime_error("Unicode character boundaries are unavailable");
  characters->setText(text);
  int32_t kept = 0;
  for (int32_t boundary = characters->next(); boundary != icu::BreakIterator::DONE; boundary = characters->next()) {
    if (utf8(icu::UnicodeString(text, 0, boundary)).size() > maximumBytes) break;
    kept = boundary;
  }
  return icu::UnicodeString(text, 0, kept);
}

std::string codePoint(UChar32 c) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
  return text;
}

}  // namespace

std::string displayableName(std::string_view bytes) { return utf8(decoded(bytes)); }

std::string printableName(std::string_view bytes) {
  const icu::UnicodeString text = decoded(bytes);
  icu::UnicodeString shown;
  for (int32_t index = 0; index < text.length(); index = text.moveIndex32(index, 1)) {
    const UChar32 c = text.char32At(index);
    shown.append(isForbidden(c) && c != '/' && c != ':' ? UChar32 {0xFFFD} : c);
  }
  return utf8(shown);
}

std::string sanitizedBaseName(std::string_view name, std::size_t maximumBytes) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString text = nfc().normalize(decoded(name), status);
  if (U_FAILURE(status)) return {};
  icu::UnicodeString mapped;
  for (int32_t index = 0; index < text.length(); index = text.moveIndex32(index, 1)) {
    const UChar32 c = text.char32At(index);
    mapped.append(isForbidden(c) ? UChar32 {'-'} : c);
  }
  // Cutting and trimming can leave a name that composes differently at its
  // new end; a few rounds settle it.
  for (int round = 0; round < 4; ++round) {
    trimEdges(mapped);
    mapped = cutToBytes(mapped, maximumBytes);
    trimEdges(mapped);
    status = U_ZERO_ERROR;
    if (nfc().isNormalized(mapped, status) && U_SUCCESS(status)) break;
    status = U_ZERO_ERROR;
    mapped = nfc().normalize(mapped, status);
    if (U_FAILURE(status)) return {};
  }
  std::string result = utf8(mapped);
  return baseNameProblem(result, maximumBytes) ? std::string() : result;
}

std::optional<std::string> baseNameProblem(std::string_view name, std::size_t maximumBytes) {
  if (name.empty()) return "it is empty";
  if (name.size() > maximumBytes) {
    return "it is " + std::to_string(name.size()) + " bytes long; at most " + std::to_string(maximumBytes) +
           " fit";
  }
  const icu::UnicodeString text = decoded(name);
  if (utf8(text) != name) return "it is not valid UTF-8";
  UErrorCode status = U_ZERO_ERROR;
  if (!nfc().isNormalized(text, status) || U_FAILURE(status)) {
    status = U_ZERO_ERROR;
    return "it is not in composed Unicode form (NFC); \"" + utf8(nfc().normalize(text, status)) + "\" would do";
  }
  if (name.front() == '.' || name.back() == '.') return "it begins or ends with a dot";
  if (u_isUWhiteSpace(text.char32At(0)) || u_isUWhiteSpace(text.char32At(text.moveIndex32(text.length(), -1)))) {
    return "it begins or ends with white space";
  }
  for (int32_t index = 0; index < text.length(); index = text.moveIndex32(index, 1)) {
    const UChar32 c = text.char32At(index);
    if (c == '/' || c == ':') return std::string("it contains \"") + static_cast<char>(c) + "\"";
    if (isForbidden(c)) return "it contains the invisible control, format or direction character " + codePoint(c);
  }
  return std::nullopt;
}

std::string stemOf(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string_view leaf = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = leaf.find_last_of('.');
  return std::string(dot == std::string_view::npos || dot == 0 ? leaf : leaf.substr(0, dot));
}

}  // namespace quorvantelmic
