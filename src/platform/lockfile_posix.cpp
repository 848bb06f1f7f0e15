// The lock files on POSIX systems.
//
// The update lock is an exclusive open-file-description lock (F_OFD_SETLK)
// on the first byte of the file beside the profile file ("USER.INI.lock"),
// the byte the Windows build locks with LockFileEx; Wine makes a Windows
// host's lock a POSIX lock, so hosts of both kinds exclude each other. It
// reaches other machines through a file system that forwards POSIX locks
// (NFS with its lock manager; SMB with Samba's POSIX locking, which Windows
// clients' locks meet too), and no others. Without F_OFD_SETLK (not Linux)
// it is flock() on the whole file: POSIX hosts only. A process that dies
// releases its lock. The file gets the registry's owner and group, so
// whoever may update may lock; it is never written, replaced or removed.
//
// The sign-in lock (OpenExclusive) is the same lock on the whole file, and
// reaches as far. It belongs to the open file, not the process, so a
// second open in this process is refused as another process's is.
// F_OFD_GETLK tells whether a file is held without taking a lock, so asking
// never makes a sign-in fail; without it the answer is "cannot tell".
//
// Lock files are never reached through a symbolic link, in their own name
// or their directory's (a home, made plain by the library: a link there was
// put in by someone else). Higher directories may be links.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix.h"

namespace userprofile::posix {
namespace {

// Makes the locked descriptor `fd` the handle. A descriptor of 0 would
// read as "no lock": moved out of the way.
Status Hold(int fd, const std::string& path, LockHandle& handle) {
  if (fd == 0) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    fd = moved;
  }
  if (fd < 0) return PosixError("cannot hold", path, EMFILE);
  handle = fd;
  return {};
}

#ifdef F_OFD_SETLK
bool LockBytes(int fd, off_t length) {
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_len = length;  // 0: the whole file
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}
#else
bool LockBytes(int fd, off_t) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }
#endif

// The type of the lock any open (of this process too) holds on the open
// file, F_UNLCK for none, asked without taking one; nullopt where the
// system cannot tell.
std::optional<short> LockOn(int fd) {
#ifdef F_OFD_GETLK
  struct flock query{};
  query.l_type = F_WRLCK;  // conflicts with any lock on the file
  query.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_GETLK, &query) == 0) return query.l_type;
#endif
  static_cast<void>(fd);
  return std::nullopt;
}

// The holder of a lock that refused ours: a write lock is a sign-in or an
// update; a read lock is taken by nothing in the library, only by someone
// who can merely read the file.
std::string HolderOf(int fd) {
  return LockOn(fd) == F_RDLCK ? "a read lock, which no sign-in or update takes"
                               : "a lock of another open";
}

// The errors of a lookup that say the file is not there to be had.
bool IsMissing(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

// What a name is, when it is no regular file.
std::string KindOf(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (S_ISFIFO(st.st_mode)) return "a FIFO (named pipe)";
  if (S_ISDIR(st.st_mode)) return "a directory";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
  return "not a regular file";
}

// The refusal of an update lock file that is no regular file.
Status NoUpdateLock(const std::string& path) {
  struct stat st{};
  const std::string kind = ::lstat(path.c_str(), &st) == 0
                               ? KindOf(st)
                               : std::string("not a regular file");
  return Damaged("the update lock file " + path + " is " + kind +
                 ", not a regular file: every update of the registry locks "
                 "that file, so none can be made until it is removed (the "
                 "next update creates it anew)");
}

// Opens the profile file for its update, only a regular file and never
// through a symbolic link (a dangling one would create a file wherever it
// leads); a missing one is created and made durable.
Status OpenForUpdate(const std::string& file, int& fd) {
  for (;;) {
    fd = OpenNoLinks(file, O_RDWR);
    bool created = false;
    if (fd < 0 && errno == ENOENT) {
      fd = OpenNoLinks(file, O_RDWR | O_CREAT | O_EXCL, kFileMode);
      if (fd < 0 && errno == EEXIST) continue;
      created = fd >= 0;
    }
    if (fd < 0) {
      const int error = errno;
      if (error == ELOOP || error == ENOTDIR) {
        return Damaged("refusing to write through a symbolic link: " + file);
      }
      return PosixError("cannot open the registry for reading and writing", file, error);
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return Damaged("the registry " + file + " is not a regular file");
    }
    if (created) SettleNewFile(fd, file);
    return {};
  }
}

// Opens an existing lock file, never through a link, and takes the
// sign-in lock on the whole of it; with `alone`, refused too when the file
// has other names, which may be anywhere (emptying it empties those too).
Status OpenLocked(const std::string& path, bool alone, int& fd) {
  fd = OpenNoLinks(path, O_RDWR);
  if (fd < 0) {
    return PosixError("cannot open the lock file for reading and writing",
                      path, errno);
  }
  struct stat st{};
  Status status;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    status = Damaged("the lock file " + path + " is not a regular file");
  } else if (alone && st.st_nlink > 1) {
    status = Damaged("the lock file " + path + " has " +
                     std::to_string(st.st_nlink) + " links and is left alone");
  } else if (!LockBytes(fd, 0)) {
    status = {Failure::kSignedInElsewhere,
              "the lock file " + path + " is held by " + HolderOf(fd)};
  } else {
    return status;
  }
  ::close(fd);
  fd = -1;
  return status;
}

}  // namespace
}  // namespace userprofile::posix

