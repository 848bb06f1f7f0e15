#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/operations.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// The entries a repair has kept, to tell copies from them: their texts in
// one buffer, each ended by a NUL (which no entry holds), found through a
// standard hash set of where each starts. About 60 bytes an entry, where
// a set of strings takes over 100: at 100,000 users that is the
// difference between a repair within its memory budget and one over it.
class KeptEntries {
 public:
  KeptEntries() = default;
  KeptEntries(const KeptEntries&) = delete;
  KeptEntries& operator=(const KeptEntries&) = delete;

  bool Contains(std::string_view entry) const {
    return starts_.find(Text{entry}) != starts_.end();
  }
  void Insert(std::string_view entry) {
    if (Contains(entry)) return;
    const std::size_t start = text_.size();
    text_.append(entry).push_back('\0');
    starts_.insert(start);
  }

 private:
  struct Text {
    std::string_view text;
  };
  std::string_view At(std::size_t start) const {
    return std::string_view(text_).substr(start,
                                          text_.find('\0', start) - start);
  }
  struct Hash {
    using is_transparent = void;
    const KeptEntries* kept;
    std::size_t operator()(std::size_t start) const {
      return std::hash<std::string_view>{}(kept->At(start));
    }
    std::size_t operator()(Text t) const {
      return std::hash<std::string_view>{}(t.text);
    }
  };
  struct Equal {
    using is_transparent = void;
    const KeptEntries* kept;
    bool operator()(std::size_t a, std::size_t b) const { return a == b; }
    bool operator()(std::size_t a, Text b) const {
      return kept->At(a) == b.text;
    }
    bool operator()(Text a, std::size_t b) const {
      return a.text == kept->At(b);
    }
  };

  std::string text_;
  std::unordered_set<std::size_t, Hash, Equal> starts_{0, Hash{this},
                                                       Equal{this}};
};

// Gives the entry's user a home directory and a lock file if either is
// missing, and returns the entry as it now stands, with the cause of what
// could not be mended. What it found missing goes to `found` (for an entry
// whose home path can be built).
Result<std::string> RepairEntry(const void* module,
                                const std::string& registry, int i,
                                const std::string& entry, EntryHealth* found) {
  UserEntry user = *SplitEntry(entry);
  Result<std::string> root = UsersRootPath(module);
  if (!root) return Result<std::string>(entry, root.cause());
  const std::string home = *root + kSeparator + user.home_dir_name;
  const std::string lock = home + kSeparator + std::string(kLockFileName);
  const bool plain = IsPlainComponent(user.home_dir_name);
  // A lock file in it proves the home directory is there and can be
  // entered: one probe for the common, healthy case.
  if (plain && Sys().IsNormalFile(lock)) return entry;
  const bool home_exists = plain && DirectoryExists(home);
  if (found != nullptr) *found = EntryHealth{home_exists, false};
  // A recorded name that is not one plain directory is treated as missing:
  // the user gets a fresh home under the users root.
  if (!home_exists) {
    std::string created;
    Result<std::string> dir_name =
        CreateHomeDirInRoot(module, &user.name, &created);
    // Without a new directory the entry stays as it was: rewriting it
    // with an empty name would make the next repair drop the user.
    if (!dir_name) return Result<std::string>(entry, dir_name.cause());
    const std::string line = user.name + "," + *dir_name;
    if (!WriteRegistry(registry, kUserSection, EntryKey(i), line)) {
      RemoveOwnHome(created);
      return Result<std::string>(entry, TakeNote());
    }
    FailureCause locked = EnsureLockFile(module, user.name.c_str());
    return Result<std::string>(line, dir_name.cause().failed()
                                         ? dir_name.cause()
                                         : std::move(locked));
  }
  return Result<std::string>(entry, EnsureLockFile(module, user.name.c_str()));
}

// What a repair squeezes out: empty and invalid entries, and copies of an
// entry already kept. The renumbering is one write per moved entry and the
// count comes last, so a process killed in between leaves copies of moved
// entries below the old count. An entry identical to one already kept is
// such a copy (a user created twice gets a second home, so never the same
// line) and is squeezed out like an invalid one: the next repair heals
// what a killed one left. Every kept user's home and lock file are
// repaired on the way.
class RepairCompaction : public Compaction {
 public:
  RepairCompaction(const void* module, const std::string& registry,
                   std::map<int, EntryHealth>* unhealthy)
      : module_(module), registry_(registry), unhealthy_(unhealthy) {}
  bool Drops(int, const std::string& entry) override {
    return entry.empty() || !IsValidEntry(entry) ||
           entry.find(',') == std::string::npos || kept_->Contains(entry);
  }
  std::string Keep(int number, const std::string& entry) override {
    EntryHealth found;
    const Result<std::string> repaired =
        RepairEntry(module_, registry_, number, entry, &found);
    if (!cause_.failed()) cause_ = repaired.cause();
    const std::string line = repaired.value_or(entry);
    if (unhealthy_ != nullptr && !(found.home_exists && found.lock_exists)) {
      (*unhealthy_)[number] = found;
    }
    kept_->Insert(entry);
    kept_->Insert(line);
    return line;
  }
  // Gone before the moves, for the repair's peak memory.
  void Walked() override { kept_.reset(); }
  // The first cause of what the walk could not mend.
  const FailureCause& cause() const { return cause_; }

