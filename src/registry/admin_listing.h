// The registry as an administrator sees it: every numbered entry with the
// user's home, lock file and sign-in as they stand on disk, told one entry
// at a time, so that a listing of a million users holds one at a time.
#pragma once

#include <functional>
#include <optional>
#include <string>

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

struct ListedRegistry {
  std::string path;
  bool exists = false;
  int count = 0;
  std::string default_user;
};

// Lists `registry` of `module` from one read: `visit` is given each entry
// from 1 to the count (only the held keys for a count far above them),
// then the end (user nullptr). Asks about sign-ins only with
// `ask_sign_ins`, never in a way that disturbs one.
void ListUsers(
    const void* module, const std::string& registry, bool ask_sign_ins,
    const std::function<void(const ListedRegistry&, const ListedUser*)>& visit);

}  // namespace userprofile