namespace userprofile {
using namespace posix;

Status LockFiles::CreateFileIfAbsent(const std::string& path) {
  const int fd = OpenNoLinks(path, O_WRONLY | O_CREAT | O_EXCL, kFileMode);
  if (fd < 0) return PosixError("cannot create the file", path, errno);
  SettleNewFile(fd, path);
  ::close(fd);
  return {};
}

Status LockFiles::CreateEmptyFile(const std::string& path) {
  // A new file is empty and held by nobody; O_EXCL creates none through
  // a link. An existing one is emptied only under the lock, so a held
  // file stays as its holder has it.
  int fd = OpenNoLinks(path, O_RDWR | O_CREAT | O_EXCL, kFileMode);
  if (fd >= 0) {
    SettleNewFile(fd, path);
    return ::close(fd) == 0 ? Status() : PosixError("cannot close", path, errno);
  }
  if (errno != EEXIST) return PosixError("cannot create the lock file", path, errno);
  Status status = OpenLocked(path, true, fd);
  if (!status) return status;
  if (::ftruncate(fd, 0) != 0) status = PosixError("cannot empty the lock file", path, errno);
  ::close(fd);
  return status;
}

Status LockFiles::OpenExclusive(const std::string& path, LockHandle& handle) {
  handle = kFailedLock;
  int fd = -1;
  Status status = OpenLocked(path, false, fd);
  return status ? Hold(fd, path, handle) : status;
}

void LockFiles::CloseExclusive(LockHandle handle) {
  if (handle > 0) ::close(static_cast<int>(handle));
}

bool LockFiles::InheritLock(LockHandle handle) {
  // Close-on-exec everywhere else, so that no program a host starts holds
  // a sign-in by accident.
  if (handle <= 0) return false;
  const int fd = static_cast<int>(handle);
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0;
}

Status LockFiles::WriteHeldLockFile(LockHandle handle, std::string_view text) {
  const int fd = static_cast<int>(handle);
  struct stat st{};
  if (handle <= 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return Damaged("the held lock file is not a regular file");
  }
  if (st.st_nlink != 1) {
    return Damaged("the held lock file has " + std::to_string(st.st_nlink) +
                   " links and is left alone");
  }
  // Every sign-in empties its lock file: an empty one is not written, so
  // that a sign-in costs no write on a shared disk.
  if (text.empty() && st.st_size == 0) return {};
  if (::ftruncate(fd, 0) != 0 || !WriteAll(fd, text, 0)) {
    return PosixError("cannot write", "the held lock file", errno);
  }
  return {};
}

LockFileState LockFiles::ProbeLockFile(const std::string& path) {
  // Five calls: a listing makes one probe for every user. The directory
  // is looked at rather than opened; a link put in its place between
  // the look and the open can at most make the answer describe the file
  // behind it, which a probe's answer, stale when given, may do anyway.
  struct stat st{};
  if (::lstat(DirectoryOf(path).c_str(), &st) != 0) {
    return {false, IsMissing(errno) ? std::optional<bool>(false) : std::nullopt};
  }
  if (!S_ISDIR(st.st_mode)) return {false, false};  // a link: no lock file
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NOFOLLOW |
                                          O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // No file, or a link: nobody holds it. Unreadable, or a name no open
    // reaches (a socket): it may still be a normal file.
    if (IsMissing(errno)) return {false, false};
    return {::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode), std::nullopt};
  }
  LockFileState state;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    state.normal_file = true;
    if (const std::optional<short> type = LockOn(fd)) state.held = *type != F_UNLCK;
  } else {
    state.held = false;  // not a normal file: nobody can sign in with it
  }
  ::close(fd);
  return state;
}

Status LockFiles::LockUpdate(const std::string& file, LockHandle& handle) {
  handle = kFailedLock;
  int registry = -1;
  if (Status opened = OpenForUpdate(file, registry); !opened) return opened;
  struct stat st{};
  const bool writable =
      ::fstat(registry, &st) == 0 && (st.st_mode & 0222) != 0 &&
      ::faccessat(AT_FDCWD, DirectoryOf(file).c_str(), W_OK | X_OK,
                  AT_EACCESS) == 0;
  const std::string path = UpdateLockFileOf(file);
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int lock = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
  if (lock >= 0) {
    if (::fchown(lock, st.st_uid, st.st_gid) != 0) {
      (void)!::fchown(lock, static_cast<uid_t>(-1), st.st_gid);
    }
    SettleNewFile(lock, path);
  } else if (errno == EEXIST) {
    lock = ::open(path.c_str(), kFlags);
  }
  const int error = errno;
  ::close(registry);
  if (lock < 0) {
    if (error == ELOOP || error == EISDIR) return NoUpdateLock(path);
    return PosixError("cannot open the update lock file", path, error);
  }
  if (::fstat(lock, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(lock);
    return NoUpdateLock(path);
  }
  if (!LockBytes(lock, 1)) {
    const int failed = errno;
    Status status = failed == EAGAIN || failed == EACCES ||
                            failed == EWOULDBLOCK || failed == EINTR
                        ? Status(Failure::kBusy, "it is held by " + HolderOf(lock))
                        : PosixError("cannot lock", path, failed);
    ::close(lock);
    return status;
  }
  if (!writable) {
    ::close(lock);
    // A file nobody may write is read-only, for root too, as the
    // read-only attribute is on Windows.
    return PosixError("cannot write the registry (or create files beside it)",
                      file, EACCES);
  }
  return Hold(lock, path, handle);
}

}  // namespace userprofile
