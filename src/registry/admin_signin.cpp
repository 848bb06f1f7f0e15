// The administrator's tool's sign-in, whose lock file carries a note of
// who holds it, written only through the open file holding the lock: the
// path may name another file by then (a home swapped for a link), and a
// lock file with a second name is another file's data.
#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/registry.h"
#include "userprofile.h"

using namespace userprofile;

namespace {

// The process's held sign-in, or kNoLock with the cause set.
LockHandle HeldSignIn() {
  const LockHandle handle = State().lock_handle;
  if (IsHeld(handle)) return handle;
  SetFailure(Failure::kNotFound, "no sign-in is held");
  return kNoLock;
}

}  // namespace

extern "C" USERPROFILE_EXPORT int userprofile_sign_in(ModuleHandle module,
                                                      const char* name) {
  ExportCall call;
  ProcessState& state = State();
  // The home is looked up before its lock is taken: a rename and a new
  // user of the name in between would leave the old home locked. Once
  // held, a home stays the name's (renames and removals hold the lock of
  // the home they change), so the sign-in stands if the registry, read
  // again, still gives the name the home locked; else it is taken again.
  constexpr int kAttempts = 20;
  for (int attempt = 1;; ++attempt) {
    std::string locked;
    const FailureCause refused = SignInUser(module, name, &locked);
    if (refused.failed()) {
      call.Fail(refused);
      return 0;
    }
    if (const Result<std::string> registry = RegistryPath(module); registry) {
      ForgetSnapshot(*registry);
    }
    if (DirForUser(module, name).value_or("") == locked) break;
    Sys().CloseExclusive(state.lock_handle);
    state.lock_handle = kFailedLock;
    if (attempt == kAttempts) {
      call.Fail({Failure::kBusy, "the home of " + Quoted(name) +
                                     " kept changing while it was signed in"});
      return 0;
    }
  }
  // Emptied through the lock's own descriptor: a stale note goes, and a
  // file with a second name is refused before any write.
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
  const LockHandle handle = HeldSignIn();
  return handle != kNoLock && Sys().InheritLock(handle) ? 1 : 0;
}

extern "C" USERPROFILE_EXPORT int userprofile_write_sign_in_note(
    const char* note) {
  const ExportCall call;
  const LockHandle handle = HeldSignIn();
  return handle != kNoLock &&
                 Record(Sys().WriteHeldLockFile(handle, note ? note : ""))
             ? 1
             : 0;
}
