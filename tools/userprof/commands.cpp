#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string_view>
#include <unordered_set>

#include "backups.h"
#include "changes.h"
#include "frame/frame.h"
#include "names.h"
#include "os.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "registry_view.h"

namespace userprof {
namespace {

using userprofile::RegistryUpdate;
using userprofile::Sys;

constexpr const char* kDefaultUserName = "Default";

// A failure, as opposed to a refusal; the exit status is the same.
Outcome Failed(std::string reason) { return Refused(std::move(reason)); }

Outcome Locked(std::string reason) {
  Outcome outcome = Refused(std::move(reason));
  outcome.status = kExitLocked;
  return outcome;
}

// `what`, with the cause the library recorded for its last failure, or
// else what this process finds when it opens `probe` itself.
std::string WithCause(const std::string& what, const std::string& probe = {},
                      std::string cause = Session::LastCause()) {
  if (cause.empty() && !probe.empty()) cause = WhyCannotOpen(probe, true);
  return cause.empty() ? what : what + ": " + cause;
}

Outcome NoSuchUser(const std::string& name) {
  return Refused("no user named " + Quoted(name) + " is registered");
}

Outcome Busy(const std::string& registry) {
  return Locked(WithCause("the registry " + Shown(registry) +
                          " is being updated by another process for too long; "
                          "nothing was changed"));
}

// A refusal for a name the library's validator rejects, or nullopt.
std::optional<Outcome> RefuseInvalidName(const std::string& name) {
  if (ValidUserName(name.c_str()) != 0) return std::nullopt;
  return Refused(Quoted(name) + " is not a valid user name: it " +
                 WhyInvalid(name) + "; " + kNameRule);
}

// A refusal for a name that cannot be registered as typed, or nullopt.
std::optional<Outcome> RefuseNewName(const std::string& name) {
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return refused;
  if (std::optional<std::string> unfit = WhyUnfit(name)) {
    return Refused(Quoted(name) + " cannot be registered: it " + *unfit);
  }
  return std::nullopt;
}

// Text for people: names and paths with bytes that a terminal would
// garble escaped. Paths printed alone stay raw for a pipe, so that a
// script reaches the real file.
std::string PathLine(const std::string& path) {
  return (IsTerminal(1) ? Shown(path) : path) + "\n";
}

std::string YesNo(const std::optional<bool>& value) {
  if (!value) return "?";
  return *value ? "yes" : "no";
}

Json EntryJson(const EntryView& entry) {
  Json json = Json::object();
  json["number"] = entry.number;
  if (!entry.usable) {
    SetText(json, "entry", entry.raw);
    json["problem"] = entry.problem;
    return json;
  }
  SetText(json, "name", entry.name);
  if (entry.home.empty()) {
    json["home"] = nullptr;
  } else {
    SetText(json, "home", entry.home);
  }
  json["home_exists"] = entry.home_exists;
  json["lock_exists"] = entry.lock_exists;
  json["signed_in"] = entry.signed_in ? Json(*entry.signed_in) : Json(nullptr);
  if (entry.shadowed_by != 0) json["duplicate_of"] = entry.shadowed_by;
  return json;
}

// The listing as a table: one row per entry, columns as wide as needed
// in characters.
std::string ListTable(const RegistryView& view) {
  std::size_t number_w = 1, name_w = 4, home_w = 4;
  for (const EntryView& e : view.entries) {
    number_w = std::max(number_w, std::to_string(e.number).size());
    name_w = std::max(name_w, Width(Shown(e.name)));
    home_w = std::max(home_w, Width(Shown(e.home)));
  }
  std::string text = Padded("#", number_w) + "  " + Padded("user", name_w) +
                     "  " + Padded("home", home_w) + "  dir  lock  signed in\n";
  for (const EntryView& e : view.entries) {
    std::string row = Padded(std::to_string(e.number), number_w) + "  ";
    if (!e.usable) {
      row +=
          "(entry " + Quoted(e.raw) + ": " + e.problem + "; verify drops it)";
    } else {
      row += Padded(Shown(e.name), name_w) + "  " +
             Padded(e.home.empty() ? "-" : Shown(e.home), home_w) + "  " +
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
    } else if (const unsigned long links = LinkCount(user->home + kLockFile);
               links > 1) {
      // Emptying it would empty the file's other name too: left alone.
      shortfalls.push_back(Quoted(user->name) + "'s lock file " +
                           Shown(user->home + kLockFile) + " has " +
                           std::to_string(links) +
                           " links (another file's data); left as it is");
    }
  }
  if (after.default_user.empty() || session.FindUser(after.default_user) == 0) {
    shortfalls.push_back("the default user is not registered");
  }
  return shortfalls;
}

// Whether a repair of the registry as `view` shows it drops an entry: an
// unusable one, or a copy of one before it.
bool RepairDropsEntries(const RegistryView& view) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(view.entries.size());
  for (const EntryView& entry : view.entries) {
    if (!entry.usable || !seen.insert(entry.raw).second) return true;
  }
  return false;
}

// The changes between two views, with the notices placed before the user
// they announce, as lines and as JSON.
void PutChanges(const RegistryView& before, const RegistryView& after,
                const std::vector<std::string>& notices, Outcome& outcome,
                const std::string& prefix) {
  std::vector<Change> changes = DescribeRepair(before, after);
  auto at = std::find_if(changes.begin(), changes.end(), [](const Change& c) {
    return c.kind == "user_added";
  });
  for (const std::string& notice : notices) {
    at = changes.insert(at, Change{"notice", "notice: " + notice}) + 1;
  }
  Json list = Json::array();
  for (const Change& change : changes) {
    outcome.out += prefix + Shown(change.text) + "\n";
    list.push_back(
        Json{{"kind", change.kind}, {"text", AsUnicode(change.text)}});
  }
  outcome.json["registry"] = AsUnicode(before.path);
  outcome.json["changed"] = !changes.empty();
  outcome.json["changes"] = std::move(list);
}

// The registry's entries 1 to its last key, as stored.
std::vector<std::string> StoredEntries(const std::string& registry) {
  userprofile::RegistryScope one_read;
  const int count = userprofile::ReadCount(registry);
  const int last =
      std::min(count, userprofile::LastEntryNumber(registry).value_or(count));
  std::vector<std::string> entries;
  for (int i = 1; i <= last; ++i) {
    entries.push_back(userprofile::ReadEntry(registry, i));
  }
  return entries;
}

// The registered names that `name` matches only loosely (in another
// encoding or case folding the library does not apply), with their entry
// numbers; `skip` is an entry number to leave out.
std::vector<std::pair<int, std::string>> LooseMatches(
    const std::vector<std::string>& entries, const std::string& name,
    int skip) {
  std::vector<std::pair<int, std::string>> matches;
  const std::string key = LooseKey(name);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const int number = static_cast<int>(i) + 1;
    std::optional<userprofile::UserEntry> entry =
        userprofile::SplitEntry(entries[i]);
    if (number == skip || !entry || entry->name.empty()) continue;
    if (LooseKey(entry->name) == key &&
        !Sys().NamesEqual(entry->name.c_str(), name.c_str())) {
      matches.emplace_back(number, entry->name);
    }
  }
  return matches;
}

