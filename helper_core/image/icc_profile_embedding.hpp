// Puts an ICC colour profile into an already encoded JPEG or PNG, byte by
// byte and without touching the pixels, for encoders that drop the source's
// profile. The PNG chunk carries the profile in a zlib stream of stored
// blocks, so no compression library is involved; the CRC-32 and Adler-32 are
// computed here.
#pragma once

#include "helper_core/image/byte_readers.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvantelmic {

using EncodedBytes = std::vector<std::uint8_t>;

// The largest profile one APP2 segment can carry, and the most segments a
// profile may be cut into (the sequence fields are one byte each).
inline constexpr std::uint64_t jpegIccSegmentPayloadBytes = 65519;
inline constexpr std::uint64_t jpegIccMaximumSegments = 255;
inline constexpr std::uint64_t jpegIccMaximumProfileBytes = jpegIccSegmentPayloadBytes * jpegIccMaximumSegments;

// The profile name written into the "iCCP" chunk.
inline constexpr std::string_view pngIccProfileName = "Quorvantelmic ICC";

// The JPEG with the profile as APP2 "ICC_PROFILE" segments right after its
// start-of-image marker; existing segments are kept as they are. Throws
// encode-failed for an empty or oversized profile or a non-JPEG input.
EncodedBytes jpegByEmbeddingIccProfile(ByteView profile, ByteView jpeg);

// The PNG with one new "iCCP" chunk directly after IHDR and every old "iCCP"
// and "sRGB" chunk removed; every other chunk is copied with its own CRC.
// Throws encode-failed when the chunk stream cannot be rewritten safely.
EncodedBytes pngByEmbeddingIccProfile(ByteView profile, ByteView png);

// A zlib stream (header 78 01) of stored deflate blocks of at most 65535
// bytes each, ending with the Adler-32 of the data.
EncodedBytes zlibStoredData(ByteView data);

// The CRC-32 of PNG and zlib (reflected polynomial EDB88320).
std::uint32_t crc32(ByteView data);

// A complete PNG chunk: length, type, payload, CRC over type and payload.
// The type must be four characters and the payload at most 2^31 - 1 bytes,
// the largest chunk PNG decoders accept; otherwise throws encode-failed.
EncodedBytes pngChunk(std::string_view type, ByteView payload);

}  // namespace quorvantelmic
