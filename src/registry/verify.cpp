#include <algorithm>
#include <climits>
#include <functional>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/operations.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// Why an entry within the count names no user, as a repair tells it.
const char* DropReason(const std::string& entry) {
  if (entry.empty()) return "empty";
  const std::size_t comma = entry.find(',');
  if (comma == std::string::npos) return "no comma";
  if (comma == 0 ||
      !IsValidUserName(std::string_view(entry).substr(0, comma))) {
    return "invalid user name";
  }
  if (!IsValidEntry(entry)) return "directory name is not 8 characters";
  return nullptr;
}

std::string NameOf(const std::string& entry) {
  return entry.substr(0, entry.find(','));
}

// Keeps the first cause met.
void KeepFirst(FailureCause& first, const FailureCause& cause) {
  if (!first.failed()) first = cause;
}

}  // namespace

RepairPlan PlanRepair(const void* module, const std::string& registry,
                      bool registry_exists) {
  RepairPlan plan;
  plan.create_registry = !registry_exists;
  plan.stored = ReadCount(registry);
  // A count of 2^31 or more (read as negative) reaches no entry: the
  // entries the registry holds decide, and the count is set to match them.
  const int count =
      plan.stored < 0 ? std::numeric_limits<int>::max() : plan.stored;
  plan.count = count;
  const Result<std::string> root = UsersRootPath(module);
  if (root) plan.root = *root;
  // The texts of a name's later entries, by its first, to tell a copy (left
  // by a killed renumbering) from a second user; single names cost nothing.
  std::unordered_map<int, std::vector<std::pair<std::string, int>>> seconds;
  // Only held entries are walked, so a count tampered to billions costs
  // nothing. The k-th kept entry moves to number k: past the first gap (a
  // dropped or missing number) every kept entry moves down.
  int kept = 0;
  plan.default_was = ReadDefaultUser(registry);
  bool has_default = false;
  bool has_stored_default = false;
  const std::vector<int> numbers = HeldEntryNumbers(registry, count);
  for (const int i : numbers) {
    const std::string entry = ReadEntry(registry, i);
    const char* why = DropReason(entry);
    int copy_of = 0;
    int first = i;
    // With a negative count no lookup finds anyone: each entry is first.
    if (why == nullptr && plan.stored >= 0) {
      first = FindUser(registry, NameOf(entry));
      if (first != i) {
        auto& texts = seconds[first];
        if (texts.empty())
          texts.emplace_back(ReadEntry(registry, first), first);
        for (const auto& [text, number] : texts) {
          if (text == entry) copy_of = number;
        }
        if (copy_of == 0) texts.emplace_back(entry, i);
      }
    }
    if (why != nullptr || copy_of != 0) {
      plan.drops.push_back({i, why, copy_of, entry});
      continue;
    }
    // A home this platform cannot spell (a character missing from a
    // Windows host's code page) may be there: it is neither looked at nor
    // re-created as a twin.
    const std::string field = entry.substr(entry.find(',') + 1);
    const bool plain = IsPlainComponent(field);
    const std::optional<std::string> dir_name =
        plan.root.empty() ? std::nullopt
        : plain           ? HomeDirOnDisk(plan.root, field)
                          : std::optional<std::string>(field);
    if (dir_name) {
      const std::string home = plan.root + kSeparator + *dir_name;
      const std::string lock = home + kSeparator + std::string(kLockFileName);
      // A lock file proves the home is there and enterable: one look.
      if (const auto size = plain ? Sys().NormalFileSize(lock) : std::nullopt) {
        // A note in a lock file nobody holds is left by a killed sign-in:
        // emptied, as hosts expect an empty lock file.
        if (*size > 0 && first == i && Sys().IsHeldExclusively(lock) == false) {
          plan.notes.push_back(i);
        }
      } else if (!plain || !Sys().IsEnterableDirectory(home)) {
        // A recorded name that is not one plain directory is missing: the
        // user gets a fresh home under the users root.
        plan.mends.push_back({i, true});
      } else if (first == i) {
        plan.mends.push_back({i, false});
      }
    }
    // Who lookups find once the count matches the kept entries.
    const std::string name = NameOf(entry);
    has_default =
        has_default || Sys().NamesEqual(name.c_str(), kDefaultUserName);
    has_stored_default =
        has_stored_default ||
        (!plan.default_was.empty() &&
         Sys().NamesEqual(name.c_str(), plan.default_was.c_str()));
    if (++kept != i) plan.moves.emplace_back(i, kept);
  }
  plan.new_count = kept;
  for (const int n :
       HeldEntryNumbers(registry, std::numeric_limits<int>::max())) {
    if (n > count)
      plan.stale_lines.push_back({n, nullptr, 0, ReadEntry(registry, n)});
    if (n > plan.new_count && n <= count) plan.clear_above = true;
  }
  plan.add_default = !has_default;
  plan.set_default = plan.add_default || !has_stored_default;
  return plan;
}