// Holds a user's lock while the user's entry changes, so that nobody signs
// in meanwhile. The lock file is created if it is missing.
class UserHold {
 public:
  explicit UserHold(const std::string& home) : lock_(home + kLockFile) {
    if (home.empty() || !Sys().IsEnterableDirectory(home)) {
      handle_ = userprofile::kNoLock;  // no home: nobody can sign in
      return;
    }
    if (!Sys().IsNormalFile(lock_)) {
      static_cast<void>(Sys().CreateFileIfAbsent(lock_));
    }
    if (!Sys().OpenExclusive(lock_, handle_)) handle_ = userprofile::kFailedLock;
  }
  ~UserHold() {
    if (handle_ != userprofile::kNoLock && handle_ != userprofile::kFailedLock)
      Sys().CloseExclusive(handle_);
  }
  UserHold(const UserHold&) = delete;
  UserHold& operator=(const UserHold&) = delete;

  // nullopt when held (or nothing to hold), else the refusal.
  std::optional<Outcome> Refusal(const std::string& name,
                                 const std::string& doing) const {
    if (handle_ != userprofile::kFailedLock) return std::nullopt;
    if (Sys().IsHeldExclusively(lock_) == true) {
      return Locked(Quoted(name) + " is signed in; " + doing +
                    " once the user has signed out");
    }
    return Failed(WithCause("cannot lock " + Shown(lock_), lock_) +
                  "; nothing was changed");
  }

