// The sign-in of the administrator's tool: an ordinary sign-in whose lock
// file carries a note of who holds it. The note is written only through
// the open file that holds the lock: the lock file's path may name another
// file by the time the note is written (a home swapped for a link), and a
// lock file with a second name is another file's data.
#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

bool Held(LockHandle handle) {
  return handle != kNoLock && handle != kFailedLock;
}

}  // namespace
}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT int userprofile_sign_in(ModuleHandle module,
                                                      const char* name) {
  ExportCall call;
  const FailureCause refused = SignInUser(module, name);
  if (refused.failed()) {
    call.Fail(refused);
    return 0;
  }
  ProcessState& state = State();
  // Emptied through the lock's own descriptor: a stale note goes, and a
  // file with a second name is refused before anything is written to it.
  const Status emptied = Sys().WriteHeldLockFile(state.lock_handle, "");
  if (!emptied) {
    const FailureCause cause{emptied.kind(), emptied.text()};
    Sys().CloseExclusive(state.lock_handle);
    state.lock_handle = kFailedLock;
    const std::string lock =
        DirForUser(module, name).value_or("") + std::string(kLockFileName);
    SetFailure(
        cause.kind == Failure::kNone ? Failure::kDamaged : cause.kind,
        lock + ": " + (cause.text.empty() ? "cannot be written" : cause.text));
    return 0;
  }
  return 1;
}

extern "C" USERPROFILE_EXPORT int userprofile_inherit_sign_in(void) {
  const ExportCall call;
  const LockHandle handle = State().lock_handle;
  if (!Held(handle)) {
    SetFailure(Failure::kNotFound, "no sign-in is held");
    return 0;
  }
  return Sys().InheritLock(handle) ? 1 : 0;
}

extern "C" USERPROFILE_EXPORT int userprofile_write_sign_in_note(
    const char* note) {
  const ExportCall call;
  const LockHandle handle = State().lock_handle;
  if (!Held(handle)) {
    SetFailure(Failure::kNotFound, "no sign-in is held");
    return 0;
  }
  return Record(Sys().WriteHeldLockFile(handle, note ? note : "")) ? 1 : 0;
}
