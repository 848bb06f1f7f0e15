// userprof: the administrator's tool for the users of an installed
// application. It aims the library at the application's module and calls
// its exports, as the application itself would.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "cli.h"
#include "commands.h"
#include "help.h"
#include "json.h"
#include "names.h"
#include "os.h"
#include "platform/platform.h"

namespace userprof {
namespace {

void Print(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

int UsageFailure(const std::string& message, bool json) {
  Print(stderr, "userprof: " + message + "\nTry 'userprof --help'.\n");
  if (json) {
    Print(stdout, DumpLine(Json{{"status", kExitUsage},
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
  if (!outcome.error.empty()) envelope["error"] = AsUnicode(outcome.error);
  envelope.update(outcome.json);
  if (session) envelope["warnings"] = ChecksJson(session->checks());
  Json notice_list = Json::array();
  for (const std::string& notice : notices)
    notice_list.push_back(AsUnicode(notice));
  envelope["notices"] = std::move(notice_list);
  Print(stdout, DumpLine(envelope));
  return outcome.status;
}

Outcome Dispatch(const Invocation& inv, Session& session) {
  const std::string& command = inv.command;
  const std::string operand = inv.operands.empty() ? "" : inv.operands.front();
  if (command == "verify") return Verify(session, inv.dry_run);
  if (command == "add") return Add(session, operand);
  if (command == "list") return List(session, inv.json);
  if (command == "home") return Home(session, operand);
  if (command == "default") {
    return Default(session, inv.operands.empty()
                                ? std::nullopt
                                : std::optional<std::string>(operand));
  }
  if (command == "signin") {
    return SignIn(
        session, operand, inv.program,
        SignInOptions{inv.wait_seconds, inv.refusal_status, inv.json});
  }
  if (command == "remove") return Remove(session, operand, inv.delete_home);
  if (command == "rename") return Rename(session, operand, inv.operands[1]);
  return Who(session);
}

int Run(const std::vector<std::string>& args, const std::string& argv0) {
  std::variant<Invocation, UsageError> parsed = ParseCommandLine(args);
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

  if (inv.command == "demo") {
    std::optional<std::string> dir;
    if (!inv.operands.empty()) dir = inv.operands.front();
    return Emit(inv, "", Demo(dir, SelfPath(argv0), !inv.json), nullptr);
  }

  std::string raw;
  if (inv.module) {
    raw = *inv.module;
  } else if (const char* env = std::getenv("USERPROF_MODULE"); env && *env) {
    raw = env;
  } else {
    return UsageFailure(
        "no module given: use --module PATH (the application's main module, "
        "e.g. /opt/app/PROG/MAIN) or set USERPROF_MODULE",
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
                            "); give the application's program file, e.g. "
                            "/opt/app/PROG/MAIN",
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
  return Emit(inv, module, Dispatch(inv, session), &session);
}

}  // namespace
}  // namespace userprof

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return userprof::Run(args, argc > 0 ? argv[0] : "userprof");
}
