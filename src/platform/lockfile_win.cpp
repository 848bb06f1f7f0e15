// The lock files on Windows.
//
// The sign-in lock is two locks on the lock file, both held until the
// handle is closed or the process ends:
// - the share mode, which the original hosts rely on: opened with no
//   sharing, the file refuses every other open (a sharing violation) in
//   any process, on this machine and through a Windows (SMB) share;
// - an exclusive byte-range lock (LockFileEx) over the whole file, the
//   range the POSIX build locks. Hosts of the other kind see this one:
//   Wine and Samba keep byte-range locks as POSIX locks of the host (Wine
//   makes that of a read-only handle a read lock, so the handle asks for
//   writing where it may) and share modes to themselves. A sign-in of
//   either kind thus fails on the other's held file, by a lock violation
//   even where the open succeeded.
// It does not hold on a file system that keeps neither, nor between the
// original hosts, which take the share mode only, and POSIX hosts, which
// cannot see it; where byte ranges cannot be locked the share mode stands
// alone.
//
// The update lock is an exclusive byte-range lock on the first byte of the
// file beside the profile file ("USER.INI.lock"), the byte the POSIX build
// locks. The profile file cannot carry it: MoveFileEx refuses to replace a
// file with any open handle, and byte-range locks bind reads too. It
// reaches other machines wherever the file system forwards byte-range
// locks (an SMB share; a Samba share, also against POSIX hosts on the
// server and NFS clients; Wine), not on one that keeps none nor between
// servers that do not share them. A process that ends releases its lock.
//
// Lock files are never reached through a link (a symbolic link or a
// junction, both reparse points), in their own name or their directory's
// (the user's home). A profile file with the read-only attribute is never
// updated. LZOpenFileA is not used: where an open fails it retries a
// "compressed" name ending in '_', and could open "IKIVO.SM_" beside a held
// lock.
#include "platform/win.h"

#include <optional>
#include <string>

namespace userprofile::win {
namespace {

// A sign-in's range is the whole file, as the POSIX build's lock of
// length 0; an update's is the first byte.
constexpr DWORD kWholeFile = MAXDWORD;

void Unlock(HANDLE file, DWORD low, DWORD high) {
  OVERLAPPED at{};
  ::UnlockFileEx(file, 0, low, high, &at);
}

// Takes the sign-in's byte-range lock on an open lock file: kSignedInElsewhere
// while another open, of a host of either kind, holds a lock on any of its
// bytes. A file system without byte-range locks answers another error:
// the share mode then stands alone, and that is no refusal.
Status LockWholeFile(HANDLE file, const std::string& path) {
  OVERLAPPED at{};
  if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                   kWholeFile, kWholeFile, &at)) {
    return {};
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
    return {Failure::kSignedInElsewhere,
            "the lock file " + path + " is held by a byte-range lock of another open"};
  }
  return {};
}

// A lock file opened as itself that is a link or a directory is no lock
// file.
bool IsPlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return ::GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

// Opens the lock file `path` with `share` and `disposition`, for writing
// where it may be (so that the byte-range lock is a write lock to POSIX
// hosts) or, with `or_reading`, for reading only as the original hosts
// hold it. Never through a link: refused where the name or its directory
// is one, a link put in after that look is opened as itself, and an open
// that reached another file than the name's own is refused.
Status OpenLockFile(const std::string& path, DWORD share, DWORD disposition,
                    bool or_reading, std::string_view failure, HANDLE& file) {
  if (ThroughLink(path)) {
    return {Failure::kDamaged, "the lock file " + path + " is reached through a link"};
  }
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                       disposition, kFlags, nullptr);
  if (file == INVALID_HANDLE_VALUE && or_reading &&
      ::GetLastError() == ERROR_ACCESS_DENIED) {
    file = ::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, disposition, kFlags,
                         nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return LastError(failure, path);
  if (!IsPlainFile(file) || !OpenedAsNamed(file, WideOf(path, FileApiCodePage()))) {
    ::CloseHandle(file);
    return {Failure::kDamaged, "the lock file " + path + " is not a regular file"};
  }
  return {};
}

// The path the system gives an open file; nullopt where it gives none.
std::optional<std::wstring> FinalPathOf(HANDLE file) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(file, path.data(),
                                                static_cast<DWORD>(path.size()),
                                                VOLUME_NAME_DOS);
    if (n == 0) return std::nullopt;
    const bool fits = n < path.size();
    path.resize(fits ? n : n + 1);
    if (fits) return path;
  }
}

