// Adding, removing and renaming users for an administrator: each one
// update of the registry, with the user's lock held while the entry
// changes, so that nobody signs in meanwhile.
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
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

// Holds a user's lock while the user's entry changes, creating a missing
// lock file. A home that is not a directory of its own (missing, a file,
// or a link, through which no sign-in takes a lock) needs no hold.
class UserHold {
 public:
  explicit UserHold(const std::string& home)
      : lock_(home + std::string(kLockFileName)) {
    if (home.empty() || !Sys().IsPlainDirectory(home) ||
        !Sys().IsEnterableDirectory(home)) {
      return;
    }
    if (!Sys().IsNormalFile(lock_)) Sys().CreateFileIfAbsent(lock_);
    opened_ = Sys().OpenExclusive(lock_, handle_);
    if (!opened_) handle_ = kFailedLock;
  }
  ~UserHold() { Release(); }
  UserHold(const UserHold&) = delete;
  UserHold& operator=(const UserHold&) = delete;

  // Whether the user is held (or needs no hold); else the cause is set.
  bool held(const std::string& name) const {
    if (handle_ != kFailedLock) return true;
    // The open's own cause says a holder where the system cannot be
    // asked from outside without disturbing one (Windows).
    if (opened_.kind() == Failure::kSignedInElsewhere ||
        Sys().IsHeldExclusively(lock_) == true) {
      SetFailure(Failure::kSignedInElsewhere,
                 "user " + Quoted(name) + " is signed in: the lock file " +
                     lock_ + " is held");
    } else {
      NoteFailure(Failure::kIo, "cannot lock " + lock_);
    }
    return false;
  }

  void Release() {
    if (IsHeld(handle_)) Sys().CloseExclusive(handle_);
    handle_ = kNoLock;
  }

 private:
  std::string lock_;
  LockHandle handle_ = kNoLock;
  Status opened_;
};

int NotRegistered(const char* name) {
  SetFailure(Failure::kNotFound,
             "no user named " + Quoted(name) + " is registered");
  return 0;
}

// One entry a removal took out, and what became of its home.
struct Removed {
  int number = 0;
  std::string name;
  std::string dir_name;
  std::string home;  // ending in a separator, or "" when it cannot be had
  std::string shared_with;
  bool home_deleted = false;
  std::string home_failure;
  std::string default_user;
  bool was_default = false;
  bool default_changed = false;
};

std::string WithoutSeparator(std::string path) {
  while (path.size() > 1 && path.back() == kSeparator) path.pop_back();
  return path;
}

// Every entry that a lookup of `name` matches, from the one lookups find
// on (a hand edit can register a name twice); the homes all sit in the
// users root, beside the first one's.
std::vector<Removed> EntriesNamed(const void* module,
                                  const std::string& registry,
                                  const char* name) {
  std::vector<Removed> found;
  const int first = FindUser(registry, name);
  if (first == 0) return found;
  const std::string first_home = DirForUser(module, name).value_or("");
  const std::string root =
      first_home.empty()
          ? std::string()
          : first_home.substr(
                0, first_home.rfind(kSeparator, first_home.size() - 2) + 1);
  for (const int i : HeldEntryNumbers(registry, ReadCount(registry))) {
    if (i < first) continue;
    const std::string text = ReadEntry(registry, i);
    const std::optional<UserEntry> entry = SplitEntry(text);
    if (!entry || !IsValidEntry(text) ||
        !Sys().NamesEqual(entry->name.c_str(), name)) {
      continue;
    }
    Removed removed;
    removed.number = i;
    removed.name = entry->name;
    removed.dir_name = entry->home_dir_name;
    if (i == first) {
      removed.home = first_home;
    } else if (!root.empty() && IsPlainComponent(entry->home_dir_name)) {
      removed.home = root +
                     HomeDirOnDiskOrField(WithoutSeparator(root),
                                          entry->home_dir_name) +
                     kSeparator;
    }
    found.push_back(std::move(removed));
  }
  return found;
}

struct HomeDeletion {
  bool deleted = false;
  std::string failure;  // "" when deleted or there was nothing to delete
  Failure kind = Failure::kNone;
};

// Deletes a removed user's home under his lock (held by `hold`), the
// entry gone. It is first renamed ("Ann00000.removing") in one step, so a
// host that looked the user up before finds no lock file nor directory,
// rather than signing in to a home being deleted. Where a directory with a
// held file cannot be renamed (Windows), the hold is released just before:
// the rename then tells that nobody took it since.
HomeDeletion DeleteHome(const std::string& home, UserHold* hold) {
  const std::string dir = WithoutSeparator(home);
  if (!Sys().NameTaken(dir)) return {};
  if (!Sys().IsPlainDirectory(dir)) {
    return {false, dir + " is not a directory but a link or a file; left as it is",
            Failure::kDamaged};
  }
  if (!kRenamesDirectoriesInUse && hold != nullptr) hold->Release();
  std::string aside;
  Status moved;
  for (int n = 0; n < 100; ++n) {
    aside = dir + ".removing" + (n == 0 ? std::string() : std::to_string(n));
    moved = Sys().RenameNew(dir, aside);
    if (moved.kind() != Failure::kExists) break;
  }
  if (!moved) {
    return {false, "it is kept: " + moved.text(), moved.kind()};
  }
  const Status removed = Sys().RemoveTree(aside);
  if (removed) return {true, {}, Failure::kNone};
  // What is left goes back to its own name, where its owner looks for it.
  const bool back = Sys().RenameNew(aside, dir).ok();
  return {false,
          removed.text() + "; what is left is at " + (back ? dir : aside),
          removed.kind()};
}

