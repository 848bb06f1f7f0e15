// A repair told to its caller: the listing before it, a chance to keep a
// copy of the registry, and the listing after it, all under one hold of
// the update lock, so that two repairs at once never both report (or
// both back up) the same damage: the second finds the first's result.
#include <map>
#include <string>
#include <unordered_set>

#include "registry/admin_listing.h"
#include "frame/failure.h"
#include "frame/frame.h"
#include "registry/operations.h"
#include "registry/profile_store.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// Whether a repair of the registry as `listing` shows it drops an entry:
// an unusable one, or a copy of one before it.
bool DropsEntries(const Listing& listing) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(listing.users.size());
  for (const ListedUser& user : listing.users) {
    if (!user.usable || !seen.insert(user.entry).second) return true;
  }
  return false;
}

// Which content of the registry the library's reads answer from: equal
// for two calls only if every read between them answered from the same
// bytes. nullopt where the platform keeps no snapshots.
std::optional<std::pair<std::uint64_t, std::uint64_t>> ContentOf(
    const std::string& registry) {
  const auto snapshot = ProfileSnapshot(registry);
  if (!snapshot) return std::nullopt;
  return std::make_pair(snapshot->id(), snapshot->version());
}

void Tell(const userprofile_repair_observer* observer, int after,
          const Listing& listing) {
  if (observer == nullptr || observer->visit == nullptr) return;
  Visit(listing, [&](const userprofile_registry_state* r,
                     const userprofile_user_state* u) {
    observer->visit(observer->context, after, r, u);
  });
}

}  // namespace
}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT int userprofile_repair(
    ModuleHandle module, const userprofile_repair_observer* observer) {
  const ExportCall call;
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  // Taking the update lock makes a missing registry: whether it was there
  // is asked first.
  const bool existed = Sys().IsNormalFile(*registry);
  RegistryUpdate update(*registry);
  if (!update.held()) return 0;
  const auto unread = ContentOf(*registry);
  // Not probed: the repair looks at every kept user's home and lock file
  // anyway, and says what it found missing.
  Listing before = ListUsers(module, *registry, false, nullptr, false);
  before.exists = before.exists && existed;
  const auto read = ContentOf(*registry);
  if (before.exists && DropsEntries(before) && observer != nullptr &&
      observer->keep != nullptr &&
      observer->keep(observer->context, registry->c_str()) == 0) {
    return 0;
  }
  std::map<int, EntryHealth> unhealthy;
  if (const FailureCause cause = Repair(module, &unhealthy); cause.failed()) {
    SetFailure(cause.kind, cause.text);
  }
  for (ListedUser& user : before.users) {
    if (!user.usable || user.home.empty()) continue;
    const auto found = unhealthy.find(user.number);
    user.home_exists = found == unhealthy.end() || found->second.home_exists;
    user.lock_exists = found == unhealthy.end() || found->second.lock_exists;
  }
  Tell(observer, 0, before);
  if (observer != nullptr && observer->visit != nullptr) {
    // The repair keeps every home and lock file the first listing found:
    // only the users it had to mend are probed again, and the entries it
    // changed read again. A registry it left as it was is not read again.
    Tell(observer, 1,
         unread && read == unread && ContentOf(*registry) == read
             ? Reprobed(before)
             : ListUsers(module, *registry, false, &before));
  }
  return update.Finish() ? 1 : 0;
}
