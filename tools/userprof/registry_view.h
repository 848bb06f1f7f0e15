// The registry as an administrator sees it: every numbered entry, read
// through the library's platform, with each user's home directory, lock
// file and sign-in as they stand on disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace userprof {

inline constexpr const char* kLockFile = "IKIVO.SMP";

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

// Reads the registry of the session's module. Asks about sign-ins only
// with `ask_sign_ins`, and never in a way that disturbs one.
//
// `healthy_before`, a view of the same registry read earlier in this
// process, spares the probes of the users it found healthy: an entry of
// the same number, text and home whose home and lock file that view found
// in place is taken to have them still (with `ask_sign_ins` every user is
// probed, sign-ins being asked anew). For the view after a repair, which
// removes no file: only the users the repair mended and the entries it
// changed are probed again.
RegistryView ReadRegistry(const Session& session, bool ask_sign_ins,
                          const RegistryView* healthy_before = nullptr);

// Which content of the registry file the library's reads answer from:
// equal for two calls only if every read between them (and the lookups
// made of them) answered from the same bytes. nullopt where the platform
// keeps no snapshots, or without a registry path.
struct RegistryContent {
  std::uint64_t id = 0;
  std::uint64_t version = 0;
  bool operator==(const RegistryContent&) const = default;
};
std::optional<RegistryContent> ContentOf(const std::string& registry);

// `view`, read (without sign-ins) from a registry whose content has not
// changed since, as it stands now: the lookups would answer the same, so
// only the disk is looked at again, where the view did not find a user's
// home and lock file, and whether the registry file exists.
RegistryView Reprobed(RegistryView view);

// The registered users, first entries only: the ones lookups find.
std::vector<const EntryView*> ReachableUsers(const RegistryView& view);

}  // namespace userprof
