// Publication base names from whatever a source file happens to be called.
// The helper refuses base names that are not NFC, begin or end with a dot or
// white space, hold a control, format or bidirectional character, "/" or ":",
// or run over 160 UTF-8 bytes; files copied from other systems, cameras and
// downloads are named like that all the time. The client derives a name the
// helper accepts instead of failing the file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvantelmic {

// The longest base name the helper accepts, in UTF-8 bytes.
inline constexpr std::size_t maximumBaseNameBytes = 160;

// A file name as text a person can read: well-formed UTF-8 stays as it is,
// every byte that is not part of a well-formed sequence becomes U+FFFD.
std::string displayableName(std::string_view bytes);

// As displayableName, and control, format and bidirectional characters shown
// as U+FFFD too: a file name must not move the cursor, recolour the
// terminal or reverse the text printed after it.
std::string printableName(std::string_view bytes);

// A base name the helper accepts, at most `maximumBytes` long, made from
// `name` (any bytes): made displayable and NFC; control, format and
// bidirectional characters, "/" and ":" become "-"; leading dots and white
// space and trailing dots and white space go; the rest is cut to
// `maximumBytes` on a character boundary. Empty when nothing is left.
std::string sanitizedBaseName(std::string_view name, std::size_t maximumBytes = maximumBaseNameBytes);

// Why `name` cannot be used as a base name as it is, in words for the user;
// no value when the helper accepts it.
std::optional<std::string> baseNameProblem(std::string_view name, std::size_t maximumBytes = maximumBaseNameBytes);

// The source's file name without its directory and its extension; a name
// that is nothing but an extension (".profile") stays whole.
std::string stemOf(std::string_view path);

}  // namespace quorvantelmic
