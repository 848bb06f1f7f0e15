// userprof: the administrator's tool for the users of an installed
// application. It aims the library at the application's module and calls
// its functions, as the application itself would. Each command is one
// file (cmd_*.cpp) and one row of the table below.
#include <cstdio>
#include <cstdlib>

#include "cli.h"
#include "commands.h"
#include "help.h"
#include "json.h"
#include "names.h"
#include "os.h"

namespace userprof {
namespace {

// name, operands (at least, at most), works on an application, runs a
// program, what runs it.
constexpr Command kCommands[] = {
    {"verify", 0, 0, true, false, CmdVerify},
    {"add", 1, 1, true, false, CmdAdd},
    {"list", 0, 0, true, false, CmdList},
    {"home", 1, 1, true, false, CmdHome},
    {"default", 0, 1, true, false, CmdDefault},
    {"signin", 1, 1, true, true, CmdSignIn},
    {"who", 0, 0, true, false, CmdWho},
    {"remove", 1, 1, true, false, CmdRemove},
    {"rename", 2, 2, true, false, CmdRename},
    {"demo", 0, 1, false, false, CmdDemo},
    {"help", 0, 1, false, false, nullptr},
};

const Command& Find(std::string_view name) {
  for (const Command& command : kCommands) {
    if (command.name == name) return command;
  }
  return kCommands[std::size(kCommands) - 1];  // never: the parse checked
}

void Print(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

int UsageFailure(const std::string& message, bool json) {
  Print(stderr, "userprof: " + message + "\nTry 'userprof --help'.\n");
  if (json) {
    Print(stdout, DumpLine(Json{{"status", kExitUsage},
                                {"code", "usage"},
                                {"error", AsUnicode(message)}}));
  }
  return kExitUsage;
}

// Prints what a command did, for people or as one JSON line.
int Emit(const Invocation& inv, const std::string& module, Outcome outcome,
         Session* session) {
  const std::vector<std::string> notices =
      session ? session->TakeNotices() : std::vector<std::string>();
  if (!outcome.error.empty())
    Print(stderr, "userprof: " + outcome.error + "\n");
  if (!inv.json) {
    Print(stdout, outcome.out);
    for (const std::string& notice : notices)
      Print(stderr, "notice: " + notice + "\n");
    return outcome.status;
  }
  Json envelope = Json::object();
  envelope["command"] = inv.command;
  if (!module.empty()) SetText(envelope, "module", module);
  envelope["status"] = outcome.status;
  if (outcome.status != kExitOk) {
    envelope["code"] = outcome.code.empty() ? "failed" : outcome.code;
  }
  if (!outcome.error.empty()) envelope["error"] = AsUnicode(outcome.error);
  envelope.update(outcome.json);
  if (session) envelope["warnings"] = ChecksJson(session->checks());
  Json notice_list = Json::array();
  for (const std::string& notice : notices)
    notice_list.push_back(AsUnicode(notice));
  envelope["notices"] = std::move(notice_list);
  if (outcome.json_open) {
    // The command's own members stand first, after the command and the
    // module it wrote; the rest close the object.
    envelope.erase("command");
    envelope.erase("module");
    envelope.erase("module_bytes");
    const std::string rest = DumpLine(envelope);
    Print(stdout, rest.size() > 3 ? "," + rest.substr(1) : "}\n");
    return outcome.status;
  }
  Print(stdout, DumpLine(envelope));
  return outcome.status;
}

int Run(const std::vector<std::string>& args, const std::string& argv0) {
  std::variant<Invocation, UsageError> parsed =
      ParseCommandLine(args, kCommands);
  if (auto* error = std::get_if<UsageError>(&parsed)) {
    bool json = false;
    for (const std::string& arg : args) json = json || arg == "--json";
    return UsageFailure(error->message, json);
  }
  Invocation inv = std::get<Invocation>(parsed);

  if (inv.version) {
    Print(stdout, inv.json
                      ? DumpLine(Json{{"version", USERPROF_VERSION}})
                      : std::string("userprof ") + USERPROF_VERSION + "\n");
    return kExitOk;
  }
  if (inv.command == "help" || inv.help) {
    std::string topic = inv.command == "help"
                            ? (inv.operands.empty() ? "" : inv.operands.front())
                            : inv.command;
    if (topic.empty()) {
      Print(stdout, GlobalHelp());
      return kExitOk;
    }
    std::optional<std::string> text = CommandHelp(topic);
    if (!text) return UsageFailure("unknown command " + topic, inv.json);
    Print(stdout, *text);
    return kExitOk;
  }
  if (inv.command.empty()) return UsageFailure("no command given", inv.json);

  const Command& command = Find(inv.command);
  if (!command.needs_module) {
    return Emit(inv, "", command.run(Call{inv, nullptr, SelfPath(argv0)}),
                nullptr);
  }

  std::string raw;
  if (inv.module) {
    raw = *inv.module;
  } else if (const char* env = std::getenv("USERPROF_MODULE"); env && *env) {
    raw = env;
  } else {
    return UsageFailure(
        "no module given: use --module PATH (the application's main module, "
        "e.g. " + std::string(kExampleModule) + ") or set USERPROF_MODULE",
        inv.json);
  }
  std::variant<std::string, UsageError> resolved =
      ResolveModulePath(raw, CurrentDirectory());
  if (auto* error = std::get_if<UsageError>(&resolved)) {
    return UsageFailure(error->message, inv.json);
  }
  const std::string module = std::get<std::string>(resolved);

  // A typo must not make a registry and a users root beside nothing:
  // the module is the application's program file, and it exists.
  std::string why;
  const std::string kind = PathKind(module, &why);
  if (kind == "directory") {
    return UsageFailure("the module path " + Shown(module) +
                            " is a directory; give the program file in it",
                        inv.json);
  }
  if (kind == "none") {
    return UsageFailure("the module path " + Shown(module) +
                            " names no file (" + why +
                            "); give the application's program file, e.g. " +
                            std::string(kExampleModule),
                        inv.json);
  }
  Session session(module, !inv.json);
  // Every command reads or writes the registry: one whose path cannot be
  // built (it is reported) leaves nothing to work on.
  if (!session.RegistryPath()) {
    return Emit(inv, module,
                Refused("the registry beside " + module +
                        " would have a path longer than 127 characters"),
                &session);
  }
  // Nor can any command answer from a registry it cannot read: an
  // unreadable registry is not an empty one.
  if (std::optional<std::string> unread = session.WhyRegistryUnreadable()) {
    return Emit(inv, module,
                Failed(kExitUnreadable, "unreadable-registry",
                       "the registry cannot be read, so nothing is known of "
                       "its users: " + *unread),
                &session);
  }
  return Emit(inv, module, command.run(Call{inv, &session, SelfPath(argv0)}),
              &session);
}

}  // namespace
}  // namespace userprof

int main(int argc, char** argv) {
  userprof::PrepareStandardStreams();
  std::vector<std::string> args(argv + 1, argv + argc);
  return userprof::Run(args, argc > 0 ? argv[0] : "userprof");
}
