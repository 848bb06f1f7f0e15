#include "frame/frame.h"

#include <cstring>
#include <map>
#include <mutex>

#include "frame/failure.h"
#include "userprofile.h"

namespace userprofile {

ProcessState& State() {
  static ProcessState state;
  return state;
}

namespace {

std::recursive_mutex& LibraryMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

thread_local int call_depth = 0;

}  // namespace

ExportCall::ExportCall() {
  LibraryMutex().lock();
  if (call_depth++ == 0) ClearFailure();
}

ExportCall::~ExportCall() {
  --call_depth;
  LibraryMutex().unlock();
}

int LibraryLoad() {
  State() = ProcessState{};
  return 1;
}

void ReportCheckFailure(unsigned check) {
  std::string text = "File : " + std::string(kSourcePath) +
                     ", Line : " + std::to_string(check);
  ShowMessage(text, "Assertion Failure", kTaskModal);
}

PathParts SplitPath(std::string_view path) {
  PathParts parts;
  if (kSeparator == '\\' && path.size() >= 2 && path[1] == ':') {
    parts.drive = std::string(path.substr(0, 2));
    path.remove_prefix(2);
  }
  std::size_t slash = path.rfind(kSeparator);
  std::size_t name_start = slash == std::string_view::npos ? 0 : slash + 1;
  parts.dir = std::string(path.substr(0, name_start));
  std::string_view file = path.substr(name_start);
  std::size_t dot = file.rfind('.');
  if (dot == std::string_view::npos) dot = file.size();
  parts.base = std::string(file.substr(0, dot));
  parts.ext = std::string(file.substr(dot));
  return parts;
}

namespace {

struct ModulePaths {
  int scopes = 0;
  std::map<const void*, std::string> known;
};

ModulePaths& Remembered() {
  static ModulePaths paths;
  return paths;
}

}  // namespace

ModulePathScope::ModulePathScope() { ++Remembered().scopes; }

ModulePathScope::~ModulePathScope() {
  if (--Remembered().scopes == 0) Remembered().known.clear();
}

std::optional<std::string> FetchModulePath(const void* module) {
  ModulePaths& remembered = Remembered();
  if (remembered.scopes > 0) {
    auto it = remembered.known.find(module);
    if (it != remembered.known.end()) return it->second;
  }
  std::optional<std::string> path = Sys().ModuleFileName(module);
  if (!path) {
    ReportCheckFailure(kCheckModulePathUnusable);
  } else if (remembered.scopes > 0) {
    remembered.known.emplace(module, *path);
  }
  return path;
}

std::optional<std::string> ModuleFilePath(const void* module,
                                          std::string_view name,
                                          std::string_view ext) {
  if (module == nullptr) ReportCheckFailure(kCheckNullModule);
  std::optional<std::string> module_path = FetchModulePath(module);
  if (!module_path) return std::nullopt;
  PathParts parts = SplitPath(*module_path);
  std::string path = parts.drive + parts.dir;
  path.append(name).append(ext);
  if (path.size() > kMaxPath) {
    ReportCheckFailure(kCheckRegistryPathTooLong);
    return std::nullopt;
  }
  return path;
}

std::optional<std::string> RegistryPath(const void* module) {
  return ModuleFilePath(module, "USER", ".INI");
}

void CopyOut(std::string_view text, char* out) {
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
}

}  // namespace userprofile

extern "C" USERPROFILE_EXPORT int USERPROFILE_CALL WEP(int) {
  const userprofile::ExportCall call;
  return 1;
}
