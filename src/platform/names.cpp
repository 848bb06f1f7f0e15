#include "platform/names.h"

namespace userprofile {
namespace {

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
  bool multibyte = false;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    // The allowed range of the second byte excludes overlong forms,
    // surrogates and code points above U+10FFFF.
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
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char t = static_cast<unsigned char>(text[i + k]);
      const unsigned char lo = k == 1 ? low : 0x80;
      const unsigned char hi = k == 1 ? high : 0xBF;
      if (t < lo || t > hi) return false;
    }
    multibyte = true;
    i += length;
  }
  return multibyte;
}

std::string UserNameKey(std::string_view name) {
#ifndef _WIN32
  if (IsMultibyteUtf8(name)) {
    // Marked with a NUL, which no name holds, so that a UTF-8 key never
    // equals the code page 1252 key of another name's bytes.
    std::string key(1, '\0');
    for (char c : name) {
      key += c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    }
    return key;
  }
#endif
  return NameKey(name);
}

bool UserNamesEqual(std::string_view a, std::string_view b) {
  return UserNameKey(a) == UserNameKey(b);
}

}  // namespace userprofile
