// User names and the texts of a tree shared by POSIX and Windows hosts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace userprofile {

// The key of a code page 1252 name under the Windows comparison (lstrcmpiA),
// for platforms that lack it: letters folded to upper case (ASCII and the
// 1252 accented pairs), ligatures and sharp s spelled out, the soft hyphen
// dropped. Two names are equal exactly when their keys are.
std::string NameKey(std::string_view name);

// The texts of a tree, its names and home fields, are kept as their
// writers wrote them: UTF-8 from POSIX hosts, code page 1252 from Windows
// hosts (their ANSI services). Well-formed UTF-8 is read as UTF-8, any
// other text as code page 1252, so every host reads the same characters.

// True if `text` is well-formed UTF-8 (ASCII text is).
bool IsUtf8(std::string_view text);
// True if `text` is well-formed UTF-8 with a character of more than one
// byte: a name a POSIX host passed as UTF-8.
bool IsMultibyteUtf8(std::string_view text);
// The UTF-8 of code page 1252 text. Its five undefined bytes stand for the
// control characters of the same number, as Windows maps them, so every
// byte string has a form and comes back from Utf8ToCp1252.
std::string Cp1252ToUtf8(std::string_view text);
// The code page 1252 bytes of UTF-8 text; nullopt if it is not UTF-8 or
// holds a character that code page has no byte for.
std::optional<std::string> Utf8ToCp1252(std::string_view text);
// The characters of a registry text as UTF-8: the text itself if it is
// UTF-8, else its code page 1252 characters.
std::string TextAsUtf8(std::string_view text);

// The comparison key of user names: NameKey of the name's characters in
// code page 1252, whichever encoding holds them, so that "Ren\xE9" from a
// Windows host and "Ren\xC3\xA9" from a POSIX host are one user. A UTF-8
// name with characters beyond that code page folds only its ASCII letters:
// folding its bytes as 1252 letters would make different characters equal.
std::string UserNameKey(std::string_view name);

}  // namespace userprofile
