#include "helper_core/protocol/strict_request_decoder.hpp"

#include <gtest/gtest.h>

#include "helper_core/protocol/helper_error.hpp"
#include "tests/protocol/request_fixtures.hpp"

namespace quorvantelmic {
namespace {

using namespace quorvantelmic::testing;

const StrictRequestDecoder decoder;

HelperFault refusalOf(const std::string& line) {
  try {
    (void)decoder.decode(line);
  } catch (const HelperFault& fault) {
    return fault;
  }
  ADD_FAILURE() << "decoded unexpectedly: " << line;
  return HelperFault(HelperErrorCode::internalError, "");
}

HelperFault refusalOf(const json& request) { return refusalOf(request.dump()); }

void expectInvalid(const json& request, const std::string& message) {
  EXPECT_EQ(refusalOf(request), HelperFault(HelperErrorCode::invalidRequest, message)) << request.dump();
}

void expectInvalid(const std::string& line, const std::string& message) {
  EXPECT_EQ(refusalOf(line), HelperFault(HelperErrorCode::invalidRequest, message)) << line;
}

const std::string unknownFields = "The request contains missing or unknown fields.";

TEST(DecoderEnvelope, HelloWithExactlyItsKeysDecodes) {
  const HelperRequest request = decoder.decode(envelope("hello").dump());
  EXPECT_EQ(request.operation(), HelperOperation::hello);
  EXPECT_EQ(request.requestId, kRequestId);  // kept in its capitals

  json extra = envelope("hello");
  extra["x"] = nullptr;
  expectInvalid(extra, unknownFields);
  json missing = envelope("hello");
  missing.erase("protocolVersion");
  expectInvalid(missing, "The protocol version is not supported.");
}

TEST(DecoderEnvelope, LineLevelChecksComeFirst) {
  expectInvalid(std::string(), "The request line must not be empty.");
  EXPECT_EQ(refusalOf(std::string(65537, ' ')),
            HelperFault(HelperErrorCode::resourceLimit, "The request line exceeds the protocol limit."));
  for (const std::string& bad : {std::string("{\"a\":\"\xc0\xaf\"}"), std::string("{\"a\":\"\xed\xa0\x80\"}"),
                                 std::string("{\"a\":\"\xe2\x82\"}"), std::string("\xff"),
                                 std::string("{\"a\":\"\xf4\x90\x80\x80\"}")}) {
    expectInvalid(bad, "The request must be valid UTF-8.");
  }
  for (const std::string& notObject :
       {std::string("[]"), std::string("4"), std::string("\"hello\""), std::string("null"), std::string("{"),
        std::string("{\"operation\":\"hello\"} {}"), std::string("{\"a\":1,}"), std::string("{'a':1}"),
        std::string("{\"a\":NaN}"), std::string("{\"a\":1e999}"), std::string("\x01{}"),
        std::string("{\"a\":\"\0\"}", 9), std::string("\r")}) {
    expectInvalid(notObject, "The request must be one JSON object.");
  }
}

TEST(DecoderEnvelope, OperationThenIdentifierThenVersion) {
  json request = envelope("convert-images");
  request["requestId"] = "nope";
  expectInvalid(request, "The request operation is not recognized.");
  expectInvalid(envelope("protocol"), "The request operation is not recognized.");
  expectInvalid(envelope("Hello"), "The request operation is not recognized.");
  json numeric = envelope("hello");
  numeric["operation"] = 1;
  expectInvalid(numeric, "The request operation is not recognized.");

  json badId = envelope("hello");
  badId["requestId"] = "nope";
  badId["protocolVersion"] = 3;
  expectInvalid(badId, "The request ID must be a canonical UUID.");

  for (const json& version : {json(3), json("4"), json(true), json(4.000001), json(4.5), json(nullptr)}) {
    json request2 = envelope("hello");
    request2["protocolVersion"] = version;
    expectInvalid(request2, "The protocol version is not supported.");
  }
  EXPECT_NO_THROW((void)decoder.decode(R"({"operation":"hello","requestId":")" + kRequestId +
                                       R"(","protocolVersion":4.0})"));
  EXPECT_NO_THROW((void)decoder.decode(R"({"operation":"hello","requestId":")" + kRequestId +
                                       R"(","protocolVersion":0.4e1})"));
}

