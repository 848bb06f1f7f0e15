#include "names.h"

#include <algorithm>
#include <cstdio>

#include "json.h"
#include "userprofile.h"

namespace userprof {
namespace {

constexpr std::size_t kMaxNameLength = USERPROFILE_NAME_MAX;

// The two byte classes of the validator, for saying which byte it
// refuses: ASCII punctuation, and ASCII letters and digits.
bool IsPunctuation(unsigned char c) {
  return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') ||
         (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
}
bool IsLetterOrDigit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

std::string HexByte(unsigned char c) {
  char code[8];
  std::snprintf(code, sizeof code, "\\x%02X", c);
  return code;
}

// The length of the valid UTF-8 sequence at text[i], or 0.
std::size_t SequenceAt(std::string_view text, std::size_t i) {
  for (std::size_t n = 1; n <= 4 && i + n <= text.size(); ++n) {
    if (IsUtf8(text.substr(i, n))) return n;
  }
  return 0;
}

}  // namespace

std::string WhyInvalid(std::string_view name) {
  if (name.empty()) return "is empty";
  if (name.size() > kMaxNameLength) {
    return "is too long: " + std::to_string(name.size()) +
           " bytes, more than " + std::to_string(kMaxNameLength);
  }
  bool letter_or_digit = false;
  for (char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (IsPunctuation(c))
      return std::string("contains the punctuation '") + ch + "'";
    letter_or_digit = letter_or_digit || IsLetterOrDigit(c);
  }
  if (!letter_or_digit) return "has no ASCII letter or digit";
  return {};
}

std::optional<std::string> WhyUnfit(std::string_view name) {
  if (!name.empty() && (name.front() == ' ' || name.back() == ' ')) {
    return "begins or ends with a space";
  }
  for (char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", c);
      return std::string("contains the control character ") + code;
    }
  }
  return std::nullopt;
}

std::string Shown(std::string_view bytes) {
  // Printable ASCII, which most names and paths are, is shown as it is: a
  // listing shows every user's name and home.
  if (std::all_of(bytes.begin(), bytes.end(),
                  [](char ch) { return ch >= 0x20 && ch < 0x7F; })) {
    return std::string(bytes);
  }
  std::string out;
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    const std::size_t n = SequenceAt(bytes, i);
    if (n == 0 || c < 0x20 || c == 0x7F) {
      out += HexByte(c);
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::size_t Width(std::string_view text) {
  std::size_t width = 0;
  for (char ch : text) {
    if ((static_cast<unsigned char>(ch) & 0xC0u) != 0x80u) ++width;
  }
  return width;
}

std::string Padded(std::string text, std::size_t width) {
  const std::size_t has = Width(text);
  if (has < width) text.append(width - has, ' ');
  return text;
}

std::string LooseKey(std::string_view name) {
  const std::string text = AsUnicode(name);
  std::string key;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 'A' && c <= 'Z') {
      key += static_cast<char>(c + 32);
    } else if (c == 0xC3 && i + 1 < text.size()) {
      // U+00C0 to U+00DE (but U+00D7) fold to U+00E0 to U+00FE.
      const unsigned char next = static_cast<unsigned char>(text[i + 1]);
      key += static_cast<char>(c);
      key += static_cast<char>(
          next >= 0x80 && next <= 0x9E && next != 0x97 ? next + 0x20 : next);
      ++i;
    } else {
      key += static_cast<char>(c);
    }
  }
  return key;
}

std::string Quoted(std::string_view text) { return "\"" + Shown(text) + "\""; }

}  // namespace userprof
