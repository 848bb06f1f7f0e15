// What the files of the Windows platform share: the statuses built from
// the system's errors, the look at a name's attributes, and the lock files.
// Included by src/platform/*_win.cpp only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace userprofile::win {

inline constexpr DWORD kNoAttributes = INVALID_FILE_ATTRIBUTES;

// The one place a failure of the system becomes a Status: what was
// attempted, on which file, and the system's own words for the error.
Status WindowsError(std::string_view what, const std::string& path, DWORD error);
inline Status LastError(std::string_view what, const std::string& path) {
  return WindowsError(what, path, ::GetLastError());
}

// Keeps the system's own error boxes (drive not ready and the like) away
// for the length of one operation.
struct QuietErrors {
  QuietErrors() : previous(::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {}
  ~QuietErrors() { ::SetErrorMode(previous); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;
  UINT previous;
};

inline DWORD Attributes(const std::string& path) {
  return ::GetFileAttributesA(path.c_str());
}

// A symbolic link or a junction: both are reparse points.
inline bool IsLink(DWORD attributes) {
  return attributes != kNoAttributes && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// True when the path's last name or the directory that holds it is a
// link: such a lock file is refused.
bool ThroughLink(const std::string& path);
bool WriteAll(HANDLE file, std::string_view bytes);

// The lock files (lockfile_win.cpp), as Platform describes them.
Status CreateEmptyFile(const std::string& path);
Status OpenExclusive(const std::string& path, LockHandle& handle);
void CloseExclusive(LockHandle handle);
Status WriteHeldLockFile(LockHandle handle, std::string_view text);
LockFileState ProbeLockFile(const std::string& path);
Status LockUpdate(const std::string& file, LockHandle& handle);

}  // namespace userprofile::win
