// verify: the repair of the registry and the home directories, told
// change by change, with a copy of the registry kept first when entries
// are dropped; --dry-run rehearses it on a scratch copy.
#include <algorithm>
#include <filesystem>
#include <string_view>
#include <unordered_set>

#include "backups.h"
#include "changes.h"
#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {
namespace {

constexpr const char* kDefaultUserName = "Default";

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

// Verify --dry-run: the repair is rehearsed on a copy of what it looks at
// (the registry, and the names in the users root with their lock files),
// placed where its paths have the length of the real ones wherever the
// scratch directory allows, so that the same path limits apply.
Outcome Rehearse(Session& session) {
  const RegistryView before = ReadRegistry(session, false);
  namespace fs = std::filesystem;
  const fs::path module(session.module());
  const fs::path module_dir = module.parent_path();
  const std::string app_dir = module_dir.parent_path().string();
  std::optional<std::string> scratch = MakeScratchDirectory("userprof-dry");
  auto cannot = [&](const std::string& why) {
    if (scratch) RemoveTree(*scratch);
    return Failed(kExitCannotRehearse, "cannot-rehearse",
                  "cannot rehearse the repair: " + why);
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

// What the library's repair tells, gathered: the views before and after,
// and the copy kept (or why none could be).
struct Observed {
  RegistryView before;
  RegistryView after;
  std::string backup;
  std::string backup_failure;
};

void ObserveEntry(void* context, int after,
                  const userprofile_registry_state* registry,
                  const userprofile_user_state* user) {
  Observed& observed = *static_cast<Observed*>(context);
  AddToView(after ? observed.after : observed.before, *registry, user);
}

int KeepCopy(void* context, const char* registry) {
  Observed& observed = *static_cast<Observed*>(context);
  auto kept = KeepBackup(registry);
  if (kept.index() == 1) {
    observed.backup_failure = std::get<1>(kept);
    return 0;
  }
  observed.backup = std::get<0>(kept);
  return 1;
}

}  // namespace

Outcome CmdVerify(const Call& call) {
  Session& session = *call.session;
  if (call.inv.dry_run) return Rehearse(session);
  Observed observed;
  const userprofile_repair_observer observer{&observed, &ObserveEntry,
                                             &KeepCopy};
  if (userprofile_repair(session.handle(), &observer) == 0) {
    if (!observed.backup_failure.empty()) {
      return Refused("not repaired: the registry could not be kept first: " +
                     observed.backup_failure);
    }
    return FailedWithCause("not repaired");
  }
  const std::vector<std::string> notices = session.TakeNotices();
  Outcome outcome;
  PutChanges(observed.before, observed.after, notices, outcome, "");
  if (!observed.backup.empty()) {
    outcome.out +=
        "the registry as it was is kept in " + Shown(observed.backup) +
        " (the last " + std::to_string(kBackupsKept) +
        " such copies are kept: " + Shown(BackupPattern(observed.before.path)) +
        ")\n";
    outcome.json["backup"] = AsUnicode(observed.backup);
  }
  if (outcome.json["changed"] == false) outcome.out = "nothing changed\n";
  const std::vector<std::string> shortfalls =
      RepairShortfalls(session, observed.after);
  if (!shortfalls.empty()) {
    outcome.status = kExitFailed;
    outcome.error = "the repair is incomplete: " + shortfalls.front();
  }
  return outcome;
}

}  // namespace userprof
