// The user lock: an empty file in each home directory that a signed-in
// user's process keeps open exclusively. Below homedir and registry: it is
// given the home directory and knows only the frame and the platform.
#pragma once

#include <string>
#include <string_view>

#include "frame/failure.h"
#include "platform/platform.h"
#include "userprofile.h"

namespace userprofile {

inline constexpr std::string_view kLockFileName = USERPROFILE_LOCK_FILE;

// True for a handle that holds a lock.
inline bool IsHeld(LockHandle handle) {
  return handle != kNoLock && handle != kFailedLock;
}

// Creates, or empties, the lock file in `dir` (ending in a separator);
// the cause (reported) if it cannot.
FailureCause CreateLockFile(const std::string& dir);

// Signs user `name` in by the lock file in home `dir` (ending in a
// separator): creates a missing file and opens it exclusively, keeping
// the handle as the process's lock. Returns why not, if it cannot.
FailureCause SignIn(const std::string& dir, std::string_view name);

}  // namespace userprofile
