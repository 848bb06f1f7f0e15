#include "lock/lock.h"

#include "frame/frame.h"
#include "homedir/homedir.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// Keeps the system's own error boxes (drive not ready and the like) away
// while the lock file is probed and opened.
constexpr unsigned kQuietErrors = 0x8001;

}  // namespace

void CreateLockFile(const std::string& dir) {
  const std::string path = dir + std::string(kLockFileName);
  if (path.size() > kMaxPath) {
    ReportCheckFailure(kCheckLockPathTooLong);
    return;
  }
  // The creation fails while the file is held: a signed-in user keeps the
  // lock, and the failure is reported.
  if (!Sys().CreateEmptyFile(path)) ReportCheckFailure(kCheckLockFileNotCreated);
}

void EnsureLockFile(const void* module, const char* name) {
  std::string dir = DirForUser(module, name).value_or("");
  if (!dir.empty()) CreateLockFile(dir);
}

}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT int USERPROFILE_CALL openUserSemaphoreFile(
    const char* name, ModuleHandle module) {
  const userprofile::ExportCall call;
  if (name == nullptr) {
    ReportCheckFailure(kCheckLockNameMissing);
    return 0;
  }
  if (*name == '\0') ReportCheckFailure(kCheckLockNameEmpty);
  if (!IsValidUserName(name)) ReportCheckFailure(kCheckLockNameInvalid);
  RegistryScope scope;
  ProcessState& state = State();
  const std::string dir = DirForUser(module, name).value_or("");
  if (dir.empty()) {
    state.lock_handle = kFailedLock;
    return 0;
  }
  const std::string path = dir + std::string(kLockFileName);
  const unsigned previous = Sys().SetErrorMode(kQuietErrors);
  if (!Sys().IsNormalFile(path)) EnsureLockFile(module, name);
  // The exclusive open doubles as the sign-in lock: failure means signed
  // in elsewhere. A lock already held stays open, unreachable, until the
  // process ends.
  state.lock_handle = Sys().OpenExclusive(path);
  Sys().SetErrorMode(previous);
  return state.lock_handle != kFailedLock ? 1 : 0;
}

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL CloseUserSemaphoreFile(
    void) {
  const userprofile::ExportCall call;
  ProcessState& state = State();
  if (state.lock_handle == kNoLock) ReportCheckFailure(kCheckLockNoneHeld);
  if (state.lock_handle != kNoLock && state.lock_handle != kFailedLock) {
    Sys().CloseExclusive(state.lock_handle);
  }
  state.lock_handle = kNoLock;
}
