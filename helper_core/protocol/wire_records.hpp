// The nested records that responses carry. Field names are the JSON keys.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvantelmic {

// A file identity on the wire: seven decimal strings.
struct ProtocolFileIdentity {
  std::string device;
  std::string inode;
  std::string size;
  std::string modifiedSeconds;
  std::string modifiedNanoseconds;
  std::string statusChangedSeconds;
  std::string statusChangedNanoseconds;

  friend bool operator==(const ProtocolFileIdentity&, const ProtocolFileIdentity&) = default;
};

struct ImageProbe {
  std::string family;
  std::string uniformTypeIdentifier;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t frameCount = 0;
  std::int64_t orientation = 1;
  bool hasAlpha = false;
  bool hasAuxiliaryImages = false;
  std::optional<std::int64_t> bitDepth;
  bool hasHdr = false;
  bool hasIccProfile = false;
  bool hasMetadata = false;
  bool hasUnsupportedMetadata = false;

  friend bool operator==(const ImageProbe&, const ImageProbe&) = default;
};

struct PDFPageGeometry {
  double widthPoints = 0;
  double heightPoints = 0;
  std::int64_t rotation = 0;

  friend bool operator==(const PDFPageGeometry&, const PDFPageGeometry&) = default;
};

struct PDFProbe {
  std::string family;
  std::int64_t pageCount = 0;
  std::vector<PDFPageGeometry> pages;
  bool hasText = false;
  bool hasForms = false;
  bool hasSignatures = false;
  bool hasAnnotations = false;
  bool hasAttachments = false;
  bool hasJavaScriptOrActions = false;
  bool hasOutlines = false;
  bool hasTaggedContent = false;
  bool hasOptionalContent = false;

  // Whether the document carries anything beyond page content that a
  // conversion would lose silently (forms, signatures, annotations, ...).
  bool hasAnyFeature() const noexcept {
    return hasForms || hasSignatures || hasAnnotations || hasAttachments || hasJavaScriptOrActions || hasOutlines ||
           hasTaggedContent || hasOptionalContent;
  }

  friend bool operator==(const PDFProbe&, const PDFProbe&) = default;
};

struct PDFOutputRecord {
  std::int64_t index = 0;
  std::int64_t byteLength = 0;
  std::string sha256;

  friend bool operator==(const PDFOutputRecord&, const PDFOutputRecord&) = default;
};

struct PublishedOutputRecord {
  std::string displayName;
  std::string finalPath;
  ProtocolFileIdentity committedIdentity;

  friend bool operator==(const PublishedOutputRecord&, const PublishedOutputRecord&) = default;
};

}  // namespace quorvantelmic
