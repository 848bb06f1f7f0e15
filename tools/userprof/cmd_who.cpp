// who: the users signed in, and by which process: found on this machine
// as lslocks finds a lock's holder, or told by the note a signin left
// where the holder is elsewhere.
#include <algorithm>

#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {
namespace {

// "process 12 (host)" or "processes 12 (userprof), 13 (sh)".
std::string DescribeLocal(const std::vector<LockHolder>& holders) {
  std::string text = holders.size() == 1 ? "process " : "processes ";
  for (std::size_t i = 0; i < holders.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(holders[i].pid);
    if (!holders[i].command.empty()) text += " (" + Shown(holders[i].command) + ")";
  }
  return text + " on this machine";
}

}  // namespace

Outcome CmdWho(const Call& call) {
  const RegistryView view = ReadRegistry(*call.session, true);
  Outcome outcome;
  Json users = Json::array();
  bool cannot_tell = false;
  bool unknown_holder = false;
  std::vector<const EntryView*> held;
  for (const EntryView* user : ReachableUsers(view)) {
    if (user->home.empty()) continue;
    if (!user->signed_in) {
      cannot_tell = true;
      continue;
    }
    if (*user->signed_in) held.push_back(user);
  }
  std::vector<std::string> lock_files;
  for (const EntryView* user : held) lock_files.push_back(user->home + kLockFile);
  const auto local = LockHolders(lock_files);
  const std::string this_host = HostName();

  std::vector<std::vector<std::string>> rows;
  for (std::size_t i = 0; i < held.size(); ++i) {
    const EntryView& user = *held[i];
    Json item = Json::object();
    item["number"] = user.number;
    SetText(item, "name", user.name);
    SetText(item, "home", user.home);
    std::optional<Holder> note = ReadHolder(user);
    Json processes = Json::array();
    std::string by;
    if (local && !(*local)[i].empty()) {
      // The holder is here: the note counts only if its writer is one of
      // the processes that hold the lock.
      const std::vector<LockHolder>& here = (*local)[i];
      for (const LockHolder& holder : here) {
        processes.push_back(
            Json{{"pid", holder.pid}, {"command", AsUnicode(holder.command)}});
      }
      const bool own_note =
          note && note->host == this_host &&
          std::any_of(here.begin(), here.end(),
                      [&](const LockHolder& h) { return h.pid == note->pid; });
      if (!own_note) note.reset();
      by = DescribeLocal(here) + (note ? " since " + Shown(note->since) : "");
    } else if (note && local && note->host == this_host) {
      note.reset();  // its writer holds nothing here: a dead sign-in's
    }
    if (note) {
      item["pid"] = note->pid;
      item["host"] = AsUnicode(note->host);
      item["since"] = AsUnicode(note->since);
      if (by.empty()) by = Describe(*note) + ", as its note says";
    } else {
      item["pid"] = processes.empty() ? Json(nullptr) : processes[0]["pid"];
      item["host"] = processes.empty() ? Json(nullptr) : Json(AsUnicode(this_host));
      item["since"] = nullptr;
    }
    item["processes"] = std::move(processes);
    if (by.empty()) {
      by = "?";
      unknown_holder = true;
    }
    users.push_back(std::move(item));
    rows.push_back({Shown(user.name), Shown(user.home), by});
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
        local ? "?: held by no process visible on this machine: a host on "
                "another machine, or a process of another OS user\n"
              : "?: signed in by a program that leaves no note (only userprof "
                "signin does); its process, host and time cannot be known\n";
  }
  outcome.json["signed_in"] = std::move(users);
  if (cannot_tell) {
    outcome.status = kExitFailed;
    outcome.code = "failed";
    outcome.error =
        "this system cannot tell who is signed in without disturbing a sign-in";
    return outcome;
  }
  if (rows.empty()) outcome.out = "nobody is signed in\n";
  return outcome;
}

}  // namespace userprof
