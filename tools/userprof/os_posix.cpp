// The tool's operating-system calls on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

#include "os.h"

extern char** environ;

namespace userprof {
namespace fs = std::filesystem;

constexpr int kWaitFailed = 1;

std::string CurrentDirectory() {
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  return ec ? std::string() : cwd.string();
}

std::string SelfPath(const std::string& argv0) {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && !self.empty()) return self.string();
  return fs::absolute(argv0, ec).string();
}

std::optional<std::string> MakeScratchDirectory(const std::string& prefix) {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / (prefix + ".XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  return pattern;
}

bool MakeDirectories(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  return fs::is_directory(path, ec);
}

bool PathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  // Never blocks on a FIFO put in the file's place: a regular file only.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string content;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

bool IsTerminal(int stream) { return ::isatty(stream) == 1; }

void PrepareStandardStreams() {}

std::string PathKind(const std::string& path, std::string* why) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (why) *why = std::strerror(errno);
    return "none";
  }
  return S_ISDIR(st.st_mode) ? "directory" : "file";
}

namespace {

std::string Failure(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string WhyCannotOpen(const std::string& path, bool write) {
  const int fd = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW |
                                          O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Failure(path, errno);
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular ? std::string() : path + ": not a regular file";
}

std::string MakeEmptyFile(const std::string& path) {
  const int fd = ::open(
      path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755);
  if (fd < 0) return Failure(path, errno);
  ::close(fd);
  return {};
}

std::string CopyFileAtomically(const std::string& from, const std::string& to) {
  const int in =
      ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return Failure(from, errno);
  struct stat st {};
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = S_ISREG(st.st_mode) ? errno : EINVAL;
    ::close(in);
    return Failure(from, error);
  }
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(in);
      return Failure(from, error);
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(in);
  // Private while it is filled; the original's mode once it is whole.
  const std::string tmp = to + ".~" + std::to_string(::getpid());
  const int out = ::open(
      tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) return Failure(tmp, errno);
  std::string failure;
  if (::fchmod(out, st.st_mode & 07777) != 0 || !WriteAll(out, data) ||
      ::fsync(out) != 0) {
    failure = Failure(tmp, errno);
  }
  if (::close(out) != 0 && failure.empty()) failure = Failure(tmp, errno);
  if (failure.empty() && ::rename(tmp.c_str(), to.c_str()) != 0) {
    failure = Failure(to, errno);
  }
  if (!failure.empty()) {
    ::unlink(tmp.c_str());
    return failure;
  }
  const std::string dir = fs::path(to).parent_path().string();
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return {};
}

std::optional<std::string> ReadLockNote(const std::string& lock_file) {
  const int fd =
      ::open(lock_file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buf[1024];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<std::size_t>(n));
}

unsigned long LinkCount(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return static_cast<unsigned long>(st.st_nlink);
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::optional<bool> ProcessRuns(long pid) {
  if (pid <= 0) return false;
  if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
  if (errno == ESRCH) return false;
  return errno == EPERM ? std::optional<bool>(true) : std::nullopt;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string UtcStamp() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::tm utc{};
  ::gmtime_r(&now.tv_sec, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &utc);
  char micro[32];
  std::snprintf(micro, sizeof micro, ".%06ldZ", now.tv_nsec / 1000);
  return std::string(text) + micro;
}

std::string RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? std::string() : Failure(path, errno);
}

void SleepMilliseconds(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {

constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The program that forwarded signals go to, and a signal that came before
// it was started.
volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_pending = 0;

void Forward(int signal) {
  const int saved = errno;
  if (g_child > 0) {
    ::kill(static_cast<pid_t>(g_child), signal);
  } else {
    g_pending = signal;
  }
  errno = saved;
}

// Sets the dispositions of the signals a run takes care of, and restores
// them when the run is over: the terminal's interrupt and quit keys
// ignored (they reach the program itself), or all four forwarded.
class RunSignals {
 public:
  explicit RunSignals(bool forward) {
    struct sigaction action {};
    action.sa_handler = forward ? Forward : SIG_IGN;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kForwarded); ++i) {
      const int signal = kForwarded[i];
      if (!forward && signal != SIGINT && signal != SIGQUIT) continue;
      ::sigaction(signal, &action, &old_[i]);
      set_[i] = true;
    }
  }
  ~RunSignals() {
    for (std::size_t i = 0; i < std::size(kForwarded); ++i) {
      if (set_[i]) ::sigaction(kForwarded[i], &old_[i], nullptr);
    }
    g_child = 0;
    g_pending = 0;
  }
  RunSignals(const RunSignals&) = delete;
  RunSignals& operator=(const RunSignals&) = delete;

 private:
  struct sigaction old_[std::size(kForwarded)]{};
  bool set_[std::size(kForwarded)]{};
};

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const RunOptions& options) {
  ProgramRun run;
  if (argv.empty()) {
    run.error = "no program given";
    return run;
  }
  std::vector<std::string> args = argv;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const std::string& extra : options.extra_env) {
    const std::string name = extra.substr(0, extra.find('=') + 1);
    std::erase_if(env,
                  [&](const std::string& e) { return e.starts_with(name); });
    env.push_back(extra);
  }
  std::vector<char*> arg_ptrs = PointersTo(args);
  std::vector<char*> env_ptrs = PointersTo(env);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attr);
  if (options.quiet) {
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                       O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null",
                                       O_WRONLY, 0);
  } else if (options.stdout_to_stderr) {
    ::posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  }
  // The program gets the signals as if started by a shell, with none
  // blocked.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : kForwarded) sigaddset(&defaults, signal);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigdefault(&attr, &defaults);
  ::posix_spawnattr_setsigmask(&attr, &none);
  ::posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  RunSignals signals(options.forward_signals);
  pid_t pid = 0;
  const int error = ::posix_spawnp(&pid, arg_ptrs[0], &actions, &attr,
                                   arg_ptrs.data(), env_ptrs.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
  if (error != 0) {
    run.error = std::strerror(error);
    return run;
  }
  g_child = static_cast<sig_atomic_t>(pid);
  if (g_pending != 0) ::kill(pid, static_cast<int>(g_pending));
  run.started = true;
  if (options.started) options.started(static_cast<long>(pid));
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) {
      run.error = std::strerror(errno);
      run.status = kWaitFailed;
      return run;
    }
  }
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return run;
}

}  // namespace userprof

