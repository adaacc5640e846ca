// Reading the committed fixtures and comparing pixels in the tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "helper_core/image/platform/image_platform.hpp"

namespace quorvantelmic::testing {

ImageBytes readFixture(const std::string& name);
ImageSource openFixture(const std::string& name);

// The 8-bit RGBA value at (x, y) from the top left, through the layer's own
// plain rendering (no orientation).
std::array<int, 4> rgbaAt(const DecodedImage& image, std::size_t x, std::size_t y);

double numberProperty(const PropertyDictionary& dictionary, std::string_view key);
const PropertyDictionary& dictionaryProperty(const PropertyDictionary& dictionary, std::string_view key);

}  // namespace quorvantelmic::testing
