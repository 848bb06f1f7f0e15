// Random sequences of the exports, with random names, on a scratch
// application tree that the input may also tamper with: registry bytes
// and entries rewritten, links planted in the users root that point out of
// the tree. The library runs in this process with its real platform, only
// the module path pointing into the scratch tree. After every input the
// tree is walked: the library may have made files only in <scratch>/APP/PROG
// (the registry) and home directories with their lock files in
// <scratch>/APP/USER; the link targets outside stay as planted.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "frame/frame.h"
#include "platform/names.h"
#include "platform/platform.h"
#include "support/platform_wrapper.h"
#include "registry/profile_document.h"
#include "registry/profile.h"
#include "userprofile.h"

namespace fs = std::filesystem;
namespace profile = userprofile::profile;

namespace {

// Lookups walk every key up to the count, reading the file each time:
// a tampered count is kept small so that one input runs in milliseconds.
constexpr int kMaxTamperedCount = 200;
constexpr int kMaxOperations = 48;
constexpr char kVictimText[] = "victim";

void Require(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "operation property broken: %s\n", what.c_str());
  std::abort();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// The scratch tree, made once per process. A fast file system keeps the
// registry's flushes cheap: TMPDIR if set, else /dev/shm, else /tmp.
class Scratch {
 public:
  Scratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp                       ? tmp
                       : fs::is_directory("/dev/shm") ? "/dev/shm"
                                                      : "/tmp";
    std::string pattern = base + "/upfuzz.XXXXXX";
    Require(::mkdtemp(pattern.data()) != nullptr, "scratch directory");
    root_ = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const std::string& root() const { return root_; }
  std::string prog() const { return root_ + "/APP/PROG"; }
  std::string users() const { return root_ + "/APP/USER"; }
  std::string registry() const { return prog() + "/USER.INI"; }
  std::string outside() const { return root_ + "/OUT"; }
  std::string victim() const { return outside() + "/victim"; }

  void Reset() const {
    std::error_code ec;
    fs::remove_all(root_ + "/APP", ec);
    fs::remove_all(outside(), ec);
    fs::create_directories(prog());
    fs::create_directories(outside());
    WriteAll(victim(), kVictimText);
  }

 private:
  std::string root_;
};

Scratch* g_scratch = nullptr;

// Every module handle names <scratch>/APP/PROG/MAIN.
class ScratchModule : public userprofile::PlatformWrapper {
 public:
  ScratchModule() : PlatformWrapper(userprofile::NativePlatform()) {}
  std::optional<std::string> ModuleFileName(const void*) override {
    return g_scratch->prog() + "/MAIN";
  }
};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size)
      : data_(reinterpret_cast<const char*>(data), size) {}
  bool empty() const { return data_.empty(); }
  unsigned Byte() {
    if (data_.empty()) return 0;
    unsigned b = static_cast<unsigned char>(data_.front());
    data_.remove_prefix(1);
    return b;
  }
  std::string Bytes(std::size_t max) {
    std::size_t n = std::min<std::size_t>(Byte() % (max + 1), data_.size());
    std::string bytes(data_.substr(0, n));
    data_.remove_prefix(n);
    return bytes;
  }
  // A name as a C caller passes it: up to its first NUL.
  std::string Name() {
    std::string bytes = Bytes(40);
    return bytes.substr(0, bytes.find('\0'));
  }

 private:
  std::string_view data_;
};

std::vector<char> Text(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  return buffer;
}

// A home directory path as the lookups give it: empty, or the users root,
// a separator, one plain 8-character name and a separator.
// A home path is the users root, one plain name and a separator: the
// registry's 8-byte field, or the UTF-8 that spells a code page 1252 field
// (how a POSIX file system names the home a Windows host made).
void RequireHomePath(const std::string& path) {
  if (path.empty()) return;
  const std::string root = g_scratch->users() + "/";
  Require(path.rfind(root, 0) == 0 && path.size() > root.size() + 1 && path.back() == '/',
          "home path outside the users root: " + path);
  const std::string name = path.substr(root.size(), path.size() - root.size() - 1);
  Require(userprofile::IsPlainComponent(name), "home path not plain: " + path);
  const std::optional<std::string> field = userprofile::Utf8ToCp1252(name);
  Require(name.size() == 8 || (field && field->size() == 8),
          "home path names no 8-byte field: " + path);
}

// Only the library's own files, in their own places; the planted files
// outside exactly as planted.
void RequireTreeInPlace() {
  const std::string root = g_scratch->root();
  for (auto it = fs::recursive_directory_iterator(root);
       it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    const fs::path parent = fs::path(rel).parent_path();
    const std::string name = it->path().filename().string();
    bool ok = rel == "APP" || rel == "OUT" || rel == "APP/PROG" ||
              rel == "APP/USER" || parent == "APP/USER" ||
              (parent == "APP/PROG" &&
               (name == "USER.INI" || name == "USER.INI.lock" ||
                name.rfind("USER.INI.~", 0) == 0)) ||
              (parent.parent_path() == "APP/USER" && name == "IKIVO.SMP") ||
              rel == "OUT/victim";
    Require(ok, "made outside its place: " + rel);
  }
  Require(ReadAll(g_scratch->victim()) == kVictimText, "a file outside was changed");
}

