#include "commands.h"

#include <algorithm>
#include <cstdio>

#include "changes.h"
#include "names.h"
#include "os.h"
#include "platform/platform.h"
#include "registry_view.h"

namespace userprof {
namespace {

using userprofile::Sys;

constexpr const char* kDefaultUserName = "Default";

// A failure, as opposed to a refusal; the exit status is the same.
Outcome Failed(std::string reason) { return Refused(std::move(reason)); }

Outcome NoSuchUser(const std::string& name) {
  return Refused("no user named " + Quoted(name) + " is registered");
}

// A refusal for a name the library's validator rejects, or nullopt.
std::optional<Outcome> RefuseInvalidName(const std::string& name) {
  if (ValidUserName(name.c_str()) != 0) return std::nullopt;
  return Refused(Quoted(name) + " is not a valid user name: it " +
                 WhyInvalid(name));
}

Json OptionalBool(const std::optional<bool>& value) {
  return value ? Json(*value) : Json();
}

std::string YesNo(const std::optional<bool>& value) {
  if (!value) return "?";
  return *value ? "yes" : "no";
}

Json EntryJson(const EntryView& entry) {
  Json json = Json::Object();
  json.Set("number", entry.number);
  if (!entry.usable) {
    json.Set("entry", entry.raw).Set("problem", entry.problem);
    return json;
  }
  json.Set("name", entry.name)
      .Set("home", entry.home.empty() ? Json() : Json(entry.home))
      .Set("home_exists", entry.home_exists)
      .Set("lock_exists", entry.lock_exists)
      .Set("signed_in", OptionalBool(entry.signed_in));
  if (entry.shadowed_by != 0) json.Set("duplicate_of", entry.shadowed_by);
  return json;
}

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

// The listing as a table: one row per entry, columns as wide as needed.
std::string ListTable(const RegistryView& view) {
  std::size_t number_w = 1, name_w = 4, home_w = 4;
  for (const EntryView& e : view.entries) {
    number_w = std::max(number_w, std::to_string(e.number).size());
    name_w = std::max(name_w, e.name.size());
    home_w = std::max(home_w, e.home.size());
  }
  std::string text = Padded("#", number_w) + "  " + Padded("user", name_w) +
                     "  " + Padded("home", home_w) + "  dir  lock  signed in\n";
  for (const EntryView& e : view.entries) {
    std::string row = Padded(std::to_string(e.number), number_w) + "  ";
    if (!e.usable) {
      row +=
          "(entry " + Quoted(e.raw) + ": " + e.problem + "; verify drops it)";
    } else {
      row += Padded(e.name, name_w) + "  " +
             Padded(e.home.empty() ? "-" : e.home, home_w) + "  " +
             Padded(e.home_exists ? "yes" : "no", 3) + "  " +
             Padded(e.lock_exists ? "yes" : "no", 4) + "  " +
             YesNo(e.signed_in);
      if (e.shadowed_by != 0) {
        row += "  (duplicate of entry " + std::to_string(e.shadowed_by) +
               ", never found)";
      }
    }
    text += row + "\n";
  }
  return text;
}

// Where a repair left something undone.
std::vector<std::string> RepairShortfalls(const Session& session,
                                          const RegistryView& after) {
  std::vector<std::string> shortfalls;
  if (!after.exists) shortfalls.push_back("the registry does not exist");
  if (session.FindUser(kDefaultUserName) == 0) {
    shortfalls.push_back(Quoted(kDefaultUserName) + " is not registered");
  }
  for (const EntryView* user : ReachableUsers(after)) {
    if (!user->home_exists) {
      shortfalls.push_back(Quoted(user->name) + " has no home directory");
    } else if (!user->lock_exists) {
      shortfalls.push_back(Quoted(user->name) + " has no lock file");
    }
  }
  if (after.default_user.empty() || session.FindUser(after.default_user) == 0) {
    shortfalls.push_back("the default user is not registered");
  }
  return shortfalls;
}

}  // namespace

Outcome Refused(std::string reason) {
  Outcome outcome;
  outcome.status = kExitFailed;
  outcome.error = std::move(reason);
  return outcome;
}

Outcome Verify(Session& session) {
  const RegistryView before = ReadRegistry(session, false);
  VerifyUserProfiles(session.handle());
  const std::vector<std::string> notices = session.TakeNotices();
  const RegistryView after = ReadRegistry(session, false);

  std::vector<Change> changes = DescribeRepair(before, after);
  // The notice announces the user it precedes.
  auto at = std::find_if(changes.begin(), changes.end(), [](const Change& c) {
    return c.kind == "user_added";
  });
  for (const std::string& notice : notices) {
    at = changes.insert(at, Change{"notice", "notice: " + notice}) + 1;
  }

  Outcome outcome;
  Json list = Json::Array();
  for (const Change& change : changes) {
    outcome.out += change.text + "\n";
    list.Push(Json::Object().Set("kind", change.kind).Set("text", change.text));
  }
  if (changes.empty()) outcome.out = "nothing changed\n";
  outcome.json.Set("registry", after.path)
      .Set("changed", !changes.empty())
      .Set("changes", std::move(list));

  const std::vector<std::string> shortfalls = RepairShortfalls(session, after);
  if (!shortfalls.empty()) {
    outcome.status = kExitFailed;
    outcome.error = "the repair is incomplete: " + shortfalls.front();
  }
  return outcome;
}

Outcome Add(Session& session, const std::string& name) {
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return *refused;
  if (std::optional<std::string> unfit = WhyUnfit(name)) {
    return Refused(Quoted(name) + " cannot be registered: it " + *unfit);
  }
  if (int number = session.FindUser(name); number != 0) {
    return Refused(Quoted(name) + " is registered already (entry " +
                   std::to_string(number) + ")");
  }
  // The library trims the name in place; a fit name comes back unchanged.
  std::string buffer = name;
  CreateUserProfile(session.handle(), buffer.data(), 1);

  const int number = session.FindUser(name);
  if (number == 0) return Failed("could not register " + Quoted(name));
  const std::string home = session.DirForUser(name);
  Outcome outcome;
  outcome.json.Set("user", name).Set("number", number).Set("home", home);
  if (home.empty() || !Sys().IsEnterableDirectory(home) ||
      !Sys().IsNormalFile(home + kLockFile)) {
    outcome.status = kExitFailed;
    outcome.error = Quoted(name) + " is registered as entry " +
                    std::to_string(number) +
                    ", but its home directory or lock file could not be "
                    "created; verify creates them once that is possible";
    return outcome;
  }
  outcome.out = home + "\n";
  return outcome;
}

Outcome List(Session& session) {
  const RegistryView view = ReadRegistry(session, true);
  Outcome outcome;
  Json users = Json::Array();
  for (const EntryView& entry : view.entries) users.Push(EntryJson(entry));
  outcome.json.Set("registry", view.path)
      .Set("registry_exists", view.exists)
      .Set("count", view.count)
      .Set("default",
           view.default_user.empty() ? Json() : Json(view.default_user))
      .Set("users", std::move(users));
  if (view.entries.empty()) {
    outcome.out = view.exists ? "no users registered\n"
                              : "no users registered (no registry " +
                                    view.path + " yet; verify creates it)\n";
    return outcome;
  }
  outcome.out = ListTable(view);
  outcome.out +=
      "default user: " +
      (view.default_user.empty() ? std::string("(none)") : view.default_user) +
      "\n";
  return outcome;
}

Outcome Home(Session& session, const std::string& name) {
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return *refused;
  const int number = session.FindUser(name);
  if (number == 0) return NoSuchUser(name);
  const std::string home = session.DirForUser(name);
  if (home.empty()) {
    return Failed("the registry entry of " + Quoted(name) +
                  " gives no usable home directory; verify repairs it");
  }
  Outcome outcome;
  outcome.out = home + "\n";
  outcome.json.Set("user", name)
      .Set("number", number)
      .Set("home", home)
      .Set("home_exists", Sys().IsEnterableDirectory(home));
  return outcome;
}

Outcome Default(Session& session, const std::optional<std::string>& name) {
  if (name) {
    if (std::optional<Outcome> refused = RefuseInvalidName(*name))
      return *refused;
    if (session.FindUser(*name) == 0) return NoSuchUser(*name);
    SetDefaultUser(session.handle(), name->c_str());
    if (session.DefaultUser() != *name) {
      return Failed("the default user could not be stored");
    }
  }
  const std::string user = session.DefaultUser();
  Outcome outcome;
  if (user.empty()) {
    outcome = Refused("no default user is set");
    outcome.json.Set("default", Json());
    return outcome;
  }
  const bool registered = session.FindUser(user) != 0;
  outcome.json.Set("default", user).Set("registered", registered);
  outcome.out = user;
  if (!registered) {
    outcome.out +=
        " (not registered: verify makes \"Default\" the default user)";
  }
  outcome.out += "\n";
  return outcome;
}

Outcome SignIn(Session& session, const std::string& name,
               const std::vector<std::string>& program) {
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return *refused;
  if (session.FindUser(name) == 0) return NoSuchUser(name);
  const std::string home = session.DirForUser(name);
  if (home.empty()) {
    return Failed("the registry entry of " + Quoted(name) +
                  " gives no usable home directory; verify repairs it");
  }
  if (openUserSemaphoreFile(name.c_str(), session.handle()) == 0) {
    CloseUserSemaphoreFile();  // clears the failed attempt
    if (Sys().IsHeldExclusively(home + kLockFile) == true) {
      return Refused(Quoted(name) + " is signed in elsewhere");
    }
    return Failed("cannot sign " + Quoted(name) + " in: the lock file " + home +
                  kLockFile + " cannot be opened");
  }
  std::fflush(stdout);
  const ProgramRun run = RunProgram(
      program, {"USERPROF_USER=" + name, "USERPROF_HOME=" + home}, false);
  CloseUserSemaphoreFile();

  Outcome outcome;
  outcome.json.Set("user", name).Set("home", home);
  if (!run.started) {
    outcome.status = 127;
    outcome.error = "cannot run " + Quoted(program.front()) + ": " + run.error;
    outcome.json.Set("exit_status", Json());
    return outcome;
  }
  outcome.status = run.status;
  outcome.json.Set("exit_status", run.status);
  return outcome;
}

Outcome Who(Session& session) {
  const RegistryView view = ReadRegistry(session, true);
  Outcome outcome;
  Json users = Json::Array();
  bool cannot_tell = false;
  for (const EntryView* user : ReachableUsers(view)) {
    if (user->home.empty()) continue;
    if (!user->signed_in) {
      cannot_tell = true;
    } else if (*user->signed_in) {
      outcome.out += user->name + "\t" + user->home + "\n";
      users.Push(Json::Object()
                     .Set("number", user->number)
                     .Set("name", user->name)
                     .Set("home", user->home));
    }
  }
  outcome.json.Set("signed_in", std::move(users));
  if (cannot_tell) {
    outcome.status = kExitFailed;
    outcome.error =
        "this system cannot tell who is signed in without disturbing a sign-in";
    return outcome;
  }
  if (outcome.out.empty()) outcome.out = "nobody is signed in\n";
  return outcome;
}

}  // namespace userprof
