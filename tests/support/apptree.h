// The helpers of every test, on every build: real temporary trees (an
// application tree, <tmp>/APP/PROG/MAIN, a copy of the test host program
// (MAIN.EXE on Windows), so the registry is <tmp>/APP/PROG/USER.INI and
// the users root <tmp>/APP/USER, found from a real module path; or an
// empty one), byte-exact file access, and an in-process run of the
// library anchored at a module path of the test's choosing. Paths are
// joined with the platform's separator, as the library gives them back.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "support/process.h"
#include "userprofile.h"

namespace testing_support {

// The platform's separator as a string, for expected paths.
inline const std::string kSep(1, userprofile::kSeparator);

// The file name of the host program in an application tree.
#ifdef _WIN32
inline const std::string kHostName = "MAIN.EXE";
#else
inline const std::string kHostName = "MAIN";
#endif

// A path written with '/' as this platform spells it: on Windows with
// backslashes, and a path from the top on drive C: ("/X/MAIN" is
// "C:\X\MAIN"). Unchanged elsewhere.
inline std::string NativePath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = userprofile::kSeparator;
  }
#ifdef _WIN32
  if (!path.empty() && path.front() == userprofile::kSeparator) path = "C:" + path;
#endif
  return path;
}

class AppTree {
 public:
  // `prog_dir` is the module's directory below the tree's root ('/'
  // separates its components on every platform).
  explicit AppTree(const std::string& prog_dir = "APP/PROG");
  ~AppTree();
  AppTree(const AppTree&) = delete;
  AppTree& operator=(const AppTree&) = delete;

  const std::string& root() const { return root_; }
  const std::string& prog() const { return prog_; }
  const std::string& host() const { return host_; }
  std::string registry() const { return prog_ + kSep + "USER.INI"; }
  std::string users() const;
  std::string Home(const std::string& dir_name) const {
    return users() + kSep + dir_name;
  }

  // Runs the host program in this tree with the given commands.
  RunResult Host(const std::vector<std::string>& args) const;
  std::vector<std::string> HostArgv(const std::vector<std::string>& args) const;

 private:
  std::string root_;
  std::string prog_;
  std::string host_;
};

// A new, empty directory in the system's temporary directory, removed with
// everything in it when the tree goes.
class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& path() const { return path_; }
  // The path of `relative` (components joined by the separator) in the tree.
  std::string At(std::initializer_list<std::string_view> relative) const;

 private:
  std::string path_;
};

// Joins path components with the platform's separator.
std::string Join(std::initializer_list<std::string_view> parts);

// Check numbers in the order a child reported them on stderr.
std::vector<unsigned> ChecksIn(const std::string& err);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view content);
bool Exists(const std::string& path);
bool IsDir(const std::string& path);
bool IsFile(const std::string& path);
void MakeDirs(const std::string& path);
std::string MakeTempDir();
// Where a program that the build made for the tests (a host, a helper)
// runs from, given its path as the build names it.
std::string BuiltProgram(const std::string& path);
void RemoveTree(const std::string& path);

// Runs the library in this process as a host whose module is
// `module_path`: every module handle resolves to that path, through the
// real platform for everything else, and every message is collected
// instead of shown. A lock the test left open goes with it.
class InProcessApp {
 public:
  explicit InProcessApp(const std::string& module_path);
  ~InProcessApp();
  InProcessApp(const InProcessApp&) = delete;
  InProcessApp& operator=(const InProcessApp&) = delete;

  // The check numbers reported since the last call, in order.
  std::vector<unsigned> TakeChecks();
  // Every other message since the last call, as "caption: text".
  std::vector<std::string> TakeMessages();
  ModuleHandle handle() const;

 private:
  class Module;
  std::unique_ptr<Module> platform_;
  std::vector<std::string> messages_;
};

}  // namespace testing_support