// The removed entries, or nullopt with the cause set.
std::optional<std::vector<Removed>> RemoveEntries(const void* module,
                                                  const std::string& registry,
                                                  const char* name,
                                                  unsigned flags) {
  const bool delete_home = (flags & USERPROFILE_REMOVE_DELETE_HOME) != 0;
  RegistryUpdate update(registry);
  if (!update.held()) return std::nullopt;
  std::vector<Removed> entries = EntriesNamed(module, registry, name);
  if (entries.empty()) {
    NotRegistered(name);
    return std::nullopt;
  }
  if (Sys().NamesEqual(name, kDefaultUserName) &&
      (flags & USERPROFILE_REMOVE_DEFAULT) == 0) {
    const std::string home = entries.front().home;
    SetFailure(Failure::kRefused,
               "\"Default\" is the user every repair guarantees: once it is "
               "gone, the next repair (verify) registers a new \"Default\" "
               "with a new, empty home, while " +
                   (home.empty() ? std::string("its old home")
                                 : "its old home " + home) +
                   (delete_home ? " is deleted" : " stays as it is"));
    return std::nullopt;
  }
  // A home another entry names too (a hand edit) is a staying user's.
  std::set<int> numbers;
  for (const Removed& entry : entries) numbers.insert(entry.number);
  for (const int i : HeldEntryNumbers(registry, ReadCount(registry))) {
    if (numbers.count(i) != 0) continue;
    const std::optional<UserEntry> other = SplitEntry(ReadEntry(registry, i));
    if (!other) continue;
    for (Removed& entry : entries) {
      if (SameFileName(other->home_dir_name, entry.dir_name)) {
        entry.shared_with = other->name;
      }
    }
  }
  // A home that cannot be deleted safely refuses the whole removal before
  // anything changes: the caller may keep the home instead.
  if (delete_home) {
    for (const Removed& entry : entries) {
      if (entry.home.empty()) continue;
      const std::string dir = WithoutSeparator(entry.home);
      std::string why;
      if (!entry.shared_with.empty()) {
        why = dir + " is the home of " + Quoted(entry.shared_with) + " too";
      } else if (Sys().NameTaken(dir) && !Sys().IsPlainDirectory(dir)) {
        // A link is never followed, and deleting it alone would leave the
        // data it leads to while saying the home is gone.
        why = dir + " is not a directory of its own but a link or a file";
      }
      if (!why.empty()) {
        SetFailure(Failure::kRefused,
                   "the home of " + Quoted(entry.name) + " cannot be deleted: " +
                       why + "; nothing was removed");
        return std::nullopt;
      }
    }
  }
  // Every removed entry's home is held from now until it is deleted.
  std::vector<std::unique_ptr<UserHold>> holds;
  std::map<std::string, UserHold*> hold_of;
  for (const Removed& entry : entries) {
    if (entry.home.empty() || hold_of.count(entry.home) != 0) continue;
    holds.push_back(std::make_unique<UserHold>(entry.home));
    if (!holds.back()->held(entry.name)) return std::nullopt;
    hold_of[entry.home] = holds.back().get();
  }
  const std::string default_user = ReadDefaultUser(registry);
  const auto removed = [&numbers](int number, const std::string&) {
    return numbers.count(number) != 0;
  };
  if (const FailureCause cause = Compact(registry, removed); cause.failed()) {
    SetFailure(cause.kind, cause.text);
    return std::nullopt;
  }
  // A default user that is gone falls back to "Default" where it can.
  bool default_changed = false;
  const bool was_default = Sys().NamesEqual(default_user.c_str(), name);
  if (was_default && !Sys().NamesEqual(name, kDefaultUserName) &&
      FindUser(registry, kDefaultUserName) != 0) {
    if (!WriteRegistry(registry, kDefaultSection, kDefaultKey,
                       kDefaultUserName)) {
      return std::nullopt;
    }
    default_changed = true;
  }
  if (!update.Finish() || NotePending()) {
    NoteFailure(Failure::kIo, "could not remove " + Quoted(name));
    return std::nullopt;
  }
  const std::string default_after = ReadDefaultUser(registry);
  std::map<std::string, HomeDeletion> deleted;
  FailureCause first_failure;
  for (Removed& entry : entries) {
    entry.default_user = default_after;
    entry.was_default = was_default;
    entry.default_changed = default_changed;
    if (!delete_home || entry.home.empty()) continue;
    auto done = deleted.find(entry.home);
    if (done == deleted.end()) {
      done = deleted
                 .emplace(entry.home, DeleteHome(entry.home, hold_of[entry.home]))
                 .first;
      if (!first_failure.failed() && done->second.kind != Failure::kNone) {
        first_failure = {done->second.kind, done->second.failure};
      }
    }
    entry.home_deleted = done->second.deleted;
    entry.home_failure = done->second.failure;
  }
  // Released only once the homes are gone.
  holds.clear();
  if (first_failure.failed()) SetFailure(first_failure.kind, first_failure.text);
  return entries;
}

}  // namespace

