// The tool's operating-system calls on Windows. The application's files
// are opened with every sharing mode a plain reader can allow, so that the
// tool's own looks never make a host's sign-in (an open with no sharing)
// fail, and never through a reparse point (a link or a junction).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "os.h"

namespace userprof {
namespace fs = std::filesystem;

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr int kWaitFailed = 1;

// The system's text for an error, without its closing period and line end:
// "The system cannot find the file specified".
std::string ErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n != 0 && text != nullptr ? std::string(text, n) : "";
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() &&
         (std::isspace(static_cast<unsigned char>(message.back())) ||
          message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(error) : message;
}

std::string Failure(const std::string& path, DWORD error) {
  return path + ": " + ErrorText(error);
}

// A handle closed when it goes.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) ::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// Opens an existing file, never through a reparse point of its own name.
HANDLE OpenExisting(const std::string& path, DWORD access) {
  return ::CreateFileA(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

bool IsPlainFile(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  return ::GetFileType(h) == FILE_TYPE_DISK &&
         ::GetFileInformationByHandle(h, &info) &&
         (info.dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Reads at most `limit` bytes from the start of an open file.
std::optional<std::string> ReadFrom(HANDLE h, std::size_t limit) {
  std::string content;
  char buf[65536];
  while (content.size() < limit) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(
        std::min<std::size_t>(sizeof buf, limit - content.size()));
    if (!::ReadFile(h, buf, want, &n, nullptr)) return std::nullopt;
    if (n == 0) break;
    content.append(buf, n);
  }
  return content;
}

bool WriteAll(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    DWORD n = 0;
    const DWORD chunk =
        static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 20));
    if (!::WriteFile(h, data.data(), chunk, &n, nullptr) || n == 0) {
      return false;
    }
    data.remove_prefix(n);
  }
  return true;
}

// The time now: the calendar fields and the microseconds.
SYSTEMTIME UtcTime(long* micro) {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  SYSTEMTIME utc;
  ::FileTimeToSystemTime(&now, &utc);
  if (micro != nullptr) {
    const ULONGLONG ticks =
        (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    *micro = static_cast<long>((ticks / 10) % 1000000);
  }
  return utc;
}

}  // namespace

std::string CurrentDirectory() {
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  return ec ? std::string() : cwd.string();
}

std::string SelfPath(const std::string& argv0) {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(),
                                         static_cast<DWORD>(path.size()));
    if (n == 0) break;
    if (n < path.size()) return path.substr(0, n);
    path.resize(path.size() * 2);
  }
  std::error_code ec;
  return fs::absolute(argv0, ec).string();
}

