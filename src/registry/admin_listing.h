// The registry as an administrator sees it: every numbered entry, with
// each user's home directory, lock file and sign-in as they stand on disk.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "userprofile.h"

namespace userprofile {

struct ListedUser {
  int number = 0;
  std::string entry;    // the stored entry text
  bool usable = false;  // a valid entry with a comma: a registered user
  std::string name;
  std::string dir_name;
  // An earlier entry of the same name, which every lookup finds instead.
  int duplicate_of = 0;
  std::string home;  // ends in a separator; empty if it cannot be had
  bool home_exists = false;
  bool lock_exists = false;
  std::optional<bool> signed_in;  // nullopt: cannot tell, or not asked
};

struct Listing {
  std::string path;
  bool exists = false;
  int count = 0;
  std::string default_user;
  // The keys 1 to count; for a count far above the keys the registry
  // holds, only those it holds.
  std::vector<ListedUser> users;
};

// Lists the registry `registry` of `module`, as one read of it. Asks about
// sign-ins only with `ask_sign_ins`, and never in a way that disturbs one.
//
// `healthy_before`, a listing of the same registry made earlier in this
// process, spares the probes of the users it found healthy: an entry of
// the same number, text and home whose home and lock file that listing
// found in place is taken to have them still. For the listing after a
// repair, which removes no file.
//
// `probe` false looks at no home at all (home_exists and lock_exists stay
// false), for a caller that learns them otherwise.
Listing ListUsers(const void* module, const std::string& registry,
                  bool ask_sign_ins, const Listing* healthy_before = nullptr,
                  bool probe = true);

// `listing`, made (without sign-ins) of a registry whose content has not
// changed since, as it stands now: only the disk is looked at again, where
// the listing did not find a user's home and lock file.
Listing Reprobed(Listing listing);

// Gives `listing` to a C visitor: each entry, then the end (user NULL).
void Visit(const Listing& listing,
           const std::function<void(const userprofile_registry_state*,
                                    const userprofile_user_state*)>& visit);

}  // namespace userprofile
