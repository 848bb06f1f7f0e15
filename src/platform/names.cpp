#include "platform/names.h"

#include <algorithm>

namespace userprofile {
namespace {

// The characters of code page 1252's bytes 0x80 to 0x9F; the rest of the
// high half is Latin-1, one to one. Its undefined bytes (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) stand for themselves.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t Cp1252Char(unsigned char c) {
  return c >= 0x80 && c <= 0x9F ? kHighControls[c - 0x80] : c;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The length of the well-formed UTF-8 character at text[i] and its code
// point, or 0 if none starts there. The allowed range of the second byte
// excludes overlong forms, surrogates and code points above U+10FFFF.
std::size_t DecodeAt(std::string_view text, std::size_t i, char32_t& code) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) {
    code = c;
    return 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  code = c & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char t = static_cast<unsigned char>(text[i + k]);
    if (t < (k == 1 ? low : 0x80) || t > (k == 1 ? high : 0xBF)) return 0;
    code = (code << 6) | (t & 0x3F);
  }
  return length;
}

// The length of the longest character of `text` (0 if it is empty), or
// nullopt if it is not well-formed UTF-8.
std::optional<std::size_t> WidestUtf8Char(std::string_view text) {
  std::size_t widest = 0;
  for (std::size_t i = 0; i < text.size();) {
    char32_t code = 0;
    const std::size_t length = DecodeAt(text, i, code);
    if (length == 0) return std::nullopt;
    widest = std::max(widest, length);
    i += length;
  }
  return widest;
}

unsigned char Fold(unsigned char c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  switch (c) {
    case 0x9A: return 0x8A;  // s caron
    case 0x9C: return 0x8C;  // oe ligature
    case 0x9E: return 0x8E;  // z caron
    case 0xFF: return 0x9F;  // y diaeresis
    default: break;
  }
  // 0xE0..0xFE are the lower-case partners of 0xC0..0xDE, except the
  // division sign 0xF7 (the multiplication sign 0xD7 has no partner).
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  return c;
}

}  // namespace

std::string NameKey(std::string_view name) {
  std::string key;
  key.reserve(name.size());
  for (char ch : name) {
    unsigned char c = Fold(static_cast<unsigned char>(ch));
    switch (c) {
      case 0xAD:  // soft hyphen: ignored by the comparison
        break;
      case 0xDF:  // sharp s
        key += "SS";
        break;
      case 0xC6:  // ae ligature
        key += "AE";
        break;
      case 0x8C:  // oe ligature
        key += "OE";
        break;
      default:
        key += static_cast<char>(c);
    }
  }
  return key;
}

bool IsMultibyteUtf8(std::string_view text) {
  return WidestUtf8Char(text).value_or(0) > 1;
}

bool IsUtf8(std::string_view text) { return WidestUtf8Char(text).has_value(); }

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) AppendUtf8(out, Cp1252Char(static_cast<unsigned char>(c)));
  return out;
}

std::optional<std::string> Utf8ToCp1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t code = 0;
    const std::size_t length = DecodeAt(text, i, code);
    if (length == 0) return std::nullopt;
    i += length;
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) {
      out += static_cast<char>(code);
      continue;
    }
    std::size_t k = 0;
    while (k < 32 && kHighControls[k] != code) ++k;
    if (k == 32) return std::nullopt;
    out += static_cast<char>(0x80 + k);
  }
  return out;
}

std::string TextAsUtf8(std::string_view text) {
  return IsUtf8(text) ? std::string(text) : Cp1252ToUtf8(text);
}

std::string UserNameKey(std::string_view name) {
  if (IsMultibyteUtf8(name)) {
    if (std::optional<std::string> cp1252 = Utf8ToCp1252(name)) {
      return NameKey(*cp1252);
    }
    // Marked with a NUL, which no name holds, so that this key never
    // equals the code page 1252 key of another name's bytes.
    std::string key(1, '\0');
    for (char c : name) {
      key += c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    }
    return key;
  }
  return NameKey(name);
}

}  // namespace userprofile
