// The JSON that --json prints, built with nlohmann-json in the order the
// fields are set and written as one line, so that a script reads the last
// line of the output.
//
// JSON text is Unicode, and names and paths of an application are bytes:
// UTF-8 as POSIX hosts type them, Windows-1252 as Windows hosts store them,
// or anything a damaged registry holds. A string field holds the bytes
// themselves when they are valid UTF-8. Otherwise it holds them read as
// Windows-1252 (for people), and a sibling field NAME_bytes holds the exact
// bytes in hexadecimal, so that a script can still reach the real file.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace userprof {

using Json = nlohmann::ordered_json;

// True if `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(std::string_view text);

// `bytes` as Unicode text: unchanged if valid UTF-8, otherwise each byte
// read as Windows-1252 (0x81, 0x8D, 0x8F, 0x90 and 0x9D as the control
// characters of the same value, as Windows converts them).
std::string AsUnicode(std::string_view bytes);

// The bytes in upper-case hexadecimal, two digits each.
std::string Hex(std::string_view bytes);

// Sets object[key] to the text of `bytes`, and object[key + "_bytes"] to
// their hexadecimal form when they are not valid UTF-8.
void SetText(Json& object, const std::string& key, std::string_view bytes);

// The one line --json prints.
std::string DumpLine(const Json& value);

}  // namespace userprof
