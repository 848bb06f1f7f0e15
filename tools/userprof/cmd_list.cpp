// list: every entry of the registry, with each user's home directory,
// lock file and sign-in, and the homes that no entry names. Printed as the
// library lists them, so that a registry of a million users is never held.
#include <algorithm>

#include "commands.h"
#include "names.h"
#include "os.h"
#include "stream.h"

namespace userprof {
namespace {

// Rows held to size the table's columns; the rows after them are printed
// as they come, in columns of the same width.
constexpr std::size_t kRowsSized = 10000;

std::string YesNo(const std::optional<bool>& value) {
  if (!value) return "?";
  return *value ? "yes" : "no";
}

Json EntryJson(const EntryView& entry) {
  Json json = Json::object();
  json["number"] = entry.number;
  if (!entry.usable) {
    SetText(json, "entry", entry.raw);
    json["problem"] = entry.problem;
    return json;
  }
  SetText(json, "name", entry.name);
  if (entry.home.empty()) {
    json["home"] = nullptr;
  } else {
    SetText(json, "home", entry.home);
  }
  json["home_exists"] = entry.home_exists;
  json["lock_exists"] = entry.lock_exists;
  json["signed_in"] = entry.signed_in ? Json(*entry.signed_in) : Json(nullptr);
  if (entry.shadowed_by != 0) json["duplicate_of"] = entry.shadowed_by;
  return json;
}

struct Widths {
  std::size_t number = 1, name = 4, home = 4;
};

std::string Row(const EntryView& e, const Widths& w) {
  std::string row = Padded(std::to_string(e.number), w.number) + "  ";
  if (!e.usable) {
    return row + "(entry " + Quoted(e.raw) + ": " + e.problem +
           "; verify drops it)";
  }
  row += Padded(Shown(e.name), w.name) + "  " +
         Padded(e.home.empty() ? "-" : Shown(e.home), w.home) + "  " +
         Padded(e.home_exists ? "yes" : "no", 3) + "  " +
         Padded(e.lock_exists ? "yes" : "no", 4) + "  " + YesNo(e.signed_in);
  if (e.shadowed_by != 0) {
    row += "  (duplicate of entry " + std::to_string(e.shadowed_by) +
           ", never found)";
  }
  return row;
}

// The listing as it comes: the registry's fields first, each entry as a
// row (the first rows held to size the columns) or a JSON item.
class Lister {
 public:
  explicit Lister(Stream& stream) : stream_(stream) {}

  void Visit(const userprofile_registry_state& registry,
             const userprofile_user_state* user) {
    if (!started_) Start(registry);
    if (user == nullptr) return Finish();
    EntryView entry = ToEntryView(*user);
    ++entries_;
    if (stream_.json()) return stream_.Item(EntryJson(entry));
    if (held_.size() < kRowsSized && !sized_) {
      held_.push_back(std::move(entry));
      return;
    }
    if (!sized_) Size();
    stream_.Line(Row(entry, widths_));
  }

  std::size_t entries() const { return entries_; }
  const std::string& path() const { return path_; }
  bool exists() const { return exists_; }
  const std::string& default_user() const { return default_user_; }

 private:
  void Start(const userprofile_registry_state& registry) {
    started_ = true;
    path_ = registry.path;
    exists_ = registry.exists != 0;
    default_user_ = registry.default_user;
    widths_.number = std::to_string(std::max(registry.count, 1)).size();
    Json fields = Json::object();
    SetText(fields, "registry", path_);
    for (auto& [key, value] : fields.items()) stream_.Member(key, value);
    stream_.Member("registry_exists", exists_);
    stream_.Member("count", registry.count);
    if (default_user_.empty()) {
      stream_.Member("default", nullptr);
    } else {
      Json d = Json::object();
      SetText(d, "default", default_user_);
      for (auto& [key, value] : d.items()) stream_.Member(key, value);
    }
    stream_.BeginArray("users");
  }

  void Size() {
    sized_ = true;
    for (const EntryView& e : held_) {
      widths_.number =
          std::max(widths_.number, std::to_string(e.number).size());
      widths_.name = std::max(widths_.name, Width(Shown(e.name)));
      widths_.home = std::max(widths_.home, Width(Shown(e.home)));
    }
    stream_.Line(Padded("#", widths_.number) + "  " +
                 Padded("user", widths_.name) + "  " +
                 Padded("home", widths_.home) + "  dir  lock  signed in");
    for (const EntryView& e : held_) stream_.Line(Row(e, widths_));
    held_.clear();
    held_.shrink_to_fit();
  }

  void Finish() {
    if (!stream_.json() && entries_ > 0 && !sized_) Size();
    stream_.EndArray();
  }

  Stream& stream_;
  bool started_ = false;
  bool sized_ = false;
  std::size_t entries_ = 0;
  std::vector<EntryView> held_;
  Widths widths_;
  std::string path_;
  bool exists_ = false;
  std::string default_user_;
};

}  // namespace

Outcome CmdList(const Call& call) {
  Stream stream(call.inv.json, call.inv.command, call.session->module(),
                call.capture);
  Lister lister(stream);
  userprofile_list_users(
      call.session->handle(), USERPROFILE_LIST_SIGN_INS,
      [](void* context, const userprofile_registry_state* registry,
         const userprofile_user_state* user) {
        static_cast<Lister*>(context)->Visit(*registry, user);
      },
      &lister);
  if (lister.entries() == 0) {
    stream.Line(lister.exists()
                    ? "no users registered"
                    : "no users registered (no registry " +
                          Shown(lister.path()) + " yet; verify creates it)");
  } else {
    stream.Line("default user: " + (lister.default_user().empty()
                                        ? std::string("(none)")
                                        : Shown(lister.default_user())));
  }
  stream.BeginArray("unregistered_homes");
  userprofile_unregistered_homes(
      call.session->handle(),
      [](void* context, const char* home) {
        Stream& s = *static_cast<Stream*>(context);
        s.Line("unregistered home: " + Shown(home) +
               " (named by no entry; 'add NAME --home DIR' registers it)");
        s.Item(AsUnicode(home));
      },
      &stream);
  stream.EndArray();
  Outcome outcome;
  outcome.json_open = stream.opened();
  return outcome;
}

}  // namespace userprof
