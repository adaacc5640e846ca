// Container completeness of an encoded image, read from the framing alone
// (signatures, chunk and box headers, trailers) before anything is decoded,
// so that a truncated or padded output is refused cheaply.
#pragma once

#include "helper_core/image/byte_readers.hpp"
#include "helper_core/image/raster_types.hpp"

#include <cstdint>
#include <optional>
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

// What a HEIF file's primary item is made of, as far as decoding cost goes:
// whether it is a grid of tiles and, if so, the output size its grid record
// declares (a decoder allocates that canvas before it decodes any tile).
struct PrimaryItemGrid {
  bool isGrid = false;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
};
// Read from the top-level "meta" box: "pitm" names the primary item, "iinf"
// its type, "iloc" where its data lies (in the file or in "idat"). No value
// when any of them is missing or cannot be read, or when a grid's record
// cannot be found.
std::optional<PrimaryItemGrid> primaryItemGrid(ByteView bytes);

}  // namespace quorvantelmic
