// The platform on POSIX systems.
//
// Profile files are read whole and edited with the pure engine of
// profile.h. A write goes to a temporary file in the same directory, is
// flushed, and is renamed over the original, so a process killed at any
// moment leaves either the old or the new file, never a mix. What a kill
// can leave besides is the temporary file it was filling ("USER.INI.~" pid
// "." n, beside the original); the next process to take the file's update
// lock removes such leftovers, since no live writer can own one then.
//
// Updates of a profile file are serialized between processes by an
// exclusive open-file-description lock (F_OFD_SETLK) on the first byte of
// a lock file beside it ("USER.INI.lock"), the byte the Windows build
// locks with LockFileEx: POSIX and Windows hosts exclude each other, and
// Wine takes a Windows host's lock as a POSIX lock of this system, so a
// Windows host under Wine is excluded too. The registry itself cannot
// carry a lock both builds share, because on Windows a file that is open
// cannot be replaced and a locked byte cannot be read. The lock file is
// created empty (with the model's mode and the registry's owner and
// group, so that whoever may update the registry may lock it), never
// written, replaced or removed, and never opened through a symbolic link
// or left waiting on a FIFO. The
// lock reaches other machines through a file system that forwards POSIX
// locks (NFS with its lock manager; an SMB mount with Samba's POSIX
// locking, which also meets Windows clients' locks); on a file system
// without byte-range locks it does not exclude other machines. Without
// F_OFD_SETLK (not Linux) the lock is flock() on the whole file, which
// excludes POSIX hosts only. A process that dies releases its lock.
// Readers take no lock and never wait.
//
// Parsed files are kept (profile::Document) and served while the file is
// unchanged, checked on every call with one stat(): its device, inode,
// size, modification and change times, to the nanosecond, must match those
// of the parse. A replacement is a new inode; an in-place rewrite moves
// the times. (On NFS a stat may be answered from the client's attribute
// cache for up to its attribute timeout, acregmin by default 3 s: another
// machine's change can be seen that much later.)
//
// Times alone cannot tell apart two writes within one step of the file
// system's clock, so a parse is trusted on its stamp only once the file's
// times lie more than one step before the moment the stamp was taken
// (every later write then carries a later time); until then every call
// reads the file again and compares it with the parse. The step is judged
// from a time's trailing zeros: one nanosecond on ext4 or tmpfs, which
// settle one coarse clock tick after a write, two seconds for times in
// whole seconds. A server whose clock lags this machine's can still hide
// a same-size rewrite made within one of its own steps; SMB and NFS
// clients have that problem with their own caches too.
//
// Writes under the update lock edit the kept document only and replace the
// file once, when the outermost hold ends: a process killed before that
// leaves the file as it was. This process's reads see the edits at once.
// Other processes' reads see the old file until then, as they would see
// it during any single write.
//
// The exclusive open that signs a user in is an open-file-description
// lock (F_OFD_SETLK) on Linux and flock() elsewhere. Both belong to the
// open file, not to the process, so a second open in the same process is
// refused just as another process's is, and both are dropped when the file
// is closed or the process ends. Both reach other machines on NFS through
// the server's lock manager; on a network file system without lock
// support the lock does not exclude other machines.
//
// Whether a file is held is asked with F_OFD_GETLK, which reports a
// conflicting lock without taking one, so asking never makes a concurrent
// sign-in fail. The probe's own descriptor is read-only and holds no
// lock, and closing it releases nothing: open-file-description locks
// belong to their own descriptions. Without F_OFD_GETLK the held lock is
// a flock() lock, which no query reports, so the answer is "cannot tell".
//
// Lock files are never reached through a symbolic link, neither in the
// file's own name nor in the name of the directory that holds it (the
// user's home directory). A home directory is made by the library as a
// plain directory under the users root, so a link there was put in by
// someone else and may lead anywhere: following it would let the library
// create, truncate or hold open a file outside the users root. Such a lock
// file is refused instead (the user cannot sign in, and its creation is
// reported) until the link is replaced by a directory. Directories higher
// up, the users root included, may be links: where the application tree
// lives is the administrator's choice.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "frame/failure.h"
#include "platform/names.h"
#include "platform/platform.h"
#include "platform/profile.h"
#include "platform/profile_document.h"

namespace userprofile {
namespace {

void RecordFailure(std::string_view what, const std::string& path, int error);

// Reads the whole file; nullopt if it cannot be opened as a regular file.
// Never blocks on a FIFO put in the file's place.
std::optional<std::string> ReadWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) RecordFailure("cannot read", path, errno);
    return std::nullopt;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string data;
  data.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

#ifdef F_OFD_SETLK
// The byte of a profile file's update lock file that every host locks.
bool LockUpdateByte(int fd) {
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool LockWholeFile(int fd) {
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}
#else
bool LockUpdateByte(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }
bool LockWholeFile(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }
#endif

#ifdef F_OFD_GETLK
// Whether any process (this one included) holds a lock on the open file
// `fd`, asked without taking one; nullopt if the system cannot tell.
std::optional<bool> HeldByAnyone(int fd) {
  struct flock query{};
  query.l_type = F_WRLCK;  // conflicts with any lock on the file
  query.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_GETLK, &query) != 0) return std::nullopt;
  return query.l_type != F_UNLCK;
}

// The errors of a lookup that say the file is not there to be had: no
// such name, a directory on its way that is none, or a link where none
// is followed.
bool IsMissing(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP;
}
#endif