 private:
  std::string lock_;
  userprofile::LockHandle handle_;
};

// The new checks the library reported since `before` of them were there.
bool NewChecks(const Session& session, std::size_t before) {
  return session.checks().size() > before;
}

// What "who" knows of the holder of a lock file: the note a signin left in
// it while it held it. A note in a file nobody holds says nothing, and
// neither does one whose process is known to be gone from this machine.
struct Holder {
  std::optional<long> pid;
  std::string host;
  std::string since;
};

std::optional<Holder> ReadHolder(const std::string& lock) {
  std::optional<std::string> note = ReadLockNote(lock);
  if (!note || note->empty()) return std::nullopt;
  if (Sys().IsHeldExclusively(lock) != true) return std::nullopt;
  std::map<std::string, std::string> fields;
  std::size_t start = 0;
  while (start < note->size()) {
    std::size_t end = note->find('\n', start);
    if (end == std::string::npos) end = note->size();
    const std::string line = note->substr(start, end - start);
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos)
      fields[line.substr(0, eq)] = line.substr(eq + 1);
    start = end + 1;
  }
  Holder holder;
  try {
    if (fields.count("pid")) holder.pid = std::stol(fields["pid"]);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  holder.host = fields["host"];
  holder.since = fields["since"];
  if (!holder.pid) return std::nullopt;
  if (holder.host == HostName() && ProcessRuns(*holder.pid) == false) {
    return std::nullopt;  // left by a sign-in that ended without a word
  }
  return holder;
}

}  // namespace

Outcome Refused(std::string reason) {
  Outcome outcome;
  outcome.status = kExitFailed;
  outcome.error = std::move(reason);
  return outcome;
}

namespace {

// Verify --dry-run: the repair is rehearsed on a copy of what it looks at
// (the registry, and the names in the users root with their lock files),
// placed where its paths have the length of the real ones wherever the
// scratch directory allows, so that the same path limits apply.
Outcome Rehearse(Session& session, const RegistryView& before) {
  namespace fs = std::filesystem;
  const fs::path module(session.module());
  const fs::path module_dir = module.parent_path();
  const std::string app_dir = module_dir.parent_path().string();
  std::optional<std::string> scratch = MakeScratchDirectory("userprof-dry");
  auto cannot = [&](const std::string& why) {
    if (scratch) RemoveTree(*scratch);
    Outcome outcome = Refused("cannot rehearse the repair: " + why);
    outcome.status = kExitCannotRehearse;
    return outcome;
  };
  if (!scratch) return cannot("no scratch directory can be made");
  const std::size_t pad = app_dir.size() > scratch->size() + 1
                              ? app_dir.size() - scratch->size() - 1
                              : 1;
  const std::string copy_app = *scratch + "/" + std::string(pad, 'd');
  const std::string copy_module_dir =
      copy_app + "/" + module_dir.filename().string();
  const std::string copy_module =
      copy_module_dir + "/" + module.filename().string();
  if (!MakeDirectories(copy_module_dir)) {
    return cannot("cannot make " + copy_module_dir);
  }
  if (before.exists) {
    const std::string copy_registry =
        copy_module_dir + "/" + fs::path(before.path).filename().string();
    if (std::string failed = CopyFileAtomically(before.path, copy_registry);
        !failed.empty()) {
      return cannot(failed);
    }
  }
  if (std::optional<std::string> root = session.UsersRoot()) {
    const std::string copy_root =
        copy_app + "/" + fs::path(*root).filename().string();
    if (std::string failed = MirrorUsersRoot(*root, copy_root);
        !failed.empty()) {
      return cannot(failed);
    }
  }
  session.TakeNotices();
  session.Retarget(copy_module);
  VerifyUserProfiles(session.handle());
  const std::vector<std::string> notices = session.TakeNotices();
  RegistryView after = ReadRegistry(session, false);
  session.Retarget(session.module());
  RemoveTree(*scratch);

  after.path = before.path;
  Outcome outcome;
  PutChanges(before, after, notices, outcome, "would: ");
  outcome.json["dry_run"] = true;
  if (outcome.json["changed"] == true) {
    outcome.status = kExitFailed;
    outcome.out = "a repair would make these changes:\n" + outcome.out;
    if (RepairDropsEntries(before)) {
      outcome.out += "would: keep the registry as it is now in a new copy " +
                     Shown(BackupPattern(before.path)) + "\n";
    }
  } else {
    outcome.out = "healthy: a repair would change nothing\n";
  }
  return outcome;
}

}  // namespace

