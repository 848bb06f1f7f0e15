#include "support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "frame/frame.h"

namespace fs = std::filesystem;

namespace portable {

std::string Join(std::initializer_list<std::string_view> parts) {
  std::string path;
  for (std::string_view part : parts) {
    if (!path.empty()) path += userprofile::kSeparator;
    path.append(part);
  }
  return path;
}

TempTree::TempTree() {
  static std::atomic<unsigned> counter{0};
  std::random_device entropy;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Short names keep the trees' paths far below the library's limit.
    std::string name = "upw" + std::to_string(entropy() % 1000000) + "." +
                       std::to_string(counter++);
    std::error_code ec;
    if (fs::create_directory(base / name, ec)) {
      path_ = (base / name).string();
      while (!path_.empty() && (path_.back() == '\\' || path_.back() == '/')) {
        path_.pop_back();
      }
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempTree::~TempTree() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempTree::At(std::initializer_list<std::string_view> relative) const {
  std::string path = path_;
  for (std::string_view part : relative) {
    path += userprofile::kSeparator;
    path.append(part);
  }
  return path;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

void MakeDirectories(const std::string& path) { fs::create_directories(path); }

InProcessHost::Module::Module(std::string path)
    : PlatformWrapper(userprofile::NativePlatform()), path_(std::move(path)) {}

std::optional<std::string> InProcessHost::Module::ModuleFileName(const void*) {
  if (path_.size() > userprofile::kMaxPath) return std::nullopt;
  return path_;
}

InProcessHost::InProcessHost(std::string module_path)
    : platform_(std::move(module_path)) {
  userprofile::LibraryLoad();
  userprofile::SetPlatform(&platform_);
  userprofile::SetMessageSink(
      [this](const std::string& caption, const std::string& text, unsigned) {
        messages_.push_back(caption + ": " + text);
      });
}

InProcessHost::~InProcessHost() {
  // A lock the test left open goes with the host.
  if (userprofile::State().lock_handle != userprofile::kNoLock) {
    CloseUserSemaphoreFile();
  }
  userprofile::SetMessageSink(nullptr);
  userprofile::SetPlatform(nullptr);
  userprofile::LibraryLoad();
}

ModuleHandle InProcessHost::handle() const {
  return userprofile::AsHandle(this);
}

std::vector<unsigned> InProcessHost::TakeChecks() {
  static constexpr std::string_view kPrefix =
      "Assertion Failure: File : userprofile, Line : ";
  std::vector<unsigned> checks;
  std::vector<std::string> rest;
  for (const std::string& m : messages_) {
    if (m.compare(0, kPrefix.size(), kPrefix) == 0) {
      checks.push_back(static_cast<unsigned>(std::stoul(m.substr(kPrefix.size()))));
    } else {
      rest.push_back(m);
    }
  }
  messages_.swap(rest);
  return checks;
}

std::vector<std::string> InProcessHost::TakeMessages() {
  std::vector<std::string> taken;
  taken.swap(messages_);
  return taken;
}

}  // namespace portable