bool IsTerminal(int stream) {
  DWORD mode = 0;
  const HANDLE h =
      ::GetStdHandle(stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  return h != nullptr && h != INVALID_HANDLE_VALUE &&
         ::GetConsoleMode(h, &mode) != 0;
}

void PrepareStandardStreams() {
  // The bytes the POSIX tool writes, lines ending in "\n": a script reads
  // the same output from both.
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
}

std::optional<std::string> MakeScratchDirectory(const std::string& prefix) {
  char base[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathA(sizeof base, base);
  std::string dir = n > 0 && n < sizeof base ? std::string(base, n) : ".\\";
  if (dir.back() != '\\') dir += '\\';
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  unsigned long long seed = static_cast<unsigned long long>(counter.QuadPart) ^
                            (static_cast<unsigned long long>(
                                 ::GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix;
    for (int i = 0; i < 6; ++i) {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      suffix += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
    }
    const std::string path = dir + prefix + "." + suffix;
    if (::CreateDirectoryA(path.c_str(), nullptr)) return path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return std::nullopt;
  }
  return std::nullopt;
}

bool MakeDirectories(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  return fs::is_directory(path, ec);
}

bool PathExists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string PathKind(const std::string& path, std::string* why) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (why) *why = ErrorText(::GetLastError());
    return "none";
  }
  // Followed as a link is followed: a directory link is a directory.
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? "directory" : "file";
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  Handle h(::CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid() || ::GetFileType(h.get()) != FILE_TYPE_DISK) {
    return std::nullopt;
  }
  return ReadFrom(h.get(), static_cast<std::size_t>(-1));
}

std::string WhyCannotOpen(const std::string& path, bool write) {
  // Asked only after the library failed, for the message: while this open
  // lasts, a host's sign-in to the same file (an open with no sharing)
  // would fail, which no open on Windows can avoid.
  Handle h(OpenExisting(path, GENERIC_READ | (write ? GENERIC_WRITE : 0)));
  if (!h.valid()) return Failure(path, ::GetLastError());
  return IsPlainFile(h.get()) ? std::string()
                              : path + ": not a regular file";
}

std::string MakeEmptyFile(const std::string& path) {
  Handle h(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  return h.valid() ? std::string() : Failure(path, ::GetLastError());
}

std::string CopyFileAtomically(const std::string& from, const std::string& to) {
  std::optional<std::string> data;
  {
    Handle in(OpenExisting(from, GENERIC_READ));
    if (!in.valid()) return Failure(from, ::GetLastError());
    if (!IsPlainFile(in.get())) return from + ": not a regular file";
    data = ReadFrom(in.get(), static_cast<std::size_t>(-1));
    if (!data) return Failure(from, ::GetLastError());
  }
  // Written whole and flushed under a name of its own, then put in place
  // in one step.
  const std::string tmp = to + ".~" + std::to_string(::GetCurrentProcessId());
  std::string failure;
  {
    Handle out(::CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) return Failure(tmp, ::GetLastError());
    if (!WriteAll(out.get(), *data) || !::FlushFileBuffers(out.get())) {
      failure = Failure(tmp, ::GetLastError());
    }
  }
  if (failure.empty() &&
      !::MoveFileExA(tmp.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    failure = Failure(to, ::GetLastError());
  }
  if (!failure.empty()) ::DeleteFileA(tmp.c_str());
  return failure;
}

std::optional<std::string> ReadLockNote(const std::string& lock_file) {
  // A lock file held by a sign-in is open with no sharing: its note cannot
  // be read by anyone else while it is held.
  Handle h(OpenExisting(lock_file, GENERIC_READ));
  if (!h.valid() || !IsPlainFile(h.get())) return std::nullopt;
  return ReadFrom(h.get(), 1024);
}

unsigned long LinkCount(const std::string& path) {
  // Attributes only: an open that asks for no data passes a holder's
  // share mode and disturbs no sign-in.
  Handle h(OpenExisting(path, FILE_READ_ATTRIBUTES));
  BY_HANDLE_FILE_INFORMATION info;
  if (!h.valid() || !::GetFileInformationByHandle(h.get(), &info)) return 0;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return 1;
  return info.nNumberOfLinks;
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return ::GetComputerNameA(name, &size) ? std::string(name, size)
                                         : std::string();
}

std::optional<bool> ProcessRuns(long pid) {
  if (pid <= 0) return false;
  Handle h(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                         static_cast<DWORD>(pid)));
  if (!h.valid()) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_INVALID_PARAMETER) return false;
    return error == ERROR_ACCESS_DENIED ? std::optional<bool>(true)
                                        : std::nullopt;
  }
  DWORD code = 0;
  if (!::GetExitCodeProcess(h.get(), &code)) return std::nullopt;
  return code == STILL_ACTIVE;
}

std::string UtcNow() {
  const SYSTEMTIME t = UtcTime(nullptr);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear,
                t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
  return text;
}

std::string UtcStamp() {
  long micro = 0;
  const SYSTEMTIME t = UtcTime(&micro);
  char text[40];
  std::snprintf(text, sizeof text, "%04u%02u%02uT%02u%02u%02u.%06ldZ", t.wYear,
                t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, micro);
  return text;
}

std::string RemoveFile(const std::string& path) {
  // Deleted through an open of the name itself, never by the name: Wine
  // shows a POSIX link to a file as a plain file and opens and deletes it
  // as its target. The path the system gives the open tells: it must be
  // the directory's own path and the name (backup names are ASCII, never
  // short). Where the system gives no path, real Windows opens a link as
  // the link, which is deleted as a name.
  const std::size_t slash = path.find_last_of("\\/");
  Handle file(OpenExisting(path, DELETE | FILE_READ_ATTRIBUTES));
  Handle dir(OpenExisting(slash == std::string::npos ? "." : path.substr(0, slash + 1),
                          FILE_READ_ATTRIBUTES));
  if (!file.valid()) return Failure(path, ::GetLastError());
  char opened[MAX_PATH * 2];
  char in[MAX_PATH * 2];
  const DWORD n = ::GetFinalPathNameByHandleA(file.get(), opened, sizeof opened, 0);
  DWORD m = dir.valid() ? ::GetFinalPathNameByHandleA(dir.get(), in, sizeof in, 0) : 0;
  if (n > 0 && n < sizeof opened && m > 0 && m < sizeof in) {
    if (in[m - 1] == '\\') --m;
    const std::string expected = std::string(in, m) + "\\" + path.substr(slash + 1);
    if (::lstrcmpiA(opened, expected.c_str()) != 0) {
      return path + ": it leads elsewhere (a link), kept";
    }
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
    return Failure(path, ::GetLastError());
  }
  return {};
}

void SleepMilliseconds(int ms) { ::Sleep(static_cast<DWORD>(ms)); }

