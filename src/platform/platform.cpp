#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace userprofile {
namespace {

Platform* g_override = nullptr;

bool& CacheSwitch() {
  static bool enabled = [] {
    const char* setting = std::getenv("USERPROFILE_PROFILE_CACHE");
    return setting == nullptr || std::strcmp(setting, "0") != 0;
  }();
  return enabled;
}

MessageSink& Sink() {
  static MessageSink sink;
  return sink;
}

}  // namespace

Platform& Sys() { return g_override ? *g_override : NativePlatform(); }

void SetPlatform(Platform* platform) { g_override = platform; }

bool ProfileCacheEnabled() { return CacheSwitch(); }

void SetProfileCacheEnabled(bool enabled) { CacheSwitch() = enabled; }

void SetMessageSink(MessageSink sink) { Sink() = std::move(sink); }

void ShowMessage(const std::string& text, const std::string& caption,
                 unsigned style) {
  if (Sink()) {
    Sink()(caption, text, style);
  } else {
    Sys().ShowMessageBox(text, caption, style);
  }
}

bool IsPlainComponent(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\0' || ch == kSeparator) return false;
#ifdef _WIN32
    // '/' separates too, ':' names a drive or a stream, and control bytes
    // cannot stand in a file name.
    if (ch == '/' || ch == ':' || c < 0x20) return false;
#endif
  }
  return true;
}

}  // namespace userprofile
