// The command line: options, the command and its operands, checked
// before anything touches the application. Parsed with CLI11.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace userprof {

struct Command;  // commands.h

// The exit statuses, as docs/userprof.md and userprof(1) list them. A
// script tells the failures apart by status alone; --json adds a stable
// code (see commands.h) where one status has several causes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // failed: the system refused a
                                       // read or write, or a repair is
                                       // incomplete or needed (--dry-run)
inline constexpr int kExitUsage = 2;
inline constexpr int kExitReserved3 = 3;  // reserved: once verify --dry-run
                                        // when it could not rehearse
inline constexpr int kExitLocked = 4;          // signed in elsewhere, or the
                                       // registry's update lock was busy
inline constexpr int kExitUnreadable = 5;   // the registry cannot be read
inline constexpr int kExitNoSuchUser = 6;   // as userdel's 6
inline constexpr int kExitInvalidName = 7;  // not a valid or usable name
inline constexpr int kExitRefused = 8;      // refused to keep data safe
inline constexpr int kExitExists = 9;       // as useradd's 9
inline constexpr int kExitCannotRun = 127;  // signin: program not started

struct Invocation {
  std::string command;                // empty when none was given
  std::vector<std::string> operands;  // after the command
  std::vector<std::string> program;   // after "--" (signin)
  bool has_program = false;
  std::optional<std::string> module;  // --module
  bool json = false;
  bool help = false;
  bool version = false;
  bool dry_run = false;      // verify --dry-run
  bool delete_home = false;  // remove --delete-home
  bool force = false;        // remove --force: may remove "Default"
  std::optional<std::string> home;  // add --home DIR: an existing home
  // signin: -w SECONDS (wait at most that long), -n (refuse at once, the
  // default), -E N (the status of a refusal).
  double wait_seconds = 0;
  int refusal_status = kExitLocked;
};

struct UsageError {
  std::string message;
};

// Options may stand anywhere before "--"; everything after it is the
// program that signin runs. A user name never starts with '-' (it would
// be punctuation), so a word that does is an option.
// `commands` is the table of the commands (main.cpp): their names and
// the operands each takes.
std::variant<Invocation, UsageError> ParseCommandLine(
    const std::vector<std::string>& args, std::span<const Command> commands);

// The module path made absolute against `cwd` and cleaned of "." and ".."
// steps, or a usage error: empty, naming a directory (ending in a
// separator), or longer than the 127 characters of the library's paths.
std::variant<std::string, UsageError> ResolveModulePath(std::string_view raw,
                                                        std::string_view cwd);

}  // namespace userprof
