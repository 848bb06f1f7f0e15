#include "profile/profile.h"

#include <algorithm>

namespace userprofile::profile {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' ||
         c == '\x1A';
}

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }

// One line of the file: its text without the line break, and where the
// next line starts. CR, LF and CRLF all end a line.
struct Line {
  std::size_t begin;
  std::size_t end;
  std::size_t next;
};

class Lines {
 public:
  explicit Lines(std::string_view content) : content_(content) {
    if (content_.substr(0, kUtf8Bom.size()) == kUtf8Bom) pos_ = kUtf8Bom.size();
  }

  std::optional<Line> Next() {
    if (pos_ >= content_.size()) return std::nullopt;
    std::size_t end = content_.find_first_of("\r\n", pos_);
    Line line{pos_, end == std::string_view::npos ? content_.size() : end, 0};
    line.next = line.end;
    if (line.next < content_.size()) {
      line.next += (content_[line.next] == '\r' &&
                    line.next + 1 < content_.size() &&
                    content_[line.next + 1] == '\n')
                       ? 2
                       : 1;
    }
    pos_ = line.next;
    return line;
  }

  std::string_view Text(const Line& line) const {
    return LineText(content_.substr(line.begin, line.end - line.begin));
  }

 private:
  std::string_view content_;
  std::size_t pos_ = 0;
};

// Where a key stands, or where a new key of a section would go.
struct Location {
  bool section_found = false;
  std::optional<Line> key_line;      // the first matching key
  std::optional<Line> section_last;  // last non-blank line of the section
  std::string_view key_spelling;     // the key as the file spells it
};

Location Locate(std::string_view content, std::string_view section,
                std::string_view key) {
  Location loc;
  section = Trim(section);
  key = Trim(key);
  Lines lines(content);
  bool in_section = false;
  while (std::optional<Line> line = lines.Next()) {
    std::string_view text = lines.Text(*line);
    if (std::optional<std::string_view> name = HeaderName(text)) {
      // Only the first section of a name is ever searched.
      if (in_section) break;
      if (!loc.section_found && !name->empty() && SameName(*name, section)) {
        in_section = true;
        loc.section_found = true;
        loc.section_last = line;
      }
      continue;
    }
    if (!in_section) continue;
    if (!Trim(text).empty()) loc.section_last = line;
    if (std::optional<KeyLine> kl = SplitKeyLine(text)) {
      if (SameName(kl->key, key)) {
        loc.key_line = line;
        loc.key_spelling = kl->key;
        return loc;
      }
    }
  }
  return loc;
}

// The line ending of the content's first line break; CRLF when it has
// none.
std::string_view LineEnding(std::string_view content) {
  std::size_t at = content.find_first_of("\r\n");
  if (at == std::string_view::npos) return "\r\n";
  if (content[at] == '\n') return "\n";
  return (at + 1 < content.size() && content[at + 1] == '\n') ? "\r\n" : "\r";
}

}  // namespace

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

std::optional<std::string> WithValue(std::string_view content,
                                     std::string_view section,
                                     std::string_view key,
                                     std::string_view value) {
  if (BreaksLine(section) || BreaksLine(key) || BreaksLine(value)) {
    return std::nullopt;
  }
  const std::string_view eol = LineEnding(content);
  Location loc = Locate(content, section, key);
  std::string out;
  out.reserve(content.size() + section.size() + key.size() + value.size() + 8);

  if (loc.key_line) {
    Lines lines(content);
    std::optional<KeyLine> kl = SplitKeyLine(lines.Text(*loc.key_line));
    if (Unquote(kl->value) == value) return std::string(content);
    out.append(content.substr(0, loc.key_line->begin));
    out.append(loc.key_spelling).append("=").append(value);
    out.append(content.substr(loc.key_line->end));
    return out;
  }

  std::string new_line = std::string(key) + "=" + std::string(value);
  if (loc.section_found) {
    const Line& last = *loc.section_last;
    out.append(content.substr(0, last.next));
    if (last.next == last.end) out.append(eol);  // last line had no break
    out.append(new_line).append(eol);
    out.append(content.substr(last.next));
    return out;
  }

  out.append(content);
  if (!content.empty() && content.back() != '\n' && content.back() != '\r') {
    out.append(eol);
  }
  out.append("[").append(section).append("]").append(eol);
  out.append(new_line).append(eol);
  return out;
}

}  // namespace userprofile::profile
