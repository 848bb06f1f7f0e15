// The commands that work on one application through a session.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "json.h"
#include "session.h"

namespace userprof {

// What a command did: its exit status, its text for people, the reason
// when it did not succeed, and its fields for --json.
struct Outcome {
  int status = kExitOk;
  std::string out;    // standard output in human mode
  std::string error;  // one line, standard error in human mode
  Json json = Json::object();
};

struct SignInOptions {
  double wait_seconds = 0;  // 0: refuse at once
  int refusal_status = kExitLocked;
  bool json = false;  // the program's output must not reach our stdout
};

Outcome Verify(Session& session, bool dry_run);
Outcome Add(Session& session, const std::string& name);
// The users' objects in the JSON fields cost more than the probes of
// their lock files: they are made only `with_users_json`.
Outcome List(Session& session, bool with_users_json);
Outcome Home(Session& session, const std::string& name);
Outcome Default(Session& session, const std::optional<std::string>& name);
Outcome SignIn(Session& session, const std::string& name,
               const std::vector<std::string>& program,
               const SignInOptions& options);
Outcome Who(Session& session);
Outcome Remove(Session& session, const std::string& name, bool delete_home);
Outcome Rename(Session& session, const std::string& old_name,
               const std::string& new_name);

// A typical host run on a scratch tree in `dir` (a new temporary
// directory, removed afterwards, when none is given). `self` starts
// another copy of this program for the second sign-in.
Outcome Demo(const std::optional<std::string>& dir, const std::string& self,
             bool echo_checks);

// A refusal: exit status 1 and the reason.
Outcome Refused(std::string reason);

}  // namespace userprof
