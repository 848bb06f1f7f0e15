// The user lock: an empty file in each home directory that a signed-in
// user's process keeps open exclusively.
#pragma once

#include <string>
#include <string_view>

#include "userprofile.h"

namespace userprofile {

inline constexpr std::string_view kLockFileName = USERPROFILE_LOCK_FILE;

// Creates, or truncates to empty, the lock file in `dir` (a path ending in
// a separator). Reported if it cannot be created.
void CreateLockFile(const std::string& dir);

// Creates the lock file in the registered user's home directory; does
// nothing for a user who is not registered.
void EnsureLockFile(const void* module, const char* name);

// Signs `name` in as openUserSemaphoreFile does, the caller holding the
// library's lock: 1 with the lock handle in the process's lock slot, or 0
// with the cause recorded.
int OpenUserLock(const char* name, const void* module);

}  // namespace userprofile