// The directory part and the last name of a path.
struct DirAndName {
  std::string dir;
  std::string name;
};

DirAndName SplitLast(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Opens the directory of `path` without following a symbolic link in its
// own name, and sets `name` to the path's last name; -1 (errno set) if the
// directory cannot be opened or is a link.
int OpenPlainDir(const std::string& path, std::string& name) {
  DirAndName parts = SplitLast(path);
  name = parts.name;
#ifdef O_PATH
  constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
  constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif
  return ::open(parts.dir.c_str(), kDirFlags);
}

// Opens `path` with `flags` without following a symbolic link in its last
// name or in the name of its directory; -1 (errno set) otherwise. Never
// blocks on a FIFO put in the file's place.
int OpenNoLinks(const std::string& path, int flags, mode_t mode = 0) {
  std::string name;
  int dir = OpenPlainDir(path, name);
  if (dir < 0) return -1;
  int fd = ::openat(dir, name.c_str(),
                    flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  int saved = errno;
  ::close(dir);
  errno = saved;
  return fd;
}

// True for the errors of an open that says this process may not write
// the file (as opposed to a missing directory or a transient failure).
bool MayNotWrite(int error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

// The directory part of a path, for a check that a file can be created
// beside it.
std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The ownership model. The users of the application are the members of
// one group: the group of the program directory and of the users root,
// both set-group-ID so that everything made in them takes that group.
// What the library creates is theirs and nobody else's: files 0660,
// directories 0770 (keeping the set-group-ID bit they inherit). The modes
// are set with fchmod, so no umask can narrow them (and lock out the
// other members) or widen them (and let an outsider lock the files).
constexpr mode_t kFileMode = 0660;
constexpr mode_t kDirMode = 0770;

std::string Octal(mode_t mode) {
  std::string text;
  for (int shift = 9; shift >= 0; shift -= 3) {
    text += static_cast<char>('0' + ((mode >> shift) & 7));
  }
  return text;
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
  return " (" + subject + ": mode " + Octal(st.st_mode) + ", owner " +
         std::to_string(st.st_uid) + ", group " + std::to_string(st.st_gid) +
         "; this process: user " + std::to_string(::geteuid()) + ", group " +
         std::to_string(::getegid()) + ")";
}

// Records why an operation on `path` failed, for the calling thread: what
// was attempted, on which file, the system's reason and, for a refused
// access, the permissions involved.
void RecordFailure(std::string_view what, const std::string& path, int error) {
  std::string text = std::string(what) + " " + path + ": " +
                     std::error_code(error, std::generic_category()).message();
  if (MayNotWrite(error)) {
    SetFailure(Failure::kPermission, text + AccessOf(path));
  } else {
    SetFailure(Failure::kIo, std::move(text));
  }
}

// Flushes the directory that holds `path`, so that a name just created,
// renamed or removed in it survives a crash of the machine.
bool SyncDirectoryOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  int dir =
      ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  bool ok = ::fsync(dir) == 0;
  ::close(dir);
  return ok;
}

// Gives a file this process just created the model's mode and makes it
// and its name durable.
bool SettleNewFile(int fd, const std::string& path) {
  return ::fchmod(fd, kFileMode) == 0 && ::fsync(fd) == 0 &&
         SyncDirectoryOf(path);
}

// Opens the update lock file of `file`, whose open descriptor is
// `registry`, for writing; creates it if missing with the model's mode
// and, as far as this process may set them, the registry's owner and
// group, so that whoever may write the registry may lock it. A link in
// its place is refused, never followed, and nothing but a regular file is
// taken (a FIFO is not waited on). -1 with errno set otherwise.
int OpenUpdateLockFile(const std::string& file, int registry) {
  const std::string path = UpdateLockFileOf(file);
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
  if (fd >= 0) {
    struct stat st{};
    if (::fstat(registry, &st) == 0 &&
        ::fchown(fd, st.st_uid, st.st_gid) != 0) {
      (void)!::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    }
    if (!SettleNewFile(fd, path)) RecordFailure("cannot settle", path, errno);
    return fd;
  }
  if (errno != EEXIST) return -1;
  fd = ::open(path.c_str(), kFlags);
  if (fd < 0) return -1;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
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

bool SameFile(int fd, const std::string& path) {
  struct stat a{};
  struct stat b{};
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True for the name of a replacement that a writer of `base` was filling:
// base + ".~" + digits + "." + digits.
bool IsReplacementOf(std::string_view name, std::string_view base) {
  if (name.size() <= base.size() + 2 || name.substr(0, base.size()) != base ||
      name.substr(base.size(), 2) != ".~") {
    return false;
  }
  std::string_view rest = name.substr(base.size() + 2);
  std::size_t dot = rest.find('.');
  auto digits = [](std::string_view t) {
    return !t.empty() && t.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return dot != std::string_view::npos && digits(rest.substr(0, dot)) &&
         digits(rest.substr(dot + 1));
}

// Removes the replacements that killed writers left beside `path`. Only
// called with the update lock held: every writer holds it while it fills
// a replacement, so any one found now is an orphan.
void RemoveOrphanedReplacements(const std::string& path) {
  std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent* entry = ::readdir(d)) {
    if (IsReplacementOf(entry->d_name, base)) {
      ::unlinkat(::dirfd(d), entry->d_name, 0);
    }
  }
  ::closedir(d);
}

// Replaces the file's content atomically and durably. `original` is the
// status of the file it replaces, whose permission bits and, as far as
// this process may set them, owner and group the new file takes.
// `update_fd` is the descriptor of the file now at `path`; it becomes the
// new file's once that has the name. The new file is created 0600 and has
// its final owner and mode before any data goes in, so a private registry
// never shows its content to anyone while it is rewritten. The directory
// is flushed after the rename: once the update has returned, a crash of
// the machine cannot bring the earlier content back.
bool ReplaceFile(const std::string& path, std::string_view content,
                 const struct stat& original, int& update_fd) {
  static std::atomic<unsigned> counter{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = path + ".~" + std::to_string(::getpid()) + "." +
          std::to_string(counter++);
    fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                0600);
    if (fd < 0 && errno != EEXIST) {
      RecordFailure("cannot create the replacement", tmp, errno);
      return false;
    }
  }
  if (fd < 0) return false;
  // Best effort: a rewrite must not take the file away from its owner (a
  // write on Windows never changes who owns the file). Only root may give
  // a file away; others can at most keep its group.
  if (::fchown(fd, original.st_uid, original.st_gid) != 0) {
    (void)!::fchown(fd, static_cast<uid_t>(-1), original.st_gid);
  }
  bool ok = ::fchmod(fd, original.st_mode & 07777) == 0 &&
            WriteAll(fd, content) && ::fsync(fd) == 0;
  if (!ok) RecordFailure("cannot write the replacement", tmp, errno);
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) {
    ::close(update_fd);
    update_fd = fd;
    // The content is in place; a directory that cannot be flushed leaves
    // only its durability to the file system's own schedule.
    static_cast<void>(SyncDirectoryOf(path));
    return true;
  }
  if (ok) RecordFailure("cannot rename the replacement over", path, errno);
  ::close(fd);
  ::unlink(tmp.c_str());
  return false;
}

// What identifies one version of a file's content without reading it.
struct FileStamp {
  dev_t dev;
  ino_t ino;
  off_t size;
  struct timespec mtime;
  struct timespec ctime;
};

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
         SameTime(a.mtime, b.mtime) && SameTime(a.ctime, b.ctime);
}

FileStamp StampOf(const struct stat& st) {
#ifdef __APPLE__
  return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtimespec,
                   st.st_ctimespec};
#else
  return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
#endif
}

