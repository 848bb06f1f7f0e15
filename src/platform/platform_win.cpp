// The platform on Windows: a thin layer over the system's own services,
// called with the arguments the library's callers rely on.
//
// Profile files are read and written by the system's private profile
// services, so the file is exactly what every other Windows program that
// shares it reads and writes. The library's own guard stays above them:
// a section, key or value holding CR, LF or NUL is refused before the
// service sees it, because the service would write it raw and so inject
// lines into the registry.
//
// The service rewrites the file in place, so a process killed in the
// middle of a write would leave it cut short and lose users. A write
// therefore goes to a copy beside the file ("USER.INI.~" pid "." n), made
// by the same service, and the copy is then moved over the file in one
// step: a process killed at any moment leaves either the old or the new
// file. What a kill can leave besides is the copy; the next process to
// take the file's update lock removes such leftovers. A file with the
// read-only attribute is never written.
//
// Lock files are never reached through a link (a symbolic link or a
// junction, both reparse points), neither in the file's own name nor in
// the name of the directory that holds it, the user's home directory: the
// library makes homes as plain directories, so a link there was put in by
// someone else and may lead outside the users root. Directories higher up
// may be links; where the application tree lives is the administrator's
// choice.
//
// The sign-in lock is the file system's share mode. The lock file is
// opened for reading with no sharing at all, so while it is open every
// other open of it fails with a sharing violation: in this process, in any
// other process on this machine, and on other machines that reach the
// file through a Windows (SMB) share, where the server enforces share
// modes. The lock is dropped when the handle is closed or the process
// ends. Where it does not hold: on a network file system whose server does
// not keep share modes (an NFS export, a share served without them), and
// under Wine between a Windows process and a native program, because Wine
// keeps share modes in its own server, per prefix, and not in the host's
// file system. Creating or truncating the lock file asks for shared read
// and write access, so it too fails while the file is held, and the holder
// keeps it as it is.
//
// Updates of a registry file are serialized between processes, and
// between this and the POSIX build, by an exclusive byte-range lock
// (LockFileEx) on the first byte of a lock file beside it ("USER.INI.lock"),
// the byte the POSIX build locks with an open-file-description lock. The
// registry itself cannot carry the lock: a file that is open cannot be
// replaced in one step here (MoveFileEx refuses a target with any open
// handle), and a lock on its bytes would make readers fail, since
// byte-range locks on Windows bind reads too. The lock file is created
// empty, never written, replaced or removed, and never opened through a
// link. A process that ends releases its lock. The lock reaches other
// machines wherever the file system forwards byte-range locks: on a
// Windows (SMB) share, and on a Samba share also against POSIX hosts on
// the server and on NFS clients of the same files, as Samba keeps SMB
// locks as POSIX locks (its default); under Wine, which takes them as
// POSIX locks of the host too. It does not hold on a file system that
// keeps no byte-range locks, or between two servers that do not share
// them (the same directory exported by SMB and by NFS from different
// machines). Readers take no lock and never wait.
//
// Power loss: a new registry is flushed before it replaces the old one
// with a write-through move, so the move is on disk before the update
// returns; a new home directory and a new lock file are flushed before
// they are named in the registry (best effort: a file system that cannot
// flush a directory keeps its own order).
//
// LZOpenFileA is not used for these opens: where an open fails it retries
// a "compressed" name with the last character replaced by '_' and can
// thus create or open "IKIVO.SM_" beside a held lock, which would let a
// second process sign in. CreateFileA with the same share modes has no
// such fallback.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "profile/profile.h"

// The one service that gives a file's change time without opening it
// (exported by ntdll; the SDK's headers leave it to the driver kit's).
extern "C" NTSTATUS NTAPI NtQueryFullAttributesFile(
    POBJECT_ATTRIBUTES attributes, PFILE_NETWORK_OPEN_INFORMATION information);

