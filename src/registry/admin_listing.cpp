#include "registry/admin_listing.h"

#include <algorithm>
#include <vector>

#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/registry.h"

namespace userprofile {
namespace {

// Empty entries listed at most beside those the registry holds.
constexpr long long kMaxEmptyListed = 1000;

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
  // A lock file inside proves the home can be entered: one probe fewer.
  user.home_exists = user.lock_exists || Sys().IsEnterableDirectory(user.home);
}

void ListUser(const void* module, const std::string& registry,
              const std::string& root, ListedUser& user, bool ask_sign_ins) {
  const std::size_t comma = user.entry.find(',');
  user.name = user.entry.substr(0, comma);
  user.dir_name = user.entry.substr(comma + 1);
  const int first = FindUser(registry, user.name);
  if (first == user.number) {
    user.home = DirForUser(module, user.name.c_str()).value_or("");
  } else if (first > 0 && first < user.number) {
    // Lookups never reach this entry; its home would be in the users root.
    user.duplicate_of = first;
    if (!root.empty() && IsPlainComponent(user.dir_name)) {
      user.home = root + kSeparator + HomeDirOnDiskOrField(root, user.dir_name) +
                  kSeparator;
    }
  }
  if (!user.home.empty()) ProbeHome(user, ask_sign_ins);
}

}  // namespace

void ListUsers(const void* module, const std::string& registry,
               bool ask_sign_ins,
               const std::function<void(const ListedRegistry&,
                                        const ListedUser*)>& visit) {
  ListedRegistry listed;
  // The whole listing is one read of the registry.
  RegistryScope scope;
  listed.path = registry;
  listed.exists = Sys().IsNormalFile(registry);
  listed.count = ReadCount(registry);
  listed.default_user = ReadDefaultUser(registry);
  const std::string root = UsersRootPath(module).value_or("");
  // Every number up to the count while few hold no key; otherwise (a
  // tampered count) only the held ones, for what the registry holds.
  const std::vector<int> held = HeldEntryNumbers(registry, listed.count);
  const bool every_number =
      static_cast<long long>(listed.count) <=
      static_cast<long long>(held.size()) + kMaxEmptyListed;
  const auto list = [&](int i) {
    ListedUser user;
    user.number = i;
    user.entry = ReadEntry(registry, i);
    user.usable = !user.entry.empty() &&
                  user.entry.find(',') != std::string::npos &&
                  IsValidEntry(user.entry);
    if (user.usable) ListUser(module, registry, root, user, ask_sign_ins);
    visit(listed, &user);
  };
  if (every_number) {
    for (int i = 1; i <= listed.count; ++i) list(i);
  } else {
    for (const int i : held) list(i);
  }
  visit(listed, nullptr);
}

}  // namespace userprofile