// The clock file times are taken from. Every write from now on carries a
// time no earlier than this.
struct timespec CoarseNow() {
  struct timespec now{};
#ifdef CLOCK_REALTIME_COARSE
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
#else
  ::clock_gettime(CLOCK_REALTIME, &now);
#endif
  return now;
}

// Milliseconds of a clock that never steps back; read without a system
// call where the system allows.
long long MonotonicMs() {
  struct timespec now{};
#ifdef CLOCK_MONOTONIC_COARSE
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
#else
  ::clock_gettime(CLOCK_MONOTONIC, &now);
#endif
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A descriptor closed with its owner.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Descriptor() { Close(); }
  int get() const { return fd_; }

 private:
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
};

// The most a file system's time steps can be, judged from one of its
// times: a time in whole seconds may come from one that counts seconds (or
// two, as FAT does); otherwise its trailing decimal zeros bound the step.
long long GranularityOf(const struct timespec& t) {
  if (t.tv_nsec == 0) return 2000000000LL;
  long long step = 1;
  for (long nsec = t.tv_nsec; nsec % 10 == 0; nsec /= 10) step *= 10;
  return step;
}

// True if a write after `now` must carry a time other than `t`: `t` lies
// before `now` by more than one step of the file system's clock.
bool ClearlyBefore(const struct timespec& t, const struct timespec& now) {
  const long long margin = GranularityOf(t);
  if (t.tv_sec < now.tv_sec - 3) return true;
  if (t.tv_sec > now.tv_sec) return false;
  const long long apart =
      static_cast<long long>(now.tv_sec - t.tv_sec) * 1000000000LL +
      (now.tv_nsec - t.tv_nsec);
  return apart > margin;
}

bool Settled(const FileStamp& stamp, const struct timespec& taken) {
  return ClearlyBefore(stamp.mtime, taken) && ClearlyBefore(stamp.ctime, taken);
}

// The whole content of an open file, from its start.
// Read straight into the result: a first call in a process pays for every
// page it touches.
std::string ReadDescriptor(int fd, std::size_t size_hint) {
  std::string data(size_hint + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == data.size()) data.resize(data.size() * 2);
    ssize_t n = ::pread(fd, data.data() + got, data.size() - got,
                        static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  return data;
}

const std::string& MainProgramPath() {
  static const std::string path = [] {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf)
      return std::string();
    return std::string(buf, static_cast<std::size_t>(n));
  }();
  return path;
}

struct ModuleSearch {
  std::uintptr_t address = 0;
  bool found = false;
  bool is_main = false;
  std::string name;  // copied while the loader holds the object
};

// Finds the loaded object whose segments hold the address. The first
// object reported is the main program.
int FindModule(struct dl_phdr_info* info, std::size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (search->address >= start && search->address < start + ph.p_memsz) {
      search->found = true;
      search->is_main = info->dlpi_name == nullptr || *info->dlpi_name == '\0';
      if (!search->is_main) search->name = info->dlpi_name;
      return 1;
    }
  }
  return 0;
}

// The loader's counts of objects loaded and unloaded so far: while both
// stay the same, every address lies in the object it lay in before.
struct LoaderGeneration {
  unsigned long long adds = 0;
  unsigned long long subs = 0;
  bool known = false;
  bool operator==(const LoaderGeneration&) const = default;
};

