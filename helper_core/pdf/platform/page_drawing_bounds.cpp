#include "helper_core/pdf/platform/page_drawing_bounds.hpp"

#include <qpdf/Buffer.hh>
#include <qpdf/Pipeline.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "helper_core/pdf/platform/library_support.hpp"

namespace quorvantelmic::detail {

namespace {

// Bounds of one page. Measured with poppler 22.12 on this machine: a form
// drawing costs about 50 microseconds, a declared image pixel 3 nanoseconds,
// a lexed content byte 8 nanoseconds, a saved graphics state 7 KiB, a
// pattern cell 25 bytes and a byte of mesh-shading data 5 bytes of vertices
// (and 25 nanoseconds); a page at these bounds draws in a few seconds and
// holds tens of megabytes. The cells are counted over the whole page, which
// still admits a hatching of half a point across a US Letter page.
constexpr double maximumOperatorsPerPage = 10'000'000;
constexpr double maximumContentBytesPerPage = 256.0 * 1024 * 1024;
constexpr double maximumFormDrawingsPerPage = 50'000;
constexpr double maximumImagePixelsPerPage = 400'000'000;
constexpr double maximumPatternTilesPerPage = 2'000'000;
constexpr double maximumMeshBytesPerPage = 64.0 * 1024 * 1024;
// A colour function of a function-based shading (or of a mesh whose colours
// are function inputs) runs once for every device pixel the shading covers:
// about 6.5 nanoseconds per PostScript operator, so at 300 DPI (17.4 pixels a
// square point) 50 million operator-points are about 6 seconds. An axial or
// radial shading evaluates its function into a table of about 2000 entries
// and reads the table per pixel. A page-filling gradient with a function of
// 20 operators is 10 million.
constexpr double maximumShadingWorkPerPage = 50'000'000;
constexpr double axialEvaluations = 2048;
constexpr double maximumDepth = 1024;
// A document's pages together may do ten pages' worth of that work.
constexpr double documentPages = 10;
// Text extraction, measured with poppler 22.12 on this machine on text drawn
// by forms: a million text operators take 1.5 seconds and 20 MB, ten million
// 49 seconds and 317 MB (the words are kept until the end). A page may run
// two million, the extractions of one document four million together.
constexpr double maximumTextOperatorsPerPage = 2'000'000;
constexpr double maximumTextOperatorsPerDocument = 4'000'000;

// One stream decoded, and all the streams of one walk together; one mesh
// shading, which poppler holds as vertices all at once.
constexpr std::size_t maximumStreamBytes = std::size_t{32} << 20;
constexpr std::size_t maximumMeshBytes = std::size_t{16} << 20;
constexpr std::size_t maximumWalkBytes = std::size_t{256} << 20;
// Forms drawing forms: the walk recurses once per level.
constexpr std::size_t maximumNesting = 128;
// Functions stitched from functions, and operators in one PostScript function.
constexpr std::size_t maximumFunctionNesting = 16;

// A JPEG 2000 image's samples as its codestream declares them (the SIZ
// marker: the image area times its components, of which up to 16384 are
// allowed), expressed in three-component pixels; 0 when no codestream header
// is found. The decoder allocates the whole image, each sample an int, no
// matter what the image dictionary says the size is.
double jpxDeclaredPixels(const unsigned char* data, std::size_t size) {
  const auto u16 = [&](std::size_t at) { return static_cast<double>(data[at] << 8 | data[at + 1]); };
  const auto u32 = [&](std::size_t at) {
    return static_cast<double>(static_cast<std::uint32_t>(data[at]) << 24 | static_cast<std::uint32_t>(data[at + 1]) << 16 |
                               static_cast<std::uint32_t>(data[at + 2]) << 8 | data[at + 3]);
  };
  std::size_t at = 0;
  // The JP2 file format wraps the codestream in a box ('jp2c') among others;
  // a bare codestream starts with SOC (FF 4F).
  if (size >= 12 && std::memcmp(data + 4, "jP  ", 4) == 0) {
    bool found = false;
    for (int boxes = 0; boxes < 64 && size - at >= 8; ++boxes) {
      double length = u32(at);
      std::size_t header = 8;
      if (length == 1) {
        if (size - at < 16) return 0;
        if (u32(at + 8) != 0) return 0;  // a box of more than 4 GiB cannot be inside the stream
        length = u32(at + 12);
        header = 16;
      } else if (length == 0) {
        length = static_cast<double>(size - at);
      }
      if (std::memcmp(data + at + 4, "jp2c", 4) == 0) {
        at += header;
        found = true;
        break;
      }
      if (length < static_cast<double>(header) || length > static_cast<double>(size - at)) return 0;
      at += static_cast<std::size_t>(length);
    }
    if (!found) return 0;
  }
  // SOC, then SIZ: marker, length, capabilities, Xsiz, Ysiz, XOsiz, YOsiz,
  // tile sizes and offsets, Csiz.
  if (size - at < 42 || data[at] != 0xff || data[at + 1] != 0x4f || data[at + 2] != 0xff || data[at + 3] != 0x51) {
    return 0;
  }
  const std::size_t siz = at + 4;
  const double width = u32(siz + 4) - std::min(u32(siz + 4), u32(siz + 12));
  const double height = u32(siz + 8) - std::min(u32(siz + 8), u32(siz + 16));
  const double components = std::max(1.0, u16(siz + 36));
  return width * height * std::max(1.0, components / 3);
}

struct WalkAbandoned : std::exception {};

// Collects decoded bytes up to a limit. qpdf turns an exception thrown here
// into a failed decode, so the limit is remembered apart from it: a stream
// that is merely damaged keeps what was decoded (poppler draws that much), a
// stream over the limit ends the walk.
class BoundedText final : public Pipeline {
 public:
  BoundedText(std::string* target, std::size_t limit)
      : Pipeline("drawing cost", nullptr), target_(target), limit_(limit) {}
  void write(unsigned char const* data, size_t length) override {
    if (length > limit_ - size_) {
      exceeded_ = true;
      throw WalkAbandoned();
    }
    size_ += length;
    if (target_ != nullptr) target_->append(reinterpret_cast<const char*>(data), length);
  }
  void finish() override {}
  bool exceeded() const { return exceeded_; }
  std::size_t size() const { return size_; }

