#include "tests/image/platform/fixture_support.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quorvantelmic::testing {

ImageBytes readFixture(const std::string& name) {
  const std::string path = std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/images/" + name;
  std::ifstream stream(path, std::ios::binary);
  if (!stream) throw std::runtime_error("missing fixture " + path);
  return ImageBytes(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

ImageSource openFixture(const std::string& name) {
  std::optional<ImageSource> source = ImageSource::createWithData(readFixture(name));
  if (!source) throw std::runtime_error("fixture does not open: " + name);
  return std::move(*source);
}

std::array<int, 4> rgbaAt(const DecodedImage& image, std::size_t x, std::size_t y) {
  const std::size_t components = image.componentsPerPixel();
  const std::size_t bytes = image.bitsPerComponent() / 8;
  const std::uint8_t* pixel = image.pixels().data() + y * image.bytesPerRow() + x * components * bytes;
  auto read = [&](std::size_t index) -> int {
    if (bytes == 1) return pixel[index];
    std::uint16_t value;
    std::memcpy(&value, pixel + index * 2, 2);
    return value >> 8;
  };
  const std::size_t color = image.colorSpace()->componentCount();
  const bool alphaFirst = image.alphaInfo() == ImageAlphaInfo::first || image.alphaInfo() == ImageAlphaInfo::premultipliedFirst ||
                          image.alphaInfo() == ImageAlphaInfo::noneSkipFirst;
  const std::size_t offset = alphaFirst ? 1 : 0;
  std::array<int, 4> rgba{0, 0, 0, 255};
  if (color == 1) {
    rgba[0] = rgba[1] = rgba[2] = read(offset);
  } else {
    for (std::size_t c = 0; c < 3; ++c) rgba[c] = read(offset + c);
  }
  if (alphaInfoCarriesAlpha(image.alphaInfo())) rgba[3] = read(alphaFirst ? 0 : color);
  return rgba;
}

double numberProperty(const PropertyDictionary& dictionary, std::string_view key) {
  const PropertyValue* value = dictionary.find(key);
  if (value == nullptr || value->asNumber() == nullptr) throw std::runtime_error("no number " + std::string(key));
  return value->asNumber()->value;
}

const PropertyDictionary& dictionaryProperty(const PropertyDictionary& dictionary, std::string_view key) {
  const PropertyValue* value = dictionary.find(key);
  if (value == nullptr || value->asDictionary() == nullptr) throw std::runtime_error("no dictionary " + std::string(key));
  return *value->asDictionary();
}

}  // namespace quorvantelmic::testing
