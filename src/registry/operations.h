// The bodies of exports that the administrator's operations share, for a
// caller that already holds the library's lock.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frame/failure.h"
#include "userprofile.h"

namespace userprofile {

// CreateUserProfile.
FailureCause CreateUser(const void* module, char* name, int reg);

// False, with the cause, for a missing or invalid user name.
bool RefuseInvalid(const char* name);

// True if no user of `name` (in any case) but entry `except` is
// registered; otherwise false with the cause EXISTS naming the entry.
// Asked under the update that registers the name, so the answer holds.
bool NameIsFree(const std::string& registry, std::string_view name,
                int except = 0);

// A repair's plan: what it drops, mends, moves and sets, from one read
// of the registry and a look at each kept user's home and lock file.
// Carried out under the update lock, or told as a dry run: the same steps
// in the same order either way.
struct RepairPlan {
  struct Drop {
    int number;
    const char* why;  // nullptr for a line above the count
    int copy_of;      // the earlier entry it copies, or 0
    std::string text;
  };
  struct Mend {
    int number;
    bool home;  // a new home (the recorded one is missing), or a lock file
  };
  std::string root;  // the users root, "" if it cannot be had
  bool create_registry = false;
  int stored = 0;  // the count as read
  std::vector<Drop> drops;        // entries within the count
  std::vector<Drop> stale_lines;  // lines above the count
  std::vector<Mend> mends;        // kept entries, by number
  std::vector<int> notes;         // kept users with an unheld note
  std::vector<std::pair<int, int>> moves;  // kept entries moving down
  int new_count = 0;
  int count = 0;             // the count the walk went to
  bool clear_above = false;  // lines above the new count to remove
  // Whether lines above the stored count are dropped too: only where a
  // copy of the registry keeps them (otherwise they stay, ignored).
  bool drop_stale = true;
  bool add_default = false;
  bool set_default = false;
  std::string default_was;
};

// The plan of a repair of `registry` as it stands. Changes nothing.
RepairPlan PlanRepair(const void* module, const std::string& registry,
                      bool registry_exists);

// Carries out `plan` (with `dry_run`, only tells it), telling each step
// to `tell` (may be empty). The first cause of a step that failed.
FailureCause CarryOut(
    const void* module, const std::string& registry, const RepairPlan& plan,
    bool dry_run,
    const std::function<void(const userprofile_repair_action&)>& tell);

// Who hears of a repair: each step, and a chance to keep a copy of the
// registry before lines are dropped (false: nothing changes, `refused`
// is set). `finished` receives whether the update reached the file.
struct RepairTold {
  std::function<void(const userprofile_repair_action&)> act;
  std::function<bool(const std::string& registry)> keep;
  bool* refused = nullptr;
  bool* finished = nullptr;
};

// VerifyUserProfiles: PlanRepair and CarryOut under one update.
FailureCause Repair(const void* module, const RepairTold* told = nullptr);

// Squeezes the entries `drops` picks (by number and text) out of the
// registry under the caller's update hold: the kept ones move down over
// the gaps (missing keys within the count too), renumbered without
// holes, and the count is set to match.
FailureCause Compact(
    const std::string& registry,
    const std::function<bool(int number, const std::string& entry)>& drops);

}  // namespace userprofile