 private:
  std::string* target_;  // none: only counted
  std::size_t limit_;
  std::size_t size_ = 0;
  bool exceeded_ = false;
};

// Pipes `stream` decoded into `collector`; only a limit passed is fatal.
// Returns whether the whole stream decoded.
bool decode(QPDFObjectHandle stream, BoundedText& collector) {
  bool piped = false;
  try {
    piped = stream.pipeStreamData(&collector, 0, qpdf_dl_specialized);
  } catch (const WalkAbandoned&) {
    piped = false;
  }
  if (!piped && collector.exceeded()) throw WalkAbandoned();
  return piped;
}

double number(QPDFObjectHandle object, double fallback) {
  return object.isNumber() ? object.getNumericValue() : fallback;
}

QPDFObjectHandle named(QPDFObjectHandle resources, const char* category, const std::string& name) {
  if (!resources.isDictionary()) return QPDFObjectHandle::newNull();
  QPDFObjectHandle group = resources.getKey(category);
  return group.isDictionary() ? group.getKey(name) : QPDFObjectHandle::newNull();
}

// The bitmaps a JBIG2 stream (in the headerless form a PDF embeds) makes its
// decoder allocate, in pixels: the page of every page-information segment
// (as tall as its last end-of-stripe row when its height is left open) and
// the region of every region segment. The image dictionary may say 16 x 16
// while the stream's own page says 65535 x 65535, half a gigabyte of bitmap.
double jbig2DeclaredPixels(const unsigned char* data, std::size_t size) {
  std::size_t at = 0;
  const auto u32 = [&](std::size_t offset) {
    return static_cast<double>(static_cast<std::uint32_t>(data[offset]) << 24 |
                               static_cast<std::uint32_t>(data[offset + 1]) << 16 |
                               static_cast<std::uint32_t>(data[offset + 2]) << 8 | data[offset + 3]);
  };
  double pixels = 0;
  double pageWidth = 0;
  double pageHeight = 0;
  bool openHeight = false;
  double stripedRows = 0;
  const auto closePage = [&] {
    pixels += pageWidth * (openHeight ? stripedRows : pageHeight);
    pageWidth = pageHeight = stripedRows = 0;
    openHeight = false;
  };
  while (size - at >= 11) {
    const std::uint32_t number = static_cast<std::uint32_t>(u32(at));
    const unsigned flags = data[at + 4];
    const unsigned type = flags & 0x3f;
    std::size_t cursor = at + 5;
    std::uint64_t referred = data[cursor] >> 5;
    if (referred == 7) {
      if (size - cursor < 4) break;
      referred = static_cast<std::uint64_t>(u32(cursor)) & 0x1fffffff;
      cursor += 4 + (referred + 8) / 8;
    } else {
      cursor += 1;
    }
    const std::size_t numberSize = number <= 256 ? 1 : number <= 65536 ? 2 : 4;
    if (referred > size || referred * numberSize > size - std::min(size, cursor)) break;
    cursor += static_cast<std::size_t>(referred) * numberSize;
    cursor += (flags & 0x40) != 0 ? 4 : 1;
    if (cursor > size || size - cursor < 4) break;
    const double length = u32(cursor);
    cursor += 4;
    const std::size_t available = size - cursor;
    if (type == 48 && available >= 8) {
      closePage();
      pageWidth = u32(cursor);
      pageHeight = u32(cursor + 4);
      openHeight = pageHeight == 4294967295.0;
    } else if (type == 50 && available >= 4) {
      stripedRows = std::max(stripedRows, u32(cursor) + 1);
    } else if ((type == 4 || type == 6 || type == 7 || type == 20 || type == 22 || type == 23 || type == 36 ||
                type == 38 || type == 39 || type == 40 || type == 42 || type == 43) &&
               available >= 8) {
      pixels += u32(cursor) * u32(cursor + 4);
    }
    // A generic region of unknown length ends where its data ends; nothing
    // after it can be found without decoding it.
    if (length == 4294967295.0 || length > static_cast<double>(available)) break;
    at = cursor + static_cast<std::size_t>(length);
  }
  closePage();
  return pixels;
}

class Walk;

// Follows one content stream operator by operator and adds up what it draws.
class ContentCallbacks final : public QPDFObjectHandle::ParserCallbacks {
 public:
  ContentCallbacks(Walk& walk, QPDFObjectHandle resources, PageDrawingCost& cost, OwnContentScan* own)
      : walk_(walk), resources_(std::move(resources)), cost_(cost), own_(own) {}