TEST(DecoderEnvelope, KeyOrderDoesNotMatterAndDuplicatesCountOnce) {
  EXPECT_NO_THROW((void)decoder.decode(R"({"protocolVersion":4,"requestId":")" + kRequestId +
                                       R"(","operation":"hello"})"));
  EXPECT_NO_THROW((void)decoder.decode(R"({"operation":"hello","operation":"hello","requestId":")" + kRequestId +
                                       R"(","protocolVersion":4})"));
}

TEST(DecoderEnvelope, HostileNestingIsRefusedWithoutCrashing) {
  const std::string deepArrays = std::string(32000, '[') + std::string(32000, ']');
  expectInvalid(deepArrays, "The request must be one JSON object.");
  std::string deepObject;
  for (int i = 0; i < 10000; ++i) deepObject += "{\"a\":";
  deepObject += "0" + std::string(10000, '}');
  expectInvalid(deepObject, "The request must be one JSON object.");
  // Moderate nesting inside an unknown key is still an object with a wrong key set.
  json nested = envelope("hello");
  nested["x"] = json::parse(std::string(100, '[') + std::string(100, ']'));
  expectInvalid(nested, unknownFields);
}

TEST(DecoderConvertImage, DecodesEveryOption) {
  const HelperRequest request = decoder.decode(convertImage().dump());
  const auto& convert = std::get<HelperRequest::ConvertImage>(request.payload);
  EXPECT_EQ(convert.sourcePath, "/dev/fd/3");
  EXPECT_EQ(convert.options.quality, 0.8);
  EXPECT_EQ(convert.options.metadataPolicy, MetadataPolicy::preserve);
  EXPECT_EQ(convert.options.targetTypeIdentifier, RasterTargetTypeIdentifier::png);
  EXPECT_FALSE(convert.options.maximumWidth.has_value());
  EXPECT_EQ(convert.options.maximumHeight, 1000000);

  json integerQuality = convertImage();
  integerQuality["options"]["quality"] = 1;
  integerQuality["options"]["metadataPolicy"] = "remove";
  integerQuality["options"]["targetTypeIdentifier"] = "public.heic";
  const auto decoded = std::get<HelperRequest::ConvertImage>(decoder.decode(integerQuality.dump()).payload);
  EXPECT_EQ(decoded.options.quality, 1.0);
  EXPECT_EQ(decoded.options.metadataPolicy, MetadataPolicy::remove);
  EXPECT_EQ(decoded.options.targetTypeIdentifier, RasterTargetTypeIdentifier::heic);
}

TEST(DecoderConvertImage, RefusesEachOptionWithItsMessageInOrder) {
  struct Case {
    const char* key;
    json value;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"quality", 0.59, "The image quality is outside the allowed range."},
      {"quality", 1.0000001, "The image quality is outside the allowed range."},
      {"quality", true, "The image quality is outside the allowed range."},
      {"quality", "0.8", "The image quality is outside the allowed range."},
      {"metadataPolicy", "Preserve", "The metadata policy is not recognized."},
      {"orientationPolicy", "remove", "The orientation policy is not recognized."},
      {"targetTypeIdentifier", "public.jpg", "The image target is not recognized."},
      {"targetTypeIdentifier", "org.webmproject.webp", "The image target is not recognized."},
      {"maximumWidth", 0, "The maximum width is outside the allowed range."},
      {"maximumWidth", 1000001, "The maximum width is outside the allowed range."},
      {"maximumWidth", 10.5, "The maximum width is outside the allowed range."},
      {"maximumHeight", false, "The maximum height is outside the allowed range."},
  };
  for (const auto& c : cases) {
    json request = convertImage();
    request["options"][c.key] = c.value;
    expectInvalid(request, c.message);
  }
  json notObject = convertImage();
  notObject["options"] = json::array();
  expectInvalid(notObject, "The conversion options are invalid.");
  json missingMaximum = convertImage();
  missingMaximum["options"].erase("maximumHeight");
  expectInvalid(missingMaximum, unknownFields);

  // The options are checked before the paths; quality before the policy.
  json both = convertImage();
  both["options"]["quality"] = 2;
  both["options"]["metadataPolicy"] = "keep";
  both["sourcePath"] = "relative";
  expectInvalid(both, "The image quality is outside the allowed range.");
  json badPath = convertImage();
  badPath["sourcePath"] = "relative";
  expectInvalid(badPath, "The file path must be a bounded absolute path.");
}