Outcome Verify(Session& session, bool dry_run) {
  if (dry_run) return Rehearse(session, ReadRegistry(session, false));
  const std::string registry = session.RegistryPath().value_or("");
  // Taking the update lock makes a missing registry: whether it was there
  // is asked first.
  const bool existed = Sys().IsNormalFile(registry);
  RegistryUpdate update(registry);
  if (!update.held()) return Busy(registry);
  // Whether to keep a copy, the copy and the report all come from the
  // version this repair changes: read under the same hold of the update
  // lock as the repair, so that a concurrent repair has either finished
  // or not begun.
  const std::size_t reports = session.reports();
  const std::optional<RegistryContent> unread = ContentOf(registry);
  RegistryView before = ReadRegistry(session, false);
  const std::optional<RegistryContent> read = ContentOf(registry);
  // The first view read this content and the library reported nothing
  // while it was read (a second read would report it again).
  const bool quiet_read =
      unread && read == unread && session.reports() == reports;
  before.exists = before.exists && existed;

  std::string backup;
  if (before.exists && RepairDropsEntries(before)) {
    auto kept = KeepBackup(registry);
    if (kept.index() == 1) {
      return Failed("not repaired: the registry could not be kept first: " +
                    std::get<1>(kept));
    }
    backup = std::get<0>(kept);
  }
  VerifyUserProfiles(session.handle());
  const std::vector<std::string> notices = session.TakeNotices();
  // The repair kept every home and lock file the first view found: only
  // the users it had to mend are probed again, and the entries it changed
  // read again. A registry it left as it was needs no second read.
  const RegistryView after = quiet_read && ContentOf(registry) == read
                                 ? Reprobed(before)
                                 : ReadRegistry(session, false, &before);
  const std::vector<std::string> shortfalls = RepairShortfalls(session, after);
  if (!update.Finish()) {
    return Failed(WithCause("the repair could not be written", registry) +
                  "; the registry is as it was");
  }

  Outcome outcome;
  PutChanges(before, after, notices, outcome, "");
  if (!backup.empty()) {
    outcome.out += "the registry as it was is kept in " + Shown(backup) +
                   " (the last " + std::to_string(kBackupsKept) +
                   " such copies are kept: " + Shown(BackupPattern(registry)) +
                   ")\n";
    outcome.json["backup"] = AsUnicode(backup);
  }
  if (outcome.json["changed"] == false) outcome.out = "nothing changed\n";
  if (!shortfalls.empty()) {
    outcome.status = kExitFailed;
    outcome.error = "the repair is incomplete: " + shortfalls.front();
  }
  return outcome;
}

