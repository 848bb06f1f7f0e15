#include <cstring>
#include <limits>

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/operations.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// Base, separator, HomeDirName, separator and lock file within the limit.
constexpr std::size_t kMaxExBase =
    kMaxPath - 2 - kHomeDirNameLength - kLockFileName.size();

std::string MakeEntry(std::string_view name, std::string_view dir_name) {
  return std::string(name) + "," + std::string(dir_name);
}

}  // namespace

// The count is written first, so that a stale key of the new number is
// overwritten; both writes are one update, published together.
bool RegisterUser(const std::string& registry, std::string_view name,
                  std::string_view dir_name) {
  RegistryUpdate update(registry);
  if (!update.held()) return false;
  const int count = ReadCount(registry);
  const std::string entry = MakeEntry(name, dir_name);
  // Refused before the count moves, which would then name a missing
  // entry: a tampered count at the largest number or beyond it (read as
  // negative) leaves no number, and a line break cannot be stored.
  if (count < 0 || count == std::numeric_limits<int>::max() ||
      !IsStorable(entry)) {
    NoteFailure(Failure::kIo,
                IsStorable(entry)
                    ? "the count of " + registry +
                          " cannot take one more user: no entry is left"
                    : "a line break cannot be stored in the registry " +
                          registry);
    ReportWriteFailed();
    return false;
  }
  const int n = count + 1;
  if (!WriteRegistry(registry, kCountSection, kCountKey, EntryKey(n)) ||
      !WriteRegistry(registry, kUserSection, EntryKey(n), entry)) {
    return false;
  }
  return update.Finish();
}

FailureCause CreateProfile(const void* module, std::string& name, int reg) {
  std::string created;
  Result<std::string> dir_name = CreateHomeDirInRoot(module, &name, &created);
  FailureCause cause = dir_name.cause();
  // A user without a home is not recorded (the entry would point
  // nowhere); one not recorded takes its new, empty home back.
  if (reg != 0 && dir_name) {
    Result<std::string> registry = RegistryPath(module);
    if (!registry) {
      if (!cause.failed()) cause = registry.cause();
      RemoveOwnHome(created);
    } else if (!RegisterUser(*registry, name, *dir_name)) {
      if (!cause.failed()) cause = TakeNote();
      RemoveOwnHome(created);
    }
  }
  FailureCause locked = EnsureLockFile(module, name.c_str());
  return cause.failed() ? cause : locked;
}

}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL CreateUserProfile(
    ModuleHandle module, char* name, int reg) {
  ExportCall call;
  call.Fail(CreateUser(module, name, reg));
}

FailureCause userprofile::CreateUser(const void* module, char* name, int reg) {
  if (name == nullptr) {
    return Fault(kCheckCreateNameMissing, Failure::kInvalidArgument,
                 "the name is missing (NULL)");
  }
  if (*name == '\0') ReportCheckFailure(kCheckCreateNameEmpty);
  RegistryScope scope;
  std::string trimmed(name);
  FailureCause cause = CreateProfile(module, trimmed, reg);
  WriteBackName(trimmed, name);
  return cause;
}

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL CreateUserProfileEx(
    const char* base, const char* registry, int entry, char* name, char* out) {
  ExportCall call;
  const auto missing = [&call](unsigned check, const char* what) {
    call.Fail(Fault(check, Failure::kInvalidArgument,
                    std::string("the ") + what + " is missing (NULL)"));
  };
  if (base == nullptr) return missing(kCheckCreateExNoBase, "base directory");
  if (registry == nullptr) {
    return missing(kCheckCreateExNoRegistry, "registry path");
  }
  if (name == nullptr) return missing(kCheckCreateExNoName, "name");
  if (out == nullptr) return missing(kCheckCreateExNoOutput, "output buffer");
  if (std::strlen(base) > kMaxExBase) {
    call.Fail(Fault(kCheckCreateExBaseTooLong, Failure::kInvalidArgument,
                    "the directory is too long for a home directory path "
                    "within 127 characters"));
    return;
  }
  std::string trimmed(name);
  std::string created;
  Result<std::string> dir_name = AllocateHomeDir(base, trimmed, &created);
  WriteBackName(trimmed, name);
  call.Fail(dir_name.cause());
  if (!dir_name) {
    CopyOut("", out);
    return;
  }
  // An entry that could not be written leaves no new home behind either.
  if (!WriteRegistry(registry, kUserSection, EntryKey(entry),
                     MakeEntry(trimmed, *dir_name))) {
    call.Fail(TakeNote());
    RemoveOwnHome(created);
    CopyOut("", out);
    return;
  }
  // The caller's buffer holds base, separator and an 8-byte name: a name
  // this file system spells longer (code page 1252 text in UTF-8) is given
  // as the registry field, which fits.
  const std::string on_disk = HomeDirOnDiskOrField(base, *dir_name);
  CopyOut(std::string(base) + kSeparator +
              (on_disk.size() > dir_name->size() ? *dir_name : on_disk),
          out);
  call.Fail(CreateLockFile(std::string(base) + kSeparator + on_disk +
                           kSeparator));
}