  void handleObject(QPDFObjectHandle object) override;
  void handleEOF() override { reachedEnd_ = true; }

  // Whether the content parsed to its end without an undefined operator
  // outside BX ... EX (qpdf hands any unparsable run of bytes over as an
  // operator: outside a compatibility section that is a broken stream, not
  // an unknown extension).
  bool parsedCleanly() const { return reachedEnd_ && !broken_; }

 private:
  void draw(const PageDrawingCost& child, double times);
  void paint(bool fill, bool stroke);
  void showText(QPDFObjectHandle operand);

  Walk& walk_;
  QPDFObjectHandle resources_;
  PageDrawingCost& cost_;
  std::vector<QPDFObjectHandle> operands_;
  double depth_ = 0;
  // What painting with the current fill and stroke colours costs beyond the
  // operator, when they are patterns; saved by q.
  struct Paint {
    std::optional<PageDrawingCost> fill;
    std::optional<PageDrawingCost> stroke;
  };
  Paint paint_;
  std::vector<Paint> saved_;
  PageDrawingCost glyph_;  // one glyph of the current Type 3 font
  bool type3_ = false;
  OwnContentScan* own_;  // none but for the page's own content
  int compatibilityDepth_ = 0;
  bool broken_ = false;
  bool reachedEnd_ = false;
};

class Walk {
 public:
  explicit Walk(double pageArea) : pageArea_(pageArea) {}

  // A content stream (or array of them, for the page) with `resources`;
  // `own` for the page's own content, when its caller wants it reported.
  PageDrawingCost content(QPDFObjectHandle streams, QPDFObjectHandle resources, OwnContentScan* own = nullptr) {
    std::vector<QPDFObjectHandle> parts;
    // Poppler draws what it can of damaged content, so the cost counts it;
    // a report of the page's own content is complete only when all of it
    // decoded without a warning.
    bool wholeContent = streams.isNull() || streams.isStream() || streams.isArray();
    if (streams.isStream()) {
      parts.push_back(streams);
    } else if (streams.isArray()) {
      for (int i = 0; i < streams.getArrayNItems(); ++i) parts.push_back(streams.getArrayItem(i));
    }
    QPDF* const owner = own != nullptr && !parts.empty() ? parts.front().getOwningQPDF() : nullptr;
    const std::size_t warningsBefore = owner != nullptr ? owner->numWarnings() : 0;
    std::string decoded;
    for (QPDFObjectHandle& part : parts) {
      if (!part.isStream()) {
        wholeContent = false;
        continue;
      }
      if (!decoded.empty()) decoded.push_back('\n');
      const std::size_t limit = std::min(maximumStreamBytes, maximumWalkBytes - decodedBytes_);
      if (decoded.size() >= limit) throw WalkAbandoned();
      BoundedText collector(&decoded, limit - decoded.size());
      if (!decode(part, collector)) wholeContent = false;
    }
    if (owner != nullptr && owner->numWarnings() != warningsBefore) wholeContent = false;
    decodedBytes_ += decoded.size();
    PageDrawingCost cost;
    cost.contentBytes = static_cast<double>(decoded.size());
    // The decoded bytes are parsed as a stream of their own, so that the
    // parser's warnings (bad tokens, unterminated strings) are this content's
    // alone.
    const std::shared_ptr<QPDF> scratch = makeQuietQPDF();
    scratch->emptyPDF();
    ContentCallbacks callbacks(*this, std::move(resources), cost, own);
    QPDFObjectHandle::parseContentStream(QPDFObjectHandle::newStream(scratch.get(), decoded), &callbacks);
    if (own != nullptr) own->completed = wholeContent && callbacks.parsedCleanly() && scratch->numWarnings() == 0;
    if (!cost.withinPageBounds()) throw WalkAbandoned();
    return cost;
  }