int ReadGeneration(struct dl_phdr_info* info, std::size_t size, void* data) {
  auto* generation = static_cast<LoaderGeneration*>(data);
  if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
    generation->adds = info->dlpi_adds;
    generation->subs = info->dlpi_subs;
    generation->known = true;
  }
  return 1;  // the first object reported tells
}

class PosixPlatform final : public Platform {
 private:
  // Parsed files kept at most; a host uses one registry.
  static constexpr std::size_t kParsedFiles = 8;
  struct Update {
    int fd;     // descriptor of the file that has the name now
    int depth;  // nested LockForUpdate calls of this process
    std::shared_ptr<profile::Document> doc;  // loaded at first use
    bool dirty;                              // doc differs from the file
    std::optional<bool> writable;            // checked at the first write
    int lock_fd;  // the locked update lock file; -1 with fd
  };
  struct Parsed {
    FileStamp stamp{};
    bool settled = false;  // the stamp alone proves the content unchanged
    std::shared_ptr<profile::Document> doc;
    // The file's directory as its path named it when the file was read,
    // so that the check of a kept parse stats one name instead of walking
    // the whole path; `dir_checked_ms` is when the path last agreed.
    Descriptor dir;
    std::string name;
    long long dir_checked_ms = 0;
  };

 public:
  std::string ReadProfileString(std::string_view section, std::string_view key,
                                std::size_t size,
                                const std::string& file) override {
    if (ProfileCacheEnabled()) {
      std::shared_ptr<profile::Document> doc = Current(file);
      if (!doc || size == 0) return {};
      std::optional<std::string_view> value = doc->Find(section, key);
      if (!value) return {};
      return std::string(value->substr(0, size - 1));
    }
    std::optional<std::string> content = ReadWholeFile(file);
    if (!content || size == 0) return {};
    std::optional<std::string_view> value =
        profile::FindValue(*content, section, key);
    if (!value) return {};
    return std::string(value->substr(0, size - 1));
  }

  std::uint32_t ReadProfileInt(std::string_view section, std::string_view key,
                               int fallback, const std::string& file) override {
    if (ProfileCacheEnabled()) {
      std::shared_ptr<profile::Document> doc = Current(file);
      if (!doc) return static_cast<std::uint32_t>(fallback);
      return profile::ParseInt(doc->Find(section, key).value_or(""), fallback);
    }
    std::optional<std::string> content = ReadWholeFile(file);
    if (!content) return static_cast<std::uint32_t>(fallback);
    std::optional<std::string_view> value =
        profile::FindValue(*content, section, key);
    return profile::ParseInt(value.value_or(""), fallback);
  }

  bool WriteProfileString(std::string_view section, std::string_view key,
                          std::string_view value,
                          const std::string& file) override {
    if (profile::BreaksLine(section) || profile::BreaksLine(key) ||
        profile::BreaksLine(value)) {
      return false;
    }
    // Every write runs under the update lock so that no other process's
    // write is lost: the file is read, edited and replaced, or, with the
    // cache, the kept document edited and written out as the lock ends.
    if (!LockForUpdate(file, kSingleWriteTimeoutMs)) return false;
    if (ProfileCacheEnabled()) {
      bool ok = WriteHeldBack(section, key, value, file);
      return EndUpdate(file) && ok;
    }
    bool ok = WriteLocked(section, key, value, file);
    UnlockForUpdate(file);
    return ok;
  }

  std::optional<std::string> ReadProfileSection(
      std::string_view section, const std::string& file) override {
    if (ProfileCacheEnabled()) {
      std::string lines;
      if (std::shared_ptr<profile::Document> doc = Current(file)) {
        return profile::SectionLines(doc->Bytes(), section);
      }
      return lines;
    }
    std::optional<std::string> content = ReadWholeFile(file);
    return profile::SectionLines(content.value_or(""), section);
  }

  std::shared_ptr<const profile::Document> ProfileSnapshot(
      const std::string& file) override {
    if (!ProfileCacheEnabled()) return nullptr;
    std::shared_ptr<const profile::Document> doc = Current(file);
    if (doc) return doc;
    // A missing file reads as empty, and stays the same empty content.
    static const auto empty = std::make_shared<const profile::Document>();
    return empty;
  }

