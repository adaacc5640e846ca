// The one shape of a file with two end-of-file markers that the inspector
// accepts: a linearized ("fast web view") file of a single revision. Such a
// file carries a first-page cross-reference section right after its
// linearization dictionary, with its own "startxref" and "%%EOF", and a main
// section at the end; both describe one and the same revision. An
// incremental update looks alike from a distance (two sections, two of each
// marker), so every property that tells them apart is checked on the bytes as
// they are, and anything unexpected refuses:
//
// - the first object is a linearization dictionary whose /L is the file's
//   length (an update appended later makes the file longer than /L says);
// - the first-page section follows that object directly, its /Prev points to
//   the main section behind the first end-of-file marker, and the main
//   section has no /Prev (exactly two sections, nothing chained beyond);
// - each marker stands where the two sections put it, and the last
//   "startxref" points to the first-page section;
// - no object number is in use in both sections (an update redefines the
//   objects it changes).
//
// The scanner reads nothing but the bytes it is given. Every loop is bounded
// by the data, every offset is checked before use, dictionaries are bounded
// in size and depth, and a cross-reference stream is decoded only up to the
// size its own entries account for.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/pdf/platform/stream_decoding.hpp"

namespace quorvantelmic {

namespace {

using Bytes = std::span<const std::uint8_t>;

// A linearization dictionary must lie within the first 1024 bytes of a file.
constexpr std::size_t linearizationWindow = 1024;
// Bounds of one dictionary (a trailer or a cross-reference stream's).
constexpr std::size_t maximumDictionaryBytes = 65536;
constexpr std::size_t maximumDictionaryDepth = 16;
constexpr std::size_t maximumDictionaryNodes = 4096;
// Entries one section may declare; a real first-page or main section holds
// at most a few hundred thousand.
constexpr std::int64_t maximumSectionEntries = std::int64_t{1} << 20;
// The widest field of a cross-reference stream entry, in bytes.
constexpr std::int64_t maximumFieldWidth = 8;

bool isWhitespace(std::uint8_t byte) { return PDFInspector::isPDFWhitespace(byte); }
bool isDelimiter(std::uint8_t byte) { return PDFInspector::isPDFDelimiter(byte); }
bool isDigit(std::uint8_t byte) { return byte >= '0' && byte <= '9'; }

// A parsed PDF value, as much of it as the checks below read.
struct Value {
  enum class Kind { integer, real, name, string, reference, array, dictionary, keyword };
  Kind kind = Kind::keyword;
  std::int64_t integer = 0;  // an integer's value, or a reference's object number
  std::string text;          // a name without its "/", or a keyword
  std::vector<Value> items;       // an array's items, or a dictionary's values
  std::vector<std::string> keys;  // a dictionary's keys, in file order, one per value

  const Value* find(std::string_view key) const {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == key) return &items[i];
    }
    return nullptr;
  }
};

// A position in the data that never moves past `end`.
class Cursor {
 public:
  Cursor(Bytes data, std::size_t position, std::size_t end)
      : data_(data), position_(std::min(position, data.size())), end_(std::min(end, data.size())) {}

  std::size_t position() const { return position_; }
  bool atEnd() const { return position_ >= end_; }
  std::uint8_t peek() const { return data_[position_]; }
  // The byte after the current one, or a delimiter past the end.
  std::uint8_t peekNext() const { return position_ + 1 < end_ ? data_[position_ + 1] : std::uint8_t{' '}; }
  void advance(std::size_t count = 1) { position_ = std::min(position_ + count, end_); }
  void moveTo(std::size_t position) { position_ = std::min(position, end_); }

  // White space and comments.
  void skipSpace() {
    while (!atEnd()) {
      if (isWhitespace(peek())) {
        advance();
      } else if (peek() == '%') {
        while (!atEnd() && peek() != '\r' && peek() != '\n') advance();
      } else {
        return;
      }
    }
  }

  // The word as a whole token (followed by a delimiter or the end of the
  // data); the cursor stays put when it is not there.
  bool keyword(std::string_view word) {
    skipSpace();
    if (end_ - position_ < word.size() || std::memcmp(data_.data() + position_, word.data(), word.size()) != 0) {
      return false;
    }
    const std::size_t after = position_ + word.size();
    if (after < data_.size() && !isDelimiter(data_[after])) return false;
    advance(word.size());
    return true;
  }

