// A platform that forwards every service to another, so that a test
// overrides only the one it needs to observe or to fail.
#pragma once

#include "platform/platform.h"

namespace userprofile {

class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}

  Status ReadFile(const std::string& path, std::string& content) override {
    return target_.ReadFile(path, content);
  }
  FileLook Look(const std::string& path, bool follow_links) override {
    return target_.Look(path, follow_links);
  }
  Status WriteNewFile(const std::string& path, std::string_view bytes,
                      const std::string& model) override {
    return target_.WriteNewFile(path, bytes, model);
  }
  Status ReplaceFile(const std::string& from, const std::string& to) override {
    return target_.ReplaceFile(from, to);
  }
  Status RemoveName(const std::string& path) override {
    return target_.RemoveName(path);
  }
  std::vector<std::string> ListDirectory(const std::string& dir) override {
    return target_.ListDirectory(dir);
  }
  Status RenameNew(const std::string& from, const std::string& to) override {
    return target_.RenameNew(from, to);
  }
  Status RemoveTree(const std::string& dir) override {
    return target_.RemoveTree(dir);
  }
  bool IsEnterableDirectory(const std::string& path) override {
    return target_.IsEnterableDirectory(path);
  }
  Status MakeDirectory(const std::string& path) override {
    return target_.MakeDirectory(path);
  }
  Status CreateFileIfAbsent(const std::string& path) override {
    return target_.CreateFileIfAbsent(path);
  }
  Status CreateEmptyFile(const std::string& path) override {
    return target_.CreateEmptyFile(path);
  }
  Status OpenExclusive(const std::string& path, LockHandle& handle) override {
    return target_.OpenExclusive(path, handle);
  }
  void CloseExclusive(LockHandle handle) override {
    target_.CloseExclusive(handle);
  }
  bool InheritLock(LockHandle handle) override {
    return target_.InheritLock(handle);
  }
  Status WriteHeldLockFile(LockHandle handle, std::string_view text) override {
    return target_.WriteHeldLockFile(handle, text);
  }
  LockFileState ProbeLockFile(const std::string& path) override {
    return target_.ProbeLockFile(path);
  }
  Status LockUpdate(const std::string& file, LockHandle& handle) override {
    return target_.LockUpdate(file, handle);
  }
  std::optional<std::string> ModuleFileName(const void* module) override {
    return target_.ModuleFileName(module);
  }
  void ShowMessageBox(const std::string& text, const std::string& caption,
                      unsigned style) override {
    target_.ShowMessageBox(text, caption, style);
  }

 private:
  Platform& target_;
};

}  // namespace userprofile