  bool LockForUpdate(const std::string& file, unsigned timeout_ms) override {
    auto held = updates_.find(file);
    if (held != updates_.end()) {
      ++held->second.depth;
      return true;
    }
    int fd = OpenRegistryForUpdate(file);
    if (fd == kRefused) {
      // Nothing can change a file this process may not write (or may not
      // write through a link, or that is no regular file), so there is
      // nothing to serialize: the "lock" is held without a descriptor and
      // every write under it is refused at once, instead of waiting out a
      // lock that could never be had. The cause is recorded.
      updates_.emplace(file, Update{-1, 1, nullptr, false, std::nullopt, -1});
      return true;
    }
    if (fd < 0) return false;
    int lock = OpenUpdateLockFile(file, fd);
    if (lock < 0) {
      const int error = errno;
      ::close(fd);
      const std::string path = UpdateLockFileOf(file);
      if (error == ELOOP || error == EINVAL) {
        SetFailure(Failure::kDamaged,
                   "the update lock file " + path + " is not a regular file");
      } else {
        RecordFailure("cannot open the update lock file for writing", path,
                      error);
      }
      // A lock file this process may not write, or that is no regular
      // file: no update of its own could be serialized, so none is made.
      if (!MayNotWrite(error) && error != ELOOP && error != EINVAL) {
        return false;
      }
      updates_.emplace(file, Update{-1, 1, nullptr, false, std::nullopt, -1});
      return true;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeout_ms);
    auto pause = std::chrono::microseconds(200);
    while (!LockUpdateByte(lock)) {
      const bool busy = errno == EAGAIN || errno == EACCES ||
                        errno == EWOULDBLOCK || errno == EINTR;
      if (busy && std::chrono::steady_clock::now() >= deadline) {
        SetFailure(Failure::kBusy, "the update lock of " + file +
                                       " was not had within " +
                                       std::to_string(timeout_ms / 1000) +
                                       " s: it is held by " + HolderOf(lock));
      } else if (!busy) {
        RecordFailure("cannot lock", UpdateLockFileOf(file), errno);
      }
      if (!busy || std::chrono::steady_clock::now() >= deadline) {
        ::close(lock);
        ::close(fd);
        return false;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
    // The holder before us may have replaced the file since it was
    // opened; under the lock nobody else does.
    if (!SameFile(fd, file)) {
      ::close(fd);
      fd = OpenRegistryForUpdate(file);
      if (fd < 0) {
        ::close(lock);
        if (fd != kRefused) return false;
        updates_.emplace(file, Update{-1, 1, nullptr, false, std::nullopt, -1});
        return true;
      }
    }
    updates_.emplace(file, Update{fd, 1, nullptr, false, std::nullopt, lock});
    RemoveOrphanedReplacements(file);
    return true;
  }

  // Opens the registry for its update lock: never through a symbolic link
  // (neither its own name nor its directory's: a dangling link would have
  // the library create a file wherever it leads), never blocking on a
  // FIFO, and only a regular file. A missing registry is created with the
  // model's mode and made durable. kRefused (cause recorded) for a file
  // that can never be written this way, -1 for a transient failure.
  static constexpr int kRefused = -2;
  int OpenRegistryForUpdate(const std::string& file) {
    for (;;) {
      int fd = OpenNoLinks(file, O_RDWR);
      bool created = false;
      if (fd < 0 && errno == ENOENT) {
        fd = OpenNoLinks(file, O_RDWR | O_CREAT | O_EXCL, kFileMode);
        if (fd < 0 && errno == EEXIST) continue;
        created = fd >= 0;
      }
      if (fd < 0) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR) {
          RecordFailure("refusing to write through a symbolic link:", file,
                        error);
          return kRefused;
        }
        RecordFailure("cannot open the registry for reading and writing", file,
                      error);
        return MayNotWrite(error) ? kRefused : -1;
      }
      struct stat st{};
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetFailure(Failure::kDamaged,
                   "the registry " + file + " is not a regular file");
        return kRefused;
      }
      if (created && !SettleNewFile(fd, file)) {
        RecordFailure("cannot settle the new registry", file, errno);
      }
      return fd;
    }
  }

  void UnlockForUpdate(const std::string& file) override {
    static_cast<void>(EndUpdate(file));
  }

  bool EndUpdate(const std::string& file) override {
    auto held = updates_.find(file);
    if (held == updates_.end() || --held->second.depth > 0) return true;
    bool ok = !held->second.dirty || Publish(file, held->second);
    if (held->second.fd >= 0) ::close(held->second.fd);
    // Released last: the file is replaced by then.
    if (held->second.lock_fd >= 0) ::close(held->second.lock_fd);
    updates_.erase(held);
    return ok;
  }

  // One write under the update lock, kept in the held document until the
  // outermost hold ends. Refused as the immediate write would be: for a
  // file nobody may write, or beside which no file can be created.
  bool WriteHeldBack(std::string_view section, std::string_view key,
                     std::string_view value, const std::string& file) {
    Update& update = updates_.find(file)->second;
    // Held without a descriptor: the cause was recorded as the lock was
    // taken.
    if (update.fd < 0) return false;
    if (!update.writable) {
      struct stat st{};
      update.writable =
          ::fstat(update.fd, &st) == 0 && S_ISREG(st.st_mode) &&
          (st.st_mode & 0222) != 0 &&
          ::faccessat(AT_FDCWD, DirectoryOf(file).c_str(), W_OK | X_OK,
                      AT_EACCESS) == 0;
    }
    if (!*update.writable) {
      RecordFailure("cannot write the registry (or create files beside it)",
                    file, EACCES);
      return false;
    }
    std::shared_ptr<profile::Document> doc = HeldDocument(file, update);
    if (!doc) return false;
    const std::uint64_t version = doc->version();
    if (!doc->Set(section, key, value)) return false;
    update.dirty = update.dirty || doc->version() != version;
    return true;
  }

  // One write, with the update lock of `file` held by this process.
  bool WriteLocked(std::string_view section, std::string_view key,
                   std::string_view value, const std::string& file) {
    auto held = updates_.find(file);
    // Held without a descriptor: the file was not writable when the lock
    // was taken, and a write now would not be serialized.
    if (held->second.fd < 0) return false;
    std::optional<struct stat> original;
    struct stat st{};
    if (::stat(file.c_str(), &st) == 0) {
      // A file nobody may write is read-only, for root too, as the
      // read-only attribute is on Windows.
      if (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0) {
        RecordFailure("cannot write the registry", file, EACCES);
        return false;
      }
      original = st;
    } else if (errno != ENOENT) {
      RecordFailure("cannot examine the registry", file, errno);
      return false;
    }
    std::string old;
    if (original) {
      std::optional<std::string> content = ReadWholeFile(file);
      if (!content) return false;
      old = std::move(*content);
    }
    std::optional<std::string> updated =
        profile::WithValue(old, section, key, value);
    if (!updated) return false;
    if (original && *updated == old) return true;
    if (!original) {
      // A new file: the model's mode, owner and group as created.
      st = {};
      st.st_mode = kFileMode;
      st.st_uid = static_cast<uid_t>(-1);
      st.st_gid = static_cast<gid_t>(-1);
    }
    return ReplaceFile(file, *updated, st, held->second.fd);
  }

  // The document reads of `file` see now: this process's held one while
  // it holds the update lock, otherwise the file's, parsed anew only if
  // the file changed. nullptr for a file that cannot be read.
  std::shared_ptr<profile::Document> Current(const std::string& file) {
    // A hold without a descriptor (a file this process may not write)
    // holds nothing back: reads go to the file.
    auto held = updates_.find(file);
    if (held != updates_.end() && held->second.fd >= 0) {
      return HeldDocument(file, held->second);
    }
    // One stat decides while the kept parse can be trusted on its stamp;
    // the file is opened only to be read.
    auto kept = parsed_.find(file);
    if (kept != parsed_.end() && StillCurrent(file, kept->second)) {
      return kept->second.doc;
    }
    const struct timespec taken = CoarseNow();
    // Not blocking: a FIFO in the file's place reads as no file.
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      // A missing registry is an empty one; any other failure is a cause.
      if (errno != ENOENT)
        RecordFailure("cannot read the registry", file, errno);
      parsed_.erase(file);
      return nullptr;
    }
    std::shared_ptr<profile::Document> doc = Load(file, fd, taken);
    ::close(fd);
    return doc;
  }

  std::shared_ptr<profile::Document> HeldDocument(const std::string& file,
                                                  Update& update) {
    if (!update.doc) update.doc = Load(file, update.fd, CoarseNow());
    return update.doc;
  }

  // The document of the open file `fd`: the kept one if the file still has
  // its stamp (or, while the stamp cannot be trusted yet, its bytes),
  // otherwise a new parse. `taken` is a time before the file was looked at.
  std::shared_ptr<profile::Document> Load(const std::string& file, int fd,
                                          const struct timespec& taken) {
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      parsed_.erase(file);
      return nullptr;
    }
    const FileStamp stamp = StampOf(st);
    auto kept = parsed_.find(file);
    if (kept != parsed_.end() && kept->second.settled &&
        SameStamp(kept->second.stamp, stamp)) {
      return kept->second.doc;
    }
    std::string content =
        ReadDescriptor(fd, static_cast<std::size_t>(st.st_size));
    std::shared_ptr<profile::Document> doc;
    if (kept != parsed_.end() && kept->second.doc->HasBytes(content)) {
      doc = kept->second.doc;
    } else {
      doc = std::make_shared<profile::Document>(std::move(content));
    }
    Keep(file, stamp, Settled(stamp, taken), doc);
    return doc;
  }

  // True if the kept parse still has the file's stamp. Every call sees a
  // change another process makes to the file at once: writers replace it
  // within its directory, which the stat relative to the kept directory
  // sees. Only a replacement of the directory itself (the program's
  // directory renamed away and another put in its place) is seen through
  // the path, within kDirRecheckMs. The stat relative to the directory
  // costs about two thirds of one that walks the whole path, and it is
  // the only system call of a warm call.
  static bool StillCurrent(const std::string& file, Parsed& kept) {
    if (!kept.settled) return false;
    struct stat st{};
    const long long now = MonotonicMs();
    bool found;
    if (kept.dir.get() >= 0 && now - kept.dir_checked_ms < kDirRecheckMs) {
      found = ::fstatat(kept.dir.get(), kept.name.c_str(), &st, 0) == 0;
    } else {
      found = ::stat(file.c_str(), &st) == 0;
      if (found) kept.dir_checked_ms = now;
    }
    return found && S_ISREG(st.st_mode) && SameStamp(kept.stamp, StampOf(st));
  }

  // Keeps a parse just read or written through the file's path, with the
  // file's directory as that path names it now.
  void Keep(const std::string& file, const FileStamp& stamp, bool settled,
            std::shared_ptr<profile::Document> doc) {
    if (parsed_.size() >= kParsedFiles && parsed_.count(file) == 0) {
      parsed_.erase(parsed_.begin());
    }
    Parsed parsed;
    parsed.stamp = stamp;
    parsed.settled = settled;
    parsed.doc = std::move(doc);
    const DirAndName parts = SplitLast(file);
#ifdef O_PATH
    constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
    constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    parsed.dir = Descriptor(::open(parts.dir.c_str(), kDirFlags));
    parsed.name = parts.name;
    parsed.dir_checked_ms = MonotonicMs();
    parsed_.insert_or_assign(file, std::move(parsed));
  }

  // Replaces the file with the held document. On failure the document is
  // dropped, so that reads go back to the file as it is.
  bool Publish(const std::string& file, Update& update) {
    struct stat st{};
    if (::fstat(update.fd, &st) != 0 ||
        !ReplaceFile(file, update.doc->Bytes(), st, update.fd)) {
      parsed_.erase(file);
      return false;
    }
    const struct timespec taken = CoarseNow();
    if (::fstat(update.fd, &st) == 0) {
      Keep(file, StampOf(st), Settled(StampOf(st), taken), update.doc);
    } else {
      parsed_.erase(file);
    }
    return true;
  }

  std::optional<std::string> ModuleFileName(const void* module) override {
    std::string path;
    if (module == nullptr) {
      path = MainProgramPath();
    } else {
      // A host asks with the same handle at every call: the answer stands
      // until the loader loads or unloads an object.
      LoaderGeneration generation;
      ::dl_iterate_phdr(ReadGeneration, &generation);
      if (generation.known && module_found_.module == module &&
          module_found_.generation == generation) {
        return module_found_.path;
      }
      ModuleSearch search;
      search.address = reinterpret_cast<std::uintptr_t>(module);
      ::dl_iterate_phdr(FindModule, &search);
      if (!search.found) return std::nullopt;
      if (search.is_main) {
        path = MainProgramPath();
      } else if (!search.name.empty() && search.name.front() == '/') {
        path = std::move(search.name);
      } else if (char* real = ::realpath(search.name.c_str(), nullptr)) {
        path = real;
        std::free(real);
      }
      if (!path.empty() && path.size() <= kMaxPath) {
        module_found_ = {module, generation, path};
      }
    }
    if (path.empty() || path.size() > kMaxPath) return std::nullopt;
    return path;
  }

  bool IsEnterableDirectory(const std::string& path) override {
    // One lookup: "path/." resolves only through a directory this process
    // may search, and then names that directory. The effective ids decide,
    // as they do for chdir() and for the lookup of any file in it.
    return !path.empty() &&
           ::faccessat(AT_FDCWD, (path + "/.").c_str(), X_OK, AT_EACCESS) == 0;
  }

  bool MakeDirectory(const std::string& path) override {
    if (::mkdir(path.c_str(), kDirMode) != 0) {
      if (errno != EEXIST) {
        RecordFailure("cannot create the directory", path, errno);
      }
      return false;
    }
    // The model's mode whatever the umask, keeping the set-group-ID bit
    // the directory inherited; then the new name is made durable before
    // anything (a registry entry) can name it.
    int fd =
        ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st{};
      if (::fstat(fd, &st) == 0) {
        static_cast<void>(::fchmod(fd, kDirMode | (st.st_mode & S_ISGID)));
      }
      ::close(fd);
    }
    static_cast<void>(SyncDirectoryOf(path));
    return true;
  }

  bool RemoveDirectory(const std::string& path) override {
    if (::rmdir(path.c_str()) != 0) return false;
    static_cast<void>(SyncDirectoryOf(path));
    return true;
  }

  bool NameTaken(const std::string& path) override {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
  }

  bool IsNormalFile(const std::string& path) override {
    // A lock file behind a link is not one the library may use. Two
    // lstat() calls, no descriptor: a repair probes every home this way,
    // and the answer is a probe's (every open of a lock file refuses links
    // on its own).
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const DirAndName parts = SplitLast(path);
    return ::lstat(parts.dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  CreateOutcome CreateFileIfAbsent(const std::string& path) override {
    int fd = OpenNoLinks(path, O_WRONLY | O_CREAT | O_EXCL, kFileMode);
    if (fd >= 0) {
      if (!SettleNewFile(fd, path)) RecordFailure("cannot settle", path, errno);
      ::close(fd);
      return CreateOutcome::kCreated;
    }
    if (errno == EEXIST) return CreateOutcome::kExisted;
    RecordFailure("cannot create the file", path, errno);
    return CreateOutcome::kFailed;
  }

  bool CreateEmptyFile(const std::string& path) override {
    // Truncating through a link would empty whatever file it names. A
    // file that is new is empty and held by nobody; O_EXCL creates none
    // through a link. It gets the model's mode and is made durable before
    // the caller goes on to name it anywhere.
    int fd = OpenNoLinks(path, O_RDWR | O_CREAT | O_EXCL, kFileMode);
    if (fd >= 0) {
      if (!SettleNewFile(fd, path)) RecordFailure("cannot settle", path, errno);
      return ::close(fd) == 0;
    }
    if (errno != EEXIST) {
      RecordFailure("cannot create the lock file", path, errno);
      return false;
    }
    fd = OpenNoLinks(path, O_RDWR);
    if (fd < 0) {
      RecordFailure("cannot open the lock file for reading and writing", path,
                    errno);
      return false;
    }
    struct stat st{};
    bool ok = false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      SetFailure(Failure::kDamaged,
                 "the lock file " + path + " is not a regular file");
    } else if (st.st_nlink > 1) {
      // Another name for the same file may be anywhere on the file
      // system: emptying it would empty that file too.
      SetFailure(Failure::kDamaged, "the lock file " + path + " has " +
                                        std::to_string(st.st_nlink) +
                                        " links and is left alone");
    } else if (!LockWholeFile(fd)) {
      // Truncate only under the lock: a held file stays as its holder has
      // it.
      SetFailure(Failure::kSignedInElsewhere,
                 "the lock file " + path + " is held by " + HolderOf(fd));
    } else {
      ok = ::ftruncate(fd, 0) == 0;
      if (!ok) RecordFailure("cannot empty the lock file", path, errno);
    }
    ::close(fd);
    return ok;
  }

  LockHandle OpenExclusive(const std::string& path) override {
    int fd = OpenNoLinks(path, O_RDWR);
    if (fd < 0) {
      RecordFailure("cannot open the lock file for reading and writing", path,
                    errno);
      return kFailedLock;
    }
    // 0 would read as "no lock": move it out of the way.
    if (fd == 0) {
      int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
      ::close(fd);
      if (moved < 0) return kFailedLock;
      fd = moved;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      SetFailure(Failure::kDamaged,
                 "the lock file " + path + " is not a regular file");
      ::close(fd);
      return kFailedLock;
    }
    if (!LockWholeFile(fd)) {
      // A sign-in holds a write lock. A read lock comes from someone who
      // can only read the file: say so, as that is no sign-in.
      const std::string holder = HolderOf(fd);
      SetFailure(Failure::kSignedInElsewhere,
                 "the lock file " + path + " is held by " + holder);
      ::close(fd);
      return kFailedLock;
    }
    return fd;
  }

  void CloseExclusive(LockHandle handle) override {
    if (handle > 0) ::close(static_cast<int>(handle));
  }

  bool InheritLock(LockHandle handle) override {
    // The descriptor stays close-on-exec everywhere else, so that no
    // program a host starts holds a sign-in by accident.
    if (handle <= 0) return false;
    const int fd = static_cast<int>(handle);
    const int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0;
  }

  bool WriteHeldLockFile(LockHandle handle, std::string_view text) override {
    if (handle <= 0) return false;
    const int fd = static_cast<int>(handle);
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      SetFailure(Failure::kDamaged, "the held lock file is not a regular file");
      return false;
    }
    if (st.st_nlink != 1) {
      SetFailure(Failure::kDamaged, "the held lock file has " +
                                        std::to_string(st.st_nlink) +
                                        " links and is left alone");
      return false;
    }
    // At offset 0 whatever the file offset: a program that inherited the
    // descriptor shares it.
    bool ok = ::ftruncate(fd, 0) == 0;
    for (std::size_t done = 0; ok && done < text.size();) {
      const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done,
                                 static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<std::size_t>(n);
    }
    if (!ok) {
      SetFailure(Failure::kIo,
                 "cannot write the held lock file: " +
                     std::error_code(errno, std::generic_category()).message());
    }
    return ok;
  }

  std::optional<bool> IsHeldExclusively(const std::string& path) override {
#ifdef F_OFD_GETLK
    // Not through a link, as every open of a lock file.
    int fd = OpenNoLinks(path, O_RDONLY | O_NOCTTY);
    if (fd < 0) {
      // No file, or one reached through a link that no sign-in would
      // take: nobody holds it. Unreadable: cannot tell.
      if (IsMissing(errno)) return false;
      return std::nullopt;
    }
    struct stat st {};
    std::optional<bool> held;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      held = HeldByAnyone(fd);
    } else {
      held = false;  // not a normal file: nobody can sign in with it
    }
    ::close(fd);
    return held;
