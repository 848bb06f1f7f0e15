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

bool NamesEqual1252(std::string_view a, std::string_view b) {
  return NameKey(a) == NameKey(b);
}

}  // namespace userprofile
