#include "cli.h"

// First: userprofile.h declares __dso_handle, which the compiler declares
// on its own (with C++ linkage) once it has met a function-local static,
// as CLI11's headers hold.
#include "commands.h"
// clang-format off
#include <CLI/CLI.hpp>
// clang-format on
#include <algorithm>
#include <filesystem>

#include "names.h"
#include "os.h"

namespace userprof {
namespace {

const Command* Find(std::span<const Command> commands, std::string_view name) {
  for (const Command& command : commands) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

std::string Plural(std::size_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// A usage error for operands the command does not take, or nullopt.
std::optional<std::string> CheckOperands(const Invocation& inv,
                                         std::span<const Command> commands) {
  const Command* shape = Find(commands, inv.command);
  const std::string cmd(shape->name);
  if (inv.operands.size() < shape->min_operands) {
    if (shape->name == "rename") return "rename needs the old and the new name";
    return cmd + " needs " +
           (shape->name == "signin" ? "a user name" : "a name");
  }
  if (inv.operands.size() > shape->max_operands) {
    return cmd + " takes " +
           (shape->max_operands == 0
                ? std::string("no operands")
                : "at most " + Plural(shape->max_operands, "operand")) +
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

}  // namespace

std::variant<Invocation, UsageError> ParseCommandLine(
    const std::vector<std::string>& args, std::span<const Command> commands) {
  Invocation inv;
  // "--" ends the tool's own arguments: what follows is signin's program,
  // passed on untouched (CLI11 would read it as more operands).
  const auto dashes = std::find(args.begin(), args.end(), "--");
  std::vector<std::string> own(args.begin(), dashes);
  if (dashes != args.end()) {
    inv.has_program = true;
    inv.program.assign(dashes + 1, args.end());
  }

  CLI::App app{"userprof"};
  app.set_help_flag();  // help texts of our own, with examples
  app.allow_windows_style_options(false);
  app.fallthrough();  // global options after the command too
  app.require_subcommand(0, 1);
  app.add_flag("--json", inv.json);
  app.add_flag("-h,--help", inv.help);
  app.add_flag("--version", inv.version);
  std::string module;
  CLI::Option* module_option = app.add_option("--module", module);
  std::vector<std::string> stray;
  app.add_option("stray", stray);  // a command name CLI11 does not know

  bool no_wait = false;
  double wait = -1;
  int refusal = kExitLocked;
  for (const Command& shape : commands) {
    CLI::App* sub = app.add_subcommand(std::string(shape.name));
    sub->set_help_flag();
    sub->add_option("operands", inv.operands);
    if (shape.name == "verify") sub->add_flag("--dry-run", inv.dry_run);
    if (shape.name == "remove") {
      sub->add_flag("--delete-home", inv.delete_home);
      sub->add_flag("--force", inv.force);
    }
    if (shape.name == "add") sub->add_option("--home", inv.home);
    if (shape.name == "signin") {
      sub->add_option("-w,--wait", wait)->check(CLI::Range(0.0, 1e6));
      sub->add_flag("-n,--nonblock", no_wait);
      sub->add_option("-E,--conflict-exit-code", refusal)
          ->check(CLI::Range(0, 255));
    }
  }
  try {
    // CLI11 takes the arguments in reverse order.
    std::vector<std::string> reversed(own.rbegin(), own.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    return UsageError{error.what()};
  }
  if (module_option->count() > 0) inv.module = module;
  for (CLI::App* sub : app.get_subcommands()) inv.command = sub->get_name();
  if (inv.command.empty() && !stray.empty()) {
    return UsageError{"unknown command " + Quoted(stray.front())};
  }
  if (no_wait && wait >= 0) {
    return UsageError{"signin takes -w SECONDS or -n, not both"};
  }
  inv.wait_seconds = wait > 0 ? wait : 0;
  inv.refusal_status = refusal;
  if (!inv.command.empty() && inv.command != "help" && !inv.help &&
      !inv.version) {
    if (std::optional<std::string> problem = CheckOperands(inv, commands)) {
      return UsageError{*problem};
    }
  }
  return inv;
}

std::variant<std::string, UsageError> ResolveModulePath(std::string_view raw,
                                                        std::string_view cwd) {
  namespace fs = std::filesystem;
  if (raw.empty()) return UsageError{"the module path is empty"};
  if (raw.back() == kSeparator) {
    return UsageError{"the module path " + Quoted(raw) +
                      " names a directory; give the program file in it, "
                      "e.g. " + std::string(kExampleModule)};
  }
  fs::path path(raw);
  std::string share;  // "\\" before a share's or a device's path
#ifdef _WIN32
  // \\server\share\APP\PROG\MAIN (or \\?\...) is absolute, though the
  // standard library here knows no root name but a drive letter: its two
  // leading separators are kept, and only the rest is cleaned.
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (raw.size() > 2 && separator(raw[0]) && separator(raw[1])) {
    share = "\\\\";
    path = fs::path(raw.substr(2));
  }
#endif
  if (share.empty() && path.is_relative()) {
    if (cwd.empty())
      return UsageError{
          "the current directory is unknown: give the module path from the root"};
    path = fs::path(cwd) / path;
  }
  path = path.lexically_normal();
  if (path.filename().empty() || path.filename() == "..") {
    return UsageError{"the module path " + Quoted(raw) +
                      " names a directory; give the program file in it, "
                      "e.g. " + std::string(kExampleModule)};
  }
  std::string absolute = share + path.string();
  if (absolute.size() > kMaxPath) {
    return UsageError{"the module path " + Quoted(absolute) + " has " +
                      std::to_string(absolute.size()) +
                      " bytes; the application's paths hold at most " +
                      std::to_string(kMaxPath)};
  }
  return absolute;
}

}  // namespace userprof
