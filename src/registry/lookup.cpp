// Lookups of registered users and what follows: whether a user is
// registered, the default user, a user's home and the sign-in by its lock
// file. The registry finds the entry, homedir makes its path and the lock
// layer holds its lock.
#include <utility>

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "platform/names.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {

namespace {

// Why a lookup found no user: a failed read's cause, else the name's.
FailureCause NotRegistered(std::string_view name, const std::string& registry) {
  return NotedOr(Failure::kNotFound,
                 "no user " + Quoted(name) + " is registered in " + registry);
}

// DoesUserExist: the entry number of `name`, or 0 with why not. A missing
// or empty name is reported, and the lookup goes on.
Result<int> LookUpUser(const void* module, const char* name) {
  FailureCause missing;
  if (name == nullptr || *name == '\0') {
    missing = Fault(kCheckLookupEmptyName, Failure::kInvalidArgument,
                    "the name is missing (NULL) or empty");
  }
  Result<std::string> registry = RegistryPath(module);
  if (!registry) return registry.cause();
  const int found = FindUser(*registry, name ? name : "");
  if (found != 0) return found;
  return Result<int>(0, missing.failed()
                            ? std::move(missing)
                            : NotRegistered(name ? name : "", *registry));
}

}  // namespace

Result<std::string> HomeDirForUser(const void* module, std::string_view name,
                                   const DirLookupChecks& checks,
                                   bool output_present) {
  Result<std::string> registry = RegistryPath(module);
  if (!registry) return registry;
  const std::string wanted(name);
  const Result<int> i = LookUpUser(module, wanted.c_str());
  if (!i) return i.cause();
  if (*i <= 0) return Reported(checks.unknown_user, i.cause());
  const std::string entry = ReadEntry(*registry, *i);
  if (!IsValidEntry(entry)) ReportCheckFailure(checks.invalid_entry);
  // A tampered entry must never lead outside the users root.
  std::optional<UserEntry> split = SplitEntry(entry);
  if (!split || !IsPlainComponent(split->home_dir_name)) {
    return Fault(checks.not_plain, Failure::kDamaged,
                 "entry " + EntryKey(*i) + " of " + *registry +
                     " names no plain home directory");
  }
  return HomeDirPath(module, split->home_dir_name, checks.too_long,
                     output_present);
}

Result<std::string> DirForUser(const void* module, const char* name,
                               bool output_present) {
  if (name == nullptr) {
    return Fault(kCheckDirNameMissing, Failure::kInvalidArgument,
                 "the name is missing (NULL)");
  }
  if (*name == '\0') ReportCheckFailure(kCheckDirNameEmpty);
  if (!IsValidUserName(name)) ReportCheckFailure(kCheckDirNameInvalid);
  static constexpr DirLookupChecks kChecks{
      kCheckDirUserUnknown, kCheckDirEntryInvalid, kCheckDirNotPlain,
      kCheckDirPathTooLong};
  return HomeDirForUser(module, name, kChecks, output_present);
}

FailureCause EnsureLockFile(const void* module, const char* name) {
  Result<std::string> dir = DirForUser(module, name);
  if (!dir) return dir.cause();
  return CreateLockFile(*dir);
}

Result<std::string> ReadDefault(const void* module) {
  Result<std::string> registry = RegistryPath(module);
  std::string name;
  if (registry) name = ReadDefaultUser(*registry);
  State().current_user = name;
  if (!registry) return registry;
  return name;
}

FailureCause StoreDefault(const void* module, const char* name) {
  Result<std::string> registry = RegistryPath(module);
  if (!registry) return registry.cause();
  FailureCause written;
  if (!WriteRegistry(*registry, kDefaultSection, kDefaultKey, name)) {
    written = TakeNote();
  }
  // Kept whole: a name too long stays invalid, never cut into another's.
  State().current_user = name;
  return written;
}

}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT int USERPROFILE_CALL DoesUserExist(
    ModuleHandle module, const char* name) {
  ExportCall call;
  RegistryScope scope;
  const Result<int> found = LookUpUser(module, name);
  call.Fail(found.cause());
  return found.value_or(0);
}

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL GetDefaultUser(
    ModuleHandle module, char* out) {
  ExportCall call;
  if (out == nullptr) {
    call.Fail(Fault(kCheckDefaultNoOutput, Failure::kInvalidArgument,
                    "the output buffer is missing (NULL)"));
    return;
  }
  if (module == nullptr) ReportCheckFailure(kCheckDefaultNullModule);
  RegistryScope scope;
  Result<std::string> name = ReadDefault(module);
  call.Fail(name.cause());
  CopyOut(name.value_or(""), out);
}

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL SetDefaultUser(
    ModuleHandle module, const char* name) {
  ExportCall call;
  if (name == nullptr) {
    call.Fail(Fault(kCheckDefaultNoName, Failure::kInvalidArgument,
                    "the name is missing (NULL)"));
    return;
  }
  call.Fail(StoreDefault(module, name));
}

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL GetDirForUser(
    ModuleHandle module, const char* name, char* out) {
  ExportCall call;
  RegistryScope scope;
  Result<std::string> dir = DirForUser(module, name, out != nullptr);
  call.Fail(dir.cause());
  if (name != nullptr && out != nullptr) CopyOut(dir.value_or(""), out);
}

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL GetUserHomeDir(
    ModuleHandle module, char* out) {
  ExportCall call;
  RegistryScope scope;
  const std::string user = State().current_user;
  if (user.empty()) ReportCheckFailure(kCheckCurrentUserEmpty);
  if (!IsValidUserName(user)) ReportCheckFailure(kCheckCurrentUserInvalid);
  static constexpr DirLookupChecks kChecks{
      kCheckCurrentUserUnknown, kCheckCurrentUserEntryInvalid,
      kCheckCurrentUserDirNotPlain, kCheckCurrentUserPathTooLong};
  Result<std::string> dir = HomeDirForUser(module, user, kChecks,
                                           out != nullptr);
  call.Fail(dir.cause());
  if (out != nullptr) CopyOut(dir.value_or(""), out);
}

FailureCause userprofile::SignInUser(const void* module, const char* name,
                                     std::string* home) {
  if (name == nullptr) {
    return Fault(kCheckLockNameMissing, Failure::kInvalidArgument,
                 "the name is missing (NULL)");
  }
  if (*name == '\0') ReportCheckFailure(kCheckLockNameEmpty);
  const bool valid = IsValidUserName(name);
  if (!valid) ReportCheckFailure(kCheckLockNameInvalid);
  RegistryScope scope;
  Result<std::string> dir = DirForUser(module, name);
  if (!dir) {
    FailureCause cause = dir.cause();
    // An invalid name is never registered: say what is wrong with it.
    if (!valid && cause.kind == Failure::kNotFound) {
      cause = {Failure::kInvalidArgument,
               Quoted(name) +
                   " is not a valid user name (1 to 31 bytes, an ASCII "
                   "letter or digit, no ASCII punctuation)"};
    }
    State().lock_handle = kFailedLock;
    return cause;
  }
  if (home != nullptr) *home = *dir;
  return SignIn(*dir, name);
}

extern "C" USERPROFILE_EXPORT int USERPROFILE_CALL openUserSemaphoreFile(
    const char* name, ModuleHandle module) {
  ExportCall call;
  const FailureCause refused = SignInUser(module, name);
  if (!refused.failed()) return 1;
  call.Fail(refused);
  return 0;
}