#else
    static_cast<void>(path);
    return std::nullopt;
#endif
  }

#ifdef F_OFD_GETLK
  LockFileState ProbeLockFile(const std::string& path) override {
    // The answers of IsNormalFile and IsHeldExclusively in five calls
    // instead of eight: a listing makes one for every user. The directory
    // is looked at rather than opened; a link put in its place between the
    // look and the open can at most make the answer describe the file
    // behind it, which a probe's answer, stale the moment it is given,
    // may do anyway. Nothing is opened in a way that disturbs a holder.
    const DirAndName parts = SplitLast(path);
    struct stat st {};
    if (::lstat(parts.dir.c_str(), &st) != 0) {
      return {false,
              IsMissing(errno) ? std::optional<bool>(false) : std::nullopt};
    }
    // A directory reached through a link, or no directory: no lock file.
    if (!S_ISDIR(st.st_mode)) return {false, false};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NOFOLLOW |
                                            O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      // No file, or a link (ELOOP): nobody holds it. Unreadable, or a
      // name no open reaches (a socket): it may still be a normal file.
      if (IsMissing(errno)) return {false, false};
      return {::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode),
              std::nullopt};
    }
    LockFileState state;
    const bool stated = ::fstat(fd, &st) == 0;
    if (stated && S_ISREG(st.st_mode)) {
      state.normal_file = true;
      state.held = HeldByAnyone(fd);
    } else {
      state.held = false;  // not a normal file: nobody can sign in with it
    }
    ::close(fd);
    if (!stated) state.normal_file = IsNormalFile(path);
    return state;
  }
