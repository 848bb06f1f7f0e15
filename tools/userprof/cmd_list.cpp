// list: every entry of the registry, with each user's home directory,
// lock file and sign-in.
#include <algorithm>

#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {
namespace {

std::string YesNo(const std::optional<bool>& value) {
  if (!value) return "?";
  return *value ? "yes" : "no";
}

Json EntryJson(const EntryView& entry) {
  Json json = Json::object();
  json["number"] = entry.number;
  if (!entry.usable) {
    SetText(json, "entry", entry.raw);
    json["problem"] = entry.problem;
    return json;
  }
  SetText(json, "name", entry.name);
  if (entry.home.empty()) {
    json["home"] = nullptr;
  } else {
    SetText(json, "home", entry.home);
  }
  json["home_exists"] = entry.home_exists;
  json["lock_exists"] = entry.lock_exists;
  json["signed_in"] = entry.signed_in ? Json(*entry.signed_in) : Json(nullptr);
  if (entry.shadowed_by != 0) json["duplicate_of"] = entry.shadowed_by;
  return json;
}

// The listing as a table: one row per entry, columns as wide as needed
// in characters.
std::string ListTable(const RegistryView& view) {
  std::size_t number_w = 1, name_w = 4, home_w = 4;
  for (const EntryView& e : view.entries) {
    number_w = std::max(number_w, std::to_string(e.number).size());
    name_w = std::max(name_w, Width(Shown(e.name)));
    home_w = std::max(home_w, Width(Shown(e.home)));
  }
  std::string text = Padded("#", number_w) + "  " + Padded("user", name_w) +
                     "  " + Padded("home", home_w) + "  dir  lock  signed in\n";
  for (const EntryView& e : view.entries) {
    std::string row = Padded(std::to_string(e.number), number_w) + "  ";
    if (!e.usable) {
      row +=
          "(entry " + Quoted(e.raw) + ": " + e.problem + "; verify drops it)";
    } else {
      row += Padded(Shown(e.name), name_w) + "  " +
             Padded(e.home.empty() ? "-" : Shown(e.home), home_w) + "  " +
             Padded(e.home_exists ? "yes" : "no", 3) + "  " +
             Padded(e.lock_exists ? "yes" : "no", 4) + "  " +
             YesNo(e.signed_in);
      if (e.shadowed_by != 0) {
        row += "  (duplicate of entry " + std::to_string(e.shadowed_by) +
               ", never found)";
      }
    }
    text += row + "\n";
  }
  return text;
}

}  // namespace

Outcome CmdList(const Call& call) {
  // The users' objects in the JSON fields cost more than the probes of
  // their lock files: they are made only for --json.
  const bool with_users_json = call.inv.json;
  const RegistryView view = ReadRegistry(*call.session, true);
  Outcome outcome;
  Json users = Json::array();
  if (with_users_json) {
    for (const EntryView& entry : view.entries) {
      users.push_back(EntryJson(entry));
    }
  }
  SetText(outcome.json, "registry", view.path);
  outcome.json["registry_exists"] = view.exists;
  outcome.json["count"] = view.count;
  if (view.default_user.empty()) {
    outcome.json["default"] = nullptr;
  } else {
    SetText(outcome.json, "default", view.default_user);
  }
  outcome.json["users"] = std::move(users);
  if (view.entries.empty()) {
    outcome.out = view.exists
                      ? "no users registered\n"
                      : "no users registered (no registry " + Shown(view.path) +
                            " yet; verify creates it)\n";
    return outcome;
  }
  outcome.out = ListTable(view);
  outcome.out += "default user: " +
                 (view.default_user.empty() ? std::string("(none)")
                                            : Shown(view.default_user)) +
                 "\n";
  return outcome;
}

}  // namespace userprof