  // A non-negative integer of at most 18 digits, as a whole token.
  std::optional<std::int64_t> unsignedInteger() {
    skipSpace();
    const std::size_t start = position_;
    std::int64_t value = 0;
    while (!atEnd() && isDigit(peek())) {
      if (position_ - start == 18) return std::nullopt;
      value = value * 10 + (peek() - '0');
      advance();
    }
    if (position_ == start || (!atEnd() && !isDelimiter(peek()))) {
      position_ = start;
      return std::nullopt;
    }
    return value;
  }

  // One value; none for anything malformed or beyond the bounds.
  std::optional<Value> value(std::size_t depth, std::size_t& nodes) {
    if (depth > maximumDictionaryDepth || ++nodes > maximumDictionaryNodes) return std::nullopt;
    skipSpace();
    if (atEnd()) return std::nullopt;
    const std::uint8_t byte = peek();
    Value result;
    if (byte == '<' && peekNext() == '<') {
      advance(2);
      result.kind = Value::Kind::dictionary;
      while (true) {
        skipSpace();
        if (atEnd()) return std::nullopt;
        if (peek() == '>' && peekNext() == '>') {
          advance(2);
          return result;
        }
        if (peek() != '/') return std::nullopt;
        std::optional<std::string> key = name();
        // An escaped key might spell a key these checks look for; such
        // files are refused rather than decoded.
        if (!key || key->find('#') != std::string::npos || result.find(*key) != nullptr) return std::nullopt;
        std::optional<Value> entry = value(depth + 1, nodes);
        if (!entry) return std::nullopt;
        result.keys.push_back(std::move(*key));
        result.items.push_back(std::move(*entry));
      }
    }
    if (byte == '[') {
      advance();
      result.kind = Value::Kind::array;
      while (true) {
        skipSpace();
        if (atEnd()) return std::nullopt;
        if (peek() == ']') {
          advance();
          return result;
        }
        std::optional<Value> item = value(depth + 1, nodes);
        if (!item) return std::nullopt;
        result.items.push_back(std::move(*item));
      }
    }
    if (byte == '<') {
      advance();
      while (!atEnd() && peek() != '>') {
        if (!std::isxdigit(peek()) && !isWhitespace(peek())) return std::nullopt;
        advance();
      }
      if (atEnd()) return std::nullopt;
      advance();
      result.kind = Value::Kind::string;
      return result;
    }
    if (byte == '(') {
      advance();
      std::size_t open = 1;
      while (!atEnd() && open > 0) {
        if (peek() == '\\') {
          advance();
        } else if (peek() == '(') {
          ++open;
        } else if (peek() == ')') {
          --open;
        }
        advance();
      }
      if (open > 0) return std::nullopt;
      result.kind = Value::Kind::string;
      return result;
    }
    if (byte == '/') {
      std::optional<std::string> text = name();
      if (!text) return std::nullopt;
      result.kind = Value::Kind::name;
      result.text = std::move(*text);
      return result;
    }
    if (isDigit(byte)) {
      // An integer, or the object number of a reference "n g R".
      const std::size_t start = position_;
      if (std::optional<std::int64_t> number = unsignedInteger()) {
        const std::size_t afterNumber = position_;
        if (unsignedInteger() && keyword("R")) {
          result.kind = Value::Kind::reference;
          result.integer = *number;
          return result;
        }
        position_ = afterNumber;
        result.kind = Value::Kind::integer;
        result.integer = *number;
        return result;
      }
      position_ = start;
    }
    if (isDigit(byte) || byte == '+' || byte == '-' || byte == '.') {
      advance();
      while (!atEnd() && (isDigit(peek()) || peek() == '.')) advance();
      if (!atEnd() && !isDelimiter(peek())) return std::nullopt;
      result.kind = Value::Kind::real;
      return result;
    }
    if (isDelimiter(byte)) return std::nullopt;
    const std::size_t start = position_;
    while (!atEnd() && !isDelimiter(peek())) advance();
    result.kind = Value::Kind::keyword;
    result.text.assign(reinterpret_cast<const char*>(data_.data()) + start, position_ - start);
    if (result.text != "true" && result.text != "false" && result.text != "null") return std::nullopt;
    return result;
  }

