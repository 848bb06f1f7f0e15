#include "frame/frame.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "frame/failure.h"
#include "frame/named_modules.h"
#include "userprofile.h"

namespace userprofile {
namespace {

struct CheckCause {
  Failure kind;
  const char* what;
};

// What a failed check means to a caller, for the checks after which the
// call cannot do what was asked. The others (a name that had to be
// trimmed, a missing module that stands for the main program) are
// reported and the call goes on to succeed: they record no failure.
std::optional<CheckCause> CauseOfCheck(unsigned check) {
  switch (check) {
    case kCheckModulePathUnusable:
      return CheckCause{Failure::kInvalidArgument,
                        "the module's path cannot be had or is longer than "
                        "127 characters"};
    case kCheckRegistryPathTooLong:
      return CheckCause{Failure::kInvalidArgument,
                        "the registry's path would be longer than 127 "
                        "characters"};
    case kCheckRootTooLong:
    case kCheckRootTooLongForHome:
    case kCheckCreateExBaseTooLong:
    case kCheckBaseTooLong:
      return CheckCause{Failure::kInvalidArgument,
                        "the directory is too long for a home directory "
                        "path within 127 characters"};
    case kCheckCurrentUserPathTooLong:
    case kCheckDirPathTooLong:
    case kCheckLockPathTooLong:
      return CheckCause{Failure::kInvalidArgument,
                        "the home directory's path with its lock file would "
                        "be longer than 127 characters"};
    case kCheckRootNoOutput:
    case kCheckDefaultNoOutput:
    case kCheckRootNoOutputBuffer:
    case kCheckCreateExNoOutput:
      return CheckCause{Failure::kInvalidArgument,
                        "the output buffer is missing (NULL)"};
    case kCheckLookupEmptyName:
      return CheckCause{Failure::kInvalidArgument,
                        "the name is missing (NULL) or empty"};
    case kCheckDefaultNoName:
    case kCheckHomeNameMissing:
    case kCheckRootNameMissing:
    case kCheckCreateNameMissing:
    case kCheckCreateExNoName:
    case kCheckDirNameMissing:
    case kCheckLockNameMissing:
      return CheckCause{Failure::kInvalidArgument,
                        "the name is missing (NULL)"};
    case kCheckCreateExNoBase:
      return CheckCause{Failure::kInvalidArgument,
                        "the base directory is missing (NULL)"};
    case kCheckCreateExNoRegistry:
      return CheckCause{Failure::kInvalidArgument,
                        "the registry path is missing (NULL)"};
    case kCheckHomeNameNotPlain:
      return CheckCause{Failure::kInvalidArgument,
                        "the name gives a home directory name that is not "
                        "one plain directory name"};
    case kCheckCandidatesExhausted:
      return CheckCause{Failure::kExists,
                        "every home directory name for this name is taken"};
    case kCheckBaseNotCreated:
      return CheckCause{Failure::kIo, "the users root cannot be created"};
    case kCheckCurrentUserUnknown:
    case kCheckDirUserUnknown:
      return CheckCause{Failure::kNotFound, "the user is not registered"};
    case kCheckCurrentUserEntryInvalid:
    case kCheckCurrentUserDirNotPlain:
    case kCheckDirEntryInvalid:
    case kCheckDirNotPlain:
      return CheckCause{Failure::kDamaged,
                        "the user's registry entry is not usable"};
    case kCheckLockNoneHeld:
      return CheckCause{Failure::kNotFound,
                        "no user is signed in by this process"};
    case kCheckLockFileNotCreated:
      return CheckCause{Failure::kIo, "the lock file cannot be created"};
    case kCheckRegistryNotCreated:
      return CheckCause{Failure::kIo, "the registry cannot be created"};
    case kCheckRegistryWriteFailed:
      return CheckCause{Failure::kIo, "a registry write was refused or failed"};
    case kCheckRegistryLockTimeout:
      return CheckCause{Failure::kBusy,
                        "the registry's update lock was not had within 30 s"};
    default:
      return std::nullopt;
  }
}

}  // namespace

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
  outermost_ = call_depth++ == 0;
  if (outermost_) ClearFailure();
}

ExportCall::~ExportCall() {
  --call_depth;
  LibraryMutex().unlock();
}

int LibraryLoad() {
  State() = ProcessState{};
  return 1;
}

namespace {
// The check whose report the calling thread is delivering, for a receiver
// that wants its number without reading it out of the text.
thread_local unsigned g_reporting_check = 0;
}  // namespace

void ReportCheckFailure(unsigned check) {
  std::string text = "File : " + std::string(kSourcePath) +
                     ", Line : " + std::to_string(check);
  if (std::optional<CheckCause> cause = CauseOfCheck(check)) {
    NoteFailure(cause->kind, std::string(cause->what) + " (check " +
                                 std::to_string(check) + ")");
  }
  const unsigned outer = g_reporting_check;
  g_reporting_check = check;
  ShowMessage(text, "Assertion Failure", kTaskModal);
  g_reporting_check = outer;
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
// outlive the scope, keeping their strings' storage, so that a call that
// asks once allocates nothing to remember it.
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

// The last file paths built beside a module path, so that a warm call
// does not split the module path again.
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

std::optional<std::string> FetchModulePath(const void* module) {
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
    ReportCheckFailure(kCheckModulePathUnusable);
  } else if (remembered.scopes > 0) {
    if (!slot) {
      if (remembered.known.size() >= kKnownModules) remembered.known.clear();
      slot = &remembered.known.emplace_back();
      slot->module = module;
    }
    slot->path.assign(*path);
    slot->valid = true;
  }
  return path;
}

std::optional<std::string> ModuleFilePath(const void* module,
                                          std::string_view name,
                                          std::string_view ext) {
  if (module == nullptr) ReportCheckFailure(kCheckNullModule);
  std::optional<std::string> module_path = FetchModulePath(module);
  if (!module_path) return std::nullopt;
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
    ReportCheckFailure(kCheckRegistryPathTooLong);
    return std::nullopt;
  }
  return built.path;
}

std::optional<std::string> RegistryPath(const void* module) {
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
