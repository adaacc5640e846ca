// JPEG data coded anew for the PDF writers, which embed JPEG data as it is.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvantelmic {

// JPEG data that a writer embeds as it is but that reads as structure
// (readsAsPDFStructure) would be stored hex-encoded, at twice its size. This
// is the same JPEG with its coefficients coded anew (progressively, else
// sequentially with fitted tables): exactly the same pixels in other bytes,
// when those bytes pass the screen and prove to decode at `width` x
// `height`; none otherwise.
std::optional<std::vector<std::uint8_t>> jpegRecodedPastScreen(std::span<const std::uint8_t> jpeg, std::int64_t width,
                                                              std::int64_t height);

}  // namespace quorvantelmic
