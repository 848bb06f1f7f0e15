// User names as an administrator types them: why one cannot be
// registered, in words that say what to change.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace userprof {

// Why the library's ValidUserName refuses `name`: "is empty", "is too
// long: ...", "contains punctuation 'X'" or "has no letter or digit".
// Meant for a name it refuses; for a valid name the result is empty.
std::string WhyInvalid(std::string_view name);

// What makes a name the library accepts unfit to register as typed: a
// space at either end (the library would store it trimmed, under a name
// that the duplicate check never looked up) or a control character (no
// one can type it at sign-in, and a line break cannot be stored).
std::optional<std::string> WhyUnfit(std::string_view name);

// `text` in double quotes, for messages.
std::string Quoted(std::string_view text);

}  // namespace userprof
