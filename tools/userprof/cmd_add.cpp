// add: a new user, with a new home directory and a lock file, or with a
// home of the users root that no entry names (--home DIR).
#include <string_view>
#include <variant>

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
  std::string home_given;
  if (call.inv.home) {
    // Relative to the current directory, as the shell completes it, and
    // cleaned of "." and ".." steps as the module path is; a bare name is
    // a name in the users root. Windows takes either slash, and a drive.
#ifdef _WIN32
    constexpr std::string_view kSeparators = "\\/";
    const auto has_drive = [](const std::string& p) {
      return p.size() > 1 && p[1] == ':';
    };
#else
    constexpr std::string_view kSeparators = "/";
    const auto has_drive = [](const std::string&) { return false; };
#endif
    home_given = *call.inv.home;
    while (home_given.size() > 1 &&
           kSeparators.find(home_given.back()) != std::string_view::npos) {
      home_given.pop_back();
    }
    if (home_given.find_first_of(kSeparators) != std::string::npos ||
        has_drive(home_given)) {
      auto clean = ResolveModulePath(home_given, CurrentDirectory());
      if (auto* path = std::get_if<std::string>(&clean)) home_given = *path;
    }
  }
  const int number =
      call.inv.home ? userprofile_add_user_with_home(
                          session.handle(), name.c_str(), home_given.c_str())
                    : userprofile_add_user(session.handle(), name.c_str());
  if (number == 0) {
    const int cause = userprofile_last_error();
    const std::string why = Session::LastCause();
    // The lookup replaces the library's last error: the cause is kept.
    if (cause == USERPROFILE_ERROR_EXISTS && session.FindUser(name) != 0) {
      return Failed(kExitExists, "exists", why);
    }
    if (call.inv.home && cause != USERPROFILE_ERROR_BUSY &&
        cause != USERPROFILE_ERROR_IO &&
        cause != USERPROFILE_ERROR_PERMISSION) {
      // A home another entry names, outside the users root, a link, or
      // none: refused, so that no two users share one home.
      return Failed(kExitRefused, "refused",
                    WithCause("not registered with the home " +
                                  Shown(*call.inv.home),
                              why));
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
