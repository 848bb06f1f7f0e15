// The typical run of a host, on a scratch application tree, told step by
// step: what an administrator can watch to see what the library does.
#include <cstdio>

#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {
namespace {

constexpr const char* kSignInUser = "Default";
constexpr const char* kNewUser = "Ann Lee";

// Collects the steps in both forms and notes the first that went wrong.
class Steps {
 public:
  void Add(const std::string& call, const std::string& result, bool expected) {
    const int number = ++count_;
    text_ += std::to_string(number) + ". " + call;
    if (result.find('\n') == std::string::npos) {
      text_ += result.empty() ? "\n" : ": " + result + "\n";
    } else {
      text_ += "\n" + Indented(result);
    }
    json_.push_back(Json{{"step", number},
                         {"call", AsUnicode(call)},
                         {"result", AsUnicode(result)},
                         {"as_expected", expected}});
    if (!expected && first_unexpected_ == 0) first_unexpected_ = number;
  }
  const std::string& text() const { return text_; }
  Json TakeJson() { return std::move(json_); }
  int first_unexpected() const { return first_unexpected_; }

  static std::string Indented(const std::string& lines) {
    std::string out;
    std::size_t start = 0;
    while (start < lines.size()) {
      std::size_t end = lines.find('\n', start);
      if (end == std::string::npos) end = lines.size();
      out += "   " + lines.substr(start, end - start) + "\n";
      start = end + 1;
    }
    return out;
  }

 private:
  int count_ = 0;
  int first_unexpected_ = 0;
  std::string text_;
  Json json_ = Json::array();
};

std::string WithoutCarriageReturns(std::string text) {
  std::erase(text, '\r');
  return text;
}

// Another copy of this program signs the user in and out again; its exit
// status says whether it got the lock.
int SignInFromAnotherProcess(const std::string& self,
                             const std::string& module) {
  RunOptions options;
  options.quiet = true;
  ProgramRun run = RunProgram({self, "--module", module, "signin", kSignInUser,
                               "--", self, "--version"},
                              options);
  return run.started ? run.status : -1;
}

void RunTypicalHost(Session& session, const std::string& self, Steps& steps) {
  const ModuleHandle module = session.handle();
  const std::string user = kSignInUser;

  Invocation verify;
  verify.command = "verify";
  std::string told;
  Outcome verified = CmdVerify(Call{verify, &session, self, &told});
  steps.Add(
      "VerifyUserProfiles(module)",
      told + verified.out + (verified.error.empty() ? "" : verified.error + "\n"),
      verified.status == kExitOk && session.FindUser(user) == 1);

  const int valid = ValidUserName(user.c_str());
  steps.Add("ValidUserName(" + Quoted(user) + ") = " + std::to_string(valid),
            "", valid == 1);
  const int number = session.FindUser(user);
  steps.Add(
      "DoesUserExist(module, " + Quoted(user) + ") = " + std::to_string(number),
      "", number == 1);

  const int locked = openUserSemaphoreFile(user.c_str(), module);
  const std::string lock = session.DirForUser(user) + kLockFile;
  const RegistryView listed = ReadRegistry(session, true);
  const EntryView* signed_in = Reachable(listed, session, user);
  // Where the system cannot tell a held lock without disturbing it, the
  // other process's refusal below shows it.
  const std::optional<bool> held =
      signed_in ? signed_in->signed_in : std::optional<bool>(false);
  steps.Add(
      "openUserSemaphoreFile(" + Quoted(user) +
          ", module) = " + std::to_string(locked),
      !held ? "signed in: " + lock +
                  " is held open (this system cannot tell it from outside)"
      : *held ? "signed in: " + lock + " is held open"
              : "the lock is not held",
      locked == 1 && held != false);

  SetDefaultUser(module, user.c_str());
  const std::string stored = session.DefaultUser();
  steps.Add("SetDefaultUser(module, " + Quoted(user) + ")",
            "GetDefaultUser now gives " + Quoted(stored), stored == user);

  const std::string home = session.UserHomeDir();
  steps.Add("GetUserHomeDir(module) = " + home, "", !home.empty());

  const std::string added = kNewUser;
  const int added_valid = ValidUserName(added.c_str());
  const int added_before = session.FindUser(added);
  steps.Add("ValidUserName(" + Quoted(added) + ") = " +
                std::to_string(added_valid) + ", DoesUserExist(module, " +
                Quoted(added) + ") = " + std::to_string(added_before),
            "", added_valid == 1 && added_before == 0);

  std::string buffer = added;
  CreateUserProfile(module, buffer.data(), 1);
  const int added_number = session.FindUser(added);
  const std::string added_home = session.DirForUser(added);
  const RegistryView after = ReadRegistry(session, false);
  const EntryView* added_entry = Reachable(after, session, added);
  const bool added_lock = added_entry && added_entry->lock_exists;
  steps.Add("CreateUserProfile(module, " + Quoted(added) + ", 1)",
            "entry " + std::to_string(added_number) + ", home " + added_home +
                (added_lock ? " with its lock file" : " without a lock file"),
            added_number == 2 && !added_home.empty() && added_lock);

  const int refused = SignInFromAnotherProcess(self, session.module());
  steps.Add("another process signs in as " + Quoted(user),
            refused == kExitLocked
                ? "refused while this one holds the lock"
                : "not refused (exit status " + std::to_string(refused) + ")",
            refused == kExitLocked);

  CloseUserSemaphoreFile();
  const int admitted = SignInFromAnotherProcess(self, session.module());
  steps.Add("CloseUserSemaphoreFile()",
            admitted == kExitOk
                ? "signed out: the other process's sign-in now succeeds"
                : "the other process is still refused (exit status " +
                      std::to_string(admitted) + ")",
            admitted == kExitOk);

  const std::optional<std::string> registry = session.RegistryPath();
  const std::optional<std::string> content =
      registry ? ReadWholeFile(*registry) : std::nullopt;
  steps.Add(
      "the registry file " + (registry ? *registry : std::string("USER.INI")),
      content ? WithoutCarriageReturns(*content) : "cannot be read",
      content.has_value());
}

}  // namespace

