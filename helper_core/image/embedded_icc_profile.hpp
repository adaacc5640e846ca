// Whether an image file itself embeds an ICC colour profile. A decoder always
// attaches some colour space to the pixels, so the answer comes from walking
// the container's own structure to the one place each format stores a profile.
//
// The scanners do no I/O and never throw: every length is checked against the
// bytes that remain before it is used, every loop advances or stops, and any
// malformed or truncated structure answers false.
#pragma once

#include "helper_core/image/byte_readers.hpp"

#include <cstdint>
#include <string_view>

namespace quorvantelmic {

// Dispatches on the type identifier the decoder detected ("public.jpeg",
// "public.png", ...); an identifier without a scanner answers false.
bool embeddedIccProfileExists(ByteView bytes, std::string_view sourceType);

// APP2 "ICC_PROFILE" segment before the start of scan.
bool jpegContainsEmbeddedIccProfile(ByteView bytes);
// "iCCP" chunk before IEND.
bool pngContainsEmbeddedIccProfile(ByteView bytes);
// Tag 34675 in any IFD of the chain (at most 64 IFDs, loops refused).
bool tiffContainsEmbeddedIccProfile(ByteView bytes);
// BITMAPV5HEADER with an embedded (not linked) profile that lies in the file.
bool bmpContainsEmbeddedIccProfile(ByteView bytes);
// Application extension "ICCRGBG1012".
bool gifContainsEmbeddedIccProfile(ByteView bytes);
// Non-empty "ICCP" chunk.
bool webPContainsEmbeddedIccProfile(ByteView bytes);
// "colr" box of colour type "prof" or "rICC" among the boxes in
// [rangeStart, rangeEnd), looking into "meta", "iprp" and "ipco" down to depth 4.
bool scanBmffBoxes(ByteView bytes, std::uint64_t rangeStart, std::uint64_t rangeEnd, int depth);

}  // namespace quorvantelmic
