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
  Json json = Json::Object();
};

Outcome Verify(Session& session);
Outcome Add(Session& session, const std::string& name);
Outcome List(Session& session);
Outcome Home(Session& session, const std::string& name);
Outcome Default(Session& session, const std::optional<std::string>& name);
Outcome SignIn(Session& session, const std::string& name,
               const std::vector<std::string>& program);
Outcome Who(Session& session);

// A typical host run on a scratch tree in `dir` (a new temporary
// directory, removed afterwards, when none is given). `self` starts
// another copy of this program for the second sign-in.
Outcome Demo(const std::optional<std::string>& dir, const std::string& self,
             bool echo_checks);

// A refusal: exit status 1 and the reason.
Outcome Refused(std::string reason);

}  // namespace userprof