// Rewrites the registry with bytes of the input, unless its count would
// make every lookup slow.
void TamperRegistry(const std::string& content) {
  const int count = static_cast<int>(
      profile::ParseInt(profile::ValueIn(content, "NUSER", "NO").value_or(""), 0));
  if (count > kMaxTamperedCount) return;
  WriteAll(g_scratch->registry(), content);
}

void TamperEntry(unsigned key, const std::string& entry) {
  std::optional<std::string> content = profile::WithValue(
      ReadAll(g_scratch->registry()), "LUSER", std::to_string(key), entry);
  if (content) WriteAll(g_scratch->registry(), *content);
}

// Plants a link named `name` in the users root that leads out of the tree:
// either the home directory itself or its lock file.
void PlantLink(const std::string& name, bool lock_file) {
  if (!userprofile::IsPlainComponent(name)) return;
  const std::string home = g_scratch->users() + "/" + name;
  std::error_code ec;
  if (lock_file) {
    if (!fs::is_directory(fs::symlink_status(home, ec))) return;
    fs::remove(home + "/IKIVO.SMP", ec);
    fs::create_symlink(g_scratch->victim(), home + "/IKIVO.SMP", ec);
  } else {
    fs::create_directories(g_scratch->users(), ec);
    fs::create_directory_symlink(g_scratch->outside(), home, ec);
  }
}

void RunOne(Input& in, ModuleHandle h) {
  const std::string users = g_scratch->users();
  switch (in.Byte() % 16) {
    case 0:
      VerifyUserProfiles(h);
      break;
    case 1:
    case 2: {
      std::vector<char> name = Text(in.Name());
      CreateUserProfile(h, name.data(), 1);
      break;
    }
    case 3: {
      std::vector<char> name = Text(in.Name());
      CreateUserProfile(h, name.data(), 0);
      break;
    }
    case 4:
      DoesUserExist(h, Text(in.Name()).data());
      break;
    case 5: {
      std::vector<char> out(USERPROFILE_PATH_SIZE, '#');
      GetDirForUser(h, Text(in.Name()).data(), out.data());
      RequireHomePath(out.data());
      break;
    }
    case 6: {
      std::vector<char> out(USERPROFILE_PATH_SIZE, '#');
      GetUserHomeDir(h, out.data());
      RequireHomePath(out.data());
      break;
    }
    case 7:
      SetDefaultUser(h, Text(in.Name()).data());
      break;
    case 8: {
      std::vector<char> out(USERPROFILE_DEFAULT_SIZE, '#');
      GetDefaultUser(h, out.data());
      Require(std::strlen(out.data()) < USERPROFILE_DEFAULT_SIZE, "default user");
      break;
    }
    case 9:
      openUserSemaphoreFile(Text(in.Name()).data(), h);
      break;
    case 10:
      CloseUserSemaphoreFile();
      break;
    case 11: {
      const int entry = static_cast<std::int8_t>(in.Byte());
      std::vector<char> name = Text(in.Name());
      std::vector<char> out(users.size() + 10, '#');
      CreateUserProfileEx(users.c_str(), g_scratch->registry().c_str(), entry,
                          name.data(), out.data());
      const std::string made(out.data());
      Require(made.empty() || (made.size() == users.size() + 9 &&
                               made.rfind(users + "/", 0) == 0),
              "CreateUserProfileEx output: " + made);
      break;
    }
    case 12: {
      std::vector<char> name = Text(in.Name());
      std::vector<char> out(USERPROFILE_HOMEDIRNAME_SIZE, '#');
      GetProperHomeDirName(name.data(), out.data());
      Require(std::strlen(out.data()) == 8, "home directory name length");
      break;
    }
    case 13:
      TamperRegistry(in.Bytes(160));
      break;
    case 14: {
      const unsigned key = in.Byte() % 8 + 1;
      TamperEntry(key, in.Bytes(24));
      break;
    }
    default: {
      const bool lock_file = in.Byte() & 1;
      PlantLink(in.Bytes(8), lock_file);
      break;
    }
  }
}

// A lock taken again while one is held leaves the first open until the
// process ends. Each input stands for one run of a host, so its end closes
// every descriptor that still names a file of the scratch tree.
void EndOfProcess() {
  CloseUserSemaphoreFile();
  std::error_code ec;
  std::vector<int> stale;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
    const std::string target = fs::read_symlink(fd.path(), ec).string();
    if (!ec && target.rfind(g_scratch->root() + "/", 0) == 0) {
      stale.push_back(std::stoi(fd.path().filename().string()));
    }
  }
  for (int fd : stale) ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static Scratch scratch;
  static ScratchModule module;
  g_scratch = &scratch;
  userprofile::SetPlatform(&module);
  // Reports are the expected answer to most of this input: keep them quiet.
  userprofile::SetMessageSink(
      [](const std::string&, const std::string&, unsigned) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  g_scratch->Reset();
  userprofile::LibraryLoad();
  Input in(data, size);
  int dummy = 0;
  ModuleHandle h = &dummy;
  for (int i = 0; i < kMaxOperations && !in.empty(); ++i) RunOne(in, h);
  EndOfProcess();
  RequireTreeInPlace();
  return 0;
}
