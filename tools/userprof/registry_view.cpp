#include "registry_view.h"

#include <algorithm>
#include <memory>

#include "platform/platform.h"
#include "registry/profile_store.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprof {
namespace {

using userprofile::Sys;

// Empty entries listed at most beside those the registry holds.
constexpr long long kMaxEmptyListed = 1000;

// Why an entry within the count names no user (verify drops it).
std::string EntryProblem(const std::string& raw) {
  if (raw.empty()) return "empty";
  const std::size_t comma = raw.find(',');
  if (comma == std::string::npos) return "no comma";
  if (comma == 0 || ValidUserName(raw.substr(0, comma).c_str()) == 0) {
    return "invalid user name";
  }
  return "directory name is not 8 characters";
}

// The home of a user whose entry lookups never reach: beside the home of
// the entry they do reach, since every home sits in the users root.
std::string SiblingHome(const std::string& home, const std::string& dir_name) {
  if (home.size() < 2 || !userprofile::IsPlainComponent(dir_name)) return {};
  const std::size_t cut = home.rfind(userprofile::kSeparator, home.size() - 2);
  if (cut == std::string::npos) return {};
  return home.substr(0, cut + 1) + dir_name + userprofile::kSeparator;
}

// Entry `number` of a view (whose entries are in the order of their
// numbers), or nullptr.
const EntryView* Find(const RegistryView& view, int number) {
  auto it =
      std::lower_bound(view.entries.begin(), view.entries.end(), number,
                       [](const EntryView& e, int n) { return e.number < n; });
  return it != view.entries.end() && it->number == number ? &*it : nullptr;
}

// The home of entry `number`, listed before the one being read.
std::string HomeOf(const RegistryView& view, int number) {
  const EntryView* entry = Find(view, number);
  return entry ? entry->home : "";
}

// Whether `earlier` found this same entry, with this same home, with its
// home and lock file in place.
bool FoundHealthy(const RegistryView* earlier, const EntryView& entry) {
  const EntryView* was = earlier ? Find(*earlier, entry.number) : nullptr;
  return was && was->lock_exists && was->home_exists && was->raw == entry.raw &&
         was->home == entry.home;
}

// Looks at the home directory and lock file of a user with a home.
void ProbeHome(EntryView& entry, bool ask_sign_ins) {
  const std::string lock = entry.home + kLockFile;
  if (ask_sign_ins) {
    // Both answers from one look at the file.
    const userprofile::LockFileState state = Sys().ProbeLockFile(lock);
    entry.lock_exists = state.normal_file;
    entry.signed_in = state.held;
  } else {
    entry.lock_exists = Sys().IsNormalFile(lock);
  }
  // A lock file found inside the home proves the home can be entered: one
  // probe fewer for every healthy user.
  entry.home_exists =
      entry.lock_exists || Sys().IsEnterableDirectory(entry.home);
}

void ReadUser(const Session& session, const RegistryView& view,
              EntryView& entry, bool ask_sign_ins,
              const RegistryView* healthy_before) {
  const std::size_t comma = entry.raw.find(',');
  entry.name = entry.raw.substr(0, comma);
  entry.dir_name = entry.raw.substr(comma + 1);
  const int first = session.FindUser(entry.name);
  if (first == entry.number) {
    entry.home = session.DirForUser(entry.name);
  } else if (first > 0 && first < entry.number) {
    entry.shadowed_by = first;
    entry.home = SiblingHome(HomeOf(view, first), entry.dir_name);
  }
  if (entry.home.empty()) return;
  if (!ask_sign_ins && FoundHealthy(healthy_before, entry)) {
    entry.home_exists = true;
    entry.lock_exists = true;
    return;
  }
  ProbeHome(entry, ask_sign_ins);
}

// Every number from 1 to the count while the numbers the registry holds no
// key for are few; otherwise (a tampered count) only those it holds, so
// that the view costs what the registry holds.
std::vector<int> ListedNumbers(const std::string& path, int count) {
  std::vector<int> held = userprofile::HeldEntryNumbers(path, count);
  if (static_cast<long long>(count) >
      static_cast<long long>(held.size()) + kMaxEmptyListed) {
    return held;
  }
  std::vector<int> all;
  for (int i = 1; i <= count; ++i) all.push_back(i);
  return all;
}

}  // namespace

RegistryView ReadRegistry(const Session& session, bool ask_sign_ins,
                          const RegistryView* healthy_before) {
  RegistryView view;
  // The whole view is one read of the registry, through the library's own
  // reads, as one call of the library is.
  userprofile::RegistryScope scope;
  std::optional<std::string> path = session.RegistryPath();
  if (!path) return view;
  view.path = *path;
  view.exists = Sys().IsNormalFile(view.path);
  view.count = userprofile::ReadCount(view.path);
  view.default_user = session.DefaultUser();
  const std::vector<int> numbers = ListedNumbers(view.path, view.count);
  view.entries.reserve(numbers.size());
  for (const int i : numbers) {
    EntryView entry;
    entry.number = i;
    entry.raw = userprofile::ReadEntry(view.path, i);
    entry.usable = !entry.raw.empty() &&
                   entry.raw.find(',') != std::string::npos &&
                   IsEntryValid(entry.raw.c_str()) != 0;
    if (entry.usable) {
      ReadUser(session, view, entry, ask_sign_ins, healthy_before);
    } else {
      entry.problem = EntryProblem(entry.raw);
    }
    view.entries.push_back(std::move(entry));
  }
  return view;
}

std::optional<RegistryContent> ContentOf(const std::string& registry) {
  if (registry.empty()) return std::nullopt;
  const std::shared_ptr<const userprofile::profile::Document> snapshot =
      userprofile::ProfileSnapshot(registry);
  if (!snapshot) return std::nullopt;
  return RegistryContent{snapshot->id(), snapshot->version()};
}

RegistryView Reprobed(RegistryView view) {
  if (view.path.empty()) return view;
  view.exists = Sys().IsNormalFile(view.path);
  for (EntryView& entry : view.entries) {
    if (entry.usable && !entry.home.empty() &&
        !(entry.home_exists && entry.lock_exists)) {
      ProbeHome(entry, false);
    }
  }
  return view;
}

std::vector<const EntryView*> ReachableUsers(const RegistryView& view) {
  std::vector<const EntryView*> users;
  for (const EntryView& entry : view.entries) {
    if (entry.usable && entry.shadowed_by == 0) users.push_back(&entry);
  }
  return users;
}

}  // namespace userprof
