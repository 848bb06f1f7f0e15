#include <set>

#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// Gives the entry's user a home directory and a lock file if either is
// missing, and returns the entry as it now stands.
std::string RepairEntry(const void* module, const std::string& registry,
                        int i, const std::string& entry) {
  UserEntry user = *SplitEntry(entry);
  std::optional<std::string> root = UsersRootPath(module);
  if (!root) return entry;
  const std::string home = *root + kSeparator + user.home_dir_name;
  // A recorded name that is not one plain directory is treated as missing:
  // the user gets a fresh home under the users root.
  if (!IsPlainComponent(user.home_dir_name) || !DirectoryExists(home)) {
    const std::string dir_name = CreateHomeDirInRoot(module, &user.name);
    // Without a new directory the entry stays as it was: rewriting it
    // with an empty name would make the next repair drop the user.
    if (dir_name.empty()) return entry;
    const std::string line = user.name + "," + dir_name;
    WriteRegistry(registry, kUserSection, EntryKey(i), line);
    EnsureLockFile(module, user.name.c_str());
    return line;
  }
  if (!Sys().IsNormalFile(home + kSeparator + std::string(kLockFileName))) {
    EnsureLockFile(module, user.name.c_str());
  }
  return entry;
}

// Squeezes out empty and invalid entries, renumbering the kept ones from
// the first gap on, and repairs every kept user's directory. Keys are
// never deleted: those above the new count stay, ignored.
//
// The renumbering is one write per moved entry and the count comes last,
// so a process killed in between leaves copies of moved entries below the
// old count. An entry identical to one already kept is such a copy (a
// user created twice gets a second home, so never the same line) and is
// squeezed out like an invalid one: the next repair heals what a killed
// one left.
void CompactAndRepair(const void* module, const std::string& registry) {
  const int count = ReadCount(registry);
  int gap = 0;
  std::set<std::string> kept;
  for (int i = 1; i <= count; ++i) {
    const std::string entry = ReadEntry(registry, i);
    if (entry.empty() || !IsValidEntry(entry) ||
        entry.find(',') == std::string::npos || kept.count(entry) != 0) {
      if (gap == 0) gap = i;
      continue;
    }
    const std::string line = RepairEntry(module, registry, i, entry);
    kept.insert(entry);
    kept.insert(line);
    if (gap != 0) {
      WriteRegistry(registry, kUserSection, EntryKey(gap), line);
      ++gap;
    }
  }
  if (gap != 0) {
    WriteRegistry(registry, kCountSection, kCountKey, EntryKey(gap - 1));
  }
}

}  // namespace
}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL VerifyUserProfiles(
    ModuleHandle module) {
  std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return;
  // Created only if absent, never truncated: another process may be
  // writing it at this moment.
  if (Sys().CreateFileIfAbsent(*registry) == CreateOutcome::kFailed) {
    ReportCheckFailure(kCheckRegistryNotCreated);
  }
  // The whole repair is one update: no other process's creation or
  // repair may interleave with the renumbering.
  RegistryUpdate update(*registry);
  if (!update.held()) return;
  CompactAndRepair(module, *registry);

  if (DoesUserExist(module, kDefaultUserName) == 0) {
    ShowMessage("Creating Default User", "DEBUG", 0);
    char name[] = "Default";
    CreateUserProfile(module, name, 1);
    SetDefaultUser(module, kDefaultUserName);
  }
  char current[kDefaultSize + 1] = {};
  GetDefaultUser(module, current);
  if (current[0] != '\0' && DoesUserExist(module, current) != 0) return;
  SetDefaultUser(module, kDefaultUserName);
}