  // A form XObject, soft-mask group, pattern cell, glyph procedure or
  // appearance stream drawn once, with its own resources or else the
  // drawing's. A stream met again while it is being drawn is one that poppler
  // refuses to draw inside itself.
  PageDrawingCost form(QPDFObjectHandle stream, QPDFObjectHandle inherited) {
    PageDrawingCost cost;
    cost.operators = 1;
    cost.formDrawings = 1;
    cost.depth = 1;
    if (!stream.isStream()) return cost;
    const QPDFObjGen key = stream.getObjGen();
    if (stream.isIndirect()) {
      if (const auto known = costs_.find(key); known != costs_.end()) return known->second;
      if (active_.count(key) != 0) return cost;
    }
    if (active_.size() >= maximumNesting) throw WalkAbandoned();
    QPDFObjectHandle resources = stream.getDict().getKey("/Resources");
    if (stream.isIndirect()) active_.insert(key);
    PageDrawingCost inner = content(stream, resources.isDictionary() ? resources : inherited);
    if (stream.isIndirect()) active_.erase(key);
    inner.operators += 1;
    inner.formDrawings += 1;
    inner.depth += 1;
    if (stream.isIndirect()) costs_[key] = inner;
    return inner;
  }

  // The pixels a JBIG2-coded image makes its decoder allocate, with those of
  // its global segments; 0 for any other image.
  double jbig2(QPDFObjectHandle image) {
    QPDFObjectHandle dictionary = image.getDict();
    QPDFObjectHandle filter = dictionary.getKey("/Filter");
    if (filter.isArray() && filter.getArrayNItems() == 1) filter = filter.getArrayItem(0);
    if (!filter.isName() || filter.getName() != "/JBIG2Decode") return 0;
    const QPDFObjGen key = image.getObjGen();
    if (image.isIndirect()) {
      if (const auto known = jbig2_.find(key); known != jbig2_.end()) return known->second;
    }
    double pixels = 0;
    std::vector<QPDFObjectHandle> parts = {image};
    QPDFObjectHandle parameters = dictionary.getKey("/DecodeParms");
    if (parameters.isArray() && parameters.getArrayNItems() == 1) parameters = parameters.getArrayItem(0);
    if (parameters.isDictionary() && parameters.getKey("/JBIG2Globals").isStream()) {
      parts.push_back(parameters.getKey("/JBIG2Globals"));
    }
    for (QPDFObjectHandle& part : parts) {
      const std::shared_ptr<Buffer> raw = part.getRawStreamData();
      pixels += jbig2DeclaredPixels(raw->getBuffer(), raw->getSize());
    }
    if (image.isIndirect()) jbig2_[key] = pixels;
    return pixels;
  }

  // A shading: the mesh data of types 4 to 7 is decoded (and counted, not
  // kept), and its colour functions are costed at the points where they are
  // evaluated, once per walk.
  PageDrawingCost shading(QPDFObjectHandle shading) {
    PageDrawingCost cost;
    cost.operators = 1;
    QPDFObjectHandle dictionary = shading.isStream() ? shading.getDict() : shading;
    if (!dictionary.isDictionary()) return cost;
    const QPDFObjGen key = shading.getObjGen();
    if (shading.isIndirect()) {
      if (const auto known = shadings_.find(key); known != shadings_.end()) return known->second;
    }
    if (shading.isStream()) {
      BoundedText counter(nullptr, maximumMeshBytes);
      decode(shading, counter);
      cost.meshBytes = static_cast<double>(counter.size());
    }
    const double type = number(dictionary.getKey("/ShadingType"), 0);
    const double operations = functionOperations(dictionary.getKey("/Function"), 0);
    // Types 2 and 3 fill a table along their axis; the others (function-based
    // and the meshes, whose vertices carry function inputs) evaluate per pixel.
    cost.shadingWork = operations * (type == 2 || type == 3 ? axialEvaluations : pageArea_);
    if (shading.isIndirect()) shadings_[key] = cost;
    return cost;
  }

