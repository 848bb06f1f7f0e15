#include "platform/platform.h"

#include <cstring>
#include <mutex>
#include <utility>

namespace userprofile {
namespace {

Platform* g_override = nullptr;

// The installed sink, replaced whole under the mutex and called outside
// it: a report from one thread never waits for another thread's sink, and
// a sink that is replaced while it runs finishes with its own copy. Both
// are constant-initialized, so ready before any constructor runs.
std::mutex g_sink_mutex;
std::shared_ptr<const MessageSink> g_sink;

// `path` without the separators that end it (a root keeps its one).
std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && std::strchr(kSeparators, path.back())) path.pop_back();
  return path;
}

// The directory that holds `path`, "." for a bare name.
std::string DirectoryHolding(const std::string& path) {
  const std::size_t slash = path.find_last_of(kSeparators);
  if (slash == std::string::npos) return ".";
  return WithoutTrailingSeparators(path.substr(0, slash + 1));
}

}  // namespace

std::optional<FileLook> Platform::VersionOf(const std::string& path) {
  FileLook look = Look(path, true);
  if (look.kind != FileKind::kFile) return std::nullopt;
  return look;
}

bool Platform::NameTaken(const std::string& path) {
  return Look(path, false).kind != FileKind::kNone;
}

bool Platform::IsPlainDirectory(const std::string& path) {
  return Look(WithoutTrailingSeparators(path), false).kind == FileKind::kDirectory;
}

std::optional<std::uint64_t> Platform::NormalFileSize(const std::string& path) {
  const FileLook look = Look(path, false);
  if (look.kind != FileKind::kFile ||
      Look(DirectoryHolding(path), false).kind != FileKind::kDirectory) {
    return std::nullopt;
  }
  return look.version.size;
}

Platform& Sys() { return g_override ? *g_override : NativePlatform(); }

void SetPlatform(Platform* platform) { g_override = platform; }

void SetMessageSink(MessageSink sink) {
  std::shared_ptr<const MessageSink> installed;
  if (sink) installed = std::make_shared<const MessageSink>(std::move(sink));
  std::lock_guard<std::mutex> hold(g_sink_mutex);
  g_sink.swap(installed);
}

void ShowMessage(const std::string& text, const std::string& caption,
                 unsigned style) {
  std::shared_ptr<const MessageSink> sink;
  {
    std::lock_guard<std::mutex> hold(g_sink_mutex);
    sink = g_sink;
  }
  if (sink) {
    (*sink)(caption, text, style);
  } else {
    Sys().ShowMessageBox(text, caption, style);
  }
}

bool IsPlainWindowsName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    // Separators, a drive or stream colon, the wildcard and redirection
    // characters, and control bytes cannot stand in a file name.
    if (c < 0x20 || std::string_view("\\/:*?\"<>|").find(ch) !=
                        std::string_view::npos) {
      return false;
    }
  }
  // The system drops a trailing dot or space, so the directory created
  // would have another name than the one recorded.
  if (name.back() == '.' || name.back() == ' ') return false;
  // Device names reach a device, not a directory, with any extension.
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& ch : base) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
  }
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") {
    return false;
  }
  if (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
      base[3] >= '1' && base[3] <= '9') {
    return false;
  }
  return true;
}

bool IsPlainComponent(std::string_view name) {
#ifdef _WIN32
  return IsPlainWindowsName(name);
#else
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
#endif
}

}  // namespace userprofile
