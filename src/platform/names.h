// Equality of user names as the Windows ANSI comparison (lstrcmpiA, code
// page 1252) decides it, for platforms that lack that service.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace userprofile {

// The comparison key of a name: letters folded to upper case (ASCII and the
// 1252 accented pairs), the ligatures and sharp s spelled out as the
// linguistic comparison treats them, and the ignorable soft hyphen dropped.
// Two names are equal exactly when their keys are.
std::string NameKey(std::string_view name);

// True if `text` is well-formed UTF-8 and holds at least one character of
// more than one byte: a name that a POSIX host passed as UTF-8. ASCII-only
// text and text that is not UTF-8 (such as code page 1252) are false.
bool IsMultibyteUtf8(std::string_view text);

// The texts of one application tree, its names and home fields, are kept
// as their writers wrote them: UTF-8 from POSIX hosts, code page 1252 from
// Windows hosts (their ANSI services). A text that is well-formed UTF-8 is
// read as UTF-8, any other as code page 1252, so both kinds of host read
// the same characters from the same bytes.

// True if `text` is well-formed UTF-8 (ASCII text is).
bool IsUtf8(std::string_view text);
// The UTF-8 of code page 1252 text. The five bytes 1252 leaves undefined
// stand for the control characters of the same number, as Windows maps
// them, so every byte string has a form and comes back from
// Utf8ToCp1252.
std::string Cp1252ToUtf8(std::string_view text);
// The code page 1252 bytes of UTF-8 text; nullopt if it is not UTF-8 or
// holds a character that code page has no byte for.
std::optional<std::string> Utf8ToCp1252(std::string_view text);
// The characters of a registry text as UTF-8: the text itself if it is
// UTF-8, else its code page 1252 characters.
std::string TextAsUtf8(std::string_view text);

// The comparison key of user names on every platform: the key of NameKey
// for the name's characters in code page 1252, whichever encoding holds
// them, so that "Ren\xE9" from a Windows host and "Ren\xC3\xA9" from a
// POSIX host are one user, and letters of that code page fold as
// Windows folds them. A UTF-8 name with characters beyond that code page
// folds only its ASCII letters: folding its bytes as code page 1252
// letters would make different characters equal.
std::string UserNameKey(std::string_view name);
bool UserNamesEqual(std::string_view a, std::string_view b);

}  // namespace userprofile
