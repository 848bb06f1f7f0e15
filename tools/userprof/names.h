// User names as an administrator types them and reads them: why one cannot
// be registered, in words that say what to change, and how names and
// paths, which are bytes, are shown to people.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace userprof {

// What the library's validator allows, for messages that refuse a name.
inline constexpr const char* kNameRule =
    "a user name has 1 to 31 bytes, at least one ASCII letter or digit, and "
    "no ASCII punctuation (spaces and non-ASCII letters are allowed), e.g. "
    "\"Ann Lee\"";

// Why the library's ValidUserName refuses `name`: "is empty", "is too
// long: ...", "contains the punctuation 'X'" or "has no ASCII letter or
// digit". Meant for a name it refuses; for a valid name the result is
// empty.
std::string WhyInvalid(std::string_view name);

// What makes a name the library accepts unfit to register as typed: a
// space at either end (the library would store it trimmed, under a name
// that the duplicate check never looked up) or a control character (no
// one can type it at sign-in, and a line break cannot be stored).
std::optional<std::string> WhyUnfit(std::string_view name);

// `bytes` made safe to show on a terminal: valid UTF-8 stays as it is,
// control characters and bytes that are not part of valid UTF-8 are
// written as \xNN (and a backslash as \\ only where escapes appear).
std::string Shown(std::string_view bytes);

// The number of characters (code points) of valid UTF-8 text: the width
// of a column that holds it.
std::size_t Width(std::string_view text);

// `text` padded with spaces to `width` characters.
std::string Padded(std::string text, std::size_t width);

// A key under which two names fall together when they differ only in
// encoding (UTF-8 or Windows-1252 bytes of the same letters) or in the
// case of ASCII and Latin-1 letters: "René" in either encoding and "RENÉ".
std::string LooseKey(std::string_view name);

// `text` shown in double quotes, for messages.
std::string Quoted(std::string_view text);

}  // namespace userprof
