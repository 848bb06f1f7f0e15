#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// The entries a repair has kept, to tell copies from them: their text in
// one buffer, each ended by a NUL (which no entry holds), found through an
// open-addressing table of where each starts with 24 bits of its hash.
// About 30 bytes an entry, where a set of strings takes over 100.
class KeptEntries {
 public:
  bool Contains(std::string_view entry) const {
    const std::uint64_t hash = Hash(entry);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i] != 0; i = (i + 1) & mask) {
      if ((slots_[i] & kFragment) == (hash & kFragment) &&
          At(slots_[i]) == entry) {
        return true;
      }
    }
    return false;
  }

  void Insert(std::string_view entry) {
    if (Contains(entry)) return;
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    const std::uint64_t slot =
        (static_cast<std::uint64_t>(text_.size() + 1) << kFragmentBits) |
        (Hash(entry) & kFragment);
    text_.append(entry).push_back('\0');
    Place(slot, Hash(entry));
    ++used_;
  }

 private:
  static constexpr unsigned kFragmentBits = 24;
  static constexpr std::uint64_t kFragment = (1u << kFragmentBits) - 1;

  static std::uint64_t Hash(std::string_view text) {
    std::uint64_t h = 14695981039346656037ull;
    for (char c : text) {
      h ^= static_cast<unsigned char>(c);
      h *= 1099511628211ull;
    }
    return h;
  }

  std::string_view At(std::uint64_t slot) const {
    const std::size_t begin = (slot >> kFragmentBits) - 1;
    return std::string_view(text_).substr(begin,
                                          text_.find('\0', begin) - begin);
  }

  void Place(std::uint64_t slot, std::uint64_t hash) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  void Grow() {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(old.size() * 2, 0);
    // Up to 2^24 slots the stored hash bits place every entry.
    const bool fragment_places = slots_.size() - 1 <= kFragment;
    for (std::uint64_t slot : old) {
      if (slot != 0) Place(slot, fragment_places ? slot : Hash(At(slot)));
    }
  }

  std::string text_;
  std::vector<std::uint64_t> slots_ = std::vector<std::uint64_t>(16);
  std::size_t used_ = 0;
};

// Gives the entry's user a home directory and a lock file if either is
// missing, and returns the entry as it now stands.
std::string RepairEntry(const void* module, const std::string& registry,
                        int i, const std::string& entry) {
  UserEntry user = *SplitEntry(entry);
  std::optional<std::string> root = UsersRootPath(module);
  if (!root) return entry;
  const std::string home = *root + kSeparator + user.home_dir_name;
  const std::string lock = home + kSeparator + std::string(kLockFileName);
  const bool plain = IsPlainComponent(user.home_dir_name);
  // A lock file in it proves the home directory is there and can be
  // entered: one probe for the common, healthy case.
  if (plain && Sys().IsNormalFile(lock)) return entry;
  // A recorded name that is not one plain directory is treated as missing:
  // the user gets a fresh home under the users root.
  if (!plain || !DirectoryExists(home)) {
    std::string created;
    const std::string dir_name =
        CreateHomeDirInRoot(module, &user.name, &created);
    // Without a new directory the entry stays as it was: rewriting it
    // with an empty name would make the next repair drop the user.
    if (dir_name.empty()) return entry;
    const std::string line = user.name + "," + dir_name;
    if (!WriteRegistry(registry, kUserSection, EntryKey(i), line)) {
      RemoveOwnHome(created);
      return entry;
    }
    EnsureLockFile(module, user.name.c_str());
    return line;
  }
  EnsureLockFile(module, user.name.c_str());
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
  // Entries above the last key the registry holds are all empty: the walk
  // stops there, so a count tampered to billions costs nothing, and the
  // first of those empty entries is the gap they would have made.
  const int last = std::min(count, LastEntryNumber(registry).value_or(count));
  int gap = 0;
  KeptEntries kept;
  for (int i = 1; i <= last; ++i) {
    const std::string entry = ReadEntry(registry, i);
    if (entry.empty() || !IsValidEntry(entry) ||
        entry.find(',') == std::string::npos || kept.Contains(entry)) {
      if (gap == 0) gap = i;
      continue;
    }
    const std::string line = RepairEntry(module, registry, i, entry);
    kept.Insert(entry);
    kept.Insert(line);
    if (gap != 0) {
      WriteRegistry(registry, kUserSection, EntryKey(gap), line);
      ++gap;
    }
  }
  if (gap == 0 && last < count) gap = last + 1;
  if (gap != 0) {
    WriteRegistry(registry, kCountSection, kCountKey, EntryKey(gap - 1));
  }
}

}  // namespace
}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL VerifyUserProfiles(
    ModuleHandle module) {
  const userprofile::ExportCall call;
  // One module path for the whole call, not one lookup per entry.
  ModulePathScope module_path;
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
