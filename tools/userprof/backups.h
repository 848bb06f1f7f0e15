// The copies of the registry that a repair keeps before it drops entries,
// so that a dropped user can be restored by hand: one new file per repair
// beside the registry, never one written over another, the last few kept.
#pragma once

#include <string>
#include <variant>

namespace userprof {

// How many copies are kept: the oldest beyond these are removed.
inline constexpr std::size_t kBackupsKept = 5;

// The names of the copies of `registry` as a shell pattern, for people:
// "/app/PROG/USER.INI.*.bak".
std::string BackupPattern(const std::string& registry);

// Copies `registry` to a new file "USER.INI.<UTC time>.bak" beside it
// (names that sort by age), then removes the oldest copies beyond
// kBackupsKept. The new copy's path, or why it could not be made. Call
// it under the registry's update lock, so that the copy is of the version
// the repair is about to change.
std::variant<std::string, std::string> KeepBackup(const std::string& registry);

}  // namespace userprof
