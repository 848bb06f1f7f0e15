// What the files of the Windows platform (src/platform/*_win.cpp) share.
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

// The one place a failure of the system becomes a Status: what was tried,
// on which file, and the system's own words for the error.
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

// The code page the ANSI file services read paths in (a host may have
// switched them to the OEM one), and a path of theirs in UTF-16.
UINT FileApiCodePage();
std::wstring WideOf(std::string_view text, UINT code_page);

// True when the path's last name or its directory is a link.
bool ThroughLink(const std::string& path);
// False where the system says the open `file` is not the entry `path`
// names but what a link there leads to: Wine shows a POSIX link to a file
// as a plain file, and opens it, even as a reparse point, as its target.
// True where that cannot be told.
bool OpenedAsNamed(HANDLE file, const std::wstring& path);
bool WriteAll(HANDLE file, std::string_view bytes);

}  // namespace userprofile::win