Outcome Add(Session& session, const std::string& name) {
  if (std::optional<Outcome> refused = RefuseNewName(name)) return *refused;
  const std::string registry = *session.RegistryPath();
  const std::size_t checks_before = session.checks().size();
  int number = 0;
  std::string cause;
  std::vector<std::pair<int, std::string>> alike;
  {
    // The check and the creation under one hold of the update lock: of
    // several processes adding one name, exactly one registers it.
    RegistryUpdate update(registry);
    if (!update.held()) return Busy(registry);
    if (int existing = session.FindUser(name); existing != 0) {
      return Refused(Quoted(name) + " is registered already (entry " +
                     std::to_string(existing) + ")");
    }
    alike = LooseMatches(StoredEntries(registry), name, 0);
    // The library trims the name in place; a fit name comes back unchanged.
    std::string buffer = name;
    CreateUserProfile(session.handle(), buffer.data(), 1);
    cause = Session::LastCause();  // before the next call clears it
    number = session.FindUser(name);
  }
  if (number == 0 ||
      (NewChecks(session, checks_before) && session.FindUser(name) == 0)) {
    return Failed(
        WithCause("could not register " + Quoted(name), registry, cause));
  }
  const std::string home = session.DirForUser(name);
  Outcome outcome;
  SetText(outcome.json, "user", name);
  outcome.json["number"] = number;
  SetText(outcome.json, "home", home);
  Json similar = Json::array();
  for (const auto& [entry, other] : alike) {
    similar.push_back(Json{{"number", entry}, {"name", AsUnicode(other)}});
    outcome.error += "warning: " + Quoted(name) + " differs from " +
                     Quoted(other) + " (entry " + std::to_string(entry) +
                     ") only in encoding or letter case; hosts may take "
                     "them for one user\n";
  }
  outcome.json["similar"] = std::move(similar);
  if (!outcome.error.empty()) outcome.error.pop_back();
  if (home.empty() || !Sys().IsEnterableDirectory(home) ||
      !Sys().IsNormalFile(home + kLockFile)) {
    outcome.status = kExitFailed;
    outcome.error = Quoted(name) + " is registered as entry " +
                    std::to_string(number) +
                    ", but its home directory or lock file could not be "
                    "created; verify creates them once that is possible";
    return outcome;
  }
  outcome.out = PathLine(home);
  return outcome;
}

Outcome List(Session& session, bool with_users_json) {
  const RegistryView view = ReadRegistry(session, true);
  Outcome outcome;
  Json users = Json::array();
  if (with_users_json) {
    for (const EntryView& entry : view.entries) {
      users.push_back(EntryJson(entry));
    }
  }
  SetText(outcome.json, "registry", view.path);
  outcome.json["registry_exists"] = view.exists;
  outcome.json["count"] = view.count;
  if (view.default_user.empty()) {
    outcome.json["default"] = nullptr;
  } else {
    SetText(outcome.json, "default", view.default_user);
  }
  outcome.json["users"] = std::move(users);
  if (view.entries.empty()) {
    outcome.out = view.exists
                      ? "no users registered\n"
                      : "no users registered (no registry " + Shown(view.path) +
                            " yet; verify creates it)\n";
    return outcome;
  }
  outcome.out = ListTable(view);
  outcome.out += "default user: " +
                 (view.default_user.empty() ? std::string("(none)")
                                            : Shown(view.default_user)) +
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
  outcome.out = PathLine(home);
  SetText(outcome.json, "user", name);
  outcome.json["number"] = number;
  SetText(outcome.json, "home", home);
  outcome.json["home_exists"] = Sys().IsEnterableDirectory(home);
  return outcome;
}

Outcome Default(Session& session, const std::optional<std::string>& name) {
  if (name) {
    if (std::optional<Outcome> refused = RefuseInvalidName(*name))
      return *refused;
    if (session.FindUser(*name) == 0) return NoSuchUser(*name);
    SetDefaultUser(session.handle(), name->c_str());
    const std::string cause = Session::LastCause();
    if (session.DefaultUser() != *name) {
      return Failed(WithCause("the default user could not be stored",
                              *session.RegistryPath(), cause));
    }
  }
  const std::string user = session.DefaultUser();
  Outcome outcome;
  if (user.empty()) {
    outcome = Refused("no default user is set");
    outcome.json["default"] = nullptr;
    return outcome;
  }
  const bool registered = session.FindUser(user) != 0;
  SetText(outcome.json, "default", user);
  outcome.json["registered"] = registered;
  outcome.out = IsTerminal(1) ? Shown(user) : user;
  if (!registered) {
    outcome.out +=
        " (not registered: verify makes \"Default\" the default user)";
  }
  outcome.out += "\n";
  return outcome;
}