 private:
  const void* module_;
  const std::string& registry_;
  std::map<int, EntryHealth>* unhealthy_;
  std::unique_ptr<KeptEntries> kept_ = std::make_unique<KeptEntries>();
  FailureCause cause_;
};

}  // namespace

// Keys are never deleted: those above the new count stay, ignored.
//
// The moves are written after the walk: a lookup by name (the lock file
// of each user goes to the home that a lookup of the name finds) then
// meets one version of the registry, read once, rather than a new one
// after every move. Its answer is the same in the old numbering, since
// moving keeps the entries' order and only dropped entries are squeezed
// out. Each entry keeps its place until its own move (moves only go
// down, to numbers already walked), so the moves read it there.
FailureCause Compact(const std::string& registry, Compaction& rule) {
  FailureCause first;
  const auto met = [&first](const FailureCause& cause) {
    if (!first.failed()) first = cause;
  };
  const int stored = ReadCount(registry);
  // A count of 2^31 or more (read as negative) reaches no entry: the
  // entries the registry holds decide, and the count is set to match them.
  const int count = stored < 0 ? std::numeric_limits<int>::max() : stored;
  // Only the entries the registry holds are walked: every number between
  // them is an empty entry, so a count tampered to billions costs nothing,
  // and the first missing number is the gap it makes.
  const std::vector<int> numbers = HeldEntryNumbers(registry, count);
  int gap = 0;
  long long next = 1;  // the number after the last one walked
  // Every kept entry from the first gap on moves down, to consecutive
  // numbers from `moves_to` on.
  int moves_to = 0;
  std::vector<int> moving;
  for (const int i : numbers) {
    if (gap == 0 && i > next) gap = static_cast<int>(next);
    next = static_cast<long long>(i) + 1;
    const std::string entry = ReadEntry(registry, i);
    if (rule.Drops(i, entry)) {
      if (gap == 0) gap = i;
      continue;
    }
    rule.Keep(i, entry);
    if (gap != 0) {
      if (moving.empty()) moves_to = gap;
      moving.push_back(i);
      ++gap;
    }
  }
  rule.Walked();
  for (std::size_t k = 0; k < moving.size(); ++k) {
    if (!WriteRegistry(registry, kUserSection,
                       EntryKey(moves_to + static_cast<int>(k)),
                       ReadEntry(registry, moving[k]))) {
      met(TakeNote());
    }
  }
  const int last = numbers.empty() ? 0 : numbers.back();
  const int matching = gap != 0 ? gap - 1 : last;
  if (matching != stored &&
      !WriteRegistry(registry, kCountSection, kCountKey, EntryKey(matching))) {
    met(TakeNote());
  }
  return first;
}

}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL VerifyUserProfiles(
    ModuleHandle module) {
  ExportCall call;
  call.Fail(Repair(module));
}

FailureCause userprofile::Repair(const void* module,
                                 std::map<int, EntryHealth>* unhealthy) {
  FailureCause first;
  const auto met = [&first](const FailureCause& cause) {
    if (!first.failed()) first = cause;
  };
  // One module path and one read of the registry for the whole call.
  RegistryScope scope;
  Result<std::string> registry = RegistryPath(module);
  if (!registry) return registry.cause();
  // Created only if absent, never truncated: another process may be
  // writing it at this moment.
  const Status created = Sys().CreateFileIfAbsent(*registry);
  if (created.kind() != Failure::kExists && !Record(created)) {
    met(Fault(kCheckRegistryNotCreated, Failure::kIo,
              "the registry cannot be created"));
  }
  // The whole repair is one update: no other process's creation or
  // repair may interleave with the renumbering.
  RegistryUpdate update(*registry);
  if (!update.held()) return NotedOr(Failure::kBusy, "the registry is busy");
  RepairCompaction repair(module, *registry, unhealthy);
  met(Compact(*registry, repair));
  met(repair.cause());

  if (FindUser(*registry, kDefaultUserName) == 0) {
    ShowMessage("Creating Default User", "DEBUG", 0);
    std::string name = kDefaultUserName;
    met(CreateProfile(module, name, 1));
    met(StoreDefault(module, kDefaultUserName));
  }
  Result<std::string> current = ReadDefault(module);
  met(current.cause());
  if (current && !current->empty() &&
      FindUser(*registry, current->c_str()) != 0) {
    return first;
  }
  met(StoreDefault(module, kDefaultUserName));
  return first;
}
