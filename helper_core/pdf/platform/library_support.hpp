// Internal to the PDF platform layer: how qpdf and poppler are set up so that
// neither writes anything to standard error, and how bytes are opened with qpdf.
#pragma once

#include <qpdf/QPDF.hh>

#include <memory>
#include <cstdint>
#include <optional>
#include <vector>

#include "helper_core/pdf/platform/core_graphics_pdf.hpp"

namespace quorvantelmic::detail {

// A QPDF that records its warnings without printing them (and never prints
// errors or information either).
std::shared_ptr<QPDF> makeQuietQPDF();

enum class QPDFOpening { opened, passwordRequired, unreadable };

// Parses `data` in place (the bytes are not copied; the caller keeps `data`
// alive for as long as the QPDF lives). `passwordRequired` leaves `qpdf` empty.
QPDFOpening openQPDF(const PDFData& data, std::shared_ptr<QPDF>& qpdf);

// Whether the page tree can be handed to the libraries, whose page-tree walks
// recurse: at most `maximumPageTreeDepth` levels below the root and at most
// `maximumPageTreeNodes` nodes. Walks iteratively; a node met twice is not
// descended into again (the libraries report such loops themselves).
inline constexpr std::size_t maximumPageTreeDepth = 256;
inline constexpr std::size_t maximumPageTreeNodes = 100000;
bool pageTreeWithinBounds(QPDF& qpdf);

// Serialises the document the way every output of this layer is written: no
// object streams, streams exactly as they stand (recompressing would turn
// plain content into arbitrary bytes that a raw name scan might misread), no
// linearisation, a deterministic ID. No value when qpdf fails. The file is
// written straight into the returned vector, which starts with room for
// `expectedBytes` (a writer that knows its streams' sizes avoids regrowing it).
std::optional<std::vector<std::uint8_t>> serializedPDF(QPDF& qpdf, std::size_t expectedBytes = 0);

// The page's /Rotate, its own or inherited, in degrees: 0 when absent; an
// integer, or a real with an integral value (a writer may put 90.0); none for
// anything else or a value beyond 32 bits. Every reader of a page's rotation
// goes through here, so that inspection and the page operations agree.
std::optional<std::int32_t> pageRotation(QPDFObjectHandle page);

// Routes poppler's error messages away from standard error. Safe to call any
// number of times; the hook is installed once per process.
void silencePoppler();

}  // namespace quorvantelmic::detail
