#include <filesystem>
#include <map>

#include "commands.h"
#include "names.h"
#include "os.h"

namespace userprof {

// The standard library's directory walk serves both systems alike.
std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  return names;
}

Outcome Failed(int status, std::string code, std::string reason) {
  Outcome outcome;
  outcome.status = status;
  outcome.code = std::move(code);
  outcome.error = std::move(reason);
  return outcome;
}

Outcome Refused(std::string reason) {
  return Failed(kExitFailed, "failed", std::move(reason));
}

Outcome Locked(std::string reason) {
  return Failed(kExitLocked, "signed-in", std::move(reason));
}

std::string WithCause(const std::string& what, std::string cause) {
  return cause.empty() ? what : what + ": " + cause;
}

Outcome FailedWithCause(const std::string& what) {
  struct Meaning {
    int error;
    int status;
    const char* code;
  };
  static constexpr Meaning kMeanings[] = {
      {USERPROFILE_ERROR_INVALID_ARGUMENT, kExitInvalidName, "invalid-name"},
      {USERPROFILE_ERROR_NOT_FOUND, kExitNoSuchUser, "no-such-user"},
      {USERPROFILE_ERROR_SIGNED_IN_ELSEWHERE, kExitLocked, "signed-in"},
      {USERPROFILE_ERROR_PERMISSION, kExitFailed, "permission"},
      {USERPROFILE_ERROR_IO, kExitFailed, "io"},
      {USERPROFILE_ERROR_BUSY, kExitLocked, "busy"},
      {USERPROFILE_ERROR_EXISTS, kExitExists, "exists"},
      {USERPROFILE_ERROR_DAMAGED, kExitRefused, "damaged"},
      {USERPROFILE_ERROR_REFUSED, kExitRefused, "refused"},
  };
  const int error = userprofile_last_error();
  for (const Meaning& meaning : kMeanings) {
    if (meaning.error == error)
      return Failed(meaning.status, meaning.code, WithCause(what));
  }
  return Refused(WithCause(what));
}

Outcome NoSuchUser(const std::string& name) {
  return Failed(kExitNoSuchUser, "no-such-user",
                "no user named " + Quoted(name) + " is registered");
}

std::optional<Outcome> RefuseInvalidName(const std::string& name) {
  if (ValidUserName(name.c_str()) != 0) return std::nullopt;
  return Failed(kExitInvalidName, "invalid-name",
                Quoted(name) + " is not a valid user name: it " +
                    WhyInvalid(name) + "; " + kNameRule);
}

std::optional<Outcome> RefuseNewName(const std::string& name) {
  if (std::optional<Outcome> refused = RefuseInvalidName(name)) return refused;
  if (std::optional<std::string> unfit = WhyUnfit(name)) {
    return Failed(kExitInvalidName, "invalid-name",
                  Quoted(name) + " cannot be registered: it " + *unfit);
  }
  return std::nullopt;
}

std::string PathLine(const std::string& path) {
  return (IsTerminal(1) ? Shown(path) : path) + "\n";
}

std::vector<std::pair<int, std::string>> LooseMatches(const RegistryView& view,
                                                      const std::string& name,
                                                      int skip) {
  std::vector<std::pair<int, std::string>> matches;
  const std::string key = LooseKey(name);
  for (const EntryView& entry : view.entries) {
    // A later entry of a name is never found and adds nothing; a name
    // the library itself takes for `name` is refused before this is asked
    // (or is entry `skip` itself).
    if (entry.number == skip || entry.name.empty() || entry.shadowed_by != 0) {
      continue;
    }
    if (LooseKey(entry.name) == key) {
      matches.emplace_back(entry.number, entry.name);
    }
  }
  return matches;
}

std::optional<Holder> ReadHolder(const EntryView& user) {
  if (user.signed_in != true) return std::nullopt;
  std::optional<std::string> note = ReadLockNote(user.home + kLockFile);
  if (!note || note->empty()) return std::nullopt;
  std::map<std::string, std::string> fields;
  std::size_t start = 0;
  while (start < note->size()) {
    std::size_t end = note->find('\n', start);
    if (end == std::string::npos) end = note->size();
    const std::string line = note->substr(start, end - start);
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) {
      fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    start = end + 1;
  }
  Holder holder;
  try {
    if (!fields.count("pid")) return std::nullopt;
    holder.pid = std::stol(fields["pid"]);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  holder.host = fields["host"];
  holder.since = fields["since"];
  if (holder.host == HostName() && ProcessRuns(holder.pid) == false) {
    return std::nullopt;  // left by a sign-in that ended without a word
  }
  return holder;
}

std::string Describe(const Holder& holder) {
  return "process " + std::to_string(holder.pid) + " on " + Shown(holder.host) +
         " since " + Shown(holder.since);
}

}  // namespace userprof
