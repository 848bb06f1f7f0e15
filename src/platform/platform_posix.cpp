// The platform on POSIX systems. No open ever waits on a FIFO put in a
// file's place. The lock files are lockfile_posix.cpp's.
//
// A file version is the device, inode, size, and modification and change
// times to the nanosecond: a replacement is a new inode, an in-place
// rewrite moves the times. (On NFS a stat may be answered from the
// client's attribute cache for up to acregmin, 3 s by default.)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstddef>
#include <ctime>
#include <map>
#include <system_error>

#include "platform/names.h"
#include "platform/posix.h"

namespace userprofile {
namespace posix {
namespace {

// How a directory is opened only to look names up in it.
#ifdef O_PATH
constexpr int kLookupOnly = O_PATH;
#else
constexpr int kLookupOnly = O_RDONLY;
#endif

std::string LastName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// The permissions that decided a refused access to `path`: those of the
// file, or of its directory when the file is missing, and who asked.
std::string AccessOf(const std::string& path) {
  struct stat st{};
  std::string subject = path;
  if (::lstat(path.c_str(), &st) != 0) {
    subject = DirectoryOf(path);
    if (::stat(subject.c_str(), &st) != 0) return {};
  }
  std::string mode;
  for (int shift = 9; shift >= 0; shift -= 3) {
    mode += static_cast<char>('0' + ((st.st_mode >> shift) & 7));
  }
  return " (" + subject + ": mode " + mode + ", owner " +
         std::to_string(st.st_uid) + ", group " + std::to_string(st.st_gid) +
         "; this process: user " + std::to_string(::geteuid()) + ", group " +
         std::to_string(::getegid()) + ")";
}

// The names in an open directory, "." and ".." left out.
std::vector<std::string> NamesIn(DIR* dir) {
  std::vector<std::string> names;
  while (struct dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

// Flushes the directory that holds `path`, so that a name just created,
// renamed or removed in it survives a crash of the machine.
void SyncDirectoryOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const int dir =
      ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  static_cast<void>(::fsync(dir));
  ::close(dir);
}

// Removes everything in the directory open as `fd` (closed here), never
// following a link; `path` names it in the failures. Goes on past a name
// it cannot remove and returns the first failure.
Status EmptyDirectory(int fd, const std::string& path) {
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    ::close(fd);
    return PosixError("cannot read the directory", path, error);
  }
  // Listed first: removing names while reading may skip some.
  const std::vector<std::string> names = NamesIn(dir);
  const int at = ::dirfd(dir);
  Status first;
  for (const std::string& name : names) {
    const std::string full = path + "/" + name;
    struct stat st{};
    Status status;
    if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      status = PosixError("cannot look at", full, errno);
    } else if (S_ISDIR(st.st_mode)) {
      const int sub = ::openat(at, name.c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      status = sub < 0 ? PosixError("cannot open the directory", full, errno)
                       : EmptyDirectory(sub, full);
      if (status && ::unlinkat(at, name.c_str(), AT_REMOVEDIR) != 0) {
        status = PosixError("cannot remove", full, errno);
      }
    } else if (::unlinkat(at, name.c_str(), 0) != 0) {
      status = PosixError("cannot remove", full, errno);
    }
    if (first && !status) first = status;
  }
  ::closedir(dir);
  return first;
}

}  // namespace

std::string DirectoryOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  // "a//b" is in "a", not "a/": a trailing slash makes every call follow
  // a link named "a", even one that is told not to.
  const std::size_t end = path.find_last_not_of('/', slash);
  return end == std::string_view::npos ? "/" : std::string(path.substr(0, end + 1));
}

Status PosixError(std::string_view what, const std::string& path, int error) {
  std::string text = std::string(what) + " " + path + ": " +
                     std::error_code(error, std::generic_category()).message();
  if (error == EACCES || error == EPERM || error == EROFS) return {Failure::kPermission, text + AccessOf(path)};
  if (error == EEXIST) return {Failure::kExists, std::move(text)};
  if (error == ENOENT) return {Failure::kNotFound, std::move(text)};
  return {Failure::kIo, std::move(text)};
}

int OpenNoLinks(const std::string& path, int flags, mode_t mode) {
  const int dir =
      ::open(DirectoryOf(path).c_str(), kLookupOnly | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return -1;
  const int fd = ::openat(dir, LastName(path).c_str(),
                          flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  const int saved = errno;
  ::close(dir);
  errno = saved;
  return fd;
}

bool WriteAll(int fd, std::string_view data, off_t offset) {
  for (std::size_t done = 0; done < data.size();) {
    const char* from = data.data() + done;
    const std::size_t size = data.size() - done;
    const ssize_t n = offset < 0 ? ::write(fd, from, size)
                                 : ::pwrite(fd, from, size, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void SettleNewFile(int fd, const std::string& path) {
  static_cast<void>(::fchmod(fd, kFileMode));
  static_cast<void>(::fsync(fd));
  SyncDirectoryOf(path);
}

}  // namespace posix

namespace {

using namespace posix;

std::uint64_t Nanoseconds(const struct timespec& t) {
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(t.tv_nsec);
}

FileVersion VersionOfStat(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev),
          static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_size), Nanoseconds(st.st_mtim),
          Nanoseconds(st.st_ctim)};
}

// Coarse clocks where there are: cheaper, and as fine as file times.
#ifdef CLOCK_REALTIME_COARSE
constexpr clockid_t kFileClock = CLOCK_REALTIME_COARSE;
constexpr clockid_t kSteadyClock = CLOCK_MONOTONIC_COARSE;
#else
constexpr clockid_t kFileClock = CLOCK_REALTIME;
constexpr clockid_t kSteadyClock = CLOCK_MONOTONIC;
#endif

std::uint64_t NowOn(clockid_t clock) {
  struct timespec now{};
  ::clock_gettime(clock, &now);
  return Nanoseconds(now);
}

class PosixPlatform final : public LockFiles {
 public:
  Status ReadFile(const std::string& path, std::string& content) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return PosixError("cannot read", path, errno);
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      // Not taken for an absent file, which would read as empty.
      return Damaged("cannot read " + path + ": it is not a regular file");
    }
    // Read straight into the result: a first call in a process pays for
    // every page it touches.
    content.assign(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t got = 0;
    for (;;) {
      if (got == content.size()) content.resize(content.size() * 2);
      const ssize_t n = ::pread(fd, content.data() + got, content.size() - got,
                                static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        // Part of a file is never taken for the whole.
        const int error = errno;
        ::close(fd);
        return PosixError("cannot read", path, error);
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    content.resize(got);
    ::close(fd);
    return {};
  }

  FileLook Look(const std::string& path, bool follow_links) override {
    FileLook look;
    look.seen = NowOn(kFileClock);
    struct stat st{};
    if (!(follow_links ? StatKept(path, st) : ::lstat(path.c_str(), &st) == 0)) {
      return look;
    }
    look.kind = S_ISREG(st.st_mode)   ? FileKind::kFile
                : S_ISDIR(st.st_mode) ? FileKind::kDirectory
                : S_ISLNK(st.st_mode) ? FileKind::kLink
                                      : FileKind::kOther;
    if (look.kind == FileKind::kFile) look.version = VersionOfStat(st);
    return look;
  }

  Status WriteNewFile(const std::string& path, std::string_view bytes,
                      const std::string& model) override {
    struct stat original{};
    if (::stat(model.c_str(), &original) != 0) {
      original.st_mode = kFileMode;
      original.st_uid = static_cast<uid_t>(-1);
      original.st_gid = static_cast<gid_t>(-1);
    }
    // Created 0600, with its final owner and mode before any data goes
    // in: a private file never shows its content to anyone.
    const int fd = ::open(path.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return PosixError("cannot create", path, errno);
    // Only root may give a file away; others can at most keep its group.
    if (::fchown(fd, original.st_uid, original.st_gid) != 0) {
      (void)!::fchown(fd, static_cast<uid_t>(-1), original.st_gid);
    }
    const bool ok = ::fchmod(fd, original.st_mode & 07777) == 0 &&
                    WriteAll(fd, bytes) && ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (ok) return {};
    ::unlink(path.c_str());
    return PosixError("cannot write", path, error);
  }

  Status ReplaceFile(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      return PosixError("cannot rename " + from + " over", to, errno);
    }
    SyncDirectoryOf(to);
    return {};
  }

  Status RemoveName(const std::string& path) override {
    if (::remove(path.c_str()) != 0) return PosixError("cannot remove", path, errno);
    SyncDirectoryOf(path);
    return {};
  }

  std::vector<std::string> ListDirectory(const std::string& dir) override {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return {};
    std::vector<std::string> names = NamesIn(d);
    ::closedir(d);
    return names;
  }

  Status RenameNew(const std::string& from, const std::string& to) override {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                    RENAME_NOREPLACE) != 0) {
      return PosixError("cannot rename " + from + " to", to, errno);
    }
#else
    struct stat st{};
    if (::lstat(to.c_str(), &st) == 0) {
      return PosixError("cannot rename " + from + " to", to, EEXIST);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
      return PosixError("cannot rename " + from + " to", to, errno);
    }
#endif
    SyncDirectoryOf(to);
    return {};
  }

  Status RemoveTree(const std::string& dir) override {
    // Emptied through descriptors: a link put in anywhere, even while the
    // removal runs, is removed as a name and never entered.
    const int fd =
        ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ELOOP || errno == ENOTDIR) {
        return Damaged(dir + " is not a directory but a link or a file");
      }
      return PosixError("cannot open the directory", dir, errno);
    }
    if (Status emptied = EmptyDirectory(fd, dir); !emptied) return emptied;
    if (::rmdir(dir.c_str()) != 0) return PosixError("cannot remove", dir, errno);
    SyncDirectoryOf(dir);
    return {};
  }