namespace userprof {
namespace {

// How the kernel names a file in its lists of locks: "MAJOR:MINOR:INODE",
// the device numbers in hex.
std::string LockKey(const struct stat& st) {
  char key[64];
  std::snprintf(key, sizeof key, "%02x:%02x:%llu", ::major(st.st_dev),
                ::minor(st.st_dev), static_cast<unsigned long long>(st.st_ino));
  return key;
}

bool IsNumber(std::string_view text) {
  return !text.empty() &&
         text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether `text` holds `key` as a word of its own.
bool NamesKey(std::string_view line, std::string_view key) {
  for (std::size_t at = line.find(key); at != std::string_view::npos;
       at = line.find(key, at + 1)) {
    const bool starts = at > 0 && line[at - 1] == ' ';
    const std::size_t end = at + key.size();
    if (starts && (end == line.size() || line[end] == ' ')) return true;
  }
  return false;
}

std::string FirstLine(const std::string& path) {
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text) return {};
  return text->substr(0, text->find('\n'));
}

}  // namespace

std::optional<std::vector<std::vector<LockHolder>>> LockHolders(
    const std::vector<std::string>& files) {
#ifdef __linux__
  std::vector<std::vector<LockHolder>> holders(files.size());
  std::optional<std::string> locks = ReadWholeFile("/proc/locks");
  if (!locks) return std::nullopt;
  // Only files that some lock names are looked for among the descriptors.
  std::vector<std::pair<std::string, std::size_t>> wanted;
  for (std::size_t i = 0; i < files.size(); ++i) {
    struct stat st {};
    if (::lstat(files[i].c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::string key = LockKey(st);
    if (NamesKey(*locks, key)) wanted.emplace_back(std::move(key), i);
  }
  if (wanted.empty()) return holders;
  for (const std::string& pid : NamesIn("/proc")) {
    if (!IsNumber(pid)) continue;
    const std::string fdinfo = "/proc/" + pid + "/fdinfo/";
    std::vector<bool> found(wanted.size(), false);
    for (const std::string& fd : NamesIn(fdinfo)) {
      std::optional<std::string> info = ReadWholeFile(fdinfo + fd);
      if (!info || info->find("lock:") == std::string::npos) continue;
      for (std::size_t w = 0; w < wanted.size(); ++w) {
        if (found[w] || !NamesKey(*info, wanted[w].first)) continue;
        found[w] = true;
        holders[wanted[w].second].push_back(
            {std::stol(pid), FirstLine("/proc/" + pid + "/comm")});
      }
    }
  }
  return holders;
#else
  static_cast<void>(files);
  return std::nullopt;
#endif
}

}  // namespace userprof
