#include "names.h"

#include <cstdio>

#include "registry/registry.h"

namespace userprof {
using userprofile::IsLetterOrDigit;
using userprofile::IsPunctuation;
using userprofile::kMaxNameLength;

std::string WhyInvalid(std::string_view name) {
  if (name.empty()) return "is empty";
  if (name.size() > kMaxNameLength) {
    return "is too long: " + std::to_string(name.size()) +
           " characters, more than " + std::to_string(kMaxNameLength);
  }
  bool letter_or_digit = false;
  for (char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (IsPunctuation(c))
      return std::string("contains punctuation '") + ch + "'";
    letter_or_digit = letter_or_digit || IsLetterOrDigit(c);
  }
  if (!letter_or_digit) return "has no letter or digit";
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

std::string Quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

}  // namespace userprof
