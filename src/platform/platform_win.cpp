// The platform on Windows: the system's primitives, each failure answered
// with the system's error (WindowsError). Profile files are read and
// written by the library's own engine above this layer, byte for byte as
// the system's profile services read and write them (docs/windows.md).
//
// The sign-in lock is two locks on the lock file, taken in this order and
// both held until the handle is closed or the process ends:
// - the file system's share mode, which the original hosts rely on: the
//   file is opened with no sharing at all, so while it is open every other
//   open of it fails with a sharing violation, in this process, in any
//   other process on this machine, and on other machines that reach the
//   file through a Windows (SMB) share;
// - an exclusive byte-range lock (LockFileEx) over the whole file, the
//   range the POSIX build locks with its open-file-description lock. It is
//   what hosts of the other kind see: Wine takes it as a POSIX lock of the
//   host (a write lock for a handle that may write, a read lock for one
//   that may only read, so the handle asks for writing where it may), and
//   Samba keeps SMB byte-range locks as POSIX locks, while both keep share
//   modes to themselves. A POSIX host's sign-in therefore fails on a
//   Windows host's held lock file, and a Windows sign-in fails on a POSIX
//   host's: the byte-range lock is refused (a lock violation) even where
//   the open succeeded.
// Where it does not hold: on a file system that keeps neither share modes
// nor byte-range locks, and against original hosts, which take the share
// mode only, from POSIX hosts (which see no share mode). A file system that
// cannot lock byte ranges at all leaves the share mode alone in force.
// Creating or truncating the lock file asks for shared read and write
// access and empties the file only under the byte-range lock, so it too
// fails while the file is held, by a host of either kind.
//
// The update lock of a profile file is an exclusive byte-range lock
// (LockFileEx) on the first byte of the lock file beside it
// ("USER.INI.lock"), the byte the POSIX build locks with an
// open-file-description lock. The profile file itself cannot carry it: a
// file that is open cannot be replaced in one step here (MoveFileEx
// refuses a target with any open handle), and byte-range locks bind reads
// too. It reaches other machines wherever the file system forwards
// byte-range locks: on a Windows (SMB) share, on a Samba share also
// against POSIX hosts on the server and NFS clients of the same files
// (Samba keeps SMB locks as POSIX locks, its default), and under Wine,
// which takes them as POSIX locks of the host. It does not hold on a file
// system that keeps no byte-range locks, or between two servers that do
// not share them. A process that ends releases its lock.
//
// Lock files are never reached through a link (a symbolic link or a
// junction, both reparse points), neither in their own name nor in the
// name of the directory that holds them, the user's home directory. A
// file with the read-only attribute is never updated. A new file is
// flushed before it replaces the old one with a write-through move.
// LZOpenFileA is not used: where an open fails it retries a "compressed"
// name ending in '_' and could thus open "IKIVO.SM_" beside a held lock.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <string_view>

#include "platform/names.h"
#include "platform/platform.h"

// The one service that gives a file's change time without opening it
// (exported by ntdll; the SDK's headers leave it to the driver kit's).
extern "C" NTSTATUS NTAPI NtQueryFullAttributesFile(
    POBJECT_ATTRIBUTES attributes, PFILE_NETWORK_OPEN_INFORMATION information);

namespace userprofile {
namespace {

constexpr DWORD kNoAttributes = INVALID_FILE_ATTRIBUTES;

// The one place a failure of the system becomes a Status: what was
// attempted, on which file, and the system's own words for the error.
Status WindowsError(std::string_view what, const std::string& path, DWORD error) {
  char* message = nullptr;
  ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<char*>(&message), 0, nullptr);
  std::string reason = message ? message : "error " + std::to_string(error);
  if (message) ::LocalFree(message);
  reason.erase(reason.find_last_not_of("\r\n. ") + 1);
  std::string text = std::string(what) + " " + path + ": " + reason;
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return {Failure::kPermission, std::move(text)};
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return {Failure::kSignedInElsewhere, std::move(text)};
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return {Failure::kExists, std::move(text)};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return {Failure::kNotFound, std::move(text)};
    default:
      return {Failure::kIo, std::move(text)};
  }
}

