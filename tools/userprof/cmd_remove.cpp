// remove: a user's entry, and with --delete-home the user's home.
#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {

Outcome CmdRemove(const Call& call) {
  const Session& session = *call.session;
  const std::string& name = call.operand();
  const bool delete_home = call.inv.delete_home;
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return *refused;
  userprofile_removed_user removed{};
  const int number =
      userprofile_remove_user(session.handle(), name.c_str(), &removed);
  if (number == 0) {
    switch (userprofile_last_error()) {
      case USERPROFILE_ERROR_NOT_FOUND:
        return NoSuchUser(name);
      case USERPROFILE_ERROR_SIGNED_IN_ELSEWHERE:
        return Locked(Quoted(name) +
                      " is signed in; remove it once the user has signed out");
      default:
        return FailedWithCause("could not remove " + Quoted(name) +
                               "; the registry is as it was");
    }
  }
  const std::string stored = removed.name;
  const std::string home = removed.home;
  std::string home_failure;
  if (delete_home && !home.empty()) {
    // A home that another entry names too (a hand edit) is never deleted.
    home_failure = removed.shared_with[0] == '\0'
                       ? RemoveHomeTree(home)
                       : Shown(home) + " is the home of " +
                             Quoted(removed.shared_with) +
                             " too; left as it is";
  }
  Outcome outcome;
  SetText(outcome.json, "user", stored);
  outcome.json["number"] = number;
  if (home.empty()) {
    outcome.json["home"] = nullptr;
  } else {
    SetText(outcome.json, "home", home);
  }
  outcome.json["home_deleted"] = delete_home && home_failure.empty();
  outcome.out =
      "removed " + Quoted(stored) + " (entry " + std::to_string(number) + ")";
  if (!home.empty()) {
    outcome.out += delete_home && home_failure.empty()
                       ? "; deleted its home " + Shown(home)
                       : "; its home " + Shown(home) + " is kept";
  }
  outcome.out += "\n";
  if (!home_failure.empty()) {
    outcome.status = kExitFailed;
    outcome.error = "the home directory could not be deleted: " + home_failure;
  }
  return outcome;
}

}  // namespace userprof