Outcome SignIn(Session& session, const std::string& name,
               const std::vector<std::string>& program,
               const SignInOptions& options) {
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return *refused;
  if (session.FindUser(name) == 0) return NoSuchUser(name);
  const std::string home = session.DirForUser(name);
  if (home.empty()) {
    return Failed("the registry entry of " + Quoted(name) +
                  " gives no usable home directory; verify repairs it");
  }
  const std::string lock = home + kLockFile;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long long>(
                            options.wait_seconds * 1000));
  while (userprofile_sign_in(session.handle(), name.c_str()) == 0) {
    const int error = userprofile_last_error();
    const std::string cause = Session::LastCause();
    CloseUserSemaphoreFile();  // clears the failed attempt
    if (error != USERPROFILE_ERROR_SIGNED_IN_ELSEWHERE) {
      std::string why = cause.empty() ? WhyCannotOpen(lock, true) : cause;
      if (why.empty()) why = "the lock file " + Shown(lock) + " cannot be used";
      return Failed("cannot sign " + Quoted(name) + " in: " + why);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      std::string reason = Quoted(name) + " is signed in elsewhere";
      if (std::optional<Holder> holder = ReadHolder(lock)) {
        reason += " (process " + std::to_string(*holder->pid) + " on " +
                  Shown(holder->host) + " since " + Shown(holder->since) + ")";
      }
      if (options.wait_seconds > 0) reason += "; waited in vain";
      Outcome outcome = Refused(reason);
      outcome.status = options.refusal_status;
      SetText(outcome.json, "user", name);
      outcome.json["signed_in_elsewhere"] = true;
      return outcome;
    }
    SleepMilliseconds(100);
  }
  // The program itself holds the lock: it inherits the locked file, so the
  // sign-in lasts exactly as long as the program, whatever becomes of this
  // process.
  const bool inherited = userprofile_inherit_sign_in() != 0;
  std::fflush(stdout);
  RunOptions run_options;
  run_options.extra_env = {"USERPROF_USER=" + name, "USERPROF_HOME=" + home};
  run_options.stdout_to_stderr = options.json;
  run_options.forward_signals = true;
  std::string note_failure;
  run_options.started = [&](long pid) {
    const std::string note = "pid=" + std::to_string(pid) +
                             "\nhost=" + HostName() + "\nsince=" + UtcNow() +
                             "\n";
    if (userprofile_write_sign_in_note(note.c_str()) == 0) {
      note_failure = Session::LastCause();
    }
  };
  const ProgramRun run = RunProgram(program, run_options);
  // Still held through this process's own descriptor: the note goes
  // before the lock does.
  userprofile_write_sign_in_note("");
  CloseUserSemaphoreFile();

  Outcome outcome;
  SetText(outcome.json, "user", name);
  SetText(outcome.json, "home", home);
  outcome.json["lock_inherited"] = inherited;
  if (!run.started) {
    outcome.status = kExitCannotRun;
    outcome.error = "cannot run " + Quoted(program.front()) + ": " + run.error;
    outcome.json["exit_status"] = nullptr;
    return outcome;
  }
  outcome.status = run.status;
  outcome.json["exit_status"] = run.status;
  if (!note_failure.empty()) {
    outcome.json["note_failed"] = AsUnicode(note_failure);
  }
  return outcome;
}

