// remove: every entry of a user's name, and with --delete-home the homes,
// deleted by the library under each user's lock once the entries are gone.
#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {
namespace {

struct Removal {
  int number = 0;
  std::string name;
  std::string home;
  bool home_deleted = false;
  std::string home_failure;
  std::string default_user;
  bool was_default = false;
  bool default_changed = false;
};

void Collect(void* context, const userprofile_removal* removed) {
  static_cast<std::vector<Removal>*>(context)->push_back(
      {removed->number, removed->name, removed->home,
       removed->home_deleted != 0, removed->home_failure, removed->default_user,
       removed->was_default != 0, removed->default_changed != 0});
}

// "entry 3" or "entries 3 and 4".
std::string EntryNumbers(const std::vector<Removal>& removed) {
  std::string text = removed.size() == 1 ? "entry " : "entries ";
  for (std::size_t i = 0; i < removed.size(); ++i) {
    if (i > 0) text += i + 1 == removed.size() ? " and " : ", ";
    text += std::to_string(removed[i].number);
  }
  return text;
}

}  // namespace

Outcome CmdRemove(const Call& call) {
  const Session& session = *call.session;
  const std::string& name = call.operand();
  const bool delete_home = call.inv.delete_home;
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return *refused;
  unsigned flags = 0;
  if (delete_home) flags |= USERPROFILE_REMOVE_DELETE_HOME;
  if (call.inv.force) flags |= USERPROFILE_REMOVE_DEFAULT;
  std::vector<Removal> removed;
  const int count = userprofile_remove_users(session.handle(), name.c_str(),
                                             flags, Collect, &removed);
  if (count == 0) {
    switch (userprofile_last_error()) {
      case USERPROFILE_ERROR_NOT_FOUND:
        return NoSuchUser(name);
      case USERPROFILE_ERROR_SIGNED_IN_ELSEWHERE:
        return Locked(Quoted(name) +
                      " is signed in; remove it once the user has signed out");
      case USERPROFILE_ERROR_REFUSED:
        return Failed(
            kExitRefused, "refused",
            "refusing to remove " + Quoted(name) + ": " + Session::LastCause() +
                (call.inv.force || delete_home
                     ? std::string()
                     : "; --force removes it all the same") +
                (delete_home ? "; remove it without --delete-home to keep "
                               "the home"
                             : std::string()));
      default:
        return FailedWithCause("could not remove " + Quoted(name) +
                               "; the registry is as it was");
    }
  }
  const Removal& first = removed.front();
  Outcome outcome;
  SetText(outcome.json, "user", first.name);
  outcome.json["number"] = first.number;
  outcome.json["entries"] = Json::array();
  outcome.out =
      "removed " + Quoted(first.name) + " (" + EntryNumbers(removed) + ")";
  std::string failures;
  bool all_deleted = delete_home;
  for (const Removal& entry : removed) {
    Json item = Json::object();
    item["number"] = entry.number;
    if (entry.home.empty()) {
      item["home"] = nullptr;
    } else {
      SetText(item, "home", entry.home);
    }
    item["home_deleted"] = entry.home_deleted;
    outcome.json["entries"].push_back(item);
    if (entry.home.empty()) continue;
    all_deleted = all_deleted && entry.home_deleted;
    std::string said;
    if (!delete_home) {
      said = "its home " + Shown(entry.home) + " is kept";
    } else if (entry.home_deleted) {
      said = "deleted its home " + Shown(entry.home);
    } else if (entry.home_failure.empty()) {
      said = "its home " + Shown(entry.home) + " did not exist";
    } else {
      said = "its home " + Shown(entry.home) + " is not deleted";
      if (!failures.empty()) failures += "; ";
      failures += entry.home_failure;
    }
    if (outcome.out.find(said) == std::string::npos) outcome.out += "; " + said;
  }
  if (first.home.empty()) {
    outcome.json["home"] = nullptr;
  } else {
    SetText(outcome.json, "home", first.home);
  }
  outcome.json["home_deleted"] = delete_home && all_deleted;
  outcome.out += "\n";
  // Who the default user is now, whenever the removed user was it.
  if (first.was_default) {
    if (first.default_changed) {
      outcome.out +=
          "the default user is now " + Quoted(first.default_user) + "\n";
    } else {
      outcome.out += "the default user " + Quoted(first.default_user) +
                     " is no longer registered; the next verify registers "
                     "\"Default\" if it is missing and makes it the default\n";
    }
  }
  SetText(outcome.json, "default_user", first.default_user);
  outcome.json["default_changed"] = first.default_changed;
  if (!failures.empty()) {
    outcome.status = kExitFailed;
    outcome.code = "io";
    outcome.error = "the home directory could not be deleted: " + failures;
  }
  return outcome;
}

}  // namespace userprof
