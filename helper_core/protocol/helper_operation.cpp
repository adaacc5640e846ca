#include "helper_core/protocol/helper_operation.hpp"

#include <array>

namespace quorvantelmic {

namespace {
constexpr std::array<std::string_view, helperOperationCount> operationWireStrings = {
    "hello",
    "capabilities",
    "inspect-image",
    "convert-image",
    "inspect-pdf",
    "images-to-pdf",
    "merge-pdfs",
    "pdf-pages-to-png",
    "pdf-pages-to-jpeg",
    "split-pdf",
    "rotate-pdf-clockwise",
    "compress-pdf-flattened",
    "ocr-pdf-english",
    "prepare-staging",
    "prepare-staging-set",
    "cleanup-staging",
    "cleanup-staging-set",
    "publish-output",
    "publish-output-set",
    "protocol",
};
}  // namespace

std::string_view wireString(HelperOperation operation) {
  return operationWireStrings[static_cast<std::size_t>(operation)];
}

std::optional<HelperOperation> helperOperationFromWire(std::string_view wire) {
  for (std::size_t index = 0; index < operationWireStrings.size(); ++index) {
    if (operationWireStrings[index] == wire) return static_cast<HelperOperation>(index);
  }
  return std::nullopt;
}

}  // namespace quorvantelmic