FailureCause CarryOut(
    const void* module, const std::string& registry, const RepairPlan& plan,
    bool dry_run,
    const std::function<void(const userprofile_repair_action&)>& tell) {
  FailureCause first;
  // Each step is told as it is taken, with whether it was: a failure's
  // cause is the calling thread's last error while it is told.
  const auto told = [&](int kind, int number, int to, const std::string& entry,
                        const std::string& name, const std::string& path,
                        const std::string& detail, const FailureCause& cause) {
    KeepFirst(first, cause);
    if (!tell) return;
    if (cause.failed()) RecordFailure(cause);
    const userprofile_repair_action action{
        kind,
        number,
        to,
        entry.c_str(),
        name.c_str(),
        path.c_str(),
        detail.c_str(),
        dry_run ? -1 : (cause.failed() ? 0 : 1)};
    tell(action);
  };
  if (plan.create_registry) {
    told(USERPROFILE_REPAIR_REGISTRY_CREATED, 0, 0, "", "", registry, "",
         dry_run || Sys().IsNormalFile(registry)
             ? FailureCause{}
             : FailureCause{Failure::kIo,
                            "the registry " + registry + " cannot be created"});
  }
  // Creates (or empties) the lock file of entry `number`, telling it.
  const auto lock_file = [&](int kind, int number, const std::string& entry) {
    const UserEntry user = *SplitEntry(entry);
    told(kind, number, 0, entry, user.name,
         plan.root + kSeparator +
             HomeDirOnDiskOrField(plan.root, user.home_dir_name) + kSeparator +
             std::string(kLockFileName),
         "",
         dry_run ? FailureCause{} : EnsureLockFile(module, user.name.c_str()));
  };
  // Homes and lock files are mended in place before any entry moves, so
  // that each move carries the entry as mended.
  for (const RepairPlan::Mend& mend : plan.mends) {
    const std::string entry = ReadEntry(registry, mend.number);
    UserEntry user = *SplitEntry(entry);
    if (!mend.home) {
      lock_file(USERPROFILE_REPAIR_LOCK_CREATED, mend.number, entry);
      continue;
    }
    if (dry_run) {
      std::string name = user.name;
      TrimSpaces(name);
      told(USERPROFILE_REPAIR_HOME_CREATED, mend.number, 0, entry, name,
           plan.root, user.home_dir_name, {});
      continue;
    }
    std::string created;
    const std::string old_dir = user.home_dir_name;
    Result<std::string> dir_name =
        CreateHomeDirInRoot(module, &user.name, &created);
    FailureCause cause = dir_name.cause();
    std::string home = plan.root;
    // Without a new directory the entry stays as it was: rewriting it
    // with an empty name would make the next repair drop the user.
    if (dir_name) {
      home = plan.root + kSeparator + HomeDirOnDiskOrField(plan.root, *dir_name);
      if (!WriteRegistry(registry, kUserSection, EntryKey(mend.number),
                         user.name + "," + *dir_name)) {
        RemoveOwnHome(created);
        cause = TakeNote();
      } else if (FailureCause locked =
                     EnsureLockFile(module, user.name.c_str());
                 !cause.failed()) {
        cause = std::move(locked);
      }
    }
    told(USERPROFILE_REPAIR_HOME_CREATED, mend.number, 0, entry, user.name,
         home, old_dir, cause);
  }
  // A note is emptied only under the sign-in lock, never through a link
  // nor while anyone holds it: a user who signs in meanwhile keeps the
  // note his sign-in writes.
  for (const int number : plan.notes) {
    lock_file(USERPROFILE_REPAIR_NOTE_EMPTIED, number,
              ReadEntry(registry, number));
  }
  // Each entry keeps its place until its own move (moves only go down).
  for (const auto& [from, to] : plan.moves) {
    const std::string entry = ReadEntry(registry, from);
    FailureCause cause;
    if (!dry_run &&
        !WriteRegistry(registry, kUserSection, EntryKey(to), entry)) {
      cause = TakeNote();
    }
    told(USERPROFILE_REPAIR_ENTRY_RENUMBERED, from, to, entry, NameOf(entry),
         "", "", cause);
  }
  FailureCause squeezed;
  if (plan.new_count != plan.stored) {
    if (!dry_run && !WriteRegistry(registry, kCountSection, kCountKey,
                                   EntryKey(plan.new_count))) {
      squeezed = TakeNote();
    }
    told(USERPROFILE_REPAIR_COUNT_SET, plan.stored, plan.new_count, "", "",
         registry, "", squeezed);
  }
  // Dropped entries leave no text: the lines above the new count go, the
  // moved entries' old places with them.
  FailureCause cleared;
  const bool stale = plan.drop_stale && !plan.stale_lines.empty();
  if ((plan.clear_above || stale) && !dry_run &&
      !RemoveEntriesAbove(
          registry, plan.new_count,
          stale ? std::numeric_limits<int>::max() : plan.count)) {
    cleared = TakeNote();
  }
  // Told from the registry as read: moved entries are gone from their
  // old numbers.
  for (const RepairPlan::Drop& drop : plan.drops) {
    told(USERPROFILE_REPAIR_ENTRY_DROPPED, drop.number, 0, drop.text, "", "",
         drop.copy_of != 0 ? "a copy of entry " + std::to_string(drop.copy_of)
                           : std::string(drop.why),
         squeezed.failed() ? squeezed : cleared);
  }
  if (plan.drop_stale) {
    for (const RepairPlan::Drop& line : plan.stale_lines) {
      told(USERPROFILE_REPAIR_ENTRY_DROPPED, line.number, 0, line.text, "", "",
           "above the count", cleared);
    }
  }

  // "Default" becomes the default user, told when it was another.
  auto store_default = [&] {
    const FailureCause stored = StoreDefault(module, kDefaultUserName);
    if (plan.default_was != kDefaultUserName) {
      told(USERPROFILE_REPAIR_DEFAULT_SET, 0, 0, "", kDefaultUserName, "",
           plan.default_was, stored);
    } else {
      KeepFirst(first, stored);
    }
  };
  if (plan.add_default) {
    FailureCause cause;
    std::string home = plan.root;
    int number = plan.new_count + 1;
    if (!dry_run) {
      ShowMessage("Creating Default User", "DEBUG", 0);
      std::string name = kDefaultUserName;
      cause = CreateProfile(module, name, 1);
      number = FindUser(registry, kDefaultUserName);
      home = DirForUser(module, kDefaultUserName).value_or("");
    }
    told(USERPROFILE_REPAIR_DEFAULT_ADDED, 0, number, "", kDefaultUserName,
         home, "", cause);
    if (!dry_run) store_default();
  }
  if (dry_run) {
    if (plan.set_default && plan.default_was != kDefaultUserName) {
      told(USERPROFILE_REPAIR_DEFAULT_SET, 0, 0, "", kDefaultUserName, "",
           plan.default_was, {});
    }
    return first;
  }
  // The stored default, read again: it becomes the current user.
  Result<std::string> current = ReadDefault(module);
  KeepFirst(first, current.cause());
  if (current && !current->empty() &&
      FindUser(registry, current->c_str()) != 0) {
    return first;
  }
  store_default();
  return first;
}

