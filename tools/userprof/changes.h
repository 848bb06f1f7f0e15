// What a repair changed, told from the registry as it stood before and
// after it.
#pragma once

#include <string>
#include <vector>

#include "registry_view.h"

namespace userprof {

struct Change {
  std::string kind;  // a stable word for scripts, e.g. "entry_dropped"
  std::string text;  // one line for people
};

// The differences that matter to an administrator: the registry created,
// entries dropped or renumbered, homes and lock files re-created, users
// added, the count and the default user changed. Kept entries keep their
// order in a repair, so the n-th user before is the n-th user after.
std::vector<Change> DescribeRepair(const RegistryView& before,
                                   const RegistryView& after);

}  // namespace userprof