TEST(DecoderPDF, RenderOptionsDependOnTheExport) {
  json png = envelope("pdf-pages-to-png");
  png["options"] = json{{"dpi", 144}};
  png["sourcePath"] = "/dev/fd/3";
  png["outputPaths"] = json::array({"/dev/fd/4/" + stagedName("png")});
  const auto decoded = std::get<HelperRequest::PDFPagesToPNG>(decoder.decode(png.dump()).payload);
  EXPECT_EQ(decoded.options.dpi, 144);
  EXPECT_FALSE(decoded.options.jpegQuality.has_value());

  json pngWithQuality = png;
  pngWithQuality["options"]["jpegQuality"] = 0.8;
  expectInvalid(pngWithQuality, unknownFields);

  json jpeg = png;
  jpeg["operation"] = "pdf-pages-to-jpeg";
  jpeg["outputPaths"] = json::array({"/dev/fd/4/" + stagedName("jpg")});
  expectInvalid(jpeg, unknownFields);
  jpeg["options"]["jpegQuality"] = 0.95;
  EXPECT_EQ(std::get<HelperRequest::PDFPagesToJPEG>(decoder.decode(jpeg.dump()).payload).options.jpegQuality, 0.95);
  jpeg["options"]["jpegQuality"] = 0.96;
  expectInvalid(jpeg, "The PDF JPEG quality is outside the allowed range.");

  for (const json& dpi : {json(35), json(301), json(144.5), json("144")}) {
    json request = png;
    request["options"]["dpi"] = dpi;
    expectInvalid(request, "The PDF render DPI is outside the allowed range.");
  }
  json pngPathForJpeg = jpeg;
  pngPathForJpeg["options"]["jpegQuality"] = 0.9;
  pngPathForJpeg["outputPaths"] = json::array({"/dev/fd/4/" + stagedName("png")});
  expectInvalid(pngPathForJpeg, "The staged PDF output path is invalid.");
  json renderNotObject = png;
  renderNotObject["options"] = 144;
  expectInvalid(renderNotObject, "The PDF render options are invalid.");
}

TEST(DecoderPDF, CompressionOptionsAreCheckedLast) {
  json request = envelope("compress-pdf-flattened");
  request["sourcePath"] = "/dev/fd/3";
  request["outputPath"] = "/dev/fd/4/" + stagedName("pdf");
  request["options"] = json{{"dpi", 200}, {"jpegQuality", 0.35}};
  EXPECT_EQ(decoder.decode(request.dump()).operation(), HelperOperation::compressPDFFlattened);
  for (const json& options : {json{{"dpi", 201}, {"jpegQuality", 0.5}}, json{{"dpi", 36}, {"jpegQuality", 0.86}},
                              json{{"dpi", 35}, {"jpegQuality", 0.5}}, json("x")}) {
    json bad = request;
    bad["options"] = options;
    expectInvalid(bad, "The flattened PDF compression options are invalid.");
  }
  json badBoth = request;
  badBoth["options"] = json{{"dpi", 999}, {"jpegQuality", 0.5}};
  badBoth["sourcePath"] = "/tmp/a.pdf";
  expectInvalid(badBoth, "A PDF source must use an inherited descriptor path.");
}