#endif

  unsigned SetErrorMode(unsigned mode) override {
    // No system error boxes to suppress here; keep the mode for symmetry.
    unsigned previous = error_mode_;
    error_mode_ = mode;
    return previous;
  }

  bool NamesEqual(const char* a, const char* b) override {
    return UserNamesEqual(a ? a : "", b ? b : "");
  }

  int CompareNames(const char* a, const char* b) override {
    return UserNameKey(a ? a : "").compare(UserNameKey(b ? b : ""));
  }

  void ShowMessageBox(const std::string& text, const std::string& caption,
                      unsigned) override {
    // One write, so that lines of concurrent processes never interleave.
    std::string line = caption + ": " + text + "\n";
    WriteAll(STDERR_FILENO, line);
  }

 private:
  // A single write waits this long for another process's update.
  static constexpr unsigned kSingleWriteTimeoutMs = 10000;
  // How long a kept directory is trusted before the path is walked again.
  static constexpr long long kDirRecheckMs = 1000;
  std::map<std::string, Update> updates_;
  std::map<std::string, Parsed> parsed_;
  // The last module found by address, and when.
  struct FoundModule {
    const void* module = nullptr;
    LoaderGeneration generation;
    std::string path;
  };
  FoundModule module_found_;
  unsigned error_mode_ = 0;
};

}  // namespace

Platform& NativePlatform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace userprofile
