// The lock files on Windows: the sign-in lock, its probe, and the update
// lock of a profile file.
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
// profile file with the read-only attribute is never updated.
// LZOpenFileA is not used: where an open fails it retries a "compressed"
// name ending in '_' and could thus open "IKIVO.SM_" beside a held lock.
#include "platform/win.h"

namespace userprofile::win {
namespace {

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

}  // namespace

Status CreateEmptyFile(const std::string& path) {
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

Status OpenExclusive(const std::string& path, LockHandle& handle) {
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

void CloseExclusive(LockHandle handle) {
  if (handle == kNoLock || handle == kFailedLock) return;
  // Unlocked first: a closed handle's byte locks may linger a moment.
  // A handle holds one of the two ranges; unlocking the other changes
  // nothing.
  UnlockWholeFile(reinterpret_cast<HANDLE>(handle));
  UnlockUpdateByte(reinterpret_cast<HANDLE>(handle));
  ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

Status WriteHeldLockFile(LockHandle handle, std::string_view text) {
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

LockFileState ProbeLockFile(const std::string& path) {
  // Only an open that asks for the file's data meets the holder's share
  // mode, and while it is open it would make a concurrent sign-in fail
  // just the same. So only the answers that need no open are given.
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

Status LockUpdate(const std::string& file, LockHandle& handle) {
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
  const auto not_a_file = [&path] {
    return Status{Failure::kDamaged,
                  "the update lock file " + path + " is " +
                      (IsLink(Attributes(path)) ? "a link" : "a directory or device") +
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
      return not_a_file();
    }
    return WindowsError("cannot open the update lock file", path, error);
  }
  if (!IsPlainFile(lock)) {
    ::CloseHandle(lock);
    return not_a_file();
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

}  // namespace userprofile::win
