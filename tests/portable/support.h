// Helpers for the tests that run on every build: a real temporary tree,
// byte-exact file access, paths joined with the platform's separator, and
// an in-process run of the library anchored at a module path of the test's
// choosing, with its reports collected through the message sink.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "userprofile.h"

namespace portable {

// Joins path components with the platform's separator.
std::string Join(std::initializer_list<std::string_view> parts);

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

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, std::string_view bytes);
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
void MakeDirectories(const std::string& path);

// Runs the library in this process as a host whose module is `module_path`:
// every module handle resolves to that path, through the real platform
// for everything else, and every message is collected instead of shown.
class InProcessHost {
 public:
  explicit InProcessHost(std::string module_path);
  ~InProcessHost();
  InProcessHost(const InProcessHost&) = delete;
  InProcessHost& operator=(const InProcessHost&) = delete;

  // A non-null handle for the exports; which one does not matter.
  ModuleHandle handle() const;
  // The check numbers reported since the last call, in order.
  std::vector<unsigned> TakeChecks();
  // Every message since the last call, as "caption: text".
  std::vector<std::string> TakeMessages();

 private:
  class Module : public userprofile::PlatformWrapper {
   public:
    explicit Module(std::string path);
    std::optional<std::string> ModuleFileName(const void* module) override;

   private:
    std::string path_;
  };
  Module platform_;
  std::vector<std::string> messages_;
};

}  // namespace portable
