#include "lock/lock.h"

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {

void CreateLockFile(const std::string& dir) {
  const std::string path = dir + std::string(kLockFileName);
  if (path.size() > kMaxPath) {
    ReportCheckFailure(kCheckLockPathTooLong);
    return;
  }
  // The creation fails while the file is held: a signed-in user keeps the
  // lock, and the failure is reported.
  if (!Record(Sys().CreateEmptyFile(path))) {
    NoteFailure(Failure::kIo, "cannot create the lock file " + path);
    ReportCheckFailure(kCheckLockFileNotCreated);
  }
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
  const bool valid = IsValidUserName(name);
  if (!valid) ReportCheckFailure(kCheckLockNameInvalid);
  RegistryScope scope;
  ProcessState& state = State();
  const std::string dir = DirForUser(module, name).value_or("");
  if (dir.empty()) {
    // An invalid name is never registered: say what is wrong with it
    // rather than that it was not found.
    if (!valid && LastFailure().kind == Failure::kNotFound) {
      SetFailure(Failure::kInvalidArgument,
                 Quoted(name) +
                     " is not a valid user name (1 to 31 bytes, an ASCII "
                     "letter or digit, no ASCII punctuation)");
    }
    state.lock_handle = kFailedLock;
    return 0;
  }
  const std::string path = dir + std::string(kLockFileName);
  if (!Sys().IsNormalFile(path)) EnsureLockFile(module, name);
  // A lock file that could not be created explains the failed open that
  // follows better than the open itself.
  const FailureCause created = LastFailure();
  // The exclusive open doubles as the sign-in lock: a lock that another
  // open holds means signed in elsewhere. The platform records any other
  // cause (a permission, a missing file). A lock already held stays open,
  // unreachable, until the process ends.
  LockHandle handle = kFailedLock;
  state.lock_handle =
      Record(Sys().OpenExclusive(path, handle)) ? handle : kFailedLock;
  if (state.lock_handle != kFailedLock) {
    ClearFailure();  // whatever went wrong on the way, the user is in
    return 1;
  }
  if (created.kind != Failure::kNone) {
    SetFailure(created.kind, created.text);
  } else if (LastFailure().kind == Failure::kNone) {
    SetFailure(Failure::kSignedInElsewhere,
               "user " + Quoted(name) +
                   " is signed in elsewhere: the lock file " + path +
                   " is held");
  } else if (LastFailure().kind == Failure::kSignedInElsewhere) {
    // The platform says who holds it; say whose sign-in it refused.
    SetFailure(Failure::kSignedInElsewhere,
               "user " + Quoted(name) +
                   " is signed in elsewhere: " + LastFailure().text);
  }
  return 0;
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
