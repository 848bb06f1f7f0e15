// Equality of user names as the Windows ANSI comparison (lstrcmpiA, code
// page 1252) decides it, for platforms that lack that service.
#pragma once

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

// The comparison key of user names on this platform. On POSIX hosts a
// name that is multi-byte UTF-8 folds only its ASCII letters: folding its
// bytes as code page 1252 letters would make different characters equal
// ("\xE4\xB8\xAD" and "\xC4\xB8" would both read as one letter). Every
// other name, and every name on Windows, keeps the key of NameKey, so
// registries written by Windows hosts match as they always did; the two
// kinds of key never equal each other.
std::string UserNameKey(std::string_view name);
bool UserNamesEqual(std::string_view a, std::string_view b);

}  // namespace userprofile
