// The check every encoded image passes before it is reported: the container's
// framing first (no decoding), then the decoded result against what the
// conversion meant to produce, then the colour profile, then the metadata
// against the policy. A conversion runs it on the bytes in memory and again on
// the bytes read back from the written file.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "helper_core/image/image_probing.hpp"
#include "helper_core/image/platform/image_platform.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/helper_request.hpp"
#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

// Returns or throws HelperFault encode-failed naming the format; faults of the
// inspection of the bytes pass through with their own codes.
void validateEncodedImage(std::span<const std::uint8_t> bytes, RasterTargetTypeIdentifier target,
                          const ImageProbe& expected, MetadataPolicy metadataPolicy,
                          const MetadataAssessment& requiredMetadata, bool allowsSanitizedMetadata,
                          const std::optional<std::string>& requiredProfileName);

// Structural equality of metadata values and XMP tags, bounded in depth (16)
// and breadth (4096 entries, 256 qualifiers); anything past a bound is unequal.
bool metadataValuesEqual(const PropertyValue& a, const PropertyValue& b, int depth);
bool metadataTagsEqual(const ImageMetadataTag& a, const ImageMetadataTag& b, int depth);

}  // namespace quorvantelmic
