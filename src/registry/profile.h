// The reading rules of the Windows profile services over the lines of a
// private profile (INI) file, which profile::Document applies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace userprofile::profile {

// The blanks the profile services ignore around names and values: space,
// tab, CR, VT, FF and the end-of-file byte 0x1A.
inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' ||
         c == '\x1A';
}
std::string_view Trim(std::string_view text);

// ASCII letters in upper case; other bytes as they are.
inline char FoldAscii(char c) {
  return (c >= 'a' && c <= 'z') ? char(c - 32) : c;
}

// Removes one pair of matching '"' or '\'' quotes that enclose the whole
// (already trimmed) text.
std::string_view Unquote(std::string_view text);

// True when the names are equal with ASCII letters folded.
bool SameName(std::string_view a, std::string_view b);

// How every reader sees one line (its bytes without the line break): the
// text up to its first NUL, which ends it.
std::string_view LineText(std::string_view line);

// The name of a section header line (of LineText), from the first '[' to
// the last ']', trimmed; nullopt for any other line. A header takes
// precedence over a '=' in the line.
std::optional<std::string_view> HeaderName(std::string_view text);

// A line that is not a header and holds '=': the key before the first '='
// and the value after it, both trimmed (quotes kept).
struct KeyLine {
  std::string_view key;
  std::string_view value;
};
std::optional<KeyLine> SplitKeyLine(std::string_view text);

// The value as GetPrivateProfileIntA computes it from Document::Find's
// text: optional sign, optional lower-case 0x/0o/0b prefix, digits up to
// the first that does not belong, wrapping modulo 2^32; `fallback` for
// empty text.
std::uint32_t ParseInt(std::string_view value, int fallback);

// True if the text cannot be written as part of one profile line.
bool BreaksLine(std::string_view text);

}  // namespace userprofile::profile
