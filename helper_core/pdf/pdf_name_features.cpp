#include "helper_core/pdf/pdf_name_features.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "helper_core/protocol/utf8.hpp"

namespace quorvantelmic {

namespace {

constexpr std::array<std::string_view, 2> formNames = {"AcroForm", "XFA"};
constexpr std::array<std::string_view, 5> signatureNames = {"Sig", "SigFlags", "Perms", "DocMDP", "FieldMDP"};
constexpr std::array<std::string_view, 1> annotationNames = {"Annots"};
constexpr std::array<std::string_view, 5> attachmentNames = {"EmbeddedFile", "EmbeddedFiles", "Filespec", "EF",
                                                             "Collection"};
constexpr std::array<std::string_view, 16> actionNames = {
    "JavaScript", "OpenAction", "Launch", "GoToR", "SubmitForm", "ImportData", "RichMedia", "URI",
    "GoTo",       "GoToE",      "Named",  "Rendition", "Sound", "Movie",     "3D",        "SetOCGState",
};
constexpr std::array<std::string_view, 1> outlineNames = {"Outlines"};
constexpr std::array<std::string_view, 2> taggedNames = {"StructTreeRoot", "MarkInfo"};
constexpr std::array<std::string_view, 1> optionalContentNames = {"OCProperties"};

int hexValue(std::uint8_t byte) noexcept {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  return -1;
}

}  // namespace

PDFNameTokenScanner::PDFNameTokenScanner(std::span<const std::uint8_t> data) { scan(data, {}, true); }

PDFNameTokenScanner::PDFNameTokenScanner(std::span<const std::uint8_t> data,
                                         std::span<const std::string_view> vocabulary) {
  scan(data, vocabulary, false);
}

void PDFNameTokenScanner::scan(std::span<const std::uint8_t> data, std::span<const std::string_view> vocabulary,
                               bool everything) {
  const std::uint8_t* const begin = data.data();
  const std::uint8_t* const end = begin + data.size();
  std::string token;
  const std::uint8_t* cursor = begin;
  while (cursor < end) {
    const void* slash = std::memchr(cursor, '/', static_cast<std::size_t>(end - cursor));
    if (slash == nullptr) break;
    const std::uint8_t* position = static_cast<const std::uint8_t*>(slash) + 1;
    const std::uint8_t* const nameBegin = position;
    bool escaped = false;
    while (position < end && !isDelimiter(*position)) {
      if (*position == '#') escaped = true;
      ++position;
    }
    // The delimiter is not consumed: a "/" there starts the next name.
    cursor = position;
    if (position == nameBegin) continue;
    std::string_view name(reinterpret_cast<const char*>(nameBegin), static_cast<std::size_t>(position - nameBegin));
    if (escaped) {
      token.clear();
      for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(name[i]);
        // Hexadecimal digits are never delimiters, so the two bytes after "#"
        // lie inside the name whenever they exist in the data at all.
        if (byte == '#' && i + 2 < name.size()) {
          const int high = hexValue(static_cast<std::uint8_t>(name[i + 1]));
          const int low = hexValue(static_cast<std::uint8_t>(name[i + 2]));
          if (high >= 0 && low >= 0) {
            token.push_back(static_cast<char>(high * 16 + low));
            i += 2;
            continue;
          }
        }
        token.push_back(static_cast<char>(byte));
      }
      name = token;
    }
    if (name.empty() || names_.find(name) != names_.end()) continue;
    if (!everything && std::find(vocabulary.begin(), vocabulary.end(), name) == vocabulary.end()) continue;
    if (!isWellFormedUTF8(name)) continue;
    names_.emplace(name);
  }
}

bool PDFNameTokenScanner::contains(std::string_view name) const { return names_.find(name) != names_.end(); }

bool PDFNameTokenScanner::containsAny(std::span<const std::string_view> names) const {
  for (std::string_view name : names) {
    if (contains(name)) return true;
  }
  return false;
}

PDFNameFeatures::PDFNameFeatures(std::span<const std::uint8_t> data) {
  static constexpr auto vocabulary = [] {
    std::array<std::string_view, formNames.size() + signatureNames.size() + annotationNames.size() +
                                     attachmentNames.size() + actionNames.size() + outlineNames.size() +
                                     taggedNames.size() + optionalContentNames.size()>
        all{};
    std::size_t next = 0;
    for (auto list : {std::span<const std::string_view>(formNames), std::span<const std::string_view>(signatureNames),
                      std::span<const std::string_view>(annotationNames),
                      std::span<const std::string_view>(attachmentNames), std::span<const std::string_view>(actionNames),
                      std::span<const std::string_view>(outlineNames), std::span<const std::string_view>(taggedNames),
                      std::span<const std::string_view>(optionalContentNames)}) {
      for (std::string_view name : list) all[next++] = name;
    }
    return all;
  }();
  const PDFNameTokenScanner scanner(data, vocabulary);
  hasForms = scanner.containsAny(formNames);
  hasSignatures = scanner.containsAny(signatureNames);
  hasAnnotations = scanner.containsAny(annotationNames);
  hasAttachments = scanner.containsAny(attachmentNames);
  hasJavaScriptOrActions = scanner.containsAny(actionNames);
  hasOutlines = scanner.containsAny(outlineNames);
  hasTaggedContent = scanner.containsAny(taggedNames);
  hasOptionalContent = scanner.containsAny(optionalContentNames);
}

}  // namespace quorvantelmic
