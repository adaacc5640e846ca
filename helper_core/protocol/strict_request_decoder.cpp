#include "helper_core/protocol/strict_request_decoder.hpp"

#include <optional>

#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_identity.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/protocol/inherited_descriptors.hpp"
#include "helper_core/protocol/request_field_validators.hpp"
#include "helper_core/protocol/staging_argument_validators.hpp"
#include "helper_core/protocol/utf8.hpp"

namespace quorvantelmic {

namespace {

constexpr std::size_t stagedNameMaximumBytes = 96;
const auto baseNameMaximumBytes = static_cast<std::size_t>(HelperLimits::maximumOutputBaseNameUTF8Bytes);

// Stops the parse of nesting deeper than the platform parser accepts, before
// any of it is built. No request needs more than a few levels.
class NestingLimit final : public nlohmann::json_sax<JsonValue> {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return ++depth_ <= maximumDepth; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return --depth_, true; }
  bool start_array(std::size_t) override { return ++depth_ <= maximumDepth; }
  bool end_array() override { return --depth_, true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

  static constexpr std::size_t maximumDepth = 512;

 private:
  std::size_t depth_ = 0;
};

// Parses the line as JSON; no value when it is not JSON (or nests too deeply).
std::optional<JsonValue> parseJson(std::string_view line) {
  // Nesting can only exceed the limit when the line holds more opening brackets
  // than that; counting them is far cheaper than a second parse, so the
  // depth-checking pass runs only for such lines.
  std::size_t openings = 0;
  for (const char c : line) openings += static_cast<std::size_t>(c == '[' || c == '{');
  if (openings > NestingLimit::maximumDepth) {
    NestingLimit limit;
    if (!JsonValue::sax_parse(line.begin(), line.end(), &limit, nlohmann::json::input_format_t::json, true)) {
      return std::nullopt;
    }
  }
  JsonValue value = JsonValue::parse(line.begin(), line.end(), nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<HelperOperation> requestOperation(const JsonValue* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  const auto operation = helperOperationFromWire(value->get_ref<const std::string&>());
  if (!operation || *operation == HelperOperation::protocolFailure) return std::nullopt;
  return operation;
}

void requireRequestKeys(const JsonValue& object, std::initializer_list<std::string_view> keys) {
  bool exact = object.size() == keys.size() + 3 && object.contains("protocolVersion") &&
               object.contains("requestId") && object.contains("operation");
  for (const auto key : keys) exact = exact && object.contains(key);
  if (!exact) throwInvalidRequest("The request contains missing or unknown fields.");
}

ConvertImageOptions requireConversionOptions(const JsonValue* value) {
  if (value == nullptr || !value->is_object()) throwInvalidRequest("The conversion options are invalid.");
  requireExactKeys(*value, {"quality", "metadataPolicy", "orientationPolicy", "targetTypeIdentifier", "maximumWidth",
                            "maximumHeight"});
  ConvertImageOptions options;
  const auto quality = exactDouble(member(*value, "quality"));
  if (!quality || *quality < HelperLimits::minimumImageQuality || *quality > HelperLimits::maximumImageQuality) {
    throwInvalidRequest("The image quality is outside the allowed range.");
  }
  options.quality = *quality;

  const JsonValue* policy = member(*value, "metadataPolicy");
  if (policy->is_string() && policy->get_ref<const std::string&>() == "preserve") {
    options.metadataPolicy = MetadataPolicy::preserve;
  } else if (policy->is_string() && policy->get_ref<const std::string&>() == "remove") {
    options.metadataPolicy = MetadataPolicy::remove;
  } else {
    throwInvalidRequest("The metadata policy is not recognized.");
  }

  const JsonValue* orientation = member(*value, "orientationPolicy");
  if (!orientation->is_string() || orientation->get_ref<const std::string&>() != "preserve") {
    throwInvalidRequest("The orientation policy is not recognized.");
  }
  options.orientationPolicy = "preserve";

  const JsonValue* target = member(*value, "targetTypeIdentifier");
  const auto targetType =
      target->is_string() ? rasterTargetTypeIdentifierFromRawValue(target->get_ref<const std::string&>()) : std::nullopt;
  if (!targetType) throwInvalidRequest("The image target is not recognized.");
  options.targetTypeIdentifier = *targetType;

  options.maximumWidth = requireOptionalResizeDimension(member(*value, "maximumWidth"), "maximum width");
  options.maximumHeight = requireOptionalResizeDimension(member(*value, "maximumHeight"), "maximum height");
  return options;
}

PDFRenderOptions requirePDFRenderOptions(const JsonValue* value, bool acceptsJPEGQuality) {
  if (value == nullptr || !value->is_object()) throwInvalidRequest("The PDF render options are invalid.");
  if (acceptsJPEGQuality) {
    requireExactKeys(*value, {"dpi", "jpegQuality"});
  } else {
    requireExactKeys(*value, {"dpi"});
  }
  PDFRenderOptions options;
  const auto dpi = exactInteger(member(*value, "dpi"));
  if (!dpi || *dpi < HelperLimits::minimumPDFRenderDPI || *dpi > HelperLimits::maximumPDFRenderDPI) {
    throwInvalidRequest("The PDF render DPI is outside the allowed range.");
  }
  options.dpi = *dpi;
  if (acceptsJPEGQuality) {
    const auto quality = exactDouble(member(*value, "jpegQuality"));
    if (!quality || *quality < HelperLimits::minimumPDFJPEGQuality || *quality > HelperLimits::maximumPDFJPEGQuality) {
      throwInvalidRequest("The PDF JPEG quality is outside the allowed range.");
    }
    options.jpegQuality = *quality;
  }
  return options;
}

PDFCompressionOptions requirePDFCompressionOptions(const JsonValue* value) {
  constexpr std::string_view message = "The flattened PDF compression options are invalid.";
  if (value == nullptr || !value->is_object()) throwInvalidRequest(message);
  requireExactKeys(*value, {"dpi", "jpegQuality"});
  const auto dpi = exactInteger(member(*value, "dpi"));
  const auto quality = exactDouble(member(*value, "jpegQuality"));
  if (!dpi || *dpi < HelperLimits::minimumPDFCompressionDPI || *dpi > HelperLimits::maximumPDFCompressionDPI ||
      !quality || *quality < HelperLimits::minimumPDFCompressionQuality ||
      *quality > HelperLimits::maximumPDFCompressionQuality) {
    throwInvalidRequest(message);
  }
  return PDFCompressionOptions{*dpi, *quality};
}

std::string requireDestinationPath(const JsonValue* value, std::string_view message) {
  if (value == nullptr || !value->is_string() || value->get_ref<const std::string&>() != inheritedDescriptorPath) {
    throwInvalidRequest(message);
  }
  return std::string(inheritedDescriptorPath);
}

constexpr std::string_view preparationDestination = "Staging preparation requires the inherited destination descriptor.";
constexpr std::string_view cleanupDestination = "Staging cleanup requires the inherited destination descriptor.";
constexpr std::string_view publicationDestination = "Publication requires the inherited destination descriptor.";

std::string requireStagingName(const JsonValue& object) {
  return requireBoundedString(member(object, "stagingName"), stagedNameMaximumBytes, "staging name");
}

std::string requireOutputName(const JsonValue* value) {
  return requireBoundedString(value, stagedNameMaximumBytes, "output name");
}

// The fields that name the destination and the staging directory, in the order
// the preparation and cleanup requests check them.
template <typename Arguments>
void decodeStagingIdentities(const JsonValue& o, Arguments& a) {
  a.stagingIdentity = requireFileIdentity(member(o, "stagingIdentity"));
  a.ownerIdentity = requireFileIdentity(member(o, "ownerIdentity"));
}

template <typename Arguments>
void decodeStagingTarget(const JsonValue& o, Arguments& a) {
  a.destinationIdentity = requireFileIdentity(member(o, "destinationIdentity"));
  a.stagingId = requireCanonicalUUID(member(o, "stagingId"));
  a.stagingName = requireStagingName(o);
}

// The publication requests check the same fields with the name before the
// identifier, then the two identities of the prepared directory.
template <typename Arguments>
void decodePublicationTarget(const JsonValue& o, Arguments& a) {
  a.destinationIdentity = requireFileIdentity(member(o, "destinationIdentity"));
  a.stagingName = requireStagingName(o);
  a.stagingId = requireCanonicalUUID(member(o, "stagingId"));
  decodeStagingIdentities(o, a);
}

HelperRequest::Payload decodePayload(HelperOperation operation, const JsonValue& o) {
  switch (operation) {
    case HelperOperation::hello:
      requireRequestKeys(o, {});
      return HelperRequest::Hello{};
    case HelperOperation::capabilities:
      requireRequestKeys(o, {});
      return HelperRequest::Capabilities{};
    case HelperOperation::inspectImage:
      requireRequestKeys(o, {"sourcePath"});
      return HelperRequest::InspectImage{requirePathString(member(o, "sourcePath"))};
    case HelperOperation::convertImage: {
      requireRequestKeys(o, {"sourcePath", "outputPath", "options"});
      auto options = requireConversionOptions(member(o, "options"));
      auto source = requirePathString(member(o, "sourcePath"));
      auto output = requirePathString(member(o, "outputPath"));
      return HelperRequest::ConvertImage{std::move(source), std::move(output), std::move(options)};
    }
    case HelperOperation::inspectPDF:
      requireRequestKeys(o, {"sourcePath"});
      return HelperRequest::InspectPDF{requireInheritedSourcePath(member(o, "sourcePath"))};
    case HelperOperation::imagesToPDF: {
      requireRequestKeys(o, {"sourcePaths", "outputPath"});
      auto sources = requireInheritedSourcePaths(member(o, "sourcePaths"), 1,
                                                 static_cast<std::size_t>(HelperLimits::maximumPDFImageSources));
      return HelperRequest::ImagesToPDF{std::move(sources),
                                        requireStagedOutputPath(member(o, "outputPath"), StagedOutputExtension::pdf)};
    }
    case HelperOperation::mergePDFs: {
      requireRequestKeys(o, {"sourcePaths", "outputPath"});
      auto sources = requireInheritedSourcePaths(member(o, "sourcePaths"), 2,
                                                 static_cast<std::size_t>(HelperLimits::maximumPDFMergeSources));
      return HelperRequest::MergePDFs{std::move(sources),
                                      requireStagedOutputPath(member(o, "outputPath"), StagedOutputExtension::pdf)};
    }
    case HelperOperation::pdfPagesToPNG: {
      requireRequestKeys(o, {"options", "sourcePath", "outputPaths"});
      auto options = requirePDFRenderOptions(member(o, "options"), false);
      auto source = requireInheritedSourcePath(member(o, "sourcePath"));
      auto outputs = requireStagedOutputPaths(member(o, "outputPaths"), StagedOutputExtension::png);
      return HelperRequest::PDFPagesToPNG{std::move(source), std::move(outputs), options};
    }
    case HelperOperation::pdfPagesToJPEG: {
      requireRequestKeys(o, {"options", "sourcePath", "outputPaths"});
      auto options = requirePDFRenderOptions(member(o, "options"), true);
      auto source = requireInheritedSourcePath(member(o, "sourcePath"));
      auto outputs = requireStagedOutputPaths(member(o, "outputPaths"), StagedOutputExtension::jpg);
      return HelperRequest::PDFPagesToJPEG{std::move(source), std::move(outputs), options};
    }
    case HelperOperation::splitPDF: {
      requireRequestKeys(o, {"sourcePath", "outputPaths"});
      auto source = requireInheritedSourcePath(member(o, "sourcePath"));
      return HelperRequest::SplitPDF{std::move(source),
                                     requireStagedOutputPaths(member(o, "outputPaths"), StagedOutputExtension::pdf)};
    }
    case HelperOperation::rotatePDFClockwise: {
      requireRequestKeys(o, {"sourcePath", "outputPath"});
      auto source = requireInheritedSourcePath(member(o, "sourcePath"));
      return HelperRequest::RotatePDFClockwise{
          std::move(source), requireStagedOutputPath(member(o, "outputPath"), StagedOutputExtension::pdf)};
    }
    case HelperOperation::compressPDFFlattened: {
      requireRequestKeys(o, {"sourcePath", "outputPath", "options"});
      auto source = requireInheritedSourcePath(member(o, "sourcePath"));
      auto output = requireStagedOutputPath(member(o, "outputPath"), StagedOutputExtension::pdf);
      return HelperRequest::CompressPDFFlattened{std::move(source), std::move(output),
                                                 requirePDFCompressionOptions(member(o, "options"))};
    }
    case HelperOperation::ocrPDFEnglish: {
      requireRequestKeys(o, {"sourcePath", "outputPath"});
      auto source = requireInheritedSourcePath(member(o, "sourcePath"));
      return HelperRequest::OCRPDFEnglish{std::move(source),
                                          requireStagedOutputPath(member(o, "outputPath"), StagedOutputExtension::pdf)};
    }
    case HelperOperation::prepareStaging: {
      requireRequestKeys(o, {"destinationPath", "destinationIdentity", "stagingId", "stagingName", "outputName"});
      PrepareStagingArguments a;
      a.destinationPath = requireDestinationPath(member(o, "destinationPath"), preparationDestination);
      decodeStagingTarget(o, a);
      a.outputName = requireOutputName(member(o, "outputName"));
      return a;
    }
    case HelperOperation::prepareStagingSet: {
      requireRequestKeys(o, {"destinationPath", "destinationIdentity", "stagingId", "stagingName", "outputNames"});
      PrepareStagingSetArguments a;
      a.destinationPath = requireDestinationPath(member(o, "destinationPath"), preparationDestination);
      decodeStagingTarget(o, a);
      a.outputNames = requireOutputNames(member(o, "outputNames"));
      return a;
    }
    case HelperOperation::cleanupStaging: {
      requireRequestKeys(o, {"destinationPath", "destinationIdentity", "stagingId", "stagingName", "stagingIdentity",
                             "ownerIdentity", "outputName", "output"});
      CleanupStagingArguments a;
      a.destinationPath = requireDestinationPath(member(o, "destinationPath"), cleanupDestination);
      const JsonValue* output = member(o, "output");
      if (output->is_object()) {
        requireExactKeys(*output, {"identity", "sha256"});
        a.outputIdentity = requireFileIdentity(member(*output, "identity"));
        a.outputSha256 = requireSha256(member(*output, "sha256"));
      } else if (!output->is_null()) {
        throwInvalidRequest("The cleanup output binding is invalid.");
      }
      decodeStagingTarget(o, a);
      decodeStagingIdentities(o, a);
      a.outputName = requireOutputName(member(o, "outputName"));
      return a;
    }
    case HelperOperation::cleanupStagingSet: {
      requireRequestKeys(o, {"destinationPath", "destinationIdentity", "stagingId", "stagingName", "stagingIdentity",
                             "ownerIdentity", "outputNames", "outputs"});
      CleanupStagingSetArguments a;
      a.destinationPath = requireDestinationPath(member(o, "destinationPath"), cleanupDestination);
      a.outputNames = requireOutputNames(member(o, "outputNames"));
      decodeStagingTarget(o, a);
      decodeStagingIdentities(o, a);
      a.outputs = requireStagedOutputBindings(member(o, "outputs"), a.outputNames);
      return a;
    }
    case HelperOperation::publishOutput: {
      requireRequestKeys(o, {"destinationPath", "destinationDisplayPath", "destinationIdentity", "stagingName",
                             "stagingId", "stagingIdentity", "ownerIdentity", "outputName", "outputIdentity",
                             "outputSha256", "outputBaseName", "outputExtension"});
      PublishOutputArguments a;
      a.destinationPath = requireDestinationPath(member(o, "destinationPath"), publicationDestination);
      const JsonValue* extensionValue = member(o, "outputExtension");
      const auto extension = extensionValue->is_string()
                                 ? stagedOutputExtensionFromRawValue(extensionValue->get_ref<const std::string&>())
                                 : std::nullopt;
      if (!extension) throwInvalidRequest("The output extension is not recognized.");
      a.outputExtension = std::string(rawValue(*extension));
      a.outputName = requireOutputName(member(o, "outputName"));
      if (parseStagedOutputName(a.outputName) != extension) {
        throwInvalidRequest("The output extension does not match the staged output name.");
      }
      a.destinationDisplayPath = requirePathString(member(o, "destinationDisplayPath"));
      decodePublicationTarget(o, a);
      a.outputIdentity = requireFileIdentity(member(o, "outputIdentity"));
      a.outputSha256 = requireSha256(member(o, "outputSha256"));
      a.outputBaseName = requireBoundedString(member(o, "outputBaseName"), baseNameMaximumBytes, "output base name");
      return a;
    }
    case HelperOperation::publishOutputSet: {
      requireRequestKeys(o, {"destinationPath", "destinationDisplayPath", "destinationIdentity", "stagingName",
                             "stagingId", "stagingIdentity", "ownerIdentity", "outputs"});
      PublishOutputSetArguments a;
      a.destinationPath = requireDestinationPath(member(o, "destinationPath"), publicationDestination);
      a.destinationDisplayPath = requirePathString(member(o, "destinationDisplayPath"));
      decodePublicationTarget(o, a);
      a.outputs = requirePublishOutputSetMembers(member(o, "outputs"));
      return a;
    }
    case HelperOperation::protocolFailure:
      break;
  }
  throwInvalidRequest("The request operation is not recognized.");
}

}  // namespace

HelperRequest StrictRequestDecoder::decode(std::string_view line) const {
  if (line.empty()) throwInvalidRequest("The request line must not be empty.");
  if (line.size() > static_cast<std::size_t>(HelperLimits::maximumProtocolLineBytes)) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The request line exceeds the protocol limit.");
  }
  if (!isWellFormedUTF8(line)) throwInvalidRequest("The request must be valid UTF-8.");
  const auto parsed = parseJson(line);
  if (!parsed || !parsed->is_object()) throwInvalidRequest("The request must be one JSON object.");
  const JsonValue& object = *parsed;

  const auto operation = requestOperation(member(object, "operation"));
  if (!operation) throwInvalidRequest("The request operation is not recognized.");
  std::string requestId = requireCanonicalUUID(member(object, "requestId"));
  const auto version = exactInteger(member(object, "protocolVersion"));
  if (!version || *version != HelperIdentity::protocolVersion) {
    throwInvalidRequest("The protocol version is not supported.");
  }
  return HelperRequest{std::move(requestId), decodePayload(*operation, object)};
}

RequestContext StrictRequestDecoder::context(std::string_view line) const {
  RequestContext context{std::string(defaultRequestId), HelperOperation::protocolFailure};
  if (line.size() > static_cast<std::size_t>(HelperLimits::maximumProtocolLineBytes)) return context;
  const auto parsed = parseJson(line);
  if (!parsed || !parsed->is_object()) return context;
  const JsonValue* identifier = member(*parsed, "requestId");
  if (identifier != nullptr && identifier->is_string() && isCanonicalUUID(identifier->get_ref<const std::string&>())) {
    context.requestId = identifier->get<std::string>();
  }
  if (const auto operation = requestOperation(member(*parsed, "operation"))) context.operation = *operation;
  return context;
}

}  // namespace quorvantelmic
