#include "changes.h"

#include "names.h"

namespace userprof {
namespace {

std::vector<const EntryView*> Users(const RegistryView& view) {
  std::vector<const EntryView*> users;
  for (const EntryView& entry : view.entries) {
    if (entry.usable) users.push_back(&entry);
  }
  return users;
}

bool HasUnusable(const RegistryView& view) {
  for (const EntryView& entry : view.entries) {
    if (!entry.usable) return true;
  }
  return false;
}

std::string Entry(int number) { return "entry " + std::to_string(number); }

void DescribeKept(const EntryView& was, const EntryView& is,
                  std::vector<Change>& changes) {
  const std::string who = Quoted(is.name);
  if (was.number != is.number) {
    changes.push_back({"entry_renumbered", who + ": " + Entry(was.number) +
                                               " is now " + Entry(is.number)});
  }
  if (was.name != is.name) {
    changes.push_back(
        {"name_trimmed", Quoted(was.name) + " is now stored as " + who});
  }
  if (was.dir_name != is.dir_name) {
    changes.push_back(
        {"home_replaced", who + ": home directory " + was.dir_name +
                              " was missing, new home " + is.dir_name});
  } else if (!was.home_exists && is.home_exists) {
    changes.push_back({"home_recreated", who + ": home directory " +
                                             is.dir_name + " re-created"});
  }
  if (!was.lock_exists && is.lock_exists) {
    changes.push_back(
        {"lock_created",
         who + ": lock file " + std::string(kLockFile) + " created"});
  }
}

}  // namespace

std::vector<Change> DescribeRepair(const RegistryView& before,
                                   const RegistryView& after) {
  std::vector<Change> changes;
  if (!before.exists && after.exists) {
    changes.push_back(
        {"registry_created", "created the registry " + after.path});
  }
  // Unusable entries are gone once a repair has renumbered past them.
  if (!HasUnusable(after)) {
    for (const EntryView& entry : before.entries) {
      if (entry.usable) continue;
      std::string text = "dropped " + Entry(entry.number);
      if (!entry.raw.empty()) text += " " + Quoted(entry.raw);
      changes.push_back({"entry_dropped", text + " (" + entry.problem + ")"});
    }
  }
  const std::vector<const EntryView*> was = Users(before);
  const std::vector<const EntryView*> is = Users(after);
  for (std::size_t k = 0; k < was.size() && k < is.size(); ++k) {
    DescribeKept(*was[k], *is[k], changes);
  }
  for (std::size_t k = is.size(); k < was.size(); ++k) {
    changes.push_back({"user_gone", Quoted(was[k]->name) + " (" +
                                        Entry(was[k]->number) +
                                        ") is no longer registered"});
  }
  for (std::size_t k = was.size(); k < is.size(); ++k) {
    changes.push_back({"user_added", "added " + Quoted(is[k]->name) + " as " +
                                         Entry(is[k]->number) + ", home " +
                                         is[k]->dir_name});
  }
  if (before.count != after.count) {
    changes.push_back(
        {"count_changed", "user count " + std::to_string(before.count) +
                              " is now " + std::to_string(after.count)});
  }
  if (before.default_user != after.default_user) {
    const auto shown = [](const std::string& name) {
      return name.empty() ? std::string("(none)") : Quoted(name);
    };
    changes.push_back(
        {"default_changed", "default user " + shown(before.default_user) +
                                " is now " + shown(after.default_user)});
  }
  return changes;
}

}  // namespace userprof
