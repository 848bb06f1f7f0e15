// The user lock: an empty file in each home directory that a signed-in
// user's process keeps open exclusively. A layer of its own, below the
// home directories and the registry: it is given the home directory,
// and knows only the frame and the platform.
#pragma once

#include <string>
#include <string_view>

#include "frame/failure.h"
#include "userprofile.h"

namespace userprofile {

inline constexpr std::string_view kLockFileName = USERPROFILE_LOCK_FILE;

// Creates, or truncates to empty, the lock file in `dir` (a path ending in
// a separator). Returns the cause (reported) if it cannot be created.
FailureCause CreateLockFile(const std::string& dir);

// Signs user `name` in by the lock file in `dir`, the user's home
// directory (ending in a separator): creates the file if it is missing
// and opens it exclusively, keeping the handle as the process's lock.
// Returns why not, if it cannot.
FailureCause SignIn(const std::string& dir, std::string_view name);

}  // namespace userprofile
