// signin: a user signed in for as long as a program runs, as flock(1)
// holds a lock for a command.
#include <chrono>
#include <cstdio>

#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {
namespace {

// The holder of `name`'s lock, as the note in its lock file tells.
std::optional<Holder> HolderOf(const Session& session,
                               const std::string& name) {
  const RegistryView view = ReadRegistry(session, true);
  const EntryView* user = Reachable(view, session, name);
  return user ? ReadHolder(*user) : std::nullopt;
}

}  // namespace

Outcome CmdSignIn(const Call& call) {
  const Session& session = *call.session;
  const std::string& name = call.operand();
  const std::vector<std::string>& program = call.inv.program;
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return *refused;
  if (session.FindUser(name) == 0) return NoSuchUser(name);
  if (session.DirForUser(name).empty()) {
    return Refused("the registry entry of " + Quoted(name) +
                   " gives no usable home directory; verify repairs it");
  }
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long long>(
                            call.inv.wait_seconds * 1000));
  while (userprofile_sign_in(session.handle(), name.c_str()) == 0) {
    const int error = userprofile_last_error();
    const std::string cause = Session::LastCause();
    CloseUserSemaphoreFile();  // clears the failed attempt
    if (error != USERPROFILE_ERROR_SIGNED_IN_ELSEWHERE) {
      if (error == USERPROFILE_ERROR_NOT_FOUND) return NoSuchUser(name);
      const std::string lock = session.DirForUser(name) + kLockFile;
      std::string why = cause.empty() ? WhyCannotOpen(lock, true) : cause;
      if (why.empty()) why = "the lock file " + Shown(lock) + " cannot be used";
      return Refused("cannot sign " + Quoted(name) + " in: " + why);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      std::string reason = Quoted(name) + " is signed in elsewhere";
      if (std::optional<Holder> holder = HolderOf(session, name)) {
        reason += " (" + Describe(*holder) + ")";
      }
      if (call.inv.wait_seconds > 0) reason += "; waited in vain";
      Outcome outcome =
          Failed(call.inv.refusal_status, "signed-in", std::move(reason));
      SetText(outcome.json, "user", name);
      outcome.json["signed_in_elsewhere"] = true;
      return outcome;
    }
    SleepMilliseconds(100);
  }
  // The home of the lock now held, as the registry gives it now: the user
  // may have been renamed, and another added under the name, while this
  // waited (the library signs in the home the registry gives the name once
  // the lock is held, and that stays so while it is held).
  const std::string home = session.DirForUser(name);
  // The program itself holds the lock: it inherits the locked file, so the
  // sign-in lasts exactly as long as the program, whatever becomes of this
  // process.
  const bool inherited = userprofile_inherit_sign_in() != 0;
  std::fflush(stdout);
  RunOptions run_options;
  run_options.extra_env = {"USERPROF_USER=" + name, "USERPROF_HOME=" + home};
  run_options.stdout_to_stderr = call.inv.json;
  run_options.forward_signals = true;
  std::string note_failure;
  run_options.started = [&](long pid) {
    const std::string note = "pid=" + std::to_string(pid) +
                             "\nhost=" + HostName() + "\nsince=" + UtcNow() +
                             "\n";
    if (userprofile_write_sign_in_note(note.c_str()) == 0) {
      note_failure = Session::LastCause();
    }
  };
  const ProgramRun run = RunProgram(program, run_options);
  // Still held through this process's own descriptor: the note goes
  // before the lock does.
  userprofile_write_sign_in_note("");
  CloseUserSemaphoreFile();

  Outcome outcome;
  SetText(outcome.json, "user", name);
  SetText(outcome.json, "home", home);
  outcome.json["lock_inherited"] = inherited;
  if (!run.started) {
    outcome.status = kExitCannotRun;
    outcome.code = "cannot-run";
    outcome.error = "cannot run " + Quoted(program.front()) + ": " + run.error;
    outcome.json["exit_status"] = nullptr;
    return outcome;
  }
  outcome.status = run.status;
  if (run.status != 0) outcome.code = "program-failed";
  outcome.json["exit_status"] = run.status;
  if (!note_failure.empty()) {
    outcome.json["note_failed"] = AsUnicode(note_failure);
  }
  return outcome;
}

}  // namespace userprof