Outcome Who(Session& session) {
  const RegistryView view = ReadRegistry(session, true);
  Outcome outcome;
  Json users = Json::array();
  bool cannot_tell = false;
  bool unknown_holder = false;
  std::vector<std::vector<std::string>> rows;
  for (const EntryView* user : ReachableUsers(view)) {
    if (user->home.empty()) continue;
    if (!user->signed_in) {
      cannot_tell = true;
      continue;
    }
    if (!*user->signed_in) continue;
    Json item = Json::object();
    item["number"] = user->number;
    SetText(item, "name", user->name);
    SetText(item, "home", user->home);
    std::string by;
    if (std::optional<Holder> holder = ReadHolder(user->home + kLockFile)) {
      item["pid"] = *holder->pid;
      item["host"] = AsUnicode(holder->host);
      item["since"] = AsUnicode(holder->since);
      by = "process " + std::to_string(*holder->pid) + " on " +
           Shown(holder->host) + " since " + Shown(holder->since);
    } else {
      item["pid"] = nullptr;
      item["host"] = nullptr;
      item["since"] = nullptr;
      by = "?";
      unknown_holder = true;
    }
    users.push_back(std::move(item));
    rows.push_back({Shown(user->name), Shown(user->home), by});
  }
  std::size_t name_w = 0, home_w = 0;
  for (const auto& row : rows) {
    name_w = std::max(name_w, Width(row[0]));
    home_w = std::max(home_w, Width(row[1]));
  }
  for (const auto& row : rows) {
    outcome.out += Padded(row[0], name_w) + "  " + Padded(row[1], home_w) +
                   "  " + row[2] + "\n";
  }
  if (unknown_holder) {
    outcome.out +=
        "?: signed in by a program that leaves no note (only userprof signin "
        "does); its process, host and time cannot be known\n";
  }
  outcome.json["signed_in"] = std::move(users);
  if (cannot_tell) {
    outcome.status = kExitFailed;
    outcome.error =
        "this system cannot tell who is signed in without disturbing a sign-in";
    return outcome;
  }
  if (rows.empty()) outcome.out = "nobody is signed in\n";
  return outcome;
}

Outcome Remove(Session& session, const std::string& name, bool delete_home) {
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return *refused;
  const std::string registry = *session.RegistryPath();
  const std::size_t checks_before = session.checks().size();
  std::string home;
  std::string stored;
  int number = 0;
  std::string home_failure;
  std::string shared_with;
  {
    RegistryUpdate update(registry);
    if (!update.held()) return Busy(registry);
    number = session.FindUser(name);
    if (number == 0) return NoSuchUser(name);
    home = session.DirForUser(name);
    UserHold hold(home);
    if (std::optional<Outcome> refused = hold.Refusal(name, "remove it")) {
      return *refused;
    }
    // The entries after it move down one, as a repair squeezes a gap; keys
    // above the new count stay, ignored.
    const std::vector<std::string> entries = StoredEntries(registry);
    if (static_cast<std::size_t>(number) > entries.size()) {
      return Failed("the registry changed while it was read; try again");
    }
    const userprofile::UserEntry removed =
        *userprofile::SplitEntry(entries[number - 1]);
    stored = removed.name;
    // A home that another entry names too (a hand edit) is never deleted.
    for (std::size_t i = 0; i < entries.size(); ++i) {
      std::optional<userprofile::UserEntry> other =
          userprofile::SplitEntry(entries[i]);
      if (i + 1 != static_cast<std::size_t>(number) && other &&
          other->home_dir_name == removed.home_dir_name) {
        shared_with = other->name;
      }
    }
    for (std::size_t i = static_cast<std::size_t>(number); i < entries.size();
         ++i) {
      userprofile::WriteRegistry(registry, userprofile::kUserSection,
                                 userprofile::EntryKey(static_cast<int>(i)),
                                 entries[i]);
    }
    userprofile::WriteRegistry(
        registry, userprofile::kCountSection, userprofile::kCountKey,
        userprofile::EntryKey(static_cast<int>(entries.size()) - 1));
    // A default user that is gone falls back to "Default" where it can.
    const std::string default_user = session.DefaultUser();
    if (Sys().NamesEqual(default_user.c_str(), stored.c_str()) &&
        !Sys().NamesEqual(stored.c_str(), kDefaultUserName) &&
        session.FindUser(kDefaultUserName) != 0) {
      userprofile::WriteRegistry(registry, userprofile::kDefaultSection,
                                 userprofile::kDefaultKey, kDefaultUserName);
    }
  }
  if (NewChecks(session, checks_before)) {
    return Failed(WithCause("could not remove " + Quoted(name), registry) +
                  "; the registry is as it was");
  }
  if (delete_home && !home.empty()) {
    home_failure = shared_with.empty()
                       ? RemoveHomeTree(home)
                       : Shown(home) + " is the home of " +
                             Quoted(shared_with) + " too; left as it is";
  }
  Outcome outcome;
  SetText(outcome.json, "user", stored);
  outcome.json["number"] = number;
  if (home.empty()) {
    outcome.json["home"] = nullptr;
  } else {
    SetText(outcome.json, "home", home);
  }
  outcome.json["home_deleted"] = delete_home && home_failure.empty();
  outcome.out =
      "removed " + Quoted(stored) + " (entry " + std::to_string(number) + ")";
  if (!home.empty()) {
    outcome.out += delete_home && home_failure.empty()
                       ? "; deleted its home " + Shown(home)
                       : "; its home " + Shown(home) + " is kept";
  }
  outcome.out += "\n";
  if (!home_failure.empty()) {
    outcome.status = kExitFailed;
    outcome.error = "the home directory could not be deleted: " + home_failure;
  }
  return outcome;
}

