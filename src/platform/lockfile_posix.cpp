// The lock files on POSIX systems: the sign-in lock, its probe, and the
// update lock of a profile file.
//
// The update lock of a profile file is an exclusive open-file-description
// lock (F_OFD_SETLK) on the first byte of the lock file beside it
// ("USER.INI.lock"), the byte the Windows build locks with LockFileEx: POSIX
// and Windows hosts exclude each other, and Wine takes a Windows host's
// lock as a POSIX lock of this system. It reaches other machines through a
// file system that forwards POSIX locks (NFS with its lock manager; an SMB
// mount with Samba's POSIX locking, which also meets Windows clients'
// locks); on a file system without byte-range locks it does not exclude
// other machines. Without F_OFD_SETLK (not Linux) it is flock() on the
// whole file, which excludes POSIX hosts only. A process that dies
// releases its lock. The lock file is created with the model's mode and
// the registry's owner and group, so that whoever may update the registry
// may lock it; it is never written, replaced or removed.
//
// The sign-in lock (OpenExclusive) is the same kind of lock on the whole
// lock file. It belongs to the open file, not to the process, so a second
// open in the same process is refused just as another process's is; it is
// dropped when the file is closed or the process ends, and reaches other
// machines as the update lock does. Whether a file is held is asked with
// F_OFD_GETLK, which takes no lock, so asking never makes a concurrent
// sign-in fail; without it the answer is "cannot tell".
//
// Lock files are never reached through a symbolic link, neither in their
// own name nor in the name of the directory that holds them (the user's
// home directory, which the library makes as a plain directory: a link
// there was put in by someone else and may lead anywhere). Higher
// directories, the users root included, may be links.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix.h"

namespace userprofile::posix {
namespace {

// A descriptor of 0 would read as "no lock": moved out of the way.
LockHandle AsHandle(int fd) {
  if (fd != 0) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved < 0 ? kFailedLock : moved;
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

// Whether any process (this one included) holds a lock on the open file,
// asked without taking one; nullopt if the system cannot tell.
std::optional<bool> HeldByAnyone(int fd) {
#ifdef F_OFD_GETLK
  struct flock query{};
  query.l_type = F_WRLCK;  // conflicts with any lock on the file
  query.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_GETLK, &query) == 0) return query.l_type != F_UNLCK;
#endif
  static_cast<void>(fd);
  return std::nullopt;
}

// Describes the holder of a lock on `fd` that refused ours: a write lock
// is a sign-in or an update; a read lock is taken by nothing in the
// library, only by someone who can merely read the file.
std::string HolderOf(int fd) {
#ifdef F_OFD_GETLK
  struct flock query{};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_GETLK, &query) == 0 && query.l_type == F_RDLCK) {
    return "a read lock, which no sign-in or update takes";
  }
#endif
  static_cast<void>(fd);
  return "a lock of another open";
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

// The refusal of an update lock file that is no regular file: which file,
// what it is, and why no update can go on.
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

// Opens the profile file for its update: never through a symbolic link
// (a dangling one would have the library create a file wherever it
// leads), never blocking on a FIFO, and only a regular file. A missing
// file is created with the model's mode and made durable.
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


// Opens an existing lock file for reading and writing, never through a
// link, and takes the sign-in lock on the whole of it; `alone`: refused
// too when the file has other names, which may be anywhere (emptying it
// would empty those too). A read lock in the way comes from someone who can
// only read the file: the text says so, as that is no sign-in.
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

Status CreateEmptyFile(const std::string& path) {
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

Status OpenExclusive(const std::string& path, LockHandle& handle) {
  handle = kFailedLock;
  int fd = -1;
  Status status = OpenLocked(path, false, fd);
  if (!status) return status;
  handle = AsHandle(fd);
  return handle == kFailedLock ? PosixError("cannot hold", path, EMFILE) : Status();
}

LockFileState ProbeLockFile(const std::string& path) {
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
    state.held = HeldByAnyone(fd);
  } else {
    state.held = false;  // not a normal file: nobody can sign in with it
  }
  ::close(fd);
  return state;
}

Status LockUpdate(const std::string& file, LockHandle& handle) {
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
  handle = AsHandle(lock);
  return handle == kFailedLock ? PosixError("cannot hold", path, EMFILE) : Status();
}

}  // namespace userprofile::posix