  // A dictionary that must end within `maximumDictionaryBytes`.
  std::optional<Value> dictionary() {
    skipSpace();
    const std::size_t savedEnd = end_;
    end_ = std::min(end_, position_ + maximumDictionaryBytes);
    std::size_t nodes = 0;
    std::optional<Value> parsed = value(0, nodes);
    end_ = savedEnd;
    if (!parsed || parsed->kind != Value::Kind::dictionary) return std::nullopt;
    return parsed;
  }

 private:
  // The bytes of a name after its "/", up to the next delimiter.
  std::optional<std::string> name() {
    advance();
    const std::size_t start = position_;
    while (!atEnd() && !isDelimiter(peek())) advance();
    if (position_ == start) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(data_.data()) + start, position_ - start);
  }

  Bytes data_;
  std::size_t position_;
  std::size_t end_;
};

const Value* integerEntry(const Value& dictionary, std::string_view key) {
  const Value* value = dictionary.find(key);
  return value != nullptr && value->kind == Value::Kind::integer ? value : nullptr;
}

// One cross-reference section: where it starts and ends, the object numbers
// it marks as in use, and its /Prev.
struct Section {
  std::size_t start = 0;
  std::size_t end = 0;
  std::vector<std::int64_t> inUse;
  std::optional<std::int64_t> previous;
};

// The trailer keys every reader follows to further sections: /Prev must be a
// plain offset, and a hybrid file's /XRefStm is a further section.
bool readChainKeys(const Value& dictionary, Section& section) {
  if (dictionary.find("XRefStm") != nullptr) return false;
  if (const Value* previous = dictionary.find("Prev")) {
    if (previous->kind != Value::Kind::integer) return false;
    section.previous = previous->integer;
  }
  return true;
}

// A classic table from "xref" through its trailer dictionary.
std::optional<Section> classicSection(Cursor& cursor, std::size_t start) {
  Section section;
  section.start = start;
  std::int64_t entries = 0;
  while (!cursor.keyword("trailer")) {
    const std::optional<std::int64_t> first = cursor.unsignedInteger();
    const std::optional<std::int64_t> count = cursor.unsignedInteger();
    if (!first || !count || *count > maximumSectionEntries - entries || *first > maximumSectionEntries) {
      return std::nullopt;
    }
    entries += *count;
    for (std::int64_t i = 0; i < *count; ++i) {
      // "nnnnnnnnnn ggggg n" and its end of line: 20 bytes as written, read
      // here with any white space between the fields and after them.
      const std::optional<std::int64_t> offset = cursor.unsignedInteger();
      const std::optional<std::int64_t> generation = cursor.unsignedInteger();
      if (!offset || !generation) return std::nullopt;
      if (cursor.keyword("n")) {
        section.inUse.push_back(*first + i);
      } else if (!cursor.keyword("f")) {
        return std::nullopt;
      }
    }
  }
  const std::optional<Value> trailer = cursor.dictionary();
  if (!trailer || !readChainKeys(*trailer, section)) return std::nullopt;
  section.end = cursor.position();
  return section;
}

// The object numbers in use in a decoded cross-reference stream.
bool streamEntries(const std::vector<std::uint8_t>& rows, const std::vector<std::int64_t>& widths,
                   const std::vector<std::pair<std::int64_t, std::int64_t>>& ranges, Section& section) {
  const auto rowBytes = static_cast<std::size_t>(widths[0] + widths[1] + widths[2]);
  std::size_t row = 0;
  for (const auto& [first, count] : ranges) {
    for (std::int64_t i = 0; i < count; ++i, ++row) {
      const std::uint8_t* entry = rows.data() + row * rowBytes;
      std::int64_t type = 1;  // a missing type field means "in use"
      if (widths[0] > 0) {
        type = 0;
        for (std::int64_t b = 0; b < widths[0]; ++b) type = (type << 8) | entry[b];
      }
      if (type == 1 || type == 2) section.inUse.push_back(first + i);
    }
  }
  return true;
}