bool RefuseInvalid(const char* name) {
  if (name != nullptr && IsValidUserName(name)) return false;
  SetFailure(Failure::kInvalidArgument,
             name == nullptr ? std::string("no name given")
                             : Quoted(name) + " is not a valid user name");
  return true;
}

bool NameIsFree(const std::string& registry, std::string_view name,
                int except) {
  const int existing = FindUser(registry, name);
  if (existing == 0 || existing == except) return true;
  SetFailure(Failure::kExists, Quoted(name) +
                                   " is registered already (entry " +
                                   std::to_string(existing) + ")");
  return false;
}

}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT int userprofile_add_user(ModuleHandle module,
                                                       const char* name) {
  const ExportCall call;
  if (RefuseInvalid(name)) return 0;
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  // One update: of processes adding one name, exactly one registers it.
  RegistryUpdate update(*registry);
  if (!update.held()) return 0;
  if (!NameIsFree(*registry, name)) return 0;
  std::string buffer(name);
  const FailureCause cause = CreateUser(module, buffer.data(), 1);
  const int number = FindUser(*registry, name);
  if (!update.Finish() || number == 0) {
    if (cause.kind != Failure::kNone) SetFailure(cause.kind, cause.text);
    NoteFailure(Failure::kIo, "could not register " + Quoted(name));
    return 0;
  }
  return number;
}

extern "C" USERPROFILE_EXPORT int userprofile_remove_users(
    ModuleHandle module, const char* name, unsigned flags,
    userprofile_removal_visitor visit, void* context) {
  const ExportCall call;
  if (RefuseInvalid(name)) return 0;
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  const std::optional<std::vector<Removed>> removed =
      RemoveEntries(module, *registry, name, flags);
  if (!removed) return 0;
  for (const Removed& entry : *removed) {
    if (visit == nullptr) break;
    const userprofile_removal out{entry.number,
                                  entry.name.c_str(),
                                  entry.home.c_str(),
                                  entry.shared_with.c_str(),
                                  entry.home_deleted ? 1 : 0,
                                  entry.home_failure.c_str(),
                                  entry.default_user.c_str(),
                                  entry.was_default ? 1 : 0,
                                  entry.default_changed ? 1 : 0};
    visit(context, &out);
  }
  return static_cast<int>(removed->size());
}

extern "C" USERPROFILE_EXPORT int userprofile_remove_user(
    ModuleHandle module, const char* name, userprofile_removed_user* removed) {
  const ExportCall call;
  if (RefuseInvalid(name)) return 0;
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  const std::optional<std::vector<Removed>> entries =
      RemoveEntries(module, *registry, name, USERPROFILE_REMOVE_DEFAULT);
  if (!entries) return 0;
  const Removed& first = entries->front();
  if (removed != nullptr) {
    removed->number = first.number;
    CopyOut(first.name.substr(0, sizeof removed->name - 1), removed->name);
    CopyOut(first.home.substr(0, sizeof removed->home - 1), removed->home);
    CopyOut(first.shared_with.substr(0, sizeof removed->shared_with - 1),
            removed->shared_with);
  }
  return first.number;
}

extern "C" USERPROFILE_EXPORT int userprofile_rename_user(
    ModuleHandle module, const char* old_name, const char* new_name) {
  const ExportCall call;
  if (RefuseInvalid(old_name) || RefuseInvalid(new_name)) return 0;
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  RegistryUpdate update(*registry);
  if (!update.held()) return 0;
  const int number = FindUser(*registry, old_name);
  if (number == 0) return NotRegistered(old_name);
  const UserEntry entry =
      SplitEntry(ReadEntry(*registry, number)).value_or(UserEntry{});
  const std::string home = DirForUser(module, old_name).value_or("");
  if (!NameIsFree(*registry, new_name, number)) return 0;
  const UserHold hold(home);
  if (!hold.held(old_name)) return 0;
  const std::string default_user = ReadDefaultUser(*registry);
  WriteRegistry(*registry, kUserSection, EntryKey(number),
                std::string(new_name) + "," + entry.home_dir_name);
  if (Sys().NamesEqual(default_user.c_str(), entry.name.c_str())) {
    WriteRegistry(*registry, kDefaultSection, kDefaultKey, new_name);
  }
  if (!update.Finish() || NotePending()) {
    NoteFailure(Failure::kIo, "could not rename " + Quoted(old_name));
    return 0;
  }
  return number;
}
