// verify: the repair of the registry and the home directories, told step
// by step as the library takes them, with a copy of the registry kept
// first when entries are dropped; --dry-run tells the same plan and
// touches nothing.
#include <string_view>

#include "backups.h"
#include "commands.h"
#include "names.h"
#include "os.h"
#include "stream.h"

namespace userprof {
namespace {

constexpr const char* kDefaultUserName = "Default";

std::string Entry(int number) { return "entry " + std::to_string(number); }

// The last name of a path, without a trailing separator.
std::string LastName(std::string path) {
  while (path.size() > 1 && path.back() == kSeparator) path.pop_back();
  const std::size_t cut = path.rfind(kSeparator);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

const char* KindWord(int kind) {
  switch (kind) {
    case USERPROFILE_REPAIR_REGISTRY_CREATED:
      return "registry_created";
    case USERPROFILE_REPAIR_ENTRY_DROPPED:
      return "entry_dropped";
    case USERPROFILE_REPAIR_HOME_CREATED:
      return "home_created";
    case USERPROFILE_REPAIR_LOCK_CREATED:
      return "lock_created";
    case USERPROFILE_REPAIR_NOTE_EMPTIED:
      return "note_emptied";
    case USERPROFILE_REPAIR_ENTRY_RENUMBERED:
      return "entry_renumbered";
    case USERPROFILE_REPAIR_COUNT_SET:
      return "count_changed";
    case USERPROFILE_REPAIR_DEFAULT_ADDED:
      return "user_added";
    case USERPROFILE_REPAIR_DEFAULT_SET:
      return "default_changed";
    default:
      return "other";
  }
}

// One step as a line for people.
std::string Describe(const userprofile_repair_action& a,
                     const std::string& kept_in) {
  const std::string who = Quoted(a.name);
  const bool dry = a.done < 0;
  switch (a.kind) {
    case USERPROFILE_REPAIR_REGISTRY_CREATED:
      return "created the registry " + std::string(a.path);
    case USERPROFILE_REPAIR_ENTRY_DROPPED: {
      std::string text = "dropped " + Entry(a.number);
      if (*a.entry != '\0') text += " " + Quoted(a.entry);
      return text + " (" + a.detail + "; kept in " + kept_in + ")";
    }
    case USERPROFILE_REPAIR_HOME_CREATED:
      if (dry) {
        return who + ": home directory " + a.detail +
               " is missing, a new one is made";
      }
      if (LastName(a.path) == a.detail) {
        return who + ": home directory " + a.detail + " re-created";
      }
      return who + ": home directory " + a.detail + " was missing, new home " +
             LastName(a.path);
    case USERPROFILE_REPAIR_LOCK_CREATED:
      return who + ": lock file " + kLockFile + " created";
    case USERPROFILE_REPAIR_NOTE_EMPTIED:
      return who + ": lock file " + Shown(a.path) +
             " held by nobody, emptied of the note a sign-in left";
    case USERPROFILE_REPAIR_ENTRY_RENUMBERED:
      return who + ": " + Entry(a.number) + " is now " + Entry(a.to);
    case USERPROFILE_REPAIR_COUNT_SET:
      return "user count " + std::to_string(a.number) + " is now " +
             std::to_string(a.to);
    case USERPROFILE_REPAIR_DEFAULT_ADDED:
      return "added " + who + " as " + Entry(a.to) + ", home " +
             (dry ? std::string("a new directory") : LastName(a.path));
    case USERPROFILE_REPAIR_DEFAULT_SET:
      return "default user " +
             (*a.detail == '\0' ? std::string("(none)") : Quoted(a.detail)) +
             " is now " + who;
    default:
      return "(a step of kind " + std::to_string(a.kind) + ")";
  }
}

// What a step that failed left undone, for the incomplete repair's reason.
std::string Shortfall(const userprofile_repair_action& a) {
  const std::string who = Quoted(a.name);
  switch (a.kind) {
    case USERPROFILE_REPAIR_HOME_CREATED:
      return who + " has no home directory";
    case USERPROFILE_REPAIR_LOCK_CREATED:
      return who + " has no lock file";
    case USERPROFILE_REPAIR_NOTE_EMPTIED:
      return who + "'s lock file " + Shown(a.path) + " keeps its note";
    case USERPROFILE_REPAIR_DEFAULT_ADDED:
      return who + " is not registered";
    default:
      return "could not: " + Describe(a, "");
  }
}

Json StepJson(const userprofile_repair_action& a, const std::string& text) {
  Json json = Json::object();
  json["kind"] = KindWord(a.kind);
  json["text"] = AsUnicode(text);
  if (a.number != 0) json["number"] = a.number;
  if (a.to != 0) json["to"] = a.to;
  if (*a.entry != '\0') SetText(json, "entry", a.entry);
  if (*a.name != '\0') SetText(json, "name", a.name);
  if (*a.path != '\0') SetText(json, "path", a.path);
  if (a.kind == USERPROFILE_REPAIR_ENTRY_DROPPED) json["why"] = a.detail;
  if (a.done == 0) json["done"] = false;
  return json;
}

// The steps as they come: printed at once (a repair of a million entries
// is never held), the failed ones gathered as shortfalls.
struct Teller {
  Session* session;
  Stream* stream;
  std::string prefix;   // "would: " on a dry run
  std::string kept_in;  // where dropped lines are kept, for people
  std::string backup;   // the copy's path, once made
  int told = 0;
  bool drops = false;
  std::vector<std::string> shortfalls;
};

void Tell(void* context, const userprofile_repair_action* action) {
  Teller& t = *static_cast<Teller*>(context);
  if (action->done == 0) {
    std::string why = Shortfall(*action);
    const char* cause = userprofile_last_error_message();
    if (cause != nullptr && *cause != '\0')
      why += " (" + std::string(cause) + ")";
    t.shortfalls.push_back(why);
    return;
  }
  if (t.told == 0 && t.prefix.empty()) t.stream->BeginArray("changes");
  if (t.told == 0 && !t.prefix.empty()) {
    t.stream->Line("a repair would make these changes:");
    t.stream->BeginArray("changes");
  }
  ++t.told;
  t.drops = t.drops || action->kind == USERPROFILE_REPAIR_ENTRY_DROPPED;
  // The notice of the default user's creation comes just before it.
  for (const std::string& notice : t.session->TakeNotices()) {
    t.stream->Line(t.prefix + "notice: " + Shown(notice));
    t.stream->Item(Json{{"kind", "notice"}, {"text", AsUnicode(notice)}});
  }
  const std::string text = Describe(*action, t.kept_in);
  t.stream->Line(t.prefix + Shown(text));
  Json step = StepJson(*action, text);
  if (action->kind == USERPROFILE_REPAIR_ENTRY_DROPPED && action->done > 0) {
    step["kept_in"] = AsUnicode(t.backup);
  }
  t.stream->Item(step);
}

// Homes that no entry names, after the steps: kept, and said.
void TellUnregistered(Session& session, Stream& stream, Outcome& outcome) {
  struct Found {
    Stream* stream;
    bool opened = false;
  } found{&stream};
  stream.BeginArray("unregistered_homes");
  userprofile_unregistered_homes(
      session.handle(),
      [](void* context, const char* home) {
        Found& f = *static_cast<Found*>(context);
        f.stream->Line("home directory " + Shown(home) +
                       " is named by no entry (kept; 'add NAME --home " +
                       Shown(home) + "' registers a user with it)");
        f.stream->Item(AsUnicode(home));
      },
      &found);
  stream.EndArray();
  outcome.json_open = stream.opened();
}

int KeepCopy(void* context, const char* registry) {
  auto& kept = *static_cast<std::pair<std::string, std::string>*>(context);
  auto made = KeepBackup(registry);
  if (made.index() == 1) {
    kept.second = std::get<1>(made);
    return 0;
  }
  kept.first = std::get<0>(made);
  return 1;
}

}  // namespace

Outcome CmdVerify(const Call& call) {
  Session& session = *call.session;
  const std::string registry = session.RegistryPath().value_or("");
  Stream stream(call.inv.json, call.inv.command, call.session->module(),
                call.capture);
  stream.Member("registry", AsUnicode(registry));
  stream.Member("dry_run", call.inv.dry_run);
  Teller teller{&session, &stream, call.inv.dry_run ? "would: " : "", "", "",
                0,        false,  {}};
  // The steps' array ends before any member that follows it.
  const auto close_changes = [&] {
    if (teller.told == 0) stream.BeginArray("changes");
    stream.EndArray();
  };
  Outcome outcome;
  if (call.inv.dry_run) {
    teller.kept_in = "a new copy " + Shown(BackupPattern(registry));
    session.TakeNotices();
    if (userprofile_plan_repair(session.handle(), &Tell, &teller) == 0) {
      outcome = FailedWithCause("cannot plan the repair");
      outcome.json_open = stream.opened();
      return outcome;
    }
    close_changes();
  } else {
    // The copy is made under the update lock, before the first step, so
    // every dropped line is told with the copy that keeps it.
    struct Repair {
      Teller* teller;
      std::pair<std::string, std::string> kept;
    } repair{&teller, {}};
    const userprofile_repair_observer observer{
        &repair,
        [](void* context, const userprofile_repair_action* action) {
          Repair& r = *static_cast<Repair*>(context);
          r.teller->kept_in = Shown(r.kept.first);
          r.teller->backup = r.kept.first;
          Tell(r.teller, action);
        },
        [](void* context, const char* path) {
          return KeepCopy(&static_cast<Repair*>(context)->kept, path);
        }};
    if (userprofile_repair(session.handle(), &observer) == 0) {
      if (!repair.kept.second.empty()) {
        outcome =
            Refused("not repaired: the registry could not be kept first: " +
                    repair.kept.second);
      } else {
        outcome = FailedWithCause("not repaired");
      }
      if (teller.told > 0) stream.EndArray();
      outcome.json_open = stream.opened();
      return outcome;
    }
    close_changes();
    if (!repair.kept.first.empty()) {
      stream.Line("the registry as it was is kept in " +
                  Shown(repair.kept.first) + " (the last " +
                  std::to_string(kBackupsKept) +
                  " such copies are kept: " + Shown(BackupPattern(registry)) +
                  "; remove them when no dropped entry is wanted back)");
      stream.Member("backup", AsUnicode(repair.kept.first));
    }
  }
  for (const std::string& notice : session.TakeNotices()) {
    stream.Line(teller.prefix + "notice: " + Shown(notice));
  }
  if (call.inv.dry_run && teller.drops) {
    stream.Line("would: keep the registry as it is now in a new copy " +
                Shown(BackupPattern(registry)));
  }
  stream.Member("changed", teller.told > 0);
  if (teller.told == 0) {
    stream.Line(call.inv.dry_run ? "healthy: a repair would change nothing"
                                 : "nothing changed");
  }
  TellUnregistered(session, stream, outcome);
  if (call.inv.dry_run) {
    // A repair is needed: status 1, as a check that fails.
    if (teller.told > 0) outcome.status = kExitFailed;
    return outcome;
  }
  std::vector<std::string>& shortfalls = teller.shortfalls;
  if (session.FindUser(kDefaultUserName) == 0) {
    shortfalls.push_back(Quoted(kDefaultUserName) + " is not registered");
  }
  const std::string default_user = session.DefaultUser();
  if (default_user.empty() || session.FindUser(default_user) == 0) {
    shortfalls.push_back("the default user is not registered");
  }
  if (!shortfalls.empty()) {
    outcome.status = kExitFailed;
    outcome.error = "the repair is incomplete: " + shortfalls.front();
  }
  return outcome;
}

}  // namespace userprof
