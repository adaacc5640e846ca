// A range of a PDF's pages as a PDF of its own. The helper renders every page
// of the document it is given, at most 96 a request, so a longer document or
// a --first/--last range is handed to it as consecutive smaller documents.
#pragma once

#include <cstdint>

#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic {

// A read-only descriptor on a sealed in-memory PDF holding the pages `first`
// to `last` (counted from 1) of `source`, copied with qpdf. Throws HelperFault
// decode-failed when the document cannot be split there.
UniqueFd pdfPageRange(BorrowedFd source, std::int64_t first, std::int64_t last);

}  // namespace quorvantelmic
