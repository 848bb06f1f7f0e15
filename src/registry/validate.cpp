#include "frame/failure.h"
#include "frame/frame.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// ASCII punctuation spoils a name; it needs an ASCII letter or digit.
bool IsPunctuation(unsigned char c) {
  return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) ||
         (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

bool IsLetterOrDigit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

}  // namespace

bool IsValidUserName(std::string_view name) {
  if (name.size() > kMaxNameLength) return false;
  bool letter_or_digit = false;
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (IsPunctuation(c)) return false;
    letter_or_digit = letter_or_digit || IsLetterOrDigit(c);
  }
  return letter_or_digit;
}

bool IsValidEntry(std::string_view entry) {
  std::size_t comma = entry.find(',');
  if (entry.empty() || comma == std::string_view::npos) return true;
  if (comma == 0) return false;
  if (!IsValidUserName(entry.substr(0, comma))) return false;
  return entry.size() - comma - 1 == kHomeDirNameLength;
}

std::optional<UserEntry> SplitEntry(std::string_view entry) {
  std::size_t comma = entry.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  return UserEntry{std::string(entry.substr(0, comma)),
                   std::string(entry.substr(comma + 1))};
}

}  // namespace userprofile

using userprofile::IsValidEntry;
using userprofile::IsValidUserName;

// These two touch no shared state: no hold, so they never wait behind
// another thread's call.
extern "C" USERPROFILE_EXPORT int USERPROFILE_CALL ValidUserName(
    const char* name) {
  userprofile::ClearFailure();
  return IsValidUserName(name ? name : "") ? 1 : 0;
}

extern "C" USERPROFILE_EXPORT int USERPROFILE_CALL IsEntryValid(
    const char* entry) {
  userprofile::ClearFailure();
  return IsValidEntry(entry ? entry : "") ? 1 : 0;
}