Outcome CmdDemo(const Call& call) {
  const std::optional<std::string> dir =
      call.inv.operands.empty() ? std::nullopt
                                : std::optional<std::string>(call.operand());
  const std::string& self = call.self;
  const bool echo_checks = !call.inv.json;
  std::string tree;
  if (dir) {
    std::variant<std::string, UsageError> resolved =
        ResolveModulePath(*dir + "/APP/PROG/MAIN", CurrentDirectory());
    if (auto* error = std::get_if<UsageError>(&resolved)) {
      return Refused(error->message);
    }
    const std::string module = std::get<std::string>(resolved);
    tree =
        module.substr(0, module.size() - std::string("/APP/PROG/MAIN").size());
    if (PathExists(tree + "/APP")) {
      return Refused(tree +
                     "/APP exists already: give a directory without one");
    }
  } else {
    std::optional<std::string> scratch = MakeScratchDirectory("userprof-demo");
    if (!scratch) return Refused("cannot make a scratch directory");
    tree = *scratch;
  }
  const bool keep = dir.has_value();
  std::variant<std::string, UsageError> module =
      ResolveModulePath(tree + "/APP/PROG/MAIN", "/");
  if (auto* error = std::get_if<UsageError>(&module)) {
    if (!keep) RemoveTree(tree);
    return Refused(error->message);
  }
  if (!MakeDirectories(tree + "/APP/PROG")) {
    if (!keep) RemoveTree(tree);
    return Refused("cannot make " + tree + "/APP/PROG");
  }
  // The application's program file, which every module path names.
  if (std::string failed = MakeEmptyFile(std::get<std::string>(module));
      !failed.empty()) {
    if (!keep) RemoveTree(tree);
    return Refused("cannot make the module file: " + failed);
  }

  Outcome outcome;
  Steps steps;
  {
    Session session(std::get<std::string>(module), echo_checks);
    RunTypicalHost(session, self, steps);
    outcome.json["warnings"] = ChecksJson(session.checks());
  }
  outcome.out = "scratch application tree " + tree + ", module " +
                std::get<std::string>(module) + "\n" + steps.text();
  if (keep) {
    outcome.out += "the tree stays in " + tree + "\n";
  } else {
    RemoveTree(tree);
    outcome.out += "removed the scratch tree\n";
  }
  SetText(outcome.json, "tree", tree);
  SetText(outcome.json, "module", std::get<std::string>(module));
  outcome.json["kept"] = keep;
  outcome.json["steps"] = steps.TakeJson();
  if (steps.first_unexpected() != 0) {
    outcome.status = kExitFailed;
    outcome.error = "step " + std::to_string(steps.first_unexpected()) +
                    " did not go as a host expects";
  }
  return outcome;
}

}  // namespace userprof