namespace {

// One argument as the C runtime's command-line parser reads it back:
// backslashes are literal except before a quote.
std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
    return arg;
  }
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

// The environment block of this process with the extra variables set
// (names compared without regard to case, as Windows compares them).
std::string EnvironmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  if (char* block = ::GetEnvironmentStringsA()) {
    for (const char* e = block; *e != '\0'; e += std::strlen(e) + 1) {
      env.emplace_back(e);
    }
    ::FreeEnvironmentStringsA(block);
  }
  const auto same_name = [](const std::string& a, const std::string& name) {
    if (a.size() < name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (std::toupper(static_cast<unsigned char>(a[i])) !=
          std::toupper(static_cast<unsigned char>(name[i]))) {
        return false;
      }
    }
    return true;
  };
  for (const std::string& e : extra) {
    const std::string name = e.substr(0, e.find('=') + 1);
    std::erase_if(env, [&](const std::string& v) { return same_name(v, name); });
    env.push_back(e);
  }
  std::string block;
  for (const std::string& e : env) {
    block += e;
    block += '\0';
  }
  block += '\0';
  return block;
}

// The running program's process, for the console handler; 0 when none.
HANDLE volatile g_child = nullptr;

// The console's keys (Ctrl+C, Ctrl+Break) reach the program itself, which
// shares the console: the tool lets them pass and goes on waiting, so that
// it always signs out after the program. A closed console, a log-off or a
// shutdown end the tool when this returns: it gives the program a few
// seconds to end first.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  if (HANDLE child = g_child) ::WaitForSingleObject(child, 4000);
  return FALSE;
}

// Duplicates a standard handle as an inheritable one, or gives the null
// device where there is none (or `quiet`).
HANDLE InheritableStd(DWORD which, bool quiet) {
  HANDLE h = quiet ? INVALID_HANDLE_VALUE : ::GetStdHandle(which);
  HANDLE copy = nullptr;
  if (h != nullptr && h != INVALID_HANDLE_VALUE &&
      ::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &copy,
                        0, TRUE, DUPLICATE_SAME_ACCESS)) {
    return copy;
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return ::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, kShareAll,
                       &inherit, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const RunOptions& options) {
  ProgramRun run;
  if (argv.empty()) {
    run.error = "no program given";
    return run;
  }
  std::string command;
  for (const std::string& arg : argv) {
    if (!command.empty()) command += ' ';
    command += Quoted(arg);
  }
  std::string env = EnvironmentWith(options.extra_env);

  // The program gets exactly these three handles: this process's standard
  // handles (its output to standard error with `stdout_to_stderr`), or
  // the null device.
  HANDLE in = InheritableStd(STD_INPUT_HANDLE, false);
  HANDLE out = InheritableStd(
      options.stdout_to_stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE,
      options.quiet);
  HANDLE err = InheritableStd(STD_ERROR_HANDLE, options.quiet);
  HANDLE handles[3] = {in, out, err};
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::string attributes(size, '\0');
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  const bool listed =
      ::InitializeProcThreadAttributeList(list, 1, 0, &size) &&
      ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                  handles, sizeof handles, nullptr, nullptr);
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = listed ? sizeof startup : sizeof startup.StartupInfo;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = in;
  startup.StartupInfo.hStdOutput = out;
  startup.StartupInfo.hStdError = err;
  if (listed) startup.lpAttributeList = list;

  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  PROCESS_INFORMATION process{};
  // No application name: the first word is searched as a command prompt
  // searches it (the program's directory, the current one, PATH; ".exe"
  // added).
  const BOOL started = ::CreateProcessA(
      nullptr, command.data(), nullptr, nullptr, TRUE,
      (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), env.data(), nullptr,
      &startup.StartupInfo, &process);
  const DWORD start_error = ::GetLastError();
  if (listed) ::DeleteProcThreadAttributeList(list);
  for (HANDLE h : handles) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  if (!started) {
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    run.error = ErrorText(start_error);
    return run;
  }
  ::CloseHandle(process.hThread);
  g_child = process.hProcess;
  run.started = true;
  if (options.started) options.started(static_cast<long>(process.dwProcessId));
  DWORD code = 0;
  if (::WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(process.hProcess, &code)) {
    run.error = ErrorText(::GetLastError());
    code = kWaitFailed;
  }
  g_child = nullptr;
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  ::CloseHandle(process.hProcess);
  run.status = static_cast<int>(code);
  return run;
}

std::optional<std::vector<std::vector<LockHolder>>> LockHolders(
    const std::vector<std::string>& files) {
  // Windows names no holder of a share mode or a byte-range lock to other
  // processes: who holds a lock file cannot be told.
  static_cast<void>(files);
  return std::nullopt;
}

}  // namespace userprof
