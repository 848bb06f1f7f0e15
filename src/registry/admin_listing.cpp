#include "registry/admin_listing.h"

#include <algorithm>

#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/registry.h"

namespace userprofile {
namespace {

// Empty entries listed at most beside those the registry holds.
constexpr long long kMaxEmptyListed = 1000;

// The home of a user whose entry lookups never reach: beside the home of
// the entry they do reach, since every home sits in the users root.
std::string SiblingHome(const std::string& home, const std::string& dir_name) {
  if (home.size() < 2 || !IsPlainComponent(dir_name)) return {};
  const std::size_t cut = home.rfind(kSeparator, home.size() - 2);
  if (cut == std::string::npos) return {};
  return home.substr(0, cut + 1) + dir_name + kSeparator;
}

// Entry `number` of a listing (in the order of its numbers), or nullptr.
const ListedUser* Find(const Listing& listing, int number) {
  auto it =
      std::lower_bound(listing.users.begin(), listing.users.end(), number,
                       [](const ListedUser& u, int n) { return u.number < n; });
  return it != listing.users.end() && it->number == number ? &*it : nullptr;
}

// Whether `earlier` found this same entry, with this same home, with its
// home and lock file in place.
bool FoundHealthy(const Listing* earlier, const ListedUser& user) {
  const ListedUser* was = earlier ? Find(*earlier, user.number) : nullptr;
  return was && was->lock_exists && was->home_exists &&
         was->entry == user.entry && was->home == user.home;
}

// Looks at the home directory and lock file of a user with a home.
void ProbeHome(ListedUser& user, bool ask_sign_ins) {
  const std::string lock = user.home + std::string(kLockFileName);
  if (ask_sign_ins) {
    // Both answers from one look at the file.
    const LockFileState state = Sys().ProbeLockFile(lock);
    user.lock_exists = state.normal_file;
    user.signed_in = state.held;
  } else {
    user.lock_exists = Sys().IsNormalFile(lock);
  }
  // A lock file found inside the home proves the home can be entered: one
  // probe fewer for every healthy user.
  user.home_exists = user.lock_exists || Sys().IsEnterableDirectory(user.home);
}

void ListUser(const void* module, const std::string& registry,
              const Listing& listing, ListedUser& user, bool ask_sign_ins,
              const Listing* healthy_before, bool probe) {
  const std::size_t comma = user.entry.find(',');
  user.name = user.entry.substr(0, comma);
  user.dir_name = user.entry.substr(comma + 1);
  const int first = FindUser(registry, user.name);
  if (first == user.number) {
    user.home = DirForUser(module, user.name.c_str()).value_or("");
  } else if (first > 0 && first < user.number) {
    user.duplicate_of = first;
    const ListedUser* reached = Find(listing, first);
    user.home = SiblingHome(reached ? reached->home : "", user.dir_name);
  }
  if (user.home.empty() || !probe) return;
  if (!ask_sign_ins && FoundHealthy(healthy_before, user)) {
    user.home_exists = true;
    user.lock_exists = true;
    return;
  }
  ProbeHome(user, ask_sign_ins);
}

// Every number from 1 to the count while the numbers the registry holds no
// key for are few; otherwise (a tampered count) only those it holds, so
// that the listing costs what the registry holds.
std::vector<int> ListedNumbers(const std::string& path, int count) {
  std::vector<int> held = HeldEntryNumbers(path, count);
  if (static_cast<long long>(count) >
      static_cast<long long>(held.size()) + kMaxEmptyListed) {
    return held;
  }
  std::vector<int> all;
  all.reserve(static_cast<std::size_t>(std::max(count, 0)));
  for (int i = 1; i <= count; ++i) all.push_back(i);
  return all;
}

}  // namespace

Listing ListUsers(const void* module, const std::string& registry,
                  bool ask_sign_ins, const Listing* healthy_before,
                  bool probe) {
  Listing listing;
  // The whole listing is one read of the registry.
  RegistryScope scope;
  listing.path = registry;
  listing.exists = Sys().IsNormalFile(registry);
  listing.count = ReadCount(registry);
  listing.default_user = ReadDefaultUser(registry);
  const std::vector<int> numbers = ListedNumbers(registry, listing.count);
  listing.users.reserve(numbers.size());
  for (const int i : numbers) {
    ListedUser user;
    user.number = i;
    user.entry = ReadEntry(registry, i);
    user.usable = !user.entry.empty() &&
                  user.entry.find(',') != std::string::npos &&
                  IsValidEntry(user.entry);
    if (user.usable) {
      ListUser(module, registry, listing, user, ask_sign_ins, healthy_before,
               probe);
    }
    listing.users.push_back(std::move(user));
  }
  return listing;
}

Listing Reprobed(Listing listing) {
  if (listing.path.empty()) return listing;
  listing.exists = Sys().IsNormalFile(listing.path);
  for (ListedUser& user : listing.users) {
    if (user.usable && !user.home.empty() &&
        !(user.home_exists && user.lock_exists)) {
      ProbeHome(user, false);
    }
  }
  return listing;
}

void Visit(const Listing& listing,
           const std::function<void(const userprofile_registry_state*,
                                    const userprofile_user_state*)>& visit) {
  const userprofile_registry_state registry{
      listing.path.c_str(), listing.exists ? 1 : 0, listing.count,
      listing.default_user.c_str()};
  for (const ListedUser& u : listing.users) {
    const userprofile_user_state user{
        u.number,
        u.entry.c_str(),
        u.usable ? 1 : 0,
        u.usable ? u.name.c_str() : "",
        u.usable ? u.dir_name.c_str() : "",
        u.duplicate_of,
        u.home.c_str(),
        u.home_exists ? 1 : 0,
        u.lock_exists ? 1 : 0,
        u.signed_in ? (*u.signed_in ? 1 : 0) : -1};
    visit(&registry, &user);
  }
  visit(&registry, nullptr);
}

}  // namespace userprofile