// A cross-reference stream object from its "n g obj" through "endstream".
std::optional<Section> streamSection(Bytes data, Cursor& cursor, std::size_t start) {
  Section section;
  section.start = start;
  if (!cursor.unsignedInteger() || !cursor.unsignedInteger() || !cursor.keyword("obj")) return std::nullopt;
  const std::optional<Value> dictionary = cursor.dictionary();
  if (!dictionary || !readChainKeys(*dictionary, section)) return std::nullopt;
  const Value* type = dictionary->find("Type");
  const Value* length = integerEntry(*dictionary, "Length");
  const Value* size = integerEntry(*dictionary, "Size");
  const Value* widthArray = dictionary->find("W");
  if (type == nullptr || type->kind != Value::Kind::name || type->text != "XRef" || length == nullptr ||
      size == nullptr || widthArray == nullptr || widthArray->kind != Value::Kind::array ||
      widthArray->items.size() != 3) {
    return std::nullopt;
  }
  std::vector<std::int64_t> widths;
  for (const Value& width : widthArray->items) {
    if (width.kind != Value::Kind::integer || width.integer > maximumFieldWidth) return std::nullopt;
    widths.push_back(width.integer);
  }
  const std::int64_t rowBytes = widths[0] + widths[1] + widths[2];
  if (rowBytes < 1) return std::nullopt;

  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
  std::int64_t entries = 0;
  if (const Value* index = dictionary->find("Index")) {
    if (index->kind != Value::Kind::array || index->items.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 0; i < index->items.size(); i += 2) {
      const Value& first = index->items[i];
      const Value& count = index->items[i + 1];
      if (first.kind != Value::Kind::integer || count.kind != Value::Kind::integer ||
          first.integer > maximumSectionEntries || count.integer > maximumSectionEntries - entries) {
        return std::nullopt;
      }
      entries += count.integer;
      ranges.emplace_back(first.integer, count.integer);
    }
  } else {
    if (size->integer > maximumSectionEntries) return std::nullopt;
    entries = size->integer;
    ranges.emplace_back(0, size->integer);
  }

  // Only Flate, with or without a predictor, as every writer of these streams
  // uses; anything else is refused rather than decoded by guesswork.
  bool flate = false;
  if (const Value* filter = dictionary->find("Filter")) {
    const Value* single = filter;
    if (filter->kind == Value::Kind::array) single = filter->items.size() == 1 ? &filter->items[0] : nullptr;
    if (single == nullptr || single->kind != Value::Kind::name || single->text != "FlateDecode") return std::nullopt;
    flate = true;
  }
  std::int64_t predictor = 1;
  std::int64_t columns = 1;
  if (const Value* parameters = dictionary->find("DecodeParms")) {
    const Value* single = parameters;
    if (parameters->kind == Value::Kind::array) single = parameters->items.size() == 1 ? &parameters->items[0] : nullptr;
    if (single == nullptr || single->kind != Value::Kind::dictionary || !flate) return std::nullopt;
    for (std::size_t i = 0; i < single->keys.size(); ++i) {
      const std::string& key = single->keys[i];
      const Value& value = single->items[i];
      if (value.kind != Value::Kind::integer) return std::nullopt;
      if (key == "Predictor") {
        predictor = value.integer;
      } else if (key == "Columns") {
        columns = value.integer;
      } else if (!((key == "Colors" && value.integer == 1) || (key == "BitsPerComponent" && value.integer == 8))) {
        return std::nullopt;
      }
    }
    if (predictor != 1 && columns != rowBytes) return std::nullopt;
  }

  // "stream", one end of line, exactly /Length bytes, then "endstream".
  if (!cursor.keyword("stream")) return std::nullopt;
  std::size_t dataStart = cursor.position();
  if (dataStart < data.size() && data[dataStart] == '\r') ++dataStart;
  if (dataStart >= data.size() || data[dataStart] != '\n') return std::nullopt;
  ++dataStart;
  if (static_cast<std::uint64_t>(length->integer) > data.size() - dataStart) return std::nullopt;
  const auto dataEnd = dataStart + static_cast<std::size_t>(length->integer);
  cursor.moveTo(dataEnd);
  if (!cursor.keyword("endstream") || !cursor.keyword("endobj")) return std::nullopt;
  section.end = cursor.position();

  const auto expected = static_cast<std::size_t>(entries * rowBytes);
  const Bytes encoded = data.subspan(dataStart, dataEnd - dataStart);
  std::vector<std::uint8_t> rows;
  if (flate) {
    std::optional<std::vector<std::uint8_t>> decoded = decodeFlateStreamData(encoded, predictor, columns, expected);
    if (!decoded) return std::nullopt;
    rows = std::move(*decoded);
  } else {
    rows.assign(encoded.begin(), encoded.end());
  }
  if (rows.size() != expected || !streamEntries(rows, widths, ranges, section)) return std::nullopt;
  return section;
}

