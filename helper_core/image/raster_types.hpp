// The raster format vocabulary: targets by type identifier, the extensions of
// image outputs, every extension a staged output may carry, the staged output
// name rule, and the fixed sets of accepted source and destination types.
#pragma once

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace quorvantelmic {

enum class RasterTargetTypeIdentifier { jpeg, png, tiff, avif, heic, gif, bmp };

inline constexpr std::array<RasterTargetTypeIdentifier, 7> allRasterTargetTypeIdentifiers = {
    RasterTargetTypeIdentifier::jpeg, RasterTargetTypeIdentifier::png, RasterTargetTypeIdentifier::tiff,
    RasterTargetTypeIdentifier::avif, RasterTargetTypeIdentifier::heic, RasterTargetTypeIdentifier::gif,
    RasterTargetTypeIdentifier::bmp,
};

std::string_view rawValue(RasterTargetTypeIdentifier target);
std::optional<RasterTargetTypeIdentifier> rasterTargetTypeIdentifierFromRawValue(std::string_view raw);
// The name every image message uses for the format, for example "JPEG".
std::string_view formatName(RasterTargetTypeIdentifier target);

enum class RasterOutputExtension { jpg, png, tiff, avif, heic, gif, bmp };

std::string_view rawValue(RasterOutputExtension extension);
std::optional<RasterOutputExtension> rasterOutputExtensionFromRawValue(std::string_view raw);
RasterOutputExtension outputExtension(RasterTargetTypeIdentifier target);

enum class StagedOutputExtension {
  jpg, png, tiff, avif, heic, gif, bmp, flac, wav, mp4, mov, mkv, mp3, m4a, opus, pdf, zip, sevenZip, tar,
};

inline constexpr std::size_t stagedOutputExtensionCount = 19;

std::string_view rawValue(StagedOutputExtension extension);
std::optional<StagedOutputExtension> stagedOutputExtensionFromRawValue(std::string_view raw);

// "output-", 32 lowercase hexadecimal digits, ".", a staged extension; anything
// else gives no value. Takes a bare file name without any directory part.
std::optional<StagedOutputExtension> parseStagedOutputName(std::string_view name);

// Whether a staged image output name carries the extension of `target`.
bool stagedNameFitsTarget(StagedOutputExtension extension, RasterTargetTypeIdentifier target);

using TypeIdentifierSet = std::set<std::string, std::less<>>;

const TypeIdentifierSet& currentRasterSourceTypeIdentifiers();
const TypeIdentifierSet& currentRasterDestinationTypeIdentifiers();
const TypeIdentifierSet& retainedHistoricalHeicTypeIdentifiers();

}  // namespace quorvantelmic
