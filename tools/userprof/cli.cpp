#include "cli.h"

#include <filesystem>

#include "names.h"
#include "platform/platform.h"

namespace userprof {
namespace {

struct CommandShape {
  std::string_view name;
  std::size_t min_operands;
  std::size_t max_operands;
  bool needs_module;
  bool runs_program;
};

constexpr CommandShape kCommands[] = {
    {"verify", 0, 0, true, false},  {"add", 1, 1, true, false},
    {"list", 0, 0, true, false},    {"home", 1, 1, true, false},
    {"default", 0, 1, true, false}, {"signin", 1, 1, true, true},
    {"who", 0, 0, true, false},     {"demo", 0, 1, false, false},
    {"help", 0, 1, false, false},
};

const CommandShape* Find(std::string_view command) {
  for (const CommandShape& shape : kCommands) {
    if (shape.name == command) return &shape;
  }
  return nullptr;
}

}  // namespace

std::variant<Invocation, UsageError> ParseCommandLine(
    const std::vector<std::string>& args) {
  Invocation inv;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      inv.has_program = true;
      inv.program.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                         args.end());
      break;
    }
    if (arg == "--json") {
      inv.json = true;
    } else if (arg == "--help" || arg == "-h") {
      inv.help = true;
    } else if (arg == "--version") {
      inv.version = true;
    } else if (arg == "--module") {
      if (i + 1 >= args.size()) return UsageError{"--module needs a path"};
      inv.module = args[++i];
    } else if (arg.starts_with("--module=")) {
      inv.module = arg.substr(9);
    } else if (arg.starts_with("-") && arg.size() > 1) {
      return UsageError{"unknown option " + arg};
    } else if (inv.command.empty()) {
      inv.command = arg;
    } else {
      inv.operands.push_back(arg);
    }
  }
  return inv;
}

bool IsCommand(std::string_view command) { return Find(command) != nullptr; }

bool NeedsModule(std::string_view command) {
  const CommandShape* shape = Find(command);
  return shape != nullptr && shape->needs_module;
}

std::optional<std::string> CheckOperands(const Invocation& inv) {
  const CommandShape* shape = Find(inv.command);
  if (shape == nullptr) return "unknown command " + inv.command;
  const std::string cmd(shape->name);
  if (inv.operands.size() < shape->min_operands) {
    return cmd + " needs " +
           (shape->name == "signin" ? "a user name" : "a name");
  }
  if (inv.operands.size() > shape->max_operands) {
    return cmd + " takes " +
           (shape->max_operands == 0 ? std::string("no operands")
                                     : "at most one operand") +
           ", got " + Quoted(inv.operands[shape->max_operands]);
  }
  if (shape->runs_program && (!inv.has_program || inv.program.empty())) {
    return cmd + " needs a program to run after \"--\"";
  }
  if (!shape->runs_program && inv.has_program) {
    return cmd + " runs no program: nothing may follow \"--\"";
  }
  return std::nullopt;
}

std::variant<std::string, UsageError> ResolveModulePath(std::string_view raw,
                                                        std::string_view cwd) {
  namespace fs = std::filesystem;
  if (raw.empty()) return UsageError{"the module path is empty"};
  if (raw.back() == userprofile::kSeparator) {
    return UsageError{"the module path " + Quoted(raw) +
                      " names a directory; give the program file in it, "
                      "e.g. /opt/app/PROG/MAIN"};
  }
  fs::path path(raw);
  if (path.is_relative()) {
    if (cwd.empty())
      return UsageError{
          "the current directory is unknown: give the module path from /"};
    path = fs::path(cwd) / path;
  }
  path = path.lexically_normal();
  if (path.filename().empty() || path.filename() == "..") {
    return UsageError{"the module path " + Quoted(raw) +
                      " names a directory; give the program file in it, "
                      "e.g. /opt/app/PROG/MAIN"};
  }
  std::string absolute = path.string();
  if (absolute.size() > userprofile::kMaxPath) {
    return UsageError{"the module path " + Quoted(absolute) + " has " +
                      std::to_string(absolute.size()) +
                      " characters; the application's paths hold at most " +
                      std::to_string(userprofile::kMaxPath)};
  }
  return absolute;
}

}  // namespace userprof