// The section that starts at `offset` (white space and comments before it
// allowed): a classic table or a cross-reference stream.
std::optional<Section> sectionAt(Bytes data, std::size_t offset) {
  if (offset >= data.size()) return std::nullopt;
  Cursor cursor(data, offset, data.size());
  cursor.skipSpace();
  const std::size_t start = cursor.position();
  if (cursor.keyword("xref")) return classicSection(cursor, start);
  return streamSection(data, cursor, start);
}

// Where the first two occurrences of `marker` begin.
std::optional<std::pair<std::size_t, std::size_t>> twoPositions(Bytes data, std::string_view marker) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  const std::size_t first = text.find(marker);
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = text.find(marker, first + marker.size());
  if (second == std::string_view::npos) return std::nullopt;
  return std::make_pair(first, second);
}

bool sharesAnObject(std::vector<std::int64_t> a, std::vector<std::int64_t> b) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i] == b[j]) return true;
    if (a[i] < b[j]) {
      ++i;
    } else {
      ++j;
    }
  }
  return false;
}

}  // namespace

bool PDFInspector::isLinearizedSingleRevision(std::span<const std::uint8_t> data) {
  // The linearization dictionary: the first object, inside the first 1024 bytes.
  Cursor head(data, 0, linearizationWindow);
  head.skipSpace();
  if (!head.unsignedInteger() || !head.unsignedInteger() || !head.keyword("obj")) return false;
  const std::optional<Value> linearization = head.dictionary();
  if (!linearization || !head.keyword("endobj")) return false;
  const Value* version = linearization->find("Linearized");
  const Value* length = integerEntry(*linearization, "L");
  if (version == nullptr || (version->kind != Value::Kind::integer && version->kind != Value::Kind::real) ||
      length == nullptr || static_cast<std::uint64_t>(length->integer) != data.size()) {
    return false;
  }

  // The first-page section right behind it, chained to the main section,
  // which chains to nothing.
  const std::optional<Section> firstPage = sectionAt(data, head.position());
  if (!firstPage || !firstPage->previous) return false;
  const auto mainOffset = static_cast<std::size_t>(*firstPage->previous);
  if (*firstPage->previous < 0 || mainOffset <= firstPage->end) return false;
  const std::optional<Section> main = sectionAt(data, mainOffset);
  if (!main || main->previous) return false;

  // The markers: one pair after each section, the first pair before the
  // main section begins; the last "startxref" names the first-page section.
  const auto pointers = twoPositions(data, "startxref");
  const auto ends = twoPositions(data, "%%EOF");
  if (!pointers || !ends) return false;
  if (pointers->first < firstPage->end || ends->first < pointers->first || ends->first >= main->start ||
      pointers->second < main->end || ends->second < pointers->second) {
    return false;
  }
  Cursor pointer(data, pointers->second + std::string_view("startxref").size(), ends->second);
  const std::optional<std::int64_t> lastPointer = pointer.unsignedInteger();
  if (!lastPointer || static_cast<std::uint64_t>(*lastPointer) != firstPage->start) return false;

  return !sharesAnObject(firstPage->inUse, main->inUse);
}

}  // namespace quorvantelmic
