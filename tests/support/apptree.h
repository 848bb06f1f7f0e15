// A temporary application tree for tests: <tmp>/APP/PROG/MAIN is a copy of
// the test host program (MAIN.EXE on Windows), so the registry is
// <tmp>/APP/PROG/USER.INI and the users root <tmp>/APP/USER, found from a
// real module path. Paths are joined with the platform's separator, as the
// library gives them back.
#pragma once

#include <memory>
#include <string>
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

// Check numbers in the order a child reported them on stderr.
std::vector<unsigned> ChecksIn(const std::string& err);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool IsDir(const std::string& path);
bool IsFile(const std::string& path);
void MakeDirs(const std::string& path);
std::string MakeTempDir();
// Where a program that the build made for the tests (a host, a helper)
// runs from, given its path as the build names it.
std::string BuiltProgram(const std::string& path);
void RemoveTree(const std::string& path);

// Runs the library in this process against an application tree: every
// module handle resolves to `module_path`, and reports are collected.
class InProcessApp {
 public:
  explicit InProcessApp(const std::string& module_path);
  ~InProcessApp();
  InProcessApp(const InProcessApp&) = delete;
  InProcessApp& operator=(const InProcessApp&) = delete;

  std::vector<unsigned> TakeChecks();
  std::vector<std::string> TakeMessages();  // "caption: text"
  ModuleHandle handle() const;

 private:
  class Module;
  std::unique_ptr<Module> platform_;
  std::vector<std::string> messages_;
};

}  // namespace testing_support
