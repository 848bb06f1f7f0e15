// The registry as an administrator sees it: every numbered entry, as the
// library lists it, with each user's home directory, lock file and
// sign-in as they stand on disk.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace userprof {

inline constexpr const char* kLockFile = USERPROFILE_LOCK_FILE;

struct EntryView {
  int number = 0;
  std::string raw;      // the stored entry text
  bool usable = false;  // a valid entry with a comma: a registered user
  std::string problem;  // why it is not usable
  std::string name;
  std::string dir_name;
  // An earlier entry of the same name, which every lookup finds instead.
  int shadowed_by = 0;
  std::string home;  // ends in a separator; empty if it cannot be had
  bool home_exists = false;
  bool lock_exists = false;
  std::optional<bool> signed_in;  // nullopt: cannot tell, or not asked
};

struct RegistryView {
  std::string path;
  bool exists = false;
  int count = 0;
  std::string default_user;
  // The keys 1 to count; for a count far above the keys the registry
  // holds, only those it holds.
  std::vector<EntryView> entries;
};

// What the library tells of one entry.
EntryView ToEntryView(const userprofile_user_state& user);

// Adds what the library tells of one entry (or, for `user` NULL, of the
// registry alone) to `view`.
void AddToView(RegistryView& view, const userprofile_registry_state& registry,
               const userprofile_user_state* user);

// Reads the registry of the session's module. Asks about sign-ins only
// with `ask_sign_ins`, and never in a way that disturbs one.
RegistryView ReadRegistry(const Session& session, bool ask_sign_ins);

// The registered users, first entries only: the ones lookups find.
std::vector<const EntryView*> ReachableUsers(const RegistryView& view);

// The entry that lookups find for `name`, or nullptr.
const EntryView* Reachable(const RegistryView& view, const Session& session,
                           const std::string& name);

}  // namespace userprof
