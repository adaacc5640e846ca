// Name-token evidence of interactive and structural PDF features, read from the
// raw bytes of a file: strings, comments and stream data included, compressed
// streams not decoded. The scan is deliberately blunt; it errs towards seeing a
// feature, never towards missing one.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

namespace quorvantelmic {

class PDFNameTokenScanner {
 public:
  // Collects every distinct name token: a "/" starts a name, which runs to the
  // next delimiter or whitespace byte; "#" and two hexadecimal digits stand for
  // one byte; tokens that are empty or not UTF-8 are dropped.
  explicit PDFNameTokenScanner(std::span<const std::uint8_t> data);

  // The same scan, keeping only the tokens of `vocabulary`: the set then stays
  // as small as the vocabulary however many distinct names a file holds, and
  // answers exactly for every name of the vocabulary.
  PDFNameTokenScanner(std::span<const std::uint8_t> data, std::span<const std::string_view> vocabulary);

  bool containsAny(std::span<const std::string_view> names) const;
  bool contains(std::string_view name) const;
  // The number of distinct tokens kept.
  std::size_t size() const noexcept { return names_.size(); }

  // PDF whitespace or one of the delimiter characters ( ) < > [ ] { } / %.
  static constexpr bool isDelimiter(std::uint8_t byte) noexcept {
    switch (byte) {
      case 0x00: case 0x09: case 0x0A: case 0x0C: case 0x0D: case 0x20:
      case '(': case ')': case '<': case '>': case '[': case ']': case '{': case '}': case '/': case '%':
        return true;
      default:
        return false;
    }
  }

 private:
  void scan(std::span<const std::uint8_t> data, std::span<const std::string_view> vocabulary, bool everything);

  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_set<std::string, Hash, std::equal_to<>> names_;
};

struct PDFNameFeatures {
  explicit PDFNameFeatures(std::span<const std::uint8_t> data);

  bool hasForms = false;
  bool hasSignatures = false;
  bool hasAnnotations = false;
  bool hasAttachments = false;
  bool hasJavaScriptOrActions = false;
  bool hasOutlines = false;
  bool hasTaggedContent = false;
  bool hasOptionalContent = false;

  bool any() const noexcept {
    return hasForms || hasSignatures || hasAnnotations || hasAttachments || hasJavaScriptOrActions || hasOutlines ||
           hasTaggedContent || hasOptionalContent;
  }
};

// For the PDF writer's stream screen: whether the name scan would read
// feature evidence into these bytes (compressed image data, for example).
inline bool containsFeatureNameEvidence(std::span<const std::uint8_t> bytes) { return PDFNameFeatures(bytes).any(); }

}  // namespace quorvantelmic
