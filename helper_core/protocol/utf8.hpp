// Well-formed UTF-8, the one definition every check uses: request lines,
// names in a staging directory, and names a PDF scan may report.
#pragma once

#include <string_view>

namespace quorvantelmic {

// False for overlong forms, surrogates, truncated sequences and code points
// beyond U+10FFFF.
bool isWellFormedUTF8(std::string_view bytes) noexcept;

}  // namespace quorvantelmic