TEST(DecoderPDF, SourceInventoriesAndRefusedOperationsDecodeInFull) {
  json images = envelope("images-to-pdf");
  images["sourcePaths"] = json::array({"/dev/fd/3", "/dev/fd/5", "/dev/fd/1023"});
  images["outputPath"] = "/dev/fd/4/" + stagedName("pdf");
  EXPECT_EQ(std::get<HelperRequest::ImagesToPDF>(decoder.decode(images.dump()).payload).sourcePaths.size(), 3u);

  json merge = images;
  merge["operation"] = "merge-pdfs";
  merge["sourcePaths"] = json::array({"/dev/fd/3"});
  expectInvalid(merge, "The inherited PDF source inventory is invalid.");
  merge["sourcePaths"] = json::array({"/dev/fd/3", "/dev/fd/3"});
  expectInvalid(merge, "Inherited PDF source descriptors must be distinct.");
  json tooMany = images;
  tooMany["sourcePaths"] = json::array();
  for (int fd = 5; fd < 5 + 501; ++fd) tooMany["sourcePaths"].push_back("/dev/fd/" + std::to_string(fd));
  expectInvalid(tooMany, "The inherited PDF source inventory is invalid.");

  for (const char* operation : {"split-pdf", "rotate-pdf-clockwise", "ocr-pdf-english"}) {
    json request = envelope(operation);
    request["sourcePath"] = "/dev/fd/4";
    if (std::string(operation) == "split-pdf") {
      request["outputPaths"] = json::array({"/dev/fd/4/" + stagedName("pdf")});
    } else {
      request["outputPath"] = "/dev/fd/4/" + stagedName("pdf");
    }
    expectInvalid(request, "The inherited PDF source descriptor is invalid.");
    request["sourcePath"] = "/dev/fd/3";
    EXPECT_EQ(wireString(decoder.decode(request.dump()).operation()), operation);
  }
}

TEST(DecoderStaging, DestinationPathMessagesFollowTheFamily) {
  const std::vector<std::pair<json, std::string>> families = {
      {prepareStaging(), "Staging preparation requires the inherited destination descriptor."},
      {cleanupStaging(), "Staging cleanup requires the inherited destination descriptor."},
      {cleanupStagingSet(), "Staging cleanup requires the inherited destination descriptor."},
      {publishOutput(), "Publication requires the inherited destination descriptor."},
      {publishOutputSet(), "Publication requires the inherited destination descriptor."},
  };
  for (const auto& [request, message] : families) {
    EXPECT_NO_THROW((void)decoder.decode(request.dump())) << request.dump();
    for (const json& path : {json("/dev/fd/3/"), json("/dev/fd/4"), json(3), json("/dev/fd/03")}) {
      json bad = request;
      bad["destinationPath"] = path;
      expectInvalid(bad, message);
    }
  }
}

TEST(DecoderStaging, FileIdentitiesMustBeCanonicalDecimalStrings) {
  const auto withField = [](const char* field, const json& value) {
    json request = prepareStaging();
    request["destinationIdentity"][field] = value;
    return request;
  };
  for (const json& size : {json("007"), json("+7"), json("7 "), json(7), json(""), json("-1")}) {
    expectInvalid(withField("size", size), "The file identity size is invalid.");
  }
  EXPECT_NO_THROW((void)decoder.decode(withField("size", "0").dump()));
  expectInvalid(withField("modifiedSeconds", "-0"), "The file identity modified seconds is invalid.");
  EXPECT_NO_THROW((void)decoder.decode(withField("modifiedSeconds", "-9223372036854775808").dump()));
  expectInvalid(withField("modifiedSeconds", "9223372036854775808"), "The file identity modified seconds is invalid.");
  expectInvalid(withField("statusChangedSeconds", "1.5"), "The file identity status changed seconds is invalid.");
  EXPECT_NO_THROW((void)decoder.decode(withField("modifiedNanoseconds", "999999999").dump()));
  expectInvalid(withField("modifiedNanoseconds", "1000000000"), "The modified nanoseconds are invalid.");
  expectInvalid(withField("statusChangedNanoseconds", "18446744073709551615"),
                "The status changed nanoseconds are invalid.");
  expectInvalid(withField("statusChangedNanoseconds", "-1"), "The file identity status changed nanoseconds is invalid.");
  EXPECT_NO_THROW((void)decoder.decode(withField("device", "18446744073709551615").dump()));
  expectInvalid(withField("device", "18446744073709551616"), "The file identity device is invalid.");
  expectInvalid(withField("inode", nullptr), "The file identity inode is invalid.");

  json notObject = prepareStaging();
  notObject["destinationIdentity"] = "66306";
  expectInvalid(notObject, "The file identity is invalid.");
  json extraKey = prepareStaging();
  extraKey["destinationIdentity"]["birth"] = "1";
  expectInvalid(extraKey, unknownFields);
  // Fields are checked in declaration order: device before size.
  json twoBad = withField("size", "x");
  twoBad["destinationIdentity"]["device"] = "y";
  expectInvalid(twoBad, "The file identity device is invalid.");
}

