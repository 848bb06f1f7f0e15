#include "frame/frame.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "frame/failure.h"
#include "frame/named_modules.h"
#include "userprofile.h"

namespace userprofile {

ProcessState& State() {
  static ProcessState state;
  return state;
}

namespace {

std::mutex& LibraryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string ReportText(unsigned check) {
  return "File : " + std::string(kSourcePath) +
         ", Line : " + std::to_string(check);
}

// The check whose report this thread is delivering, for CheckBeingReported.
thread_local unsigned g_reporting_check = 0;

}  // namespace

ExportCall::ExportCall() {
  LibraryMutex().lock();
  ClearFailure();
}

ExportCall::~ExportCall() {
  RecordFailure(failure_.failed() ? std::move(failure_) : TakeNote());
  LibraryMutex().unlock();
}

void ExportCall::Fail(const FailureCause& cause) {
  if (!failure_.failed()) failure_ = cause;
}

int LibraryLoad() {
  State() = ProcessState{};
  return 1;
}

void ReportCheckFailure(unsigned check) {
  const unsigned outer = g_reporting_check;
  g_reporting_check = check;
  ShowMessage(ReportText(check), "Assertion Failure", kTaskModal);
  g_reporting_check = outer;
}

FailureCause Reported(unsigned check, FailureCause cause) {
  cause.check = check;
  ReportCheckFailure(check);
  return cause;
}

FailureCause Fault(unsigned check, Failure kind, std::string text) {
  return Reported(check, NotedOr(kind, text + " (check " +
                                           std::to_string(check) + ")"));
}

unsigned CheckBeingReported() { return g_reporting_check; }

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

// The module paths asked of the platform in the current scope. The slots
// outlive the scope, keeping their storage, so a call that asks once
// allocates nothing to remember it.
struct KnownModule {
  const void* module = nullptr;
  std::string path;
  bool valid = false;
};

struct ModulePaths {
  int scopes = 0;
  std::vector<KnownModule> known;  // one per module a host uses; few
};

constexpr std::size_t kKnownModules = 8;

ModulePaths& Remembered() {
  static ModulePaths paths;
  return paths;
}

// The last paths built beside a module path: a warm call splits none.
struct BuiltPath {
  std::string module_path;
  std::string name;
  std::string path;
};

BuiltPath& LastBuilt(std::string_view name) {
  static std::vector<BuiltPath> built;
  for (BuiltPath& b : built) {
    if (b.name == name) return b;
  }
  built.push_back(BuiltPath{{}, std::string(name), {}});
  return built.back();
}

}  // namespace

ModulePathScope::ModulePathScope() { ++Remembered().scopes; }

ModulePathScope::~ModulePathScope() {
  if (--Remembered().scopes == 0) {
    for (KnownModule& known : Remembered().known) known.valid = false;
  }
}

Result<std::string> FetchModulePath(const void* module) {
  ModulePaths& remembered = Remembered();
  KnownModule* slot = nullptr;
  if (remembered.scopes > 0) {
    for (KnownModule& known : remembered.known) {
      if (known.module == module) slot = &known;
    }
    if (slot && slot->valid) return slot->path;
  }
  std::optional<std::string> path;
  if (const std::string* named = NamedModulePath(module)) {
    // Never cut: a cut path would name another file.
    if (named->size() <= kMaxPath) path = *named;
  } else {
    path = Sys().ModuleFileName(module);
  }
  if (!path) {
    return Fault(kCheckModulePathUnusable, Failure::kInvalidArgument,
                 "the module's path cannot be had or is longer than 127 "
                 "characters");
  }
  if (remembered.scopes > 0) {
    if (!slot) {
      if (remembered.known.size() >= kKnownModules) remembered.known.clear();
      slot = &remembered.known.emplace_back();
      slot->module = module;
    }
    slot->path.assign(*path);
    slot->valid = true;
  }
  return *std::move(path);
}

namespace {

// The path of file `name` + `ext` in the module's directory, or the cause
// (reported) when it cannot be built within kMaxPath characters.
Result<std::string> ModuleFilePath(const void* module, std::string_view name,
                                   std::string_view ext) {
  if (module == nullptr) ReportCheckFailure(kCheckNullModule);
  Result<std::string> module_path = FetchModulePath(module);
  if (!module_path) return module_path.cause();
  // Keyed by name and extension together: "USER" + ".INI".
  std::string file(name);
  file.append(ext);
  BuiltPath& built = LastBuilt(file);
  if (built.module_path != *module_path || built.path.empty()) {
    PathParts parts = SplitPath(*module_path);
    built.path = parts.drive + parts.dir;
    built.path.append(file);
    built.module_path.assign(*module_path);
  }
  if (built.path.size() > kMaxPath) {
    return Fault(kCheckRegistryPathTooLong, Failure::kInvalidArgument,
                 "the registry's path would be longer than 127 characters");
  }
  return built.path;
}

}  // namespace

Result<std::string> RegistryPath(const void* module) {
  return ModuleFilePath(module, "USER", ".INI");
}

void CopyOut(std::string_view text, char* out) {
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
}

void WriteBackName(std::string_view text, char* name) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (name[i] != text[i]) name[i] = text[i];
  }
  if (name[text.size()] != '\0') name[text.size()] = '\0';
}

std::string Quoted(std::string_view name) {
  return "\"" + std::string(name) + "\"";
}

}  // namespace userprofile

extern "C" USERPROFILE_EXPORT int USERPROFILE_CALL WEP(int) {
  const userprofile::ExportCall call;
  return 1;
}
