// The commands: one file each (cmd_*.cpp), listed in one table in
// main.cpp, and the pieces they share.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli.h"
#include "json.h"
#include "registry_view.h"
#include "session.h"

namespace userprof {

// What a command did: its exit status, its text for people, the reason
// when it did not succeed, and its fields for --json. A failure also
// carries a stable code for --json ("no-such-user", "busy", ...), which
// docs/userprof.md lists with the statuses.
struct Outcome {
  int status = kExitOk;
  std::string code;   // empty on success
  std::string out;    // standard output in human mode
  std::string error;  // one line, standard error in human mode
  Json json = Json::object();
  // The command wrote the opening of its JSON object to standard output
  // already (see stream.h): the envelope's members are added to it.
  bool json_open = false;
};

// What a command is given: the command line, the session of the
// application (none for a command that needs no module) and the path of
// this program.
struct Call {
  const Invocation& inv;
  Session* session;
  std::string self;
  // Where a command that prints as it goes (stream.h) puts its text
  // instead of standard output, for a command run inside another.
  std::string* capture = nullptr;
  // The first operand, or "".
  const std::string& operand() const {
    static const std::string none;
    return inv.operands.empty() ? none : inv.operands.front();
  }
};

// One command: its name, the operands it takes, whether it works on an
// application (--module) and runs a program (after "--"), and what runs
// it (nothing for help, which main.cpp answers itself).
struct Command {
  std::string_view name;
  std::size_t min_operands;
  std::size_t max_operands;
  bool needs_module;
  bool runs_program;
  Outcome (*run)(const Call& call);
};

Outcome CmdVerify(const Call& call);
Outcome CmdAdd(const Call& call);
Outcome CmdList(const Call& call);
Outcome CmdHome(const Call& call);
Outcome CmdDefault(const Call& call);
Outcome CmdSignIn(const Call& call);
Outcome CmdWho(const Call& call);
Outcome CmdRemove(const Call& call);
Outcome CmdRename(const Call& call);
Outcome CmdDemo(const Call& call);

// --- Shared by the commands --------------------------------------------

// A failure with its exit status, its code for --json and its reason.
Outcome Failed(int status, std::string code, std::string reason);
// A refusal or failure: exit status 1 ("failed") and the reason.
Outcome Refused(std::string reason);
// A refusal for a user signed in elsewhere: exit status 4 ("signed-in").
Outcome Locked(std::string reason);
// `what` and the cause the library recorded for its last failure, with
// the exit status and code that cause calls for.
Outcome FailedWithCause(const std::string& what);
// `what`, with the cause the library recorded for its last failure (or
// `cause`), as one line.
std::string WithCause(const std::string& what,
                      std::string cause = Session::LastCause());
Outcome NoSuchUser(const std::string& name);

// A refusal for a name the library's validator rejects, or nullopt.
std::optional<Outcome> RefuseInvalidName(const std::string& name);
// A refusal for a name that cannot be registered as typed, or nullopt.
std::optional<Outcome> RefuseNewName(const std::string& name);

// A path printed alone, for people or a pipe: escaped for a terminal,
// raw for a pipe, so that a script reaches the real file.
std::string PathLine(const std::string& path);

// The registered names that `name` matches only loosely (in another
// encoding or case folding the library does not apply), with their entry
// numbers; `skip` is an entry number to leave out.
std::vector<std::pair<int, std::string>> LooseMatches(const RegistryView& view,
                                                      const std::string& name,
                                                      int skip);

// What "who" knows of the holder of a lock file: the note a signin left
// in it while it held it. A note in a file nobody holds says nothing, and
// neither does one whose process is known to be gone from this machine.
struct Holder {
  long pid = 0;
  std::string host;
  std::string since;
};
std::optional<Holder> ReadHolder(const EntryView& user);
// "process 12 on host since 2026-12-09T03:04:05Z".
std::string Describe(const Holder& holder);

}  // namespace userprof