bool SameText(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool OpenedAsNamed(HANDLE file, const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  const std::wstring dir = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
  HANDLE parent = ::CreateFileW(dir.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (parent == INVALID_HANDLE_VALUE) return true;
  const std::optional<std::wstring> dir_final = FinalPathOf(parent);
  ::CloseHandle(parent);
  const std::optional<std::wstring> opened = FinalPathOf(file);
  if (!dir_final || !opened) return true;  // some shares tell no final path
  const std::size_t cut = opened->find_last_of(L'\\');
  if (cut == std::wstring::npos) return true;
  std::wstring_view opened_dir = std::wstring_view(*opened).substr(0, cut);
  std::wstring_view expected_dir = *dir_final;
  if (expected_dir.ends_with(L'\\')) expected_dir.remove_suffix(1);
  if (!SameText(opened_dir, expected_dir)) return false;
  const std::wstring_view opened_name = std::wstring_view(*opened).substr(cut + 1);
  if (SameText(opened_name, std::wstring_view(path).substr(slash + 1))) return true;
  // `path` may spell the name short: its long form, as the system keeps it.
  std::wstring full(path.size() + MAX_PATH, L'\0');
  const DWORD n = ::GetLongPathNameW(path.c_str(), full.data(), static_cast<DWORD>(full.size()));
  if (n == 0 || n >= full.size()) return false;
  full.resize(n);
  return SameText(opened_name, std::wstring_view(full).substr(full.find_last_of(L"\\/") + 1));
}

}  // namespace userprofile::win

namespace userprofile {
using namespace win;

Status LockFiles::CreateFileIfAbsent(const std::string& path) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError("cannot create the file", path);
  ::FlushFileBuffers(file);  // its entry, as a new directory's
  ::CloseHandle(file);
  return {};
}

Status LockFiles::CreateEmptyFile(const std::string& path) {
  // The share mode of a compatible open: refused while a holder denies
  // sharing, so a held lock file is neither truncated nor replaced.
  const QuietErrors quiet;
  HANDLE file = INVALID_HANDLE_VALUE;
  Status status = OpenLockFile(path, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS, false,
                               "cannot create the lock file", file);
  if (!status) return status;
  // Emptied only under the byte-range lock: a file a host of the other
  // kind holds (which no share mode shows) stays as its holder has it.
  status = LockWholeFile(file, path);
  if (status) {
    if (!::SetEndOfFile(file)) status = LastError("cannot empty the lock file", path);
    ::FlushFileBuffers(file);
    Unlock(file, kWholeFile, kWholeFile);
  }
  ::CloseHandle(file);
  return status;
}

Status LockFiles::OpenExclusive(const std::string& path, LockHandle& handle) {
  // No sharing: fails while any other open of the file exists, and makes
  // every later open fail until this handle is closed. Not inherited.
  handle = kFailedLock;
  const QuietErrors quiet;
  HANDLE file = INVALID_HANDLE_VALUE;
  Status status = OpenLockFile(path, 0, OPEN_EXISTING, true,
                               "cannot open the lock file exclusively", file);
  if (!status) return status;
  status = LockWholeFile(file, path);
  if (!status) {
    ::CloseHandle(file);
    return status;
  }
  handle = reinterpret_cast<LockHandle>(file);
  return {};
}

void LockFiles::CloseExclusive(LockHandle handle) {
  if (handle == kNoLock || handle == kFailedLock) return;
  // Unlocked first: a closed handle's byte locks may linger a moment. A
  // handle holds one of the two ranges; unlocking the other does nothing.
  Unlock(reinterpret_cast<HANDLE>(handle), kWholeFile, kWholeFile);
  Unlock(reinterpret_cast<HANDLE>(handle), 1, 0);
  ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool LockFiles::InheritLock(LockHandle) { return false; }

Status LockFiles::WriteHeldLockFile(LockHandle handle, std::string_view text) {
  // Through the sign-in's own handle, which its byte-range lock lets
  // through. A handle that may only read cannot write a note; an empty
  // lock file already says what an empty note would.
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

LockFileState LockFiles::ProbeLockFile(const std::string& path) {
  // Only an open of the file's data meets the holder's share mode, and it
  // would make a concurrent sign-in fail: only what needs no open is told.
  const QuietErrors quiet;
  LockFileState state;
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
  } else {
    state.normal_file = true;
  }
  return state;
}

Status LockFiles::LockUpdate(const std::string& file, LockHandle& handle) {
  handle = kFailedLock;
  // The file is created (empty) if missing.
  HANDLE registry = ::CreateFileA(file.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (registry == INVALID_HANDLE_VALUE) return LastError("cannot open the registry", file);
  ::CloseHandle(registry);
  const std::string path = UpdateLockFileOf(file);
  // Shared with every other host: the lock is the byte-range lock, never
  // the share mode. A link in its place is opened as itself and refused,
  // as is an open that reached another file (Wine and a POSIX file link).
  HANDLE lock = ::CreateFileA(
      path.c_str(), GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const auto not_a_file = [&path](bool link) {
    return Status{Failure::kDamaged,
                  "the update lock file " + path + " is " +
                      (link || IsLink(Attributes(path)) ? "a link" : "a directory or device") +
                      ", not a regular file: every update of the registry locks that "
                      "file, so none can be made until it is removed (the next update "
                      "creates it anew)"};
  };
  if (lock == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A directory is no file to open: refused as a link is, not taken
    // for a permission this process lacks.
    const DWORD attributes = Attributes(path);
    if (attributes != kNoAttributes && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return not_a_file(false);
    }
    return WindowsError("cannot open the update lock file", path, error);
  }
  const bool plain = IsPlainFile(lock);
  if (!plain || !OpenedAsNamed(lock, WideOf(path, FileApiCodePage()))) {
    ::CloseHandle(lock);
    return not_a_file(plain);
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
    Unlock(lock, 1, 0);
    ::CloseHandle(lock);
    return WindowsError("cannot write the read-only registry", file, ERROR_ACCESS_DENIED);
  }
  handle = reinterpret_cast<LockHandle>(lock);
  return {};
}

}  // namespace userprofile
