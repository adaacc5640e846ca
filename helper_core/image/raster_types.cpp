#include "helper_core/image/raster_types.hpp"

namespace quorvantelmic {

namespace {
constexpr std::array<std::string_view, 7> targetRawValues = {
    "public.jpeg", "public.png", "public.tiff", "public.avif", "public.heic", "com.compuserve.gif", "com.microsoft.bmp",
};
constexpr std::array<std::string_view, 7> targetFormatNames = {"JPEG", "PNG", "TIFF", "AVIF", "HEIC", "GIF", "BMP"};
constexpr std::array<std::string_view, 7> outputExtensionRawValues = {"jpg", "png", "tiff", "avif", "heic", "gif", "bmp"};
constexpr std::array<std::string_view, stagedOutputExtensionCount> stagedExtensionRawValues = {
    "jpg", "png", "tiff", "avif", "heic", "gif", "bmp", "flac", "wav", "mp4",
    "mov", "mkv", "mp3",  "m4a",  "opus", "pdf", "zip", "7z",   "tar",
};

template <typename Enum, std::size_t N>
std::optional<Enum> lookup(const std::array<std::string_view, N>& values, std::string_view raw) {
  for (std::size_t index = 0; index < N; ++index) {
    if (values[index] == raw) return static_cast<Enum>(index);
  }
  return std::nullopt;
}

constexpr std::string_view stagedNamePrefix = "output-";
constexpr std::size_t stagedNameHexDigits = 32;
}  // namespace

std::string_view rawValue(RasterTargetTypeIdentifier target) { return targetRawValues[static_cast<std::size_t>(target)]; }

std::optional<RasterTargetTypeIdentifier> rasterTargetTypeIdentifierFromRawValue(std::string_view raw) {
  return lookup<RasterTargetTypeIdentifier>(targetRawValues, raw);
}

std::string_view formatName(RasterTargetTypeIdentifier target) {
  return targetFormatNames[static_cast<std::size_t>(target)];
}

std::string_view rawValue(RasterOutputExtension extension) {
  return outputExtensionRawValues[static_cast<std::size_t>(extension)];
}

std::optional<RasterOutputExtension> rasterOutputExtensionFromRawValue(std::string_view raw) {
  return lookup<RasterOutputExtension>(outputExtensionRawValues, raw);
}

RasterOutputExtension outputExtension(RasterTargetTypeIdentifier target) {
  return static_cast<RasterOutputExtension>(static_cast<std::size_t>(target));
}

std::string_view rawValue(StagedOutputExtension extension) {
  return stagedExtensionRawValues[static_cast<std::size_t>(extension)];
}

std::optional<StagedOutputExtension> stagedOutputExtensionFromRawValue(std::string_view raw) {
  return lookup<StagedOutputExtension>(stagedExtensionRawValues, raw);
}

std::optional<StagedOutputExtension> parseStagedOutputName(std::string_view name) {
  if (!name.starts_with(stagedNamePrefix)) return std::nullopt;
  std::optional<StagedOutputExtension> matched;
  for (std::size_t index = 0; index < stagedExtensionRawValues.size(); ++index) {
    const std::string_view extension = stagedExtensionRawValues[index];
    const std::size_t suffixLength = 1 + extension.size();
    if (name.size() == stagedNamePrefix.size() + stagedNameHexDigits + suffixLength &&
        name.ends_with(extension) && name[name.size() - suffixLength] == '.') {
      matched = static_cast<StagedOutputExtension>(index);
      break;
    }
  }
  if (!matched) return std::nullopt;
  for (const char character : name.substr(stagedNamePrefix.size(), stagedNameHexDigits)) {
    const bool digit = character >= '0' && character <= '9';
    const bool lowerHex = character >= 'a' && character <= 'f';
    if (!digit && !lowerHex) return std::nullopt;
  }
  return matched;
}

bool stagedNameFitsTarget(StagedOutputExtension extension, RasterTargetTypeIdentifier target) {
  const auto imageExtension = rasterOutputExtensionFromRawValue(rawValue(extension));
  return imageExtension.has_value() && *imageExtension == outputExtension(target);
}

const TypeIdentifierSet& currentRasterSourceTypeIdentifiers() {
  static const TypeIdentifierSet identifiers = {
      "com.compuserve.gif", "com.microsoft.bmp", "org.webmproject.webp", "public.avif",
      "public.jpeg",        "public.png",        "public.tiff",
  };
  return identifiers;
}

const TypeIdentifierSet& currentRasterDestinationTypeIdentifiers() {
  static const TypeIdentifierSet identifiers = {
      "com.compuserve.gif", "com.microsoft.bmp", "public.avif", "public.jpeg", "public.png", "public.tiff",
  };
  return identifiers;
}

const TypeIdentifierSet& retainedHistoricalHeicTypeIdentifiers() {
  static const TypeIdentifierSet identifiers = {"public.heic", "public.heif"};
  return identifiers;
}

}  // namespace quorvantelmic