  // The operators one evaluation of `function` executes (an array of
  // functions, one per colour component, is evaluated whole): a PostScript
  // function its tokens, a sampled function the corners it interpolates
  // between for each output, an exponential one each output, a stitching
  // function the most costly of the functions it chooses from.
  double functionOperations(QPDFObjectHandle function, std::size_t nesting) {
    if (nesting > maximumFunctionNesting) throw WalkAbandoned();
    if (function.isArray()) {
      double sum = 0;
      for (int i = 0; i < function.getArrayNItems(); ++i) sum += functionOperations(function.getArrayItem(i), nesting + 1);
      return sum;
    }
    QPDFObjectHandle dictionary = function.isStream() ? function.getDict() : function;
    if (!dictionary.isDictionary()) return 0;
    const QPDFObjGen key = function.getObjGen();
    if (function.isIndirect()) {
      if (const auto known = functions_.find(key); known != functions_.end()) return known->second;
    }
    const auto pairs = [&](const char* name) {
      QPDFObjectHandle array = dictionary.getKey(name);
      return array.isArray() ? static_cast<double>(array.getArrayNItems() / 2) : 0.0;
    };
    const double outputs = std::max(1.0, pairs("/Range"));
    double operations = 1;
    switch (static_cast<int>(number(dictionary.getKey("/FunctionType"), -1))) {
      case 0:
        operations = std::ldexp(outputs, static_cast<int>(std::min(pairs("/Domain"), 32.0)));
        break;
      case 2:
        // Range is optional here; C0 holds one value per output.
        if (QPDFObjectHandle c0 = dictionary.getKey("/C0"); c0.isArray()) {
          operations = 1 + std::max(outputs, static_cast<double>(c0.getArrayNItems()));
        } else {
          operations = 1 + outputs;
        }
        break;
      case 3: {
        QPDFObjectHandle parts = dictionary.getKey("/Functions");
        double most = 0;
        if (parts.isArray()) {
          for (int i = 0; i < parts.getArrayNItems(); ++i) {
            most = std::max(most, functionOperations(parts.getArrayItem(i), nesting + 1));
          }
        }
        operations = 1 + most;
        break;
      }
      case 4:
        if (function.isStream()) operations = postScriptOperators(function);
        break;
      default:
        break;
    }
    if (function.isIndirect()) functions_[key] = operations;
    return operations;
  }

  // The tokens of a PostScript calculator function: every number, operator
  // and brace is one step of its evaluation (both branches of a conditional
  // count, as the costlier of them may run).
  static double postScriptOperators(QPDFObjectHandle function) {
    std::string code;
    BoundedText collector(&code, maximumStreamBytes);
    decode(function, collector);
    double tokens = 0;
    bool inToken = false;
    for (const char c : code) {
      const bool space = c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
      const bool brace = c == '{' || c == '}';
      if (brace) tokens += 1;
      if (!space && !brace && !inToken) tokens += 1;
      inToken = !space && !brace;
    }
    return tokens;
  }

  // The pixels a JPEG 2000 image makes its decoder allocate, as its own
  // codestream declares them; 0 for any other image. A JPEG 2000 stream
  // behind other filters cannot be read before poppler decodes it, and its
  // size is unknown: it counts as unbounded.
  double jpx(QPDFObjectHandle image) {
    QPDFObjectHandle filter = image.getDict().getKey("/Filter");
    bool last = false;
    bool chained = false;
    if (filter.isName()) {
      last = filter.getName() == "/JPXDecode";
    } else if (filter.isArray() && filter.getArrayNItems() > 0) {
      for (int i = 0; i < filter.getArrayNItems(); ++i) {
        QPDFObjectHandle item = filter.getArrayItem(i);
        if (item.isName() && item.getName() == "/JPXDecode") {
          last = true;
          chained = filter.getArrayNItems() > 1;
        }
      }
    }
    if (!last) return 0;
    if (chained) return HUGE_VAL;
    const QPDFObjGen key = image.getObjGen();
    if (image.isIndirect()) {
      if (const auto known = jpx_.find(key); known != jpx_.end()) return known->second;
    }
    const std::shared_ptr<Buffer> raw = image.getRawStreamData();
    const double pixels = jpxDeclaredPixels(raw->getBuffer(), raw->getSize());
    if (image.isIndirect()) jpx_[key] = pixels;
    return pixels;
  }