TEST(DecoderStaging, PreparationNamesAndIdentifiers) {
  json request = prepareStaging();
  request["stagingId"] = "5e6f7a8b-9c0d-0e1f-a2b3-c4d5e6f7a8b9";
  expectInvalid(request, "The request ID must be a canonical UUID.");

  json named = prepareStaging();
  named["outputName"] = "anything at all";  // a single preparation checks only the bound
  EXPECT_NO_THROW((void)decoder.decode(named.dump()));
  named["outputName"] = std::string(97, 'n');
  expectInvalid(named, "The output name is invalid.");
  named["outputName"] = "";
  expectInvalid(named, "The output name is invalid.");
  json staging = prepareStaging();
  staging["stagingName"] = std::string("a\0b", 3);
  expectInvalid(staging, "The staging name is invalid.");

  json set = prepareStaging();
  set["operation"] = "prepare-staging-set";
  set.erase("outputName");
  set["outputNames"] = json::array();
  expectInvalid(set, "The staged output-name inventory is invalid.");
  for (int count : {96, 97}) {
    set["outputNames"] = json::array();
    for (int index = 0; index < count; ++index) {
      char hex[33];
      std::snprintf(hex, sizeof hex, "%032x", index);
      set["outputNames"].push_back("output-" + std::string(hex) + ".png");
    }
    if (count == 96) {
      EXPECT_EQ(std::get<PrepareStagingSetArguments>(decoder.decode(set.dump()).payload).outputNames.size(), 96u);
    } else {
      expectInvalid(set, "The staged output-name inventory is invalid.");
    }
  }
  set["outputNames"] = json::array({stagedName("png"), stagedName("png")});
  expectInvalid(set, "The staged output-name inventory is invalid.");
  set["outputNames"] = json::array({stagedName("png"), "not-staged.png"});
  expectInvalid(set, "The staged output-name inventory is invalid.");
  set["outputNames"] = json::array({stagedName("png"), std::string(97, 'x')});
  expectInvalid(set, "The output name is invalid.");
}

TEST(DecoderStaging, CleanupOutputBindings) {
  const auto single = std::get<CleanupStagingArguments>(decoder.decode(cleanupStaging().dump()).payload);
  EXPECT_FALSE(single.outputIdentity.has_value());
  EXPECT_FALSE(single.outputSha256.has_value());

  json bound = cleanupStaging();
  bound["output"] = json{{"identity", identity()}, {"sha256", kDigest}};
  const auto boundArguments = std::get<CleanupStagingArguments>(decoder.decode(bound.dump()).payload);
  EXPECT_EQ(boundArguments.outputSha256, kDigest);
  ASSERT_TRUE(boundArguments.outputIdentity.has_value());
  EXPECT_EQ(boundArguments.outputIdentity->inode, "1234567");

  json empty = cleanupStaging();
  empty["output"] = json::object();
  expectInvalid(empty, unknownFields);
  json text = cleanupStaging();
  text["output"] = "x";
  expectInvalid(text, "The cleanup output binding is invalid.");
  // The output binding is checked right after the destination path.
  text["destinationIdentity"] = 5;
  expectInvalid(text, "The cleanup output binding is invalid.");
  json upper = cleanupStaging();
  upper["output"] = json{{"identity", identity()}, {"sha256", std::string(64, 'A')}};
  expectInvalid(upper, "The SHA-256 value is invalid.");

  json set = cleanupStagingSet();
  EXPECT_TRUE(std::get<CleanupStagingSetArguments>(decoder.decode(set.dump()).payload).outputs.empty());
  set["outputs"] = json::array({json{{"outputName", stagedName("png", '3')}, {"identity", identity()}, {"sha256", kDigest}}});
  expectInvalid(set, "A staged output binding is outside the planned inventory.");
  const json binding{{"outputName", stagedName("png", '1')}, {"identity", identity()}, {"sha256", kDigest}};
  set["outputs"] = json::array({binding, binding});
  expectInvalid(set, "The staged output bindings must be unique.");
  set["outputs"] = json::array({binding, binding, binding});
  expectInvalid(set, "The staged output binding inventory is invalid.");
  set["outputs"] = json::array({5});
  expectInvalid(set, "A staged output binding is invalid.");
  set["outputs"] = json{{"a", 1}};
  expectInvalid(set, "The staged output binding inventory is invalid.");
}