Status LastError(std::string_view what, const std::string& path) {
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

DWORD Attributes(const std::string& path) {
  return ::GetFileAttributesA(path.c_str());
}

bool IsLink(DWORD attributes) {
  return attributes != kNoAttributes &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The directory part of a path ("" for a bare name), with its separator.
std::string DirectoryPart(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// True when the path's last name or the directory that holds it is a
// link: such a lock file is refused.
bool ThroughLink(const std::string& path) {
  if (IsLink(Attributes(path))) return true;
  std::string dir = DirectoryPart(path);
  while (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return !dir.empty() && IsLink(Attributes(dir));
}

// Makes a new directory entry durable before anything names it (best
// effort: not every file system flushes directories).
void FlushDirectory(const std::string& path) {
  HANDLE dir = ::CreateFileA(
      path.c_str(), GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (dir == INVALID_HANDLE_VALUE) return;
  ::FlushFileBuffers(dir);
  ::CloseHandle(dir);
}

// File times: 100-ns ticks since 1601, as nanoseconds.
std::uint64_t Nanoseconds(const LARGE_INTEGER& t) {
  return static_cast<std::uint64_t>(t.QuadPart) * 100;
}

// Now, by the clock file times are taken from.
std::uint64_t FileClockNow() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return ((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
          now.dwLowDateTime) * 100;
}

// The version of a file from the times and size both services give: the
// creation time stands for which file has the name.
FileVersion VersionFrom(const LARGE_INTEGER& created, const LARGE_INTEGER& written,
                        const LARGE_INTEGER& changed, std::uint64_t size) {
  return {0, Nanoseconds(created), size, Nanoseconds(written), Nanoseconds(changed)};
}

// The path as the ANSI file services take it, in UTF-16.
std::optional<std::wstring> Widen(const std::string& path) {
  const UINT code_page = ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  if (path.empty() || path.size() > kMaxPath) return std::nullopt;
  const int size = static_cast<int>(path.size());
  std::wstring wide(path.size(), L'\0');
  const int n = ::MultiByteToWideChar(code_page, 0, path.data(), size, wide.data(), size);
  if (n <= 0) return std::nullopt;
  wide.resize(static_cast<std::size_t>(n));
  return wide;
}

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

// The byte every host locks: the first one of the update lock file.
void UnlockUpdateByte(HANDLE lock) {
  OVERLAPPED at{};
  ::UnlockFileEx(lock, 0, 1, 0, &at);
}

// The range of a sign-in's byte-range lock: the whole file, from its first
// byte on, as the POSIX build's lock of length 0.
constexpr DWORD kWholeFileLow = MAXDWORD;
constexpr DWORD kWholeFileHigh = MAXDWORD;

// Takes the sign-in's byte-range lock on an open lock file, or says why
// not: kSignedInElsewhere while another open holds a lock on any of its
// bytes, the holder a host of either kind. A file system that keeps no
// byte-range locks answers with another error; the share mode then stands
// alone, and that is no refusal.
Status LockWholeFile(HANDLE file, const std::string& path) {
  OVERLAPPED at{};
  if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                   kWholeFileLow, kWholeFileHigh, &at)) {
    return {};
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
    return {Failure::kSignedInElsewhere,
            "the lock file " + path + " is held by a byte-range lock of another open"};
  }
  return {};
}

void UnlockWholeFile(HANDLE file) {
  OVERLAPPED at{};
  ::UnlockFileEx(file, 0, kWholeFileLow, kWholeFileHigh, &at);
}

// A lock file opened as itself that is a link or a directory is no lock
// file.
bool IsPlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return ::GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

// Removes everything in the directory `dir`, never entering a link (a
// junction or a symbolic link is removed as a name); the first failure.
Status EmptyDirectory(const std::string& dir) {
  std::vector<std::pair<std::string, DWORD>> names;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA((dir + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return LastError("cannot read the directory", dir);
  do {
    const std::string_view name = found.cFileName;
    if (name != "." && name != "..") names.emplace_back(name, found.dwFileAttributes);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  Status first;
  for (const auto& [name, attributes] : names) {
    const std::string full = dir + "\\" + name;
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    Status status;
    if (directory && !IsLink(attributes)) status = EmptyDirectory(full);
    if (!directory) ::SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
    const bool removed = directory ? ::RemoveDirectoryA(full.c_str()) != 0
                                   : ::DeleteFileA(full.c_str()) != 0;
    if (status && !removed) status = LastError("cannot remove", full);
    if (first && !status) first = status;
  }
  return first;
}

class WindowsPlatform final : public Platform {
 public:
  Status ReadFile(const std::string& path, std::string& content) override {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError("cannot read", path);
    LARGE_INTEGER size{};
    Status status;
    if (!::GetFileSizeEx(file, &size)) {
      status = LastError("cannot examine", path);
    } else {
      content.clear();
      content.reserve(static_cast<std::size_t>(size.QuadPart));
      char buffer[65536];
      DWORD n = 0;
      // Part of a file is never taken for the whole.
      for (;;) {
        if (!::ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
          status = LastError("cannot read", path);
          break;
        }
        if (n == 0) break;
        content.append(buffer, n);
      }
    }
    ::CloseHandle(file);
    return status;
  }

  // One query of the file's attributes, without opening it. The change
  // time moves with every change of the file's data or metadata, a rename
  // into its place included (on NTFS, and under Wine, where it is the
  // host's ctime), and cannot be set back by the usual tools as the write
  // time can.
  std::optional<FileLook> VersionOf(const std::string& path) override {
    FileLook look;
    look.seen = FileClockNow();
    std::optional<std::wstring> wide = Widen(path);
    // The service answers a BOOLEAN (one byte) where the header declares
    // a BOOL: only the low byte is its answer.
    UNICODE_STRING nt_path;
    if (!wide || static_cast<BOOLEAN>(::RtlDosPathNameToNtPathName_U(
                     wide->c_str(), &nt_path, nullptr, nullptr)) == FALSE) {
      return std::nullopt;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &nt_path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    FILE_NETWORK_OPEN_INFORMATION info;
    const NTSTATUS status = ::NtQueryFullAttributesFile(&attributes, &info);
    ::RtlFreeUnicodeString(&nt_path);
    if (!NT_SUCCESS(status) || (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return std::nullopt;
    }
    look.version = VersionFrom(info.CreationTime, info.LastWriteTime, info.ChangeTime,
                               static_cast<std::uint64_t>(info.EndOfFile.QuadPart));
    return look;
  }

  Status WriteNewFile(const std::string& path, std::string_view bytes,
                      const std::string& model) override {
    static_cast<void>(model);  // its security is the directory's, as a copy's
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError("cannot create", path);
    const bool ok = WriteAll(file, bytes) && ::FlushFileBuffers(file);
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    if (ok) return {};
    ::DeleteFileA(path.c_str());
    return WindowsError("cannot write", path, error);
  }

  Status ReplaceFile(const std::string& from, const std::string& to) override {
    // A reader that has `to` open without sharing its deletion makes the
    // move fail for a moment: retried briefly.
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (::MoveFileExA(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return {};
      }
      const DWORD error = ::GetLastError();
      if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
          error != ERROR_LOCK_VIOLATION) {
        break;
      }
      ::Sleep(attempt < 10 ? 1 : 20);
    }
    Status moved = LastError("cannot move " + from + " over", to);
    // Another's open of the file is no sign-in: only an input/output failure.
    return moved.kind() == Failure::kSignedInElsewhere ? Status(Failure::kIo, moved.text())
                                                       : moved;
  }

  Status RemoveName(const std::string& path) override {
    const DWORD attributes = Attributes(path);
    const bool directory = attributes != kNoAttributes &&
                           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!directory) ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    const bool removed = directory ? ::RemoveDirectoryA(path.c_str()) != 0
                                   : ::DeleteFileA(path.c_str()) != 0;
    return removed ? Status() : LastError("cannot remove", path);
  }

  std::vector<std::string> ListDirectory(const std::string& dir) override {
    std::vector<std::string> names;
    const bool ends = !dir.empty() && (dir.back() == '\\' || dir.back() == '/');
    WIN32_FIND_DATAA found;
    HANDLE search = ::FindFirstFileA((dir + (ends ? "*" : "\\*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      const std::string_view name = found.cFileName;
      if (name != "." && name != "..") names.emplace_back(name);
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return names;
  }

  Status RenameNew(const std::string& from, const std::string& to) override {
    // Without MOVEFILE_REPLACE_EXISTING: an existing `to` is never
    // replaced. A directory with a file open in it is not renamed.
    const QuietErrors quiet;
    if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
      return LastError("cannot rename " + from + " to", to);
    }
    return {};
  }

  Status RemoveTree(const std::string& dir) override {
    const QuietErrors quiet;
    const DWORD attributes = Attributes(dir);
    if (attributes == kNoAttributes) return LastError("cannot remove", dir);
    if (IsLink(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return {Failure::kDamaged, dir + " is not a directory but a link or a file"};
    }
    if (Status emptied = EmptyDirectory(dir); !emptied) return emptied;
    if (!::RemoveDirectoryA(dir.c_str())) return LastError("cannot remove", dir);
    return {};
  }

  bool IsPlainDirectory(const std::string& path) override {
    std::string name = path;
    while (name.size() > 1 && (name.back() == '\\' || name.back() == '/')) name.pop_back();
    const QuietErrors quiet;
    const DWORD attributes = Attributes(name);
    return attributes != kNoAttributes && !IsLink(attributes) &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool IsEnterableDirectory(const std::string& path) override {
    // Asks for the attributes only: the current directory, which other
    // threads of the host may rely on, never moves. Wildcards in the path
    // are an invalid name here and match nothing.
    const DWORD attributes = Attributes(path);
    return attributes != kNoAttributes && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  Status MakeDirectory(const std::string& path) override {
    if (!::CreateDirectoryA(path.c_str(), nullptr)) {
      return LastError("cannot create the directory", path);
    }
    std::string parent = DirectoryPart(path);
    if (parent.size() > 1 && parent[parent.size() - 2] != ':') parent.pop_back();
    FlushDirectory(parent.empty() ? "." : parent);
    return {};
  }

  bool NameTaken(const std::string& path) override {
    return Attributes(path) != kNoAttributes;  // a directory, file or link
  }

  bool IsNormalFile(const std::string& path) override {
    // Reading attributes is not an open of the file's data, so a lock file
    // held by a signed-in user still counts as present.
    const QuietErrors quiet;
    if (ThroughLink(path)) return false;
    const DWORD attributes = Attributes(path);
    return attributes != kNoAttributes &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  }

  std::optional<std::uint64_t> NormalFileSize(const std::string& path) override {
    const QuietErrors quiet;
    if (ThroughLink(path)) return std::nullopt;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
      return std::nullopt;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
           data.nFileSizeLow;
  }

  Status CreateFileIfAbsent(const std::string& path) override {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError("cannot create the file", path);
    ::FlushFileBuffers(file);  // its entry, as a new directory's
    ::CloseHandle(file);
    return {};
  }

  Status CreateEmptyFile(const std::string& path) override {
    // The share mode of a compatible open: refused while a holder denies
    // sharing, so a held lock file is neither truncated nor replaced. A
    // link put in after the test is opened as itself, never followed.
    const QuietErrors quiet;
    if (ThroughLink(path)) {
      return {Failure::kDamaged, "the lock file " + path + " is reached through a link"};
    }
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError("cannot create the lock file", path);
    if (!IsPlainFile(file)) {  // a link put in after the test
      ::CloseHandle(file);
      return {Failure::kDamaged, "the lock file " + path + " is not a regular file"};
    }
    // Emptied only under the byte-range lock: a file a host of the other
    // kind holds (which no share mode shows) stays as its holder has it.
    Status status = LockWholeFile(file, path);
    if (status) {
      if (!::SetEndOfFile(file)) status = LastError("cannot empty the lock file", path);
      ::FlushFileBuffers(file);
      UnlockWholeFile(file);
    }
    ::CloseHandle(file);
    return status;
  }

  Status OpenExclusive(const std::string& path, LockHandle& handle) override {
    // No sharing: fails while any other open of the file exists, and makes
    // every later open fail until this handle is closed. Not inherited.
    handle = kFailedLock;
    const QuietErrors quiet;
    if (ThroughLink(path)) {
      return {Failure::kDamaged, "the lock file " + path + " is reached through a link"};
    }
    // Writing is asked for where it may be had, so that the byte-range
    // lock is a write lock to POSIX hosts; a file this process may only
    // read is held for reading, as the original hosts hold it.
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, kFlags, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
      file = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, kFlags,
                           nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
      return LastError("cannot open the lock file exclusively", path);
    }
    if (!IsPlainFile(file)) {  // a link put in after the test
      ::CloseHandle(file);
      return {Failure::kDamaged, "the lock file " + path + " is not a regular file"};
    }
    if (Status locked = LockWholeFile(file, path); !locked) {
      ::CloseHandle(file);
      return locked;
    }
    handle = reinterpret_cast<LockHandle>(file);
    return {};
  }

  void CloseExclusive(LockHandle handle) override {
    if (handle == kNoLock || handle == kFailedLock) return;
    // Unlocked first: a closed handle's byte locks may linger a moment.
    // A handle holds one of the two ranges; unlocking the other changes
    // nothing.
    UnlockWholeFile(reinterpret_cast<HANDLE>(handle));
    UnlockUpdateByte(reinterpret_cast<HANDLE>(handle));
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
  }

  bool InheritLock(LockHandle) override { return false; }

  Status WriteHeldLockFile(LockHandle handle, std::string_view text) override {
    // Written through the sign-in's own handle, whose byte-range lock
    // lets its own writes through. A handle that may only read (a file
    // this process may not write) cannot write a note; an empty lock file
    // already says what an empty note would.
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == kNoLock || handle == kFailedLock ||
        !::GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return {Failure::kDamaged, "the held lock file is not a regular file"};
    }
    if (info.nNumberOfLinks != 1) {
      return {Failure::kDamaged, "the held lock file has " +
                                     std::to_string(info.nNumberOfLinks) +
                                     " links and is left alone"};
    }
    if (text.empty() && info.nFileSizeLow == 0 && info.nFileSizeHigh == 0) return {};
    HANDLE file = reinterpret_cast<HANDLE>(handle);
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !WriteAll(file, text) ||
        !::SetEndOfFile(file) || !::FlushFileBuffers(file)) {
      return LastError("cannot write", "the held lock file");
    }
    return {};
  }

  LockFileState ProbeLockFile(const std::string& path) override {
    // Only an open that asks for the file's data meets the holder's share
    // mode, and while it is open it would make a concurrent sign-in fail
    // just the same. So only the answers that need no open are given.
    LockFileState state;
    state.normal_file = IsNormalFile(path);
    if (ThroughLink(path)) {
      state.held = false;  // no sign-in takes it
      return state;
    }
    const DWORD attributes = Attributes(path);
    if (attributes == kNoAttributes) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) state.held = false;
    } else if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
      state.held = false;  // not a normal file: nobody can sign in with it
    }
    return state;
  }

  Status LockUpdate(const std::string& file, LockHandle& handle) override {
    handle = kFailedLock;
    // The file is created (empty) if missing.
    HANDLE registry = ::CreateFileA(file.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (registry == INVALID_HANDLE_VALUE) return LastError("cannot open the registry", file);
    ::CloseHandle(registry);
    const std::string path = UpdateLockFileOf(file);
    // Shared with every other host: the lock is the byte-range lock, never
    // the share mode. A link in its place is opened as itself and refused.
    HANDLE lock = ::CreateFileA(
        path.c_str(), GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (lock == INVALID_HANDLE_VALUE) return LastError("cannot open the update lock file", path);
    if (!IsPlainFile(lock)) {
      ::CloseHandle(lock);
      return {Failure::kDamaged,
              "the update lock file " + path + " is " +
                  (IsLink(Attributes(path)) ? "a link" : "a directory or device") +
                  ", not a regular file: every update of the registry locks that "
                  "file, so none can be made until it is removed (the next update "
                  "creates it anew)"};
    }
    OVERLAPPED at{};
    if (!::LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      const DWORD error = ::GetLastError();
      ::CloseHandle(lock);
      if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
        return {Failure::kBusy, "it is held by another update"};
      }
      return WindowsError("cannot lock", path, error);
    }
    if ((Attributes(file) & FILE_ATTRIBUTE_READONLY) != 0) {
      UnlockUpdateByte(lock);
      ::CloseHandle(lock);
      return WindowsError("cannot write the read-only registry", file, ERROR_ACCESS_DENIED);
    }
    handle = reinterpret_cast<LockHandle>(lock);
    return {};
  }

  std::optional<std::string> ModuleFileName(const void* module) override {
    // A result that fills the buffer was cut, and a cut path would name
    // another file.
    char buffer[kMaxPath + 1];
    HMODULE handle = static_cast<HMODULE>(const_cast<void*>(module));
    const DWORD n = ::GetModuleFileNameA(handle, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return std::nullopt;
    return std::string(buffer, n);
  }

  void ShowMessageBox(const std::string& text, const std::string& caption,
                      unsigned style) override {
    ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), style);
  }
};

}  // namespace

unsigned long ProcessId() { return ::GetCurrentProcessId(); }

// --- Texts of a tree shared with POSIX hosts ----------------------------
// A registry text is UTF-8 where it is UTF-8 (a POSIX host wrote it), else
// this host's ANSI code page (names.h). Names compare by their characters;
// a home field names the entry whose name is its characters, which the
// ANSI services reach where the code page has every one of them.
namespace {

std::wstring WideOf(std::string_view text, UINT code_page) {
  const int size = static_cast<int>(text.size());
  const int n = size == 0 ? 0
                          : ::MultiByteToWideChar(code_page, 0, text.data(), size,
                                                  nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
  if (n > 0) ::MultiByteToWideChar(code_page, 0, text.data(), size, wide.data(), n);
  return wide;
}

std::wstring WideOfText(std::string_view text) {
  return WideOf(text, IsUtf8(text) ? CP_UTF8 : CP_ACP);
}

// The ANSI code page's bytes of `wide`; nullopt where a character has none
// (no best fit: "\u0141" never becomes "L", which would name another
// entry).
std::optional<std::string> AnsiOf(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  BOOL defaulted = FALSE;
  const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size,
                                      nullptr, 0, nullptr, &defaulted);
  if (n <= 0 || defaulted) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, out.data(), n,
                        nullptr, &defaulted);
  if (defaulted) return std::nullopt;
  return out;
}

}  // namespace

int CompareUserNames(const char* a, const char* b) {
  a = a ? a : "";
  b = b ? b : "";
  // Names in the ANSI code page compare as they always have; lstrcmpiA is
  // lstrcmpiW of their characters, so the order stays one order.
  if (!IsMultibyteUtf8(a) && !IsMultibyteUtf8(b)) return ::lstrcmpiA(a, b);
  return ::lstrcmpiW(WideOfText(a).c_str(), WideOfText(b).c_str());
}

std::optional<std::string> FileNameOfText(const std::string& dir,
                                          std::string_view text) {
  if (!IsMultibyteUtf8(text)) return std::string(text);
  const std::wstring wide = WideOfText(text);
  if (std::optional<std::string> ansi = AnsiOf(wide)) return ansi;
  // A character the code page lacks: the entry's short name, which the
  // ANSI services reach, where the entry exists and the system gives one.
  const std::wstring full = WideOf(dir, CP_ACP) + L"\\" + wide;
  const DWORD n = ::GetShortPathNameW(full.c_str(), nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring path(n, L'\0');
  const DWORD got = ::GetShortPathNameW(full.c_str(), path.data(), n);
  if (got == 0 || got >= n) return std::nullopt;
  path.resize(got);
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  if (name == wide) return std::nullopt;
  return AnsiOf(name);
}

Platform& NativePlatform() {
  static WindowsPlatform platform;
  return platform;
}

}  // namespace userprofile