  bool IsEnterableDirectory(const std::string& path) override {
    // "path/." resolves only through a directory this process may search;
    // the effective ids decide, as they do for chdir().
    return !path.empty() &&
           ::faccessat(AT_FDCWD, (path + "/.").c_str(), X_OK, AT_EACCESS) == 0;
  }

  Status MakeDirectory(const std::string& path) override {
    if (::mkdir(path.c_str(), kDirMode) != 0) {
      return PosixError("cannot create the directory", path, errno);
    }
    // The library's mode whatever the umask, keeping an inherited
    // set-group-ID bit; the name durable before a registry entry names it.
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st{};
      if (::fstat(fd, &st) == 0) {
        static_cast<void>(::fchmod(fd, kDirMode | (st.st_mode & S_ISGID)));
      }
      ::close(fd);
    }
    SyncDirectoryOf(path);
    return {};
  }

  std::optional<std::string> ModuleFileName(const void* module) override {
    return ModulePath(module);
  }

  void ShowMessageBox(const std::string& text, const std::string& caption,
                      unsigned) override {
    // One write, so that lines of concurrent processes never interleave.
    WriteAll(STDERR_FILENO, caption + ": " + text + "\n");
  }

 private:
  // stat() of `path` through its directory kept open, which costs about
  // two thirds of a walk of the whole path and is all a warm call asks of
  // the system. The path is walked again after kDirRecheckMs, so that a
  // directory put in place of the file's is seen within that time.
  bool StatKept(const std::string& path, struct stat& st) {
    const auto now = static_cast<long long>(NowOn(kSteadyClock) / 1000000);
    const std::string dir = DirectoryOf(path);
    auto slot = dirs_.find(dir);
    if (slot == dirs_.end()) {
      if (dirs_.size() >= kKeptDirs) {
        for (auto& [name, dir_kept] : dirs_) ::close(dir_kept.fd);
        dirs_.clear();
      }
      slot = dirs_.emplace(dir, KeptDir{}).first;
    }
    KeptDir& kept = slot->second;
    if (kept.fd >= 0 && now - kept.checked_ms < kDirRecheckMs) {
      return ::fstatat(kept.fd, LastName(path).c_str(), &st, 0) == 0;
    }
    if (kept.fd >= 0) ::close(kept.fd);
    kept.fd = ::open(dir.c_str(), kLookupOnly | O_DIRECTORY | O_CLOEXEC);
    kept.checked_ms = now;
    return ::stat(path.c_str(), &st) == 0;
  }

  static constexpr long long kDirRecheckMs = 1000;
  static constexpr std::size_t kKeptDirs = 8;
  struct KeptDir {
    int fd = -1;
    long long checked_ms = 0;
  };
  std::map<std::string, KeptDir> dirs_;  // one per profile file's directory
};

}  // namespace

unsigned long ProcessId() { return static_cast<unsigned long>(::getpid()); }

int Platform::CompareNames(const char* a, const char* b) {
  return UserNameKey(a ? a : "").compare(UserNameKey(b ? b : ""));
}

std::optional<std::string> FileNameOfText(const std::string& /*dir*/,
                                          std::string_view text) {
  return TextAsUtf8(text);
}

Platform& NativePlatform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace userprofile
