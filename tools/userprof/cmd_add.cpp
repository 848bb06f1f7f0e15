// add: a new user, with a home directory and a lock file.
#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {

Outcome CmdAdd(const Call& call) {
  const Session& session = *call.session;
  const std::string& name = call.operand();
  if (std::optional<Outcome> refused = RefuseNewName(name)) return *refused;
  // Names that differ only in encoding or case are a warning, not a
  // refusal: looked for before the registration, which refuses a name
  // registered in any case on its own, in one update with the creation.
  const auto alike = LooseMatches(ReadRegistry(session, false), name, 0);
  const int number = userprofile_add_user(session.handle(), name.c_str());
  if (number == 0) {
    if (userprofile_last_error() == USERPROFILE_ERROR_EXISTS) {
      return Failed(kExitExists, "exists", Session::LastCause());
    }
    return FailedWithCause("could not register " + Quoted(name));
  }
  const std::string home = session.DirForUser(name);
  Outcome outcome;
  SetText(outcome.json, "user", name);
  outcome.json["number"] = number;
  SetText(outcome.json, "home", home);
  Json similar = Json::array();
  for (const auto& [entry, other] : alike) {
    similar.push_back(Json{{"number", entry}, {"name", AsUnicode(other)}});
    outcome.error += "warning: " + Quoted(name) + " differs from " +
                     Quoted(other) + " (entry " + std::to_string(entry) +
                     ") only in encoding or letter case; hosts may take "
                     "them for one user\n";
  }
  outcome.json["similar"] = std::move(similar);
  if (!outcome.error.empty()) outcome.error.pop_back();
  if (home.empty() || PathKind(home) != "directory" ||
      PathKind(home + kLockFile) != "file") {
    outcome.status = kExitFailed;
    outcome.error = Quoted(name) + " is registered as entry " +
                    std::to_string(number) +
                    ", but its home directory or lock file could not be "
                    "created; verify creates them once that is possible";
    return outcome;
  }
  outcome.out = PathLine(home);
  return outcome;
}

}  // namespace userprof
