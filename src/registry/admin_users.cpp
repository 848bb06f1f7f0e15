// Adding, removing and renaming users for an administrator: each one
// update of the registry, with the user's own lock held while the user's
// entry changes, so that nobody signs in meanwhile.
#include <string>

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/operations.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// Holds a user's lock while the user's entry changes. The lock file is
// created if it is missing; a home that is not there needs no hold, as
// nobody can sign in to it.
class UserHold {
 public:
  explicit UserHold(const std::string& home)
      : lock_(home + std::string(kLockFileName)) {
    if (home.empty() || !Sys().IsEnterableDirectory(home)) return;
    if (!Sys().IsNormalFile(lock_)) Sys().CreateFileIfAbsent(lock_);
    handle_ = Sys().OpenExclusive(lock_);
  }
  ~UserHold() {
    if (handle_ != kNoLock && handle_ != kFailedLock) {
      Sys().CloseExclusive(handle_);
    }
  }
  UserHold(const UserHold&) = delete;
  UserHold& operator=(const UserHold&) = delete;

  // Whether the user is held (or there is nothing to hold); otherwise the
  // cause is recorded.
  bool held(const std::string& name) const {
    if (handle_ != kFailedLock) return true;
    if (Sys().IsHeldExclusively(lock_) == true) {
      SetFailure(Failure::kSignedInElsewhere,
                 "user " + Quoted(name) + " is signed in: the lock file " +
                     lock_ + " is held");
    } else {
      NoteFailure(Failure::kIo, "cannot lock " + lock_);
    }
    return false;
  }

 private:
  std::string lock_;
  LockHandle handle_ = kNoLock;
};

bool RefuseInvalid(const char* name) {
  if (name != nullptr && IsValidUserName(name)) return false;
  SetFailure(Failure::kInvalidArgument,
             name == nullptr ? std::string("no name given")
                             : Quoted(name) + " is not a valid user name");
  return true;
}

int NotRegistered(const char* name) {
  SetFailure(Failure::kNotFound,
             "no user named " + Quoted(name) + " is registered");
  return 0;
}

// Drops exactly one entry.
class Removal : public Compaction {
 public:
  explicit Removal(int number) : number_(number) {}
  bool Drops(int number, const std::string&) override {
    return number == number_;
  }

 private:
  int number_;
};

// The registered user's entry and home, under the caller's update hold.
struct Found {
  int number = 0;
  UserEntry entry;
  std::string home;
};

std::optional<Found> FindRegistered(const void* module,
                                    const std::string& registry,
                                    const char* name) {
  Found found;
  found.number = FindUser(registry, name);
  if (found.number == 0) return std::nullopt;
  found.entry =
      SplitEntry(ReadEntry(registry, found.number)).value_or(UserEntry{});
  found.home = DirForUser(module, name).value_or("");
  return found;
}

}  // namespace
}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT int userprofile_add_user(ModuleHandle module,
                                                       const char* name) {
  const ExportCall call;
  if (RefuseInvalid(name)) return 0;
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  // The check and the creation are one update: of several processes
  // adding one name, exactly one registers it.
  RegistryUpdate update(*registry);
  if (!update.held()) return 0;
  if (const int existing = FindUser(*registry, name); existing != 0) {
    SetFailure(Failure::kExists, Quoted(name) +
                                     " is registered already (entry " +
                                     std::to_string(existing) + ")");
    return 0;
  }
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

extern "C" USERPROFILE_EXPORT int userprofile_remove_user(
    ModuleHandle module, const char* name, userprofile_removed_user* removed) {
  const ExportCall call;
  if (RefuseInvalid(name)) return 0;
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  RegistryUpdate update(*registry);
  if (!update.held()) return 0;
  const std::optional<Found> found = FindRegistered(module, *registry, name);
  if (!found) return NotRegistered(name);
  const UserHold hold(found->home);
  if (!hold.held(name)) return 0;
  // A home that another entry names too (a hand edit) is never deleted:
  // the caller is told whose it is.
  std::string shared_with;
  const int count = ReadCount(*registry);
  for (const int i : HeldEntryNumbers(*registry, count)) {
    const std::optional<UserEntry> other = SplitEntry(ReadEntry(*registry, i));
    if (i != found->number && other &&
        other->home_dir_name == found->entry.home_dir_name) {
      shared_with = other->name;
    }
  }
  const std::string default_user = ReadDefaultUser(*registry);
  Removal removal(found->number);
  Compact(*registry, removal);
  // A default user that is gone falls back to "Default" where it can.
  if (Sys().NamesEqual(default_user.c_str(), found->entry.name.c_str()) &&
      !Sys().NamesEqual(found->entry.name.c_str(), kDefaultUserName) &&
      FindUser(*registry, kDefaultUserName) != 0) {
    WriteRegistry(*registry, kDefaultSection, kDefaultKey, kDefaultUserName);
  }
  if (!update.Finish() || NotePending()) {
    NoteFailure(Failure::kIo, "could not remove " + Quoted(name));
    return 0;
  }
  if (removed != nullptr) {
    removed->number = found->number;
    CopyOut(found->entry.name.substr(0, sizeof removed->name - 1),
            removed->name);
    CopyOut(found->home.substr(0, sizeof removed->home - 1), removed->home);
    CopyOut(shared_with.substr(0, sizeof removed->shared_with - 1),
            removed->shared_with);
  }
  return found->number;
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
  const std::optional<Found> found =
      FindRegistered(module, *registry, old_name);
  if (!found) return NotRegistered(old_name);
  if (const int other = FindUser(*registry, new_name);
      other != 0 && other != found->number) {
    SetFailure(Failure::kExists, Quoted(new_name) +
                                     " is registered already (entry " +
                                     std::to_string(other) + ")");
    return 0;
  }
  const UserHold hold(found->home);
  if (!hold.held(old_name)) return 0;
  const std::string default_user = ReadDefaultUser(*registry);
  WriteRegistry(*registry, kUserSection, EntryKey(found->number),
                std::string(new_name) + "," + found->entry.home_dir_name);
  if (Sys().NamesEqual(default_user.c_str(), found->entry.name.c_str())) {
    WriteRegistry(*registry, kDefaultSection, kDefaultKey, new_name);
  }
  if (!update.Finish() || NotePending()) {
    NoteFailure(Failure::kIo, "could not rename " + Quoted(old_name));
    return 0;
  }
  return found->number;
}