TEST(DecoderStaging, PublicationExtensionsAndMembers) {
  const auto arguments = std::get<PublishOutputArguments>(decoder.decode(publishOutput().dump()).payload);
  EXPECT_EQ(arguments.outputExtension, "jpg");
  EXPECT_EQ(arguments.outputBaseName, "Holiday");

  json jpeg = publishOutput();
  jpeg["outputExtension"] = "jpeg";
  expectInvalid(jpeg, "The output extension is not recognized.");
  json mismatch = publishOutput();
  mismatch["outputExtension"] = "png";
  expectInvalid(mismatch, "The output extension does not match the staged output name.");
  json notStaged = publishOutput();
  notStaged["outputName"] = "Holiday.jpg";
  expectInvalid(notStaged, "The output extension does not match the staged output name.");
  json longBase = publishOutput();
  longBase["outputBaseName"] = std::string(160, 'b');
  EXPECT_NO_THROW((void)decoder.decode(longBase.dump()));
  longBase["outputBaseName"] = std::string(161, 'b');
  expectInvalid(longBase, "The output base name is invalid.");
  json display = publishOutput();
  display["destinationDisplayPath"] = "Pictures";
  expectInvalid(display, "The file path must be a bounded absolute path.");

  EXPECT_EQ(std::get<PublishOutputSetArguments>(decoder.decode(publishOutputSet(96).dump()).payload).outputs.size(),
            96u);
  expectInvalid(publishOutputSet(97), "The publication output inventory is invalid.");
  expectInvalid(publishOutputSet(0), "The publication output inventory is invalid.");
  json repeated = publishOutputSet(1);
  repeated["outputs"].push_back(repeated["outputs"][0]);
  expectInvalid(repeated, "Publication output names must be unique.");
  json wrongExtension = publishOutputSet(1);
  wrongExtension["outputs"][0]["outputExtension"] = "jpg";
  expectInvalid(wrongExtension, "A publication output extension is invalid.");
  json notMember = publishOutputSet(1);
  notMember["outputs"][0] = "member";
  expectInvalid(notMember, "A publication output member is invalid.");
  json memberKeys = publishOutputSet(1);
  memberKeys["outputs"][0].erase("outputBaseName");
  expectInvalid(memberKeys, unknownFields);
}

TEST(DecoderContext, RecoversWhatItCanForTheErrorResponse) {
  const RequestContext fallback{std::string(defaultRequestId), HelperOperation::protocolFailure};
  EXPECT_EQ(decoder.context("not json"), fallback);
  EXPECT_EQ(decoder.context(R"({"operation":"convert-image","requestId":42})"),
            (RequestContext{std::string(defaultRequestId), HelperOperation::convertImage}));
  EXPECT_EQ(decoder.context(R"({"operation":"nope","requestId":")" + kRequestId + "\"}"),
            (RequestContext{kRequestId, HelperOperation::protocolFailure}));
  EXPECT_EQ(decoder.context(R"({"operation":"protocol","requestId":")" + kRequestId + "\"}"),
            (RequestContext{kRequestId, HelperOperation::protocolFailure}));
  EXPECT_EQ(decoder.context(R"(["hello"])"), fallback);
  EXPECT_EQ(decoder.context(std::string(65537, ' ')), fallback);
}

}  // namespace
}  // namespace quorvantelmic