  // What one painting with a pattern costs: for a tiling pattern the cells it
  // paints over the page and one drawing of its cell (poppler draws the cell
  // once and repeats the bitmap), for a shading pattern its shading; none
  // for anything else.
  std::optional<PageDrawingCost> pattern(QPDFObjectHandle pattern, QPDFObjectHandle inherited) {
    QPDFObjectHandle dictionary = pattern.isStream() ? pattern.getDict() : pattern;
    if (!dictionary.isDictionary()) return std::nullopt;
    const double type = number(dictionary.getKey("/PatternType"), 0);
    if (type == 2) return shading(dictionary.getKey("/Shading"));
    if (type != 1 || !pattern.isStream()) return std::nullopt;
    const double xStep = number(dictionary.getKey("/XStep"), 0);
    const double yStep = number(dictionary.getKey("/YStep"), 0);
    double determinant = 1;
    QPDFObjectHandle matrix = dictionary.getKey("/Matrix");
    if (matrix.isArray() && matrix.getArrayNItems() == 6) {
      determinant = number(matrix.getArrayItem(0), 1) * number(matrix.getArrayItem(3), 1) -
                    number(matrix.getArrayItem(1), 0) * number(matrix.getArrayItem(2), 0);
    }
    const double cell = std::fabs(xStep * yStep * determinant);
    // A step of zero or one that is no number is a cell poppler would repeat
    // without end; it counts as infinitely many.
    const double tiles = cell > 0 && std::isfinite(cell) ? std::ceil(pageArea_ / cell) : HUGE_VAL;
    PageDrawingCost cost = form(pattern, inherited);
    cost.patternTiles += tiles;
    return cost;
  }

  // The most expensive glyph procedure of a Type 3 font.
  PageDrawingCost glyph(QPDFObjectHandle font, QPDFObjectHandle inherited) {
    PageDrawingCost most;
    QPDFObjectHandle procedures = font.getKey("/CharProcs");
    if (!procedures.isDictionary()) return most;
    QPDFObjectHandle resources = font.getKey("/Resources");
    if (!resources.isDictionary()) resources = inherited;
    for (const std::string& name : procedures.getKeys()) {
      const PageDrawingCost one = form(procedures.getKey(name), resources);
      most.operators = std::max(most.operators, one.operators);
      most.contentBytes = std::max(most.contentBytes, one.contentBytes);
      most.formDrawings = std::max(most.formDrawings, one.formDrawings);
      most.imagePixels = std::max(most.imagePixels, one.imagePixels);
      most.patternTiles = std::max(most.patternTiles, one.patternTiles);
      most.meshBytes = std::max(most.meshBytes, one.meshBytes);
      most.shadingWork = std::max(most.shadingWork, one.shadingWork);
      most.depth = std::max(most.depth, one.depth);
    }
    return most;
  }

