#include "support/apptree.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "frame/frame.h"
#include "support/platform_wrapper.h"

namespace fs = std::filesystem;

namespace testing_support {

#ifdef _WIN32
std::string MakeTempDir() {
  // "upt." and six characters, as mkdtemp names them elsewhere.
  static std::atomic<unsigned> counter{0};
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device entropy;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = "upt.";
    unsigned bits = entropy() ^ (counter++ * 2654435761u);
    for (int i = 0; i < 6; ++i, bits /= 36) name += kChars[bits % 36];
    std::error_code ec;
    if (fs::create_directory(base / name, ec)) return (base / name).string();
  }
  throw std::runtime_error("cannot make a temporary directory");
}
#else
std::string MakeTempDir() {
  std::string tmpl = (fs::temp_directory_path() / "upt.XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
  return tmpl;
}
#endif

std::string BuiltProgram(const std::string& path) {
#ifdef _WIN32
  // The build puts the test programs and the hosts in one directory; its
  // path as CMake spells it may not be one Windows reads.
  return ProgramDir() + kSep + fs::path(path).filename().string();
#else
  return path;
#endif
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  // Read-only directories made by tests must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(
           path, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all,
                                           fs::perm_options::add, ec);
  }
  fs::remove_all(path, ec);
}

TempTree::TempTree() : path_(MakeTempDir()) {
  while (!path_.empty() && (path_.back() == '\\' || path_.back() == '/')) {
    path_.pop_back();
  }
}

TempTree::~TempTree() { RemoveTree(path_); }

std::string TempTree::At(std::initializer_list<std::string_view> relative) const {
  std::string path = path_;
  for (std::string_view part : relative) {
    path += userprofile::kSeparator;
    path.append(part);
  }
  return path;
}

std::string Join(std::initializer_list<std::string_view> parts) {
  std::string path;
  for (std::string_view part : parts) {
    if (!path.empty()) path += userprofile::kSeparator;
    path.append(part);
  }
  return path;
}

AppTree::AppTree(const std::string& prog_dir) {
  root_ = MakeTempDir();
  prog_ = root_ + kSep + NativePath(prog_dir);
  fs::create_directories(prog_);
  host_ = prog_ + kSep + kHostName;
  fs::copy_file(BuiltProgram(UP_HOST_PATH), host_);
}

AppTree::~AppTree() { RemoveTree(root_); }

std::string AppTree::users() const {
  return fs::path(prog_).parent_path().string() + kSep + "USER";
}

std::vector<std::string> AppTree::HostArgv(
    const std::vector<std::string>& args) const {
  std::vector<std::string> argv{host_};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

RunResult AppTree::Host(const std::vector<std::string>& args) const {
  return Run(HostArgv(args));
}

std::vector<unsigned> ChecksIn(const std::string& err) {
  static const std::regex line(
      "Assertion Failure: File : userprofile, Line : ([0-9]+)");
  std::vector<unsigned> checks;
  for (std::sregex_iterator it(err.begin(), err.end(), line), end; it != end;
       ++it) {
    checks.push_back(static_cast<unsigned>(std::stoul((*it)[1])));
  }
  return checks;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

bool IsDir(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool IsFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}
void MakeDirs(const std::string& path) { fs::create_directories(path); }

class InProcessApp::Module : public userprofile::PlatformWrapper {
 public:
  explicit Module(std::string path)
      : PlatformWrapper(userprofile::NativePlatform()),
        path_(std::move(path)) {}
  std::optional<std::string> ModuleFileName(const void*) override {
    if (path_.size() > userprofile::kMaxPath) return std::nullopt;
    return path_;
  }

 private:
  std::string path_;
};

InProcessApp::InProcessApp(const std::string& module_path)
    : platform_(std::make_unique<Module>(module_path)) {
  userprofile::LibraryLoad();
  userprofile::SetPlatform(platform_.get());
  userprofile::SetMessageSink(
      [this](const std::string& caption, const std::string& text, unsigned) {
        messages_.push_back(caption + ": " + text);
      });
}

InProcessApp::~InProcessApp() {
  const userprofile::LockHandle lock = userprofile::State().lock_handle;
  if (lock != userprofile::kNoLock && lock != userprofile::kFailedLock) {
    CloseUserSemaphoreFile();
  }
  userprofile::SetMessageSink(nullptr);
  userprofile::SetPlatform(nullptr);
  userprofile::LibraryLoad();
}

std::vector<unsigned> InProcessApp::TakeChecks() {
  std::vector<unsigned> checks;
  std::vector<std::string> rest;
  for (const std::string& m : messages_) {
    const std::vector<unsigned> in = ChecksIn(m);
    if (in.empty()) rest.push_back(m);
    checks.insert(checks.end(), in.begin(), in.end());
  }
  messages_.swap(rest);
  return checks;
}

std::vector<std::string> InProcessApp::TakeMessages() {
  std::vector<std::string> taken;
  taken.swap(messages_);
  return taken;
}

ModuleHandle InProcessApp::handle() const {
  return userprofile::AsHandle(this);
}

}  // namespace testing_support
