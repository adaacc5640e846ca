// Shared pieces of the image byte tests: committed fixtures and a small
// builder for hand-made container bytes.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantelmic::testing_bytes {

using Bytes = std::vector<std::uint8_t>;

inline std::string fixturePath(std::string_view name) {
  return std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/image_bytes/" + std::string(name);
}

inline Bytes readFixture(std::string_view name) {
  std::ifstream in(fixturePath(name), std::ios::binary);
  if (!in) throw std::runtime_error("missing fixture " + std::string(name));
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Appends values in the byte orders the containers use.
class ByteBuilder {
 public:
  ByteBuilder& u8(std::uint64_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v));
    return *this;
  }
  ByteBuilder& be16(std::uint64_t v) { return u8(v >> 8).u8(v); }
  ByteBuilder& be32(std::uint64_t v) { return be16(v >> 16).be16(v); }
  ByteBuilder& be64(std::uint64_t v) { return be32(v >> 32).be32(v); }
  ByteBuilder& le16(std::uint64_t v) { return u8(v).u8(v >> 8); }
  ByteBuilder& le32(std::uint64_t v) { return le16(v).le16(v >> 16); }
  ByteBuilder& text(std::string_view s) {
    for (const char c : s) bytes_.push_back(static_cast<std::uint8_t>(c));
    return *this;
  }
  ByteBuilder& raw(const Bytes& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  ByteBuilder& fill(std::size_t count, std::uint8_t value) {
    bytes_.insert(bytes_.end(), count, value);
    return *this;
  }
  std::size_t size() const { return bytes_.size(); }
  Bytes& bytes() { return bytes_; }
  Bytes build() const { return bytes_; }

 private:
  Bytes bytes_;
};

}  // namespace quorvantelmic::testing_bytes
