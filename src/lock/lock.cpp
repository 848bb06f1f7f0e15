#include "lock/lock.h"

#include "frame/failure.h"
#include "frame/frame.h"
#include "userprofile.h"

namespace userprofile {

FailureCause CreateLockFile(const std::string& dir) {
  const std::string path = dir + std::string(kLockFileName);
  if (path.size() > kMaxPath) {
    return Fault(kCheckLockPathTooLong, Failure::kInvalidArgument,
                 "the home directory's path with its lock file would be "
                 "longer than 127 characters");
  }
  // Fails, reported, while a signed-in user holds the file.
  if (!Record(Sys().CreateEmptyFile(path))) {
    return Fault(kCheckLockFileNotCreated, Failure::kIo,
                 "cannot create the lock file " + path);
  }
  return {};
}

FailureCause SignIn(const std::string& dir, std::string_view name) {
  ProcessState& state = State();
  const std::string path = dir + std::string(kLockFileName);
  // A lock file not created explains the failed open better than it does.
  FailureCause created;
  if (!Sys().IsNormalFile(path)) created = CreateLockFile(dir);
  // The exclusive open is the sign-in lock: another's hold means signed in
  // elsewhere. A lock held before stays open, unreachable, until exit.
  LockHandle handle = kFailedLock;
  state.lock_handle =
      Record(Sys().OpenExclusive(path, handle)) ? handle : kFailedLock;
  FailureCause opened = TakeNote();
  // Whatever went wrong on the way, the user is in.
  if (state.lock_handle != kFailedLock) return {};
  if (created.failed()) return created;
  const std::string who = "user " + Quoted(name) + " is signed in elsewhere: ";
  if (!opened.failed()) {
    return {Failure::kSignedInElsewhere,
            who + "the lock file " + path + " is held"};
  }
  // The platform says who holds it; say whose sign-in it refused.
  if (opened.kind == Failure::kSignedInElsewhere) opened.text = who + opened.text;
  return opened;
}

}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL CloseUserSemaphoreFile(
    void) {
  ExportCall call;
  ProcessState& state = State();
  if (state.lock_handle == kNoLock) {
    call.Fail(Fault(kCheckLockNoneHeld, Failure::kNotFound,
                    "no user is signed in by this process"));
  }
  if (IsHeld(state.lock_handle)) Sys().CloseExclusive(state.lock_handle);
  state.lock_handle = kNoLock;
}
