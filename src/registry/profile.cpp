#include "registry/profile.h"

#include <algorithm>

namespace userprofile::profile {

std::string_view LineText(std::string_view line) {
  return line.substr(0, line.find('\0'));
}

std::optional<std::string_view> HeaderName(std::string_view text) {
  std::string_view t = Trim(text);
  if (t.empty() || t.front() != '[') return std::nullopt;
  std::size_t close = t.rfind(']');
  if (close == 0 || close == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

std::optional<KeyLine> SplitKeyLine(std::string_view text) {
  std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyLine{Trim(text.substr(0, eq)), Trim(text.substr(eq + 1))};
}

std::string_view Trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string_view Unquote(std::string_view text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

std::uint32_t ParseInt(std::string_view value, int fallback) {
  if (value.empty()) return static_cast<std::uint32_t>(fallback);
  std::size_t i = 0;
  while (i < value.size() && IsBlank(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) {
    negative = value[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (i + 1 < value.size() && value[i] == '0') {
    char p = value[i + 1];
    base = p == 'x' ? 16 : p == 'o' ? 8 : p == 'b' ? 2 : 10;
    if (base != 10) i += 2;
  }
  std::uint32_t result = 0;
  for (; i < value.size(); ++i) {
    char c = value[i];
    unsigned digit = (c >= '0' && c <= '9')   ? unsigned(c - '0')
                     : (c >= 'a' && c <= 'f') ? unsigned(c - 'a' + 10)
                     : (c >= 'A' && c <= 'F') ? unsigned(c - 'A' + 10)
                                              : 99;
    if (digit >= base) break;
    result = result * base + digit;  // wraps modulo 2^32, as the service does
  }
  return negative ? 0u - result : result;
}

bool BreaksLine(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos ||
         text.find('\0') != std::string_view::npos;
}

}  // namespace userprofile::profile
