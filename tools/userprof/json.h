// The JSON that --json prints: values built in order and written as one
// line, so that a script reads the last line of the output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace userprof {

class Json {
 public:
  Json() = default;  // null
  Json(std::nullptr_t) {}
  Json(bool value) : kind_(Kind::kBool), bool_(value) {}
  Json(int value) : kind_(Kind::kNumber), number_(value) {}
  Json(const char* value) : kind_(Kind::kString), text_(value) {}
  Json(std::string value) : kind_(Kind::kString), text_(std::move(value)) {}
  static Json Object();
  static Json Array();

  // Sets a field of an object, replacing one of the same key in place;
  // fields keep the order in which they were first set.
  Json& Set(std::string_view key, Json value);
  // Sets every field of another object, in its order.
  Json& Merge(const Json& object);
  // Appends an item to an array.
  Json& Push(Json value);
  std::string Dump() const;

 private:
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  explicit Json(Kind kind) : kind_(kind) {}
  Kind kind_ = Kind::kNull;
  bool bool_ = false;
  long long number_ = 0;
  std::string text_;
  std::vector<std::string> keys_;  // objects: one per item
  std::vector<Json> items_;
};

// `text` as a JSON string literal. Text that is valid UTF-8 passes
// through; other bytes are read as Windows-1252, the code page of user
// names, so a name stored by a Windows host shows as it was typed there.
std::string JsonString(std::string_view text);

// True if `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(std::string_view text);

}  // namespace userprof