Outcome Rename(Session& session, const std::string& old_name,
               const std::string& new_name) {
  if (std::optional<Outcome> refused = RefuseInvalidName(old_name))
    return *refused;
  if (std::optional<Outcome> refused = RefuseNewName(new_name)) return *refused;
  const std::string registry = *session.RegistryPath();
  const std::size_t checks_before = session.checks().size();
  int number = 0;
  std::string home;
  {
    RegistryUpdate update(registry);
    if (!update.held()) return Busy(registry);
    number = session.FindUser(old_name);
    if (number == 0) return NoSuchUser(old_name);
    if (int other = session.FindUser(new_name); other != 0 && other != number) {
      return Refused(Quoted(new_name) + " is registered already (entry " +
                     std::to_string(other) + ")");
    }
    const std::vector<std::string> entries = StoredEntries(registry);
    if (static_cast<std::size_t>(number) > entries.size()) {
      return Failed("the registry changed while it was read; try again");
    }
    const auto alike = LooseMatches(entries, new_name, number);
    if (!alike.empty()) {
      return Refused(Quoted(new_name) + " differs from the registered " +
                     Quoted(alike.front().second) + " (entry " +
                     std::to_string(alike.front().first) +
                     ") only in encoding or letter case");
    }
    home = session.DirForUser(old_name);
    UserHold hold(home);
    if (std::optional<Outcome> refused = hold.Refusal(old_name, "rename it")) {
      return *refused;
    }
    std::optional<userprofile::UserEntry> entry =
        userprofile::SplitEntry(entries[number - 1]);
    const std::string default_user = session.DefaultUser();
    userprofile::WriteRegistry(registry, userprofile::kUserSection,
                               userprofile::EntryKey(number),
                               new_name + "," + entry->home_dir_name);
    if (Sys().NamesEqual(default_user.c_str(), entry->name.c_str())) {
      userprofile::WriteRegistry(registry, userprofile::kDefaultSection,
                                 userprofile::kDefaultKey, new_name);
    }
  }
  if (NewChecks(session, checks_before) ||
      session.FindUser(new_name) != number) {
    return Failed(WithCause("could not rename " + Quoted(old_name), registry) +
                  "; the registry is as it was");
  }
  Outcome outcome;
  SetText(outcome.json, "old", old_name);
  SetText(outcome.json, "user", new_name);
  outcome.json["number"] = number;
  SetText(outcome.json, "home", home);
  outcome.out = "renamed " + Quoted(old_name) + " to " + Quoted(new_name) +
                " (entry " + std::to_string(number) + ", home " + Shown(home) +
                ")\n";
  return outcome;
}

}  // namespace userprof
