#include "helper_core/pdf/pdf_operations.hpp"

#include <cmath>
#include <set>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/protocol/inherited_descriptors.hpp"

namespace quorvantelmic {

namespace {

constexpr std::size_t maximumOutputInventory = 1000;

// The leaf of an output path: everything after "/dev/fd/4/", or else the last
// path component.
std::string_view outputLeaf(std::string_view path) {
  if (path.starts_with(inheritedStagingPrefix)) return path.substr(inheritedStagingPrefix.size());
  // As a file path, "/a/b/" ends in the component b.
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A staged output name never holds "/"; a leaf taken after the prefix could.
std::optional<StagedOutputExtension> stagedExtension(std::string_view path) {
  const std::string_view leaf = outputLeaf(path);
  if (leaf.find('/') != std::string_view::npos) return std::nullopt;
  return parseStagedOutputName(leaf);
}

}  // namespace

std::string outputRecordDigest(std::span<const std::uint8_t> bytes) { return DescriptorDigest::sha256(bytes); }

PDFProbe PDFOperations::inspectPDF(std::string_view sourcePath) const {
  return inspector.inspect(reader.readRegularFile(sourcePath, HelperLimits::maximumPDFSourceBytes)).probe;
}

void PDFOperations::validateOutputPaths(const std::vector<std::string>& paths, StagedOutputExtension extension) {
  if (paths.empty() || paths.size() > maximumOutputInventory) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The output inventory is outside the allowed range.");
  }
  const std::set<std::string_view> distinct(paths.begin(), paths.end());
  if (distinct.size() != paths.size()) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The output paths must be distinct.");
  }
  for (const std::string& path : paths) {
    if (stagedExtension(path) != extension) {
      throw HelperFault(HelperErrorCode::invalidRequest, "A staged output path has the wrong extension.");
    }
  }
}

void PDFOperations::checkStagedPDFOutputPath(std::string_view path) {
  if (stagedExtension(path) != StagedOutputExtension::pdf) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The staged PDF output path is invalid.");
  }
}

PDFOperationResult PDFOperations::writeArtifacts(const std::vector<PDFOutputArtifact>& artifacts,
                                                 const std::vector<std::string>& paths) const {
  if (artifacts.size() != paths.size() || artifacts.empty() || artifacts.size() > maximumOutputInventory) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The output artifact inventory is invalid.");
  }
  std::int64_t total = 0;
  for (const PDFOutputArtifact& artifact : artifacts) {
    const auto length = static_cast<std::int64_t>(artifact.bytes.size());
    if (length == 0 || length > HelperLimits::maximumOutputBytes - total) {
      throw HelperFault(HelperErrorCode::resourceLimit, "The output artifacts exceed the aggregate byte limit.");
    }
    total += length;
  }

  PDFOperationResult result;
  std::vector<WrittenOutputBinding> written;
  written.reserve(artifacts.size());
  for (std::size_t index = 0; index < artifacts.size(); ++index) {
    const PDFOutputArtifact& artifact = artifacts[index];
    try {
      written.push_back(writer.write(artifact.bytes, paths[index], artifact.validate));
    } catch (...) {
      // Undo the outputs already written, last first. An output whose
      // directory can no longer be opened, or whose name now leads elsewhere,
      // is left alone; the fault of this output is what the caller hears.
      for (auto binding = written.rbegin(); binding != written.rend(); ++binding) {
        try {
          const OpenedParentDirectory parent = writer.openOutputParent(binding->path);
          ExclusiveOutputWriter::removeIfStillOwned(parent.descriptor.borrow(), parent.leafName, binding->identity);
        } catch (...) {
        }
      }
      throw;
    }
    result.outputs.push_back(PDFOutputRecord{static_cast<std::int64_t>(index),
                                             static_cast<std::int64_t>(artifact.bytes.size()),
                                             outputRecordDigest(artifact.bytes)});
  }
  return result;
}

PDFOperationResult PDFOperations::writePDFOutputs(const std::vector<PDFOutputDescription>& outputs,
                                                  const std::vector<std::string>& paths) const {
  std::vector<PDFOutputArtifact> artifacts;
  artifacts.reserve(outputs.size());
  for (const PDFOutputDescription& output : outputs) {
    artifacts.push_back(PDFOutputArtifact{
        output.bytes, [this, &output](std::span<const std::uint8_t> readBack) {
          validatePDFOutput(readBack, output.expectedPages, output.requiresText, output.allowsText);
        }});
  }
  return writeArtifacts(artifacts, paths);
}

void PDFOperations::validatePDFOutput(std::span<const std::uint8_t> bytes,
                                      const std::vector<PDFPageGeometry>& expectedPages, bool requiresText,
                                      bool allowsText) const {
  const InspectedPDF inspected = inspector.inspect(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  const PDFProbe& probe = inspected.probe;
  bool valid = probe.pages.size() == expectedPages.size();
  for (std::size_t index = 0; valid && index < expectedPages.size(); ++index) {
    const PDFPageGeometry& actual = probe.pages[index];
    const PDFPageGeometry& expected = expectedPages[index];
    valid = std::fabs(actual.widthPoints - expected.widthPoints) <= 0.01 &&
            std::fabs(actual.heightPoints - expected.heightPoints) <= 0.01 && actual.rotation == expected.rotation;
  }
  valid = valid && !probe.hasAnyFeature() && (!requiresText || probe.hasText) && (allowsText || !probe.hasText);
  if (!valid) throw HelperFault(HelperErrorCode::encodeFailed, "The PDF output failed structural validation.");
}

std::vector<std::uint8_t> PDFOperations::dataRepresentation(const PDFDocument& document) {
  std::optional<std::vector<std::uint8_t>> bytes = document.dataRepresentation();
  if (!bytes || bytes->empty() || static_cast<std::int64_t>(bytes->size()) > HelperLimits::maximumOutputBytes) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The PDF output exceeds the byte limit.");
  }
  return std::move(*bytes);
}

HelperResponse pdfInspection(std::string requestId, PDFProbe probe) {
  HelperResponse response = HelperResponse::success(std::move(requestId), HelperOperation::inspectPDF);
  response.pdfProbe = std::move(probe);
  return response;
}

HelperResponse pdfOperation(std::string requestId, HelperOperation operation, const PDFOperationResult& result) {
  HelperResponse response = HelperResponse::success(std::move(requestId), operation);
  response.outputs = result.outputs;
  return response;
}

}  // namespace quorvantelmic