 private:
  double pageArea_;
  std::size_t decodedBytes_ = 0;
  std::map<QPDFObjGen, PageDrawingCost> costs_;
  std::map<QPDFObjGen, PageDrawingCost> shadings_;
  std::map<QPDFObjGen, double> functions_;
  std::map<QPDFObjGen, double> jbig2_;
  std::map<QPDFObjGen, double> jpx_;
  std::set<QPDFObjGen> active_;
};

double imagePixels(QPDFObjectHandle dictionary) {
  const double width = number(dictionary.getKey("/Width"), 0);
  const double height = number(dictionary.getKey("/Height"), 0);
  return width > 0 && height > 0 ? width * height : 0;
}

// The declared size of an inline image, from the keys between BI and ID.
double inlinePixels(std::vector<QPDFObjectHandle> operands) {
  double width = 0;
  double height = 0;
  for (std::size_t i = 0; i + 1 < operands.size(); ++i) {
    if (!operands[i].isName()) continue;
    const std::string key = operands[i].getName();
    if (key == "/W" || key == "/Width") width = number(operands[i + 1], 0);
    if (key == "/H" || key == "/Height") height = number(operands[i + 1], 0);
  }
  return width > 0 && height > 0 ? width * height : 0;
}

void ContentCallbacks::draw(const PageDrawingCost& child, double times) {
  PageDrawingCost drawn = child.scaled(times);
  drawn.depth = 0;
  cost_ += drawn;
  cost_.depth = std::max(cost_.depth, depth_ + child.depth);
  if (!cost_.withinPageBounds()) throw WalkAbandoned();
}

void ContentCallbacks::paint(bool fill, bool stroke) {
  if (fill && paint_.fill) draw(*paint_.fill, 1);
  if (stroke && paint_.stroke) draw(*paint_.stroke, 1);
}

void ContentCallbacks::showText(QPDFObjectHandle operand) {
  if (!type3_) return;
  double glyphs = 0;
  if (operand.isString()) {
    glyphs = static_cast<double>(operand.getStringValue().size());
  } else if (operand.isArray()) {
    for (int i = 0; i < operand.getArrayNItems(); ++i) {
      QPDFObjectHandle item = operand.getArrayItem(i);
      if (item.isString()) glyphs += static_cast<double>(item.getStringValue().size());
    }
  }
  draw(glyph_, glyphs);
}

void ContentCallbacks::handleObject(QPDFObjectHandle object) {
  if (!object.isOperator()) {
    // Operands of one operator; a run of stray objects keeps only its end.
    if (operands_.size() >= 64) operands_.erase(operands_.begin());
    operands_.push_back(object);
    return;
  }
  const std::string name = object.getOperatorValue();
  cost_.operators += 1;
  if (own_ != nullptr && !broken_) {
    if (name == "BX") {
      ++compatibilityDepth_;
    } else if (name == "EX") {
      if (compatibilityDepth_ > 0) --compatibilityDepth_;
    }
    if (isContentStreamOperator(name)) {
      if (own_->onOperator) own_->onOperator(name);
    } else if (compatibilityDepth_ == 0) {
      broken_ = true;
    }
  }
  QPDFObjectHandle last = operands_.empty() ? QPDFObjectHandle::newNull() : operands_.back();
  const std::string lastName = last.isName() ? last.getName() : std::string();

  if (name == "q") {
    saved_.push_back(paint_);
    depth_ += 1;
    cost_.depth = std::max(cost_.depth, depth_);
  } else if (name == "Q") {
    if (!saved_.empty()) {
      paint_ = saved_.back();
      saved_.pop_back();
      depth_ -= 1;
    }
  } else if (name == "Do") {
    QPDFObjectHandle drawn = named(resources_, "/XObject", lastName);
    if (drawn.isStream()) {
      QPDFObjectHandle dictionary = drawn.getDict();
      QPDFObjectHandle subtype = dictionary.getKey("/Subtype");
      if (subtype.isName() && subtype.getName() == "/Form") {
        draw(walk_.form(drawn, resources_), 1);
      } else if (subtype.isName() && subtype.getName() == "/Image") {
        cost_.imagePixels += imagePixels(dictionary) + walk_.jbig2(drawn) + walk_.jpx(drawn);
        QPDFObjectHandle mask = dictionary.getKey("/SMask");
        if (mask.isStream()) cost_.imagePixels += imagePixels(mask.getDict());
      }
    }
  } else if (name == "ID") {
    cost_.imagePixels += inlinePixels(operands_);
  } else if (name == "gs") {
    QPDFObjectHandle state = named(resources_, "/ExtGState", lastName);
    QPDFObjectHandle mask = state.isDictionary() ? state.getKey("/SMask") : QPDFObjectHandle::newNull();
    if (mask.isDictionary()) draw(walk_.form(mask.getKey("/G"), resources_), 1);
  } else if (name == "scn" || name == "SCN") {
    std::optional<PageDrawingCost> pattern;
    if (!lastName.empty()) pattern = walk_.pattern(named(resources_, "/Pattern", lastName), resources_);
    (name == "scn" ? paint_.fill : paint_.stroke) = pattern;
  } else if (name == "sc" || name == "g" || name == "rg" || name == "k" || name == "cs") {
    paint_.fill.reset();
  } else if (name == "SC" || name == "G" || name == "RG" || name == "K" || name == "CS") {
    paint_.stroke.reset();
  } else if (name == "sh") {
    draw(walk_.shading(named(resources_, "/Shading", lastName)), 1);
  } else if (name == "f" || name == "F" || name == "f*") {
    paint(true, false);
  } else if (name == "S" || name == "s") {
    paint(false, true);
  } else if (name == "B" || name == "B*" || name == "b" || name == "b*") {
    paint(true, true);
  } else if (name == "Tf") {
    QPDFObjectHandle font =
        operands_.size() >= 2 && operands_[operands_.size() - 2].isName()
            ? named(resources_, "/Font", operands_[operands_.size() - 2].getName())
            : QPDFObjectHandle::newNull();
    QPDFObjectHandle subtype = font.isDictionary() ? font.getKey("/Subtype") : QPDFObjectHandle::newNull();
    type3_ = subtype.isName() && subtype.getName() == "/Type3";
    glyph_ = type3_ ? walk_.glyph(font, resources_) : PageDrawingCost{};
  } else if (name == "Tj" || name == "TJ" || name == "'" || name == "\"") {
    showText(last);
  }
  operands_.clear();
  if (!cost_.withinPageBounds()) throw WalkAbandoned();
}

}  // namespace

PageDrawingCost& PageDrawingCost::operator+=(const PageDrawingCost& other) {
  operators += other.operators;
  contentBytes += other.contentBytes;
  formDrawings += other.formDrawings;
  imagePixels += other.imagePixels;
  patternTiles += other.patternTiles;
  meshBytes += other.meshBytes;
  shadingWork += other.shadingWork;
  depth = std::max(depth, other.depth);
  return *this;
}

PageDrawingCost PageDrawingCost::scaled(double times) const {
  PageDrawingCost result = *this;
  result.operators *= times;
  result.contentBytes *= times;
  result.formDrawings *= times;
  result.imagePixels *= times;
  result.patternTiles *= times;
  result.meshBytes *= times;
  result.shadingWork *= times;
  return result;
}

bool PageDrawingCost::withinPageBounds() const {
  return operators <= maximumOperatorsPerPage && contentBytes <= maximumContentBytesPerPage &&
         formDrawings <= maximumFormDrawingsPerPage && imagePixels <= maximumImagePixelsPerPage &&
         patternTiles <= maximumPatternTilesPerPage && meshBytes <= maximumMeshBytesPerPage &&
         shadingWork <= maximumShadingWorkPerPage && depth <= maximumDepth;
}

bool PageDrawingCost::withinDocumentBounds() const {
  return operators <= documentPages * maximumOperatorsPerPage &&
         contentBytes <= documentPages * maximumContentBytesPerPage &&
         formDrawings <= documentPages * maximumFormDrawingsPerPage &&
         imagePixels <= documentPages * maximumImagePixelsPerPage &&
         patternTiles <= documentPages * maximumPatternTilesPerPage &&
         meshBytes <= documentPages * maximumMeshBytesPerPage &&
         shadingWork <= documentPages * maximumShadingWorkPerPage && depth <= maximumDepth;
}

bool isContentStreamOperator(std::string_view name) {
  static constexpr std::array<std::string_view, 73> operators = {
      "b",  "B",  "b*", "B*", "BDC", "BI", "BMC", "BT", "BX", "c",  "cm", "CS", "cs", "d",  "d0",
      "d1", "Do", "DP", "EI", "EMC", "ET", "EX",  "f",  "F",  "f*", "G",  "g",  "gs", "h",  "i",
      "ID", "j",  "J",  "K",  "k",   "l",  "m",   "M",  "MP", "n",  "q",  "Q",  "re", "RG", "rg",
      "ri", "s",  "S",  "SC", "sc",  "SCN", "scn", "sh", "T*", "Tc", "Td", "TD", "Tf", "Tj", "TJ",
      "TL", "Tm", "Tr", "Ts", "Tw",  "Tz", "v",   "w",  "W",  "W*", "y",  "'",  "\"",
  };
  return std::find(operators.begin(), operators.end(), name) != operators.end();
}

std::optional<PageDrawingCost> pageDrawingCost(QPDFObjectHandle page, OwnContentScan* own) {
  try {
    QPDFPageObjectHelper helper(page);
    QPDFObjectHandle box = helper.getMediaBox(false);
    double area = 0;
    if (box.isRectangle()) {
      const QPDFObjectHandle::Rectangle r = box.getArrayAsRectangle();
      area = std::fabs((r.urx - r.llx) * (r.ury - r.lly));
    }
    Walk walk(area);
    QPDFObjectHandle resources = helper.getAttribute("/Resources", false);
    PageDrawingCost cost = walk.content(page.getKey("/Contents"), resources, own);
    // Poppler draws every annotation's normal appearance over the page.
    QPDFObjectHandle annotations = page.getKey("/Annots");
    if (annotations.isArray()) {
      for (int i = 0; i < annotations.getArrayNItems(); ++i) {
        QPDFObjectHandle annotation = annotations.getArrayItem(i);
        QPDFObjectHandle appearance =
            annotation.isDictionary() ? annotation.getKey("/AP") : QPDFObjectHandle::newNull();
        QPDFObjectHandle normal = appearance.isDictionary() ? appearance.getKey("/N") : QPDFObjectHandle::newNull();
        std::vector<QPDFObjectHandle> states;
        if (normal.isStream()) states.push_back(normal);
        if (normal.isDictionary()) {
          for (const std::string& key : normal.getKeys()) states.push_back(normal.getKey(key));
        }
        for (QPDFObjectHandle& state : states) {
          if (!state.isStream()) continue;
          cost += walk.form(state, resources);
          if (!cost.withinPageBounds()) return std::nullopt;
        }
      }
    }
    if (!cost.withinPageBounds()) return std::nullopt;
    return cost;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool PageDrawingCost::withinTextExtractionPageBounds() const {
  return withinPageBounds() && operators <= maximumTextOperatorsPerPage;
}

bool PageDrawingCost::withinTextExtractionDocumentBounds() const {
  return withinDocumentBounds() && operators <= maximumTextOperatorsPerDocument;
}

}  // namespace quorvantelmic::detail
