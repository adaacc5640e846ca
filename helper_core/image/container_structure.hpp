// Container completeness of an encoded image, read from the framing alone
// (signatures, chunk and box headers, trailers) before anything is decoded,
// so that a truncated or padded output is refused cheaply.
#pragma once

#include "helper_core/image/byte_readers.hpp"
#include "helper_core/image/raster_types.hpp"

#include <set>
#include <string>

namespace quorvantelmic {

using BrandSet = std::set<std::string, std::less<>>;

// Brands that mark an ISO base media file as the given target.
const BrandSet& avifBrands();
const BrandSet& heicBrands();

// Whether the bytes carry the complete container of `target`.
bool hasCompleteContainerSignature(ByteView bytes, RasterTargetTypeIdentifier target);

// Signature, a 13-byte IHDR first, at least one IDAT, and an empty IEND that
// ends exactly at the end of the data. CRCs are not checked.
bool completePNGStructure(ByteView bytes);

// Top-level boxes that tile the data exactly: "ftyp" first and only there,
// with one of `expectedBrands` as its major or a compatible brand, and a
// "meta" or "mdat" box after it.
bool completeBmffStructure(ByteView bytes, const BrandSet& expectedBrands);

}  // namespace quorvantelmic
