// default: the default user, shown or set.
#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {

Outcome CmdDefault(const Call& call) {
  const Session& session = *call.session;
  const std::optional<std::string> name =
      call.inv.operands.empty() ? std::nullopt
                                : std::optional<std::string>(call.operand());
  if (name) {
    if (std::optional<Outcome> refused = RefuseInvalidName(*name))
      return *refused;
    if (session.FindUser(*name) == 0) return NoSuchUser(*name);
    SetDefaultUser(session.handle(), name->c_str());
    const std::string cause = Session::LastCause();
    if (session.DefaultUser() != *name) {
      return Refused(WithCause("the default user could not be stored", cause));
    }
  }
  const std::string user = session.DefaultUser();
  Outcome outcome;
  if (user.empty()) {
    outcome = Refused("no default user is set");
    outcome.json["default"] = nullptr;
    return outcome;
  }
  const bool registered = session.FindUser(user) != 0;
  SetText(outcome.json, "default", user);
  outcome.json["registered"] = registered;
  outcome.out = IsTerminal(1) ? Shown(user) : user;
  if (!registered) {
    outcome.out +=
        " (not registered: verify makes \"Default\" the default user)";
  }
  outcome.out += "\n";
  return outcome;
}

}  // namespace userprof
