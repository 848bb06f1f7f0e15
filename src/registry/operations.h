// The bodies of the exports that the administrator's operations share,
// for a caller that already holds the library's lock.
#pragma once

#include <map>
#include <string>

#include "frame/failure.h"

namespace userprofile {

// CreateUserProfile.
FailureCause CreateUser(const void* module, char* name, int reg);

// What a repair found of one user's home directory and lock file before
// it mended them.
struct EntryHealth {
  bool home_exists = true;
  bool lock_exists = true;
};

// VerifyUserProfiles. `unhealthy`, if given, receives what the repair
// found of every kept entry whose home or lock file it found missing, by
// the entry's number before the repair; every other kept entry had both.
FailureCause Repair(const void* module,
                    std::map<int, EntryHealth>* unhealthy = nullptr);

// How a compaction treats the entries it walks, in the order of their
// numbers: the dropped ones are squeezed out, and the kept ones move down
// over the gaps, renumbered without holes.
class Compaction {
 public:
  virtual ~Compaction() = default;
  // Whether entry `number` (its text `entry`) is squeezed out.
  virtual bool Drops(int number, const std::string& entry) = 0;
  // Called for each kept entry before any moves: it may rewrite the entry
  // in place and returns it as it now stands.
  virtual std::string Keep(int number, const std::string& entry) {
    static_cast<void>(number);
    return entry;
  }
  // Called once the walk is over, before the moves are written.
  virtual void Walked() {}
};

// Squeezes the entries `rule` drops out of the registry, renumbering the
// kept ones and setting the count to match, under the caller's update
// hold. Missing keys within the count are gaps and are squeezed too.
FailureCause Compact(const std::string& registry, Compaction& rule);

}  // namespace userprofile
