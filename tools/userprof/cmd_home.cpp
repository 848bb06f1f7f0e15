// home: a user's home directory.
#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {

Outcome CmdHome(const Call& call) {
  const Session& session = *call.session;
  const std::string& name = call.operand();
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return *refused;
  const int number = session.FindUser(name);
  if (number == 0) return NoSuchUser(name);
  const std::string home = session.DirForUser(name);
  if (home.empty()) {
    return Refused("the registry entry of " + Quoted(name) +
                   " gives no usable home directory; verify repairs it");
  }
  Outcome outcome;
  outcome.out = PathLine(home);
  SetText(outcome.json, "user", name);
  outcome.json["number"] = number;
  SetText(outcome.json, "home", home);
  outcome.json["home_exists"] = PathKind(home) == "directory";
  return outcome;
}

}  // namespace userprof
