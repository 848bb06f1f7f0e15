// The command line: options, the command and its operands, checked
// before anything touches the application.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace userprof {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // not found, refused or failed
inline constexpr int kExitUsage = 2;

struct Invocation {
  std::string command;                // empty when none was given
  std::vector<std::string> operands;  // after the command
  std::vector<std::string> program;   // after "--" (signin)
  bool has_program = false;
  std::optional<std::string> module;  // --module
  bool json = false;
  bool help = false;
  bool version = false;
};

struct UsageError {
  std::string message;
};

// Options may stand anywhere before "--"; everything after it is the
// program that signin runs. A user name never starts with '-' (it would
// be punctuation), so a word that does is an option.
std::variant<Invocation, UsageError> ParseCommandLine(
    const std::vector<std::string>& args);

// Whether `command` is one of the tool's commands (or "help").
bool IsCommand(std::string_view command);
// Whether the command works on an application (all but demo and help).
bool NeedsModule(std::string_view command);
// A usage error for operands the command does not take, or nullopt.
std::optional<std::string> CheckOperands(const Invocation& invocation);

// The module path made absolute against `cwd` and cleaned of "." and ".."
// steps, or a usage error: empty, naming a directory (ending in a
// separator), or longer than the 127 characters of the library's paths.
std::variant<std::string, UsageError> ResolveModulePath(std::string_view raw,
                                                        std::string_view cwd);

}  // namespace userprof
