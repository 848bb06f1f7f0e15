#include "json.h"

#include <cstdint>
#include <cstdio>

namespace userprof {
namespace {

// Windows-1252 bytes 0x80 to 0x9F; the five unassigned ones map to the
// control characters of the same value, as Windows converts them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string UnicodeEscape(unsigned code) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", code & 0xFFFFu);
  return buf;
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

std::string JsonString(std::string_view text) {
  const bool utf8 = IsUtf8(text);
  std::string out = "\"";
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      out += UnicodeEscape(c);
    } else if (c < 0x80 || utf8) {
      out += ch;
    } else if (c < 0xA0) {
      out += UnicodeEscape(kCp1252High[c - 0x80]);
    } else {
      out += UnicodeEscape(c);  // 0xA0 to 0xFF are Latin-1 in 1252
    }
  }
  out += '"';
  return out;
}

Json Json::Object() { return Json(Kind::kObject); }
Json Json::Array() { return Json(Kind::kArray); }

Json& Json::Set(std::string_view key, Json value) {
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == key) {
      items_[i] = std::move(value);
      return *this;
    }
  }
  keys_.emplace_back(key);
  items_.push_back(std::move(value));
  return *this;
}

Json& Json::Merge(const Json& object) {
  for (std::size_t i = 0; i < object.keys_.size(); ++i) {
    Set(object.keys_[i], object.items_[i]);
  }
  return *this;
}

Json& Json::Push(Json value) {
  items_.push_back(std::move(value));
  return *this;
}

std::string Json::Dump() const {
  switch (kind_) {
    case Kind::kNull:
      return "null";
    case Kind::kBool:
      return bool_ ? "true" : "false";
    case Kind::kNumber:
      return std::to_string(number_);
    case Kind::kString:
      return JsonString(text_);
    case Kind::kArray: {
      std::string out = "[";
      for (std::size_t i = 0; i < items_.size(); ++i) {
        if (i > 0) out += ',';
        out += items_[i].Dump();
      }
      return out + "]";
    }
    case Kind::kObject: {
      std::string out = "{";
      for (std::size_t i = 0; i < items_.size(); ++i) {
        if (i > 0) out += ',';
        out += JsonString(keys_[i]) + ":" + items_[i].Dump();
      }
      return out + "}";
    }
  }
  return "null";
}

}  // namespace userprof
