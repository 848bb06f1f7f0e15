#include "json.h"

#include <cstdint>

namespace userprof {
namespace {

// Windows-1252 bytes 0x80 to 0x9F; the five unassigned ones map to the
// control characters of the same value, as Windows converts them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The length of the UTF-8 sequence starting at text[i], or 0 if it is
// malformed there.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) {
    return static_cast<unsigned char>(text[k]);
  };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    code = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    code = c & 0x0Fu;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    code = c & 0x07u;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  const bool overlong =
      (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (overlong || surrogate || code > 0x10FFFF) return 0;
  return length;
}

}  // namespace

bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = Utf8SequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string AsUnicode(std::string_view bytes) {
  if (IsUtf8(bytes)) return std::string(bytes);
  std::string out;
  for (char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x80 && c < 0xA0) {
      AppendUtf8(out, kCp1252High[c - 0x80]);
    } else {
      AppendUtf8(out, c);  // ASCII, and 0xA0 to 0xFF as Latin-1
    }
  }
  return out;
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

void SetText(Json& object, const std::string& key, std::string_view bytes) {
  object[key] = AsUnicode(bytes);
  if (!IsUtf8(bytes)) object[key + "_bytes"] = Hex(bytes);
}

std::string DumpLine(const Json& value) {
  // Every string went through AsUnicode; "replace" only guards the rest.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace userprof
