// rename: a user's name, keeping the entry's number and home.
#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {

Outcome CmdRename(const Call& call) {
  const Session& session = *call.session;
  const std::string& old_name = call.inv.operands[0];
  const std::string& new_name = call.inv.operands[1];
  if (std::optional<Outcome> refused = RefuseInvalidName(old_name)) {
    return *refused;
  }
  if (std::optional<Outcome> refused = RefuseNewName(new_name)) return *refused;
  const RegistryView view = ReadRegistry(session, false);
  const int current = session.FindUser(old_name);
  if (current == 0) return NoSuchUser(old_name);
  if (const int other = session.FindUser(new_name);
      other != 0 && other != current) {
    return Failed(kExitExists, "exists",
                  Quoted(new_name) + " is registered already (entry " +
                      std::to_string(other) + ")");
  }
  const auto alike = LooseMatches(view, new_name, current);
  if (!alike.empty()) {
    return Failed(kExitExists, "exists",
                  Quoted(new_name) + " differs from the registered " +
                      Quoted(alike.front().second) + " (entry " +
                      std::to_string(alike.front().first) +
                      ") only in encoding or letter case");
  }
  const int number = userprofile_rename_user(session.handle(), old_name.c_str(),
                                             new_name.c_str());
  if (number == 0) {
    switch (userprofile_last_error()) {
      case USERPROFILE_ERROR_NOT_FOUND:
        return NoSuchUser(old_name);
      case USERPROFILE_ERROR_EXISTS:
        return Failed(kExitExists, "exists", Session::LastCause());
      case USERPROFILE_ERROR_SIGNED_IN_ELSEWHERE:
        return Locked(Quoted(old_name) +
                      " is signed in; rename it once the user has signed out");
      default:
        return FailedWithCause("could not rename " + Quoted(old_name) +
                               "; the registry is as it was");
    }
  }
  const std::string home = session.DirForUser(new_name);
  Outcome outcome;
  SetText(outcome.json, "old", old_name);
  SetText(outcome.json, "user", new_name);
  outcome.json["number"] = number;
  SetText(outcome.json, "home", home);
  outcome.out = "renamed " + Quoted(old_name) + " to " + Quoted(new_name) +
                " (entry " + std::to_string(number) + ", home " + Shown(home) +
                ")\n";
  // Only the entry every lookup finds is renamed: a name a hand edit left
  // registered twice now names its next entry, which is said.
  if (const int still = session.FindUser(old_name);
      still != 0 && still != number) {
    outcome.out += Quoted(old_name) + " is registered again as entry " +
                   std::to_string(still) + ", whom it now names (home " +
                   Shown(session.DirForUser(old_name)) + ")\n";
    outcome.json["still_registered"] = still;
  }
  return outcome;
}

}  // namespace userprof
