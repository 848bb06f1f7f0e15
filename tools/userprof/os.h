// What the tool asks of the operating system, kept in one file per system
// (os_posix.cpp; a Windows build adds os_win.cpp): the current directory,
// scratch trees, running programs, and the files the tool itself writes
// beside the library's (the registry's backups) or reads (the note a
// sign-in leaves in its lock file). The application's files are otherwise
// reached through the library.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "userprofile.h"

namespace userprof {

// The system's path separator.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// A module path of this system's form, for examples in help and errors.
#ifdef _WIN32
inline constexpr std::string_view kExampleModule = "C:\\APP\\PROG\\MAIN.EXE";
#else
inline constexpr std::string_view kExampleModule = "/opt/app/PROG/MAIN";
#endif

// The longest path the library builds: a 128-byte buffer's worth.
inline constexpr std::size_t kMaxPath = USERPROFILE_PATH_SIZE - 1;

// The process's current directory, or empty if it cannot be had.
std::string CurrentDirectory();

// The path of this program, for starting another copy of it.
std::string SelfPath(const std::string& argv0);

// Whether standard output (1) or standard error (2) is a terminal.
bool IsTerminal(int stream);
// Makes standard output and error write the bytes given, as on POSIX
// (no line ends of the system's own added); called once at start.
void PrepareStandardStreams();

// A new, empty directory under the system's temporary directory.
std::optional<std::string> MakeScratchDirectory(const std::string& prefix);
// Creates `path` and any missing parents; true if it is a directory now.
bool MakeDirectories(const std::string& path);
bool PathExists(const std::string& path);
// What `path` names, following links: "file" for anything but a
// directory, "directory", or "none" (with the reason in `why`).
std::string PathKind(const std::string& path, std::string* why = nullptr);
void RemoveTree(const std::string& path);
std::optional<std::string> ReadWholeFile(const std::string& path);

// The failures below return the reason, with the path and the system's
// own text ("/x/USER.INI.bak: Permission denied"), or empty on success.

// Why this process cannot open `path` for reading (and writing, with
// `write`), as "path: reason"; empty if it can. A probe for messages
// after the library failed without saying why: it opens a new descriptor
// and closes it, which takes and releases no lock.
std::string WhyCannotOpen(const std::string& path, bool write);

// Creates an empty file where nothing is yet.
std::string MakeEmptyFile(const std::string& path);
// Replaces `to` with a copy of `from` (same permissions) atomically: a
// reader sees the old copy or the whole new one, never a torn file.
std::string CopyFileAtomically(const std::string& from, const std::string& to);
// The note a sign-in left in a lock file (the library writes it through
// the lock it holds), read without following a link.
std::optional<std::string> ReadLockNote(const std::string& lock_file);
// How many names the file at `path` has (a link itself counts as a file
// of one), or 0 when there is none.
unsigned long LinkCount(const std::string& path);

std::string HostName();
// Whether a process of this id runs on this machine (nullopt: cannot tell).
std::optional<bool> ProcessRuns(long pid);
// The time now as "2026-12-09T03:04:05Z".
std::string UtcNow();
// The time now as a name part that sorts by age: "20261209T030405.123456Z".
std::string UtcStamp();
// The names in directory `dir` (not "." and ".."), in no order; empty if
// it cannot be read.
std::vector<std::string> NamesIn(const std::string& dir);
// Removes the file `path` (a link itself, never what it names).
std::string RemoveFile(const std::string& path);
void SleepMilliseconds(int ms);

struct ProgramRun {
  bool started = false;
  int status = 0;     // the exit status, or 128 + signal number
  std::string error;  // why it could not be started
};

struct RunOptions {
  std::vector<std::string> extra_env;  // "NAME=value"
  bool quiet = false;                  // discard its output
  bool stdout_to_stderr = false;       // its standard output goes to ours
                                       // for errors
  // Forward SIGINT, SIGTERM, SIGHUP and SIGQUIT to the program instead of
  // ignoring the terminal's keys only.
  bool forward_signals = false;
  // Called once the program runs, with its process id.
  std::function<void(long pid)> started;
};

// Runs argv[0] (searched in PATH when it has no separator) with this
// process's environment plus the extra variables, and waits for it.
// Descriptors that are not close-on-exec are inherited. While it runs,
// this process ignores the terminal's interrupt and quit keys (which
// reach the program itself), or with `forward_signals` passes those and
// SIGTERM and SIGHUP on to it, so that the caller always gets to clean up
// after it.
ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const RunOptions& options);

}  // namespace userprof

namespace userprof {

// A process of this machine that holds a lock on a file.
struct LockHolder {
  long pid = 0;
  std::string command;  // its command name, "" if it cannot be read
};

// For each of `files` (never followed if a link), the processes of this
// machine that this user may inspect and that hold a lock on it, found
// as lslocks finds them: the file's key in /proc/locks, then the
// descriptors whose /proc/PID/fdinfo lists a lock on it. nullopt where
// the system cannot tell.
std::optional<std::vector<std::vector<LockHolder>>> LockHolders(
    const std::vector<std::string>& files);

}  // namespace userprof
