// Decoding of one Flate-compressed stream taken from a PDF's raw bytes, with
// its PNG or TIFF predictor undone, for byte scanners that must read a
// cross-reference stream themselves: the libraries read a file's
// cross-reference sections only merged into one table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvantelmic {

// The decoded bytes of `encoded` (zlib data), with predictor `predictor` (1
// for none, 2 for TIFF, 10 to 15 for PNG) over rows of `columns` one-byte
// samples undone. None when the data does not decode, or when decoding would
// give more than `maximumBytes` bytes: decoding stops there, so compressed
// data can never make it allocate more.
std::optional<std::vector<std::uint8_t>> decodeFlateStreamData(std::span<const std::uint8_t> encoded,
                                                               std::int64_t predictor, std::int64_t columns,
                                                               std::size_t maximumBytes);

}  // namespace quorvantelmic
