#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {

std::string HomeDirForUser(const void* module, std::string_view name,
                           const DirLookupChecks& checks, bool output_present) {
  std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return {};
  const std::string wanted(name);
  const int i = DoesUserExist(AsHandle(module), wanted.c_str());
  if (i <= 0) {
    NoteFailure(Failure::kNotFound,
                "no user " + Quoted(name) + " is registered in " + *registry);
    ReportCheckFailure(checks.unknown_user);
    return {};
  }
  const std::string entry = ReadEntry(*registry, i);
  if (!IsValidEntry(entry)) ReportCheckFailure(checks.invalid_entry);
  // A tampered entry must never lead outside the users root.
  std::optional<UserEntry> split = SplitEntry(entry);
  if (!split || !IsPlainComponent(split->home_dir_name)) {
    NoteFailure(Failure::kDamaged, "entry " + EntryKey(i) + " of " + *registry +
                                       " names no plain home directory");
    ReportCheckFailure(checks.not_plain);
    return {};
  }
  std::optional<std::string> root = UsersRootPath(module, output_present);
  if (!root) return {};
  std::string path = *root + kSeparator + split->home_dir_name + kSeparator;
  if (path.size() + kLockFileName.size() > kMaxPath) {
    ReportCheckFailure(checks.too_long);
    return {};
  }
  return path;
}

std::optional<std::string> DirForUser(const void* module, const char* name,
                                      bool output_present) {
  if (name == nullptr) {
    ReportCheckFailure(kCheckDirNameMissing);
    return std::nullopt;
  }
  if (*name == '\0') ReportCheckFailure(kCheckDirNameEmpty);
  if (!IsValidUserName(name)) ReportCheckFailure(kCheckDirNameInvalid);
  static constexpr DirLookupChecks kChecks{
      kCheckDirUserUnknown, kCheckDirEntryInvalid, kCheckDirNotPlain,
      kCheckDirPathTooLong};
  return HomeDirForUser(module, name, kChecks, output_present);
}

}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL GetDirForUser(
    ModuleHandle module, const char* name, char* out) {
  const userprofile::ExportCall call;
  RegistryScope scope;
  std::optional<std::string> dir = DirForUser(module, name, out != nullptr);
  if (dir && out != nullptr) CopyOut(*dir, out);
}

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL GetUserHomeDir(
    ModuleHandle module, char* out) {
  const userprofile::ExportCall call;
  RegistryScope scope;
  const std::string user = State().current_user;
  if (user.empty()) ReportCheckFailure(kCheckCurrentUserEmpty);
  if (!IsValidUserName(user)) ReportCheckFailure(kCheckCurrentUserInvalid);
  static constexpr DirLookupChecks kChecks{
      kCheckCurrentUserUnknown, kCheckCurrentUserEntryInvalid,
      kCheckCurrentUserDirNotPlain, kCheckCurrentUserPathTooLong};
  std::string dir = HomeDirForUser(module, user, kChecks, out != nullptr);
  if (out != nullptr) CopyOut(dir, out);
}
