// who: the users signed in, and by whom where a signin left a note.
#include <algorithm>

#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {

Outcome CmdWho(const Call& call) {
  const RegistryView view = ReadRegistry(*call.session, true);
  Outcome outcome;
  Json users = Json::array();
  bool cannot_tell = false;
  bool unknown_holder = false;
  std::vector<std::vector<std::string>> rows;
  for (const EntryView* user : ReachableUsers(view)) {
    if (user->home.empty()) continue;
    if (!user->signed_in) {
      cannot_tell = true;
      continue;
    }
    if (!*user->signed_in) continue;
    Json item = Json::object();
    item["number"] = user->number;
    SetText(item, "name", user->name);
    SetText(item, "home", user->home);
    std::string by;
    if (std::optional<Holder> holder = ReadHolder(*user)) {
      item["pid"] = holder->pid;
      item["host"] = AsUnicode(holder->host);
      item["since"] = AsUnicode(holder->since);
      by = Describe(*holder);
    } else {
      item["pid"] = nullptr;
      item["host"] = nullptr;
      item["since"] = nullptr;
      by = "?";
      unknown_holder = true;
    }
    users.push_back(std::move(item));
    rows.push_back({Shown(user->name), Shown(user->home), by});
  }
  std::size_t name_w = 0, home_w = 0;
  for (const auto& row : rows) {
    name_w = std::max(name_w, Width(row[0]));
    home_w = std::max(home_w, Width(row[1]));
  }
  for (const auto& row : rows) {
    outcome.out += Padded(row[0], name_w) + "  " + Padded(row[1], home_w) +
                   "  " + row[2] + "\n";
  }
  if (unknown_holder) {
    outcome.out +=
        "?: signed in by a program that leaves no note (only userprof signin "
        "does); its process, host and time cannot be known\n";
  }
  outcome.json["signed_in"] = std::move(users);
  if (cannot_tell) {
    outcome.status = kExitFailed;
    outcome.error =
        "this system cannot tell who is signed in without disturbing a sign-in";
    return outcome;
  }
  if (rows.empty()) outcome.out = "nobody is signed in\n";
  return outcome;
}

}  // namespace userprof