namespace userprofile {
namespace {

// The buffer the module path is fetched into: a result that fills it was
// cut, and a cut path would name another file.
constexpr DWORD kModulePathBuffer = kMaxPath + 1;

constexpr DWORD kNoAttributes = INVALID_FILE_ATTRIBUTES;

// A single write waits this long for another process's update.
constexpr DWORD kSingleWriteTimeoutMs = 10000;

DWORD Attributes(const std::string& path) {
  return ::GetFileAttributesA(path.c_str());
}

bool IsLink(DWORD attributes) {
  return attributes != kNoAttributes &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The directory part of a path ("" for a bare name) and its last name.
std::pair<std::string, std::string> SplitLast(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// True when the path's last name or the directory that holds it is a
// link: such a lock file is refused.
bool ThroughLink(const std::string& path) {
  if (IsLink(Attributes(path))) return true;
  std::string dir = SplitLast(path).first;
  while (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/')) {
    dir.pop_back();
  }
  return !dir.empty() && IsLink(Attributes(dir));
}

// True for the name of a copy that a writer of `base` was filling:
// base + ".~" + digits + "." + digits.
bool IsCopyOf(std::string_view name, std::string_view base) {
  auto fold = [](char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  };
  if (name.size() <= base.size() + 2 ||
      !std::equal(base.begin(), base.end(), name.begin(),
                  [&](char a, char b) { return fold(a) == fold(b); }) ||
      name.substr(base.size(), 2) != ".~") {
    return false;
  }
  std::string_view rest = name.substr(base.size() + 2);
  std::size_t dot = rest.find('.');
  auto digits = [](std::string_view t) {
    return !t.empty() &&
           t.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return dot != std::string_view::npos && digits(rest.substr(0, dot)) &&
         digits(rest.substr(dot + 1));
}

// Removes the copies that killed writers left beside `file`. Only called
// with the update lock held: every writer holds it while it fills a copy,
// so any one found now is an orphan.
void RemoveOrphanedCopies(const std::string& file) {
  auto [dir, base] = SplitLast(file);
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA((file + ".~*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (IsCopyOf(found.cFileName, base)) {
      const std::string orphan = dir + found.cFileName;
      ::SetFileAttributesA(orphan.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileA(orphan.c_str());
    }
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
}

// Makes the data of a file durable before it takes another's name.
bool Flush(const std::string& path) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = ::FlushFileBuffers(file) != 0;
  ::CloseHandle(file);
  return ok;
}

// Moves `from` over `to` in one step. A reader that has `to` open without
// sharing its deletion makes the move fail for a moment: retried briefly.
bool MoveOver(const std::string& from, const std::string& to) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (::MoveFileExA(from.c_str(), to.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
        error != ERROR_LOCK_VIOLATION) {
      return false;
    }
    ::Sleep(attempt < 10 ? 1 : 20);
  }
  return false;
}

// Opens (creating if missing) the update lock file of a profile file for
// writing, sharing everything with every other host: the lock is the
// byte-range lock, never the share mode. A link in its place is opened as
// itself and refused. INVALID_HANDLE_VALUE with the error set otherwise.
HANDLE OpenUpdateLockFile(const std::string& file) {
  const std::string path = UpdateLockFileOf(file);
  HANDLE lock = ::CreateFileA(
      path.c_str(), GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (lock == INVALID_HANDLE_VALUE) return lock;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(lock, &info) ||
      (info.dwFileAttributes &
       (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    ::CloseHandle(lock);
    ::SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
  }
  return lock;
}

// The byte every host locks: the first one of the update lock file.
bool TryLockUpdateByte(HANDLE lock) {
  OVERLAPPED at{};
  return ::LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                      0, 1, 0, &at) != 0;
}

void UnlockUpdateByte(HANDLE lock) {
  OVERLAPPED at{};
  ::UnlockFileEx(lock, 0, 1, 0, &at);
}

// Makes a new directory entry durable before anything names it: flushes
// the directory (and with it, on a journaling file system, every change
// logged before). Best effort: not every file system flushes directories.
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

// File times: 100-ns ticks since 1601.
std::uint64_t Ticks(const LARGE_INTEGER& t) {
  return static_cast<std::uint64_t>(t.QuadPart);
}

// Now, by the clock file times are taken from.
std::uint64_t NowTicks() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
         now.dwLowDateTime;
}

constexpr std::uint64_t kTicksPerSecond = 10000000;

// The least distance from now that makes a file time safe, whatever the
// file system: a tick of the system clock (15.6 ms) and, under Wine, the
// host kernel's coarse clock behind the precise one (one jiffy, 10 ms at
// most), with room to spare.
constexpr std::uint64_t kClockStep = kTicksPerSecond / 20;

// The most a file system's time steps can be, judged from one of its
// times: a time in whole seconds may come from one that counts seconds
// (or two, as FAT does); otherwise its trailing decimal zeros bound the
// step.
std::uint64_t GranularityOf(std::uint64_t t) {
  if (t % kTicksPerSecond == 0) return 2 * kTicksPerSecond;
  std::uint64_t step = 1;
  for (; t % 10 == 0; t /= 10) step *= 10;
  return step;
}

// True if a write after `now` must carry a time other than `t`: `t` lies
// before `now` by more than one step of the file system's clock. A time of
// 0 is one the file system does not keep.
bool ClearlyBefore(std::uint64_t t, std::uint64_t now) {
  return t != 0 && t < now && now - t > std::max(GranularityOf(t), kClockStep);
}

// The path as the ANSI file services take it, in UTF-16.
std::optional<std::wstring> Widen(const std::string& path) {
  const UINT code_page = ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  if (path.empty() || path.size() > kMaxPath) return std::nullopt;
  const int size = static_cast<int>(path.size());
  std::wstring wide(path.size(), L'\0');
  const int n =
      ::MultiByteToWideChar(code_page, 0, path.data(), size, wide.data(), size);
  if (n <= 0) return std::nullopt;
  wide.resize(static_cast<std::size_t>(n));
  return wide;
}

class WindowsPlatform final : public Platform {
 public:
  std::string ReadProfileString(std::string_view section, std::string_view key,
                                std::size_t size,
                                const std::string& file) override {
    if (size == 0) return {};
    const std::string s(section);
    const std::string k(key);
    const DWORD capacity =
        size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    std::vector<char> buffer(capacity, '\0');
    DWORD n = ::GetPrivateProfileStringA(s.c_str(), k.c_str(), "",
                                         buffer.data(), capacity, file.c_str());
    if (n >= capacity) n = capacity - 1;
    return std::string(buffer.data(), n);
  }

  std::uint32_t ReadProfileInt(std::string_view section, std::string_view key,
                               int fallback, const std::string& file) override {
    const std::string s(section);
    const std::string k(key);
    return ::GetPrivateProfileIntA(s.c_str(), k.c_str(), fallback,
                                   file.c_str());
  }

  // One read of the section by the service, which keeps its own reading
  // rules: a walk over N entries reads the file once, where N reads of
  // one key each would read it N times.
  std::optional<std::string> ReadProfileSection(
      std::string_view section, const std::string& file) override {
    const std::string s(section);
    // The section's lines are never longer than the file's: a buffer of
    // the file's size holds them, and a larger one is tried if not.
    DWORD size = 65536;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (::GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data) &&
        data.nFileSizeHigh == 0 && data.nFileSizeLow < (1u << 30)) {
      size = std::max<DWORD>(size, data.nFileSizeLow + 16);
    }
    for (;;) {
      std::string buffer(size, '\0');
      DWORD n = ::GetPrivateProfileSectionA(s.c_str(), buffer.data(), size,
                                            file.c_str());
      // A result of size - 2 means the lines did not fit.
      if (n + 2 < size) {
        buffer.resize(n);
        return buffer;
      }
      if (size >= (1u << 30)) return std::nullopt;
      size *= 2;
    }
  }

  // One query of the file's attributes, without opening it: its size and
  // its write and change times. The change time moves with every change
  // of the file's data or metadata, a rename into its place included (on
  // NTFS, and under Wine, where it is the host's ctime), and cannot be set
  // back by the usual tools as the write time can. A version is given only
  // when both times lie clearly before the moment it was asked for, so
  // that a same-size rewrite within one step of the file system's clock
  // cannot go unseen.
  std::optional<FileVersion> SettledVersion(const std::string& file) override {
    // The profile services look for a bare name in the Windows directory:
    // only a path names the file they read.
    if (file.find_first_of("\\/") == std::string::npos) return std::nullopt;
    const std::uint64_t taken = NowTicks();
    std::optional<std::wstring> wide = Widen(file);
    // The service answers a BOOLEAN (one byte) where the header declares
    // a BOOL: only the low byte is its answer.
    UNICODE_STRING nt_path;
    if (!wide || static_cast<BOOLEAN>(::RtlDosPathNameToNtPathName_U(
                     wide->c_str(), &nt_path, nullptr, nullptr)) == FALSE) {
      return std::nullopt;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &nt_path, OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    FILE_NETWORK_OPEN_INFORMATION info;
    const NTSTATUS status = ::NtQueryFullAttributesFile(&attributes, &info);
    ::RtlFreeUnicodeString(&nt_path);
    if (!NT_SUCCESS(status) ||
        (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !ClearlyBefore(Ticks(info.LastWriteTime), taken) ||
        !ClearlyBefore(Ticks(info.ChangeTime), taken)) {
      return std::nullopt;
    }
    return FileVersion{static_cast<std::uint64_t>(info.EndOfFile.QuadPart),
                       Ticks(info.LastWriteTime), Ticks(info.ChangeTime),
                       Ticks(info.CreationTime)};
  }

  bool WriteProfileString(std::string_view section, std::string_view key,
                          std::string_view value,
                          const std::string& file) override {
    if (profile::BreaksLine(section) || profile::BreaksLine(key) ||
        profile::BreaksLine(value)) {
      return false;
    }
    // The service reads, edits and rewrites the file: under the update
    // lock, no other process's update is lost in between.
    if (!LockForUpdate(file, kSingleWriteTimeoutMs)) return false;
    bool ok = updates_.at(file).lock != INVALID_HANDLE_VALUE &&
              WriteThroughCopy(std::string(section), std::string(key),
                               std::string(value), file);
    UnlockForUpdate(file);
    return ok;
  }

  bool LockForUpdate(const std::string& file, unsigned timeout_ms) override {
    auto held = updates_.find(file);
    if (held != updates_.end()) {
      ++held->second.depth;
      return true;
    }
    // The file is created (empty) if missing, as it is locked.
    HANDLE handle = ::CreateFileA(file.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE |
                                      FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_ACCESS_DENIED) {
        // Nothing can change a file this process may not write, so there
        // is nothing to serialize: the lock is held without the lock file
        // and every write under it is refused at once.
        updates_.emplace(file, Update{INVALID_HANDLE_VALUE, 1});
        return true;
      }
      return false;
    }
    ::CloseHandle(handle);
    if ((Attributes(file) & FILE_ATTRIBUTE_READONLY) != 0) {
      updates_.emplace(file, Update{INVALID_HANDLE_VALUE, 1});
      return true;
    }
    HANDLE lock = OpenUpdateLockFile(file);
    if (lock == INVALID_HANDLE_VALUE) {
      // A lock file this process may not write: no update of its own
      // could be serialized, so none is made.
      if (::GetLastError() == ERROR_ACCESS_DENIED) {
        updates_.emplace(file, Update{INVALID_HANDLE_VALUE, 1});
        return true;
      }
      return false;
    }
    // Polled: a waiting LockFileEx cannot be given a timeout.
    const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
    DWORD pause = 1;
    while (!TryLockUpdateByte(lock)) {
      const DWORD error = ::GetLastError();
      if ((error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) ||
          ::GetTickCount64() >= deadline) {
        ::CloseHandle(lock);
        return false;
      }
      ::Sleep(pause);
      pause = std::min<DWORD>(pause * 2, 20);
    }
    updates_.emplace(file, Update{lock, 1});
    RemoveOrphanedCopies(file);
    return true;
  }

  // One write by the service into a copy of `file`, which then replaces
  // the file in one step. The update lock of `file` is held.
  bool WriteThroughCopy(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file) {
    DWORD attributes = Attributes(file);
    if (attributes != kNoAttributes &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) !=
            0) {
      return false;
    }
    const std::string copy = file + ".~" +
                             std::to_string(::GetCurrentProcessId()) + "." +
                             std::to_string(copies_++);
    if (attributes != kNoAttributes &&
        !::CopyFileA(file.c_str(), copy.c_str(), FALSE)) {
      return false;
    }
    bool ok = ::WritePrivateProfileStringA(section.c_str(), key.c_str(),
                                           value.c_str(), copy.c_str()) != 0 &&
              Flush(copy) && MoveOver(copy, file);
    if (!ok) ::DeleteFileA(copy.c_str());
    return ok;
  }

  void UnlockForUpdate(const std::string& file) override {
    auto held = updates_.find(file);
    if (held == updates_.end() || --held->second.depth > 0) return;
    if (held->second.lock != INVALID_HANDLE_VALUE) {
      // Unlocked first: a closed handle's locks may linger a moment.
      UnlockUpdateByte(held->second.lock);
      ::CloseHandle(held->second.lock);
    }
    updates_.erase(held);
  }

  std::optional<std::string> ModuleFileName(const void* module) override {
    char buffer[kModulePathBuffer];
    HMODULE handle = static_cast<HMODULE>(const_cast<void*>(module));
    DWORD n = ::GetModuleFileNameA(handle, buffer, kModulePathBuffer);
    if (n == 0 || n >= kModulePathBuffer) return std::nullopt;
    return std::string(buffer, n);
  }

  bool IsEnterableDirectory(const std::string& path) override {
    // Asks for the attributes only: the current directory, which other
    // threads of the host may rely on, never moves. Wildcards in the path
    // are an invalid name here and match nothing.
    DWORD attributes = Attributes(path);
    return attributes != kNoAttributes &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool MakeDirectory(const std::string& path) override {
    if (!::CreateDirectoryA(path.c_str(), nullptr)) return false;
    // The new entry is in its parent: durable before a registry entry
    // names the directory.
    std::string parent = SplitLast(path).first;
    if (parent.size() > 1 && (parent.back() == '\\' || parent.back() == '/') &&
        parent[parent.size() - 2] != ':') {
      parent.pop_back();
    }
    FlushDirectory(parent.empty() ? "." : parent);
    return true;
  }

  bool RemoveDirectory(const std::string& path) override {
    return ::RemoveDirectoryA(path.c_str()) != 0;
  }

  bool NameTaken(const std::string& path) override {
    // Attributes exist for a directory, a file and a link alike.
    return Attributes(path) != kNoAttributes;
  }

  bool IsNormalFile(const std::string& path) override {
    // Reading attributes is not an open of the file's data, so a lock file
    // held by a signed-in user still counts as present.
    if (ThroughLink(path)) return false;
    DWORD attributes = Attributes(path);
    return attributes != kNoAttributes &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) ==
               0;
  }

  CreateOutcome CreateFileIfAbsent(const std::string& path) override {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      ::FlushFileBuffers(file);  // its entry, as a new directory's
      ::CloseHandle(file);
      return CreateOutcome::kCreated;
    }
    DWORD error = ::GetLastError();
    return (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
               ? CreateOutcome::kExisted
               : CreateOutcome::kFailed;
  }

  bool CreateEmptyFile(const std::string& path) override {
    // The share mode of a compatible open: refused while a holder denies
    // sharing, so a held lock file is neither truncated nor replaced.
    // Truncating through a link would empty whatever file it names; a link
    // put in after the test is opened as itself, never followed.
    if (ThroughLink(path)) return false;
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL |
                                    FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    ::FlushFileBuffers(file);  // its entry, as a new directory's
    ::CloseHandle(file);
    return true;
  }

  LockHandle OpenExclusive(const std::string& path) override {
    // No sharing: fails while any other open of the file exists, and makes
    // every later open fail until this handle is closed. The handle is not
    // inherited by child processes.
    if (ThroughLink(path)) return kFailedLock;
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL |
                                    FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) return kFailedLock;
    // Opened as itself, a link put in after the test is no lock file.
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes &
         (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
      ::CloseHandle(file);
      return kFailedLock;
    }
    return reinterpret_cast<LockHandle>(file);
  }

  void CloseExclusive(LockHandle handle) override {
    if (handle != kNoLock && handle != kFailedLock) {
      ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
  }

  std::optional<bool> IsHeldExclusively(const std::string& path) override {
    // Only an open that asks for the file's data meets the holder's share
    // mode, and while it is open it would make a concurrent sign-in fail
    // just the same. So only the answers that need no open are given.
    if (ThroughLink(path)) return false;  // no sign-in takes it
    DWORD attributes = Attributes(path);
    if (attributes == kNoAttributes) {
      DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return false;
      }
      return std::nullopt;
    }
    // Not a normal file: nobody can sign in with it.
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
      return false;
    }
    return std::nullopt;
  }

  unsigned SetErrorMode(unsigned mode) override {
    return ::SetErrorMode(mode);
  }

  bool NamesEqual(const char* a, const char* b) override {
    return ::lstrcmpiA(a ? a : "", b ? b : "") == 0;
  }

  int CompareNames(const char* a, const char* b) override {
    return ::lstrcmpiA(a ? a : "", b ? b : "");
  }

  void ShowMessageBox(const std::string& text, const std::string& caption,
                      unsigned style) override {
    ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), style);
  }

 private:
  struct Update {
    HANDLE lock;   // the locked update lock file; invalid: not writable
    int depth;     // nested LockForUpdate calls of this process
  };
  std::map<std::string, Update> updates_;
  unsigned copies_ = 0;  // numbers this process's copies of profile files
};

}  // namespace

Platform& NativePlatform() {
  static WindowsPlatform platform;
  return platform;
}

}  // namespace userprofile