// The moves are written after the walk, so that lookups meet one version
// of the registry rather than a new one per move; each entry keeps its
// place until its own move. The lines above the new count go last: no
// removed user's text stays behind.
FailureCause Compact(
    const std::string& registry,
    const std::function<bool(int number, const std::string& entry)>& drops) {
  FailureCause first;
  const int stored = ReadCount(registry);
  const int count = stored < 0 ? std::numeric_limits<int>::max() : stored;
  const std::vector<int> numbers = HeldEntryNumbers(registry, count);
  int kept = 0;  // the k-th kept entry moves to number k
  std::vector<std::pair<int, int>> moves;
  for (const int i : numbers) {
    if (drops(i, ReadEntry(registry, i))) continue;
    if (++kept != i) moves.emplace_back(i, kept);
  }
  for (const auto& [from, to] : moves) {
    if (!WriteRegistry(registry, kUserSection, EntryKey(to),
                       ReadEntry(registry, from))) {
      KeepFirst(first, TakeNote());
    }
  }
  const int matching = kept;
  if (matching != stored &&
      !WriteRegistry(registry, kCountSection, kCountKey, EntryKey(matching))) {
    KeepFirst(first, TakeNote());
  }
  const std::vector<int> held =
      HeldEntryNumbers(registry, std::numeric_limits<int>::max());
  if (!held.empty() && held.back() > matching &&
      !RemoveEntriesAbove(registry, matching)) {
    KeepFirst(first, TakeNote());
  }
  return first;
}

}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL
VerifyUserProfiles(ModuleHandle module) {
  ExportCall call;
  call.Fail(Repair(module));
}

FailureCause userprofile::Repair(const void* module, const RepairTold* told) {
  // One module path and one read of the registry for the whole call.
  RegistryScope scope;
  Result<std::string> registry = RegistryPath(module);
  if (!registry) return registry.cause();
  const bool existed = Sys().IsNormalFile(*registry);
  FailureCause first;
  // Never truncated: another process may be writing it now.
  const Status created = Sys().CreateFileIfAbsent(*registry);
  if (created.kind() != Failure::kExists && !Record(created)) {
    first = Fault(kCheckRegistryNotCreated, Failure::kIo,
                  "the registry cannot be created");
  }
  // One update: no other creation or repair interleaves, and the plan is
  // carried out on the very version it was made from.
  RegistryUpdate update(*registry);
  if (!update.held()) return NotedOr(Failure::kBusy, "the registry is busy");
  RepairPlan plan = PlanRepair(module, *registry, existed);
  // A host's own repair keeps no copy: lines left above the count stay,
  // ignored, for an administrator's repair (which keeps a copy) to drop.
  plan.drop_stale = told != nullptr && static_cast<bool>(told->keep);
  if (plan.drop_stale && (!plan.drops.empty() || !plan.stale_lines.empty()) &&
      !told->keep(*registry)) {
    if (told->refused != nullptr) *told->refused = true;
    return first;
  }
  FailureCause carried = CarryOut(module, *registry, plan, false,
                                  told != nullptr ? told->act : nullptr);
  if (!first.failed()) first = std::move(carried);
  if (told != nullptr && told->finished != nullptr) {
    *told->finished = update.Finish();
  }
  return first;
}
