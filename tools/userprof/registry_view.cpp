#include "registry_view.h"

#include <algorithm>

namespace userprof {
namespace {

constexpr int kReserveLimit = 1 << 20;

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

void Collect(void* context, const userprofile_registry_state* registry,
             const userprofile_user_state* user) {
  AddToView(*static_cast<RegistryView*>(context), *registry, user);
}

}  // namespace

EntryView ToEntryView(const userprofile_user_state& state) {
  const userprofile_user_state* user = &state;
  EntryView entry;
  entry.number = user->number;
  entry.raw = user->entry;
  entry.usable = user->usable != 0;
  if (!entry.usable) {
    entry.problem = EntryProblem(entry.raw);
  } else {
    entry.name = user->name;
    entry.dir_name = user->dir_name;
    entry.shadowed_by = user->duplicate_of;
    entry.home = user->home;
    entry.home_exists = user->home_exists != 0;
    entry.lock_exists = user->lock_exists != 0;
    if (user->signed_in >= 0) entry.signed_in = user->signed_in != 0;
  }
  return entry;
}

void AddToView(RegistryView& view, const userprofile_registry_state& registry,
               const userprofile_user_state* user) {
  if (user == nullptr) {
    view.path = registry.path;
    view.exists = registry.exists != 0;
    view.count = registry.count;
    view.default_user = registry.default_user;
    return;
  }
  if (view.entries.empty() && registry.count > 0) {
    // Room for every entry at once; a count tampered to billions gets no
    // more than a large registry's worth.
    view.entries.reserve(
        static_cast<std::size_t>(std::min(registry.count, kReserveLimit)));
  }
  view.entries.push_back(ToEntryView(*user));
}

RegistryView ReadRegistry(const Session& session, bool ask_sign_ins) {
  RegistryView view;
  userprofile_list_users(session.handle(),
                         ask_sign_ins ? USERPROFILE_LIST_SIGN_INS : 0u,
                         &Collect, &view);
  return view;
}

std::vector<const EntryView*> ReachableUsers(const RegistryView& view) {
  std::vector<const EntryView*> users;
  for (const EntryView& entry : view.entries) {
    if (entry.usable && entry.shadowed_by == 0) users.push_back(&entry);
  }
  return users;
}

const EntryView* Reachable(const RegistryView& view, const Session& session,
                           const std::string& name) {
  const int number = session.FindUser(name);
  for (const EntryView& entry : view.entries) {
    if (entry.number == number && entry.usable) return &entry;
  }
  return nullptr;
}

}  // namespace userprof
