// The reads of the registry, answered from one snapshot of the file (the
// store's document) and what lookups derive from it. A version's first
// lookup walks the user section keeping only the entry found, so a first
// call builds nothing as large as the file; from the second name on, the
// entries in number order and a name index answer. Where the platform
// compares names by its own rule (Windows), entries are walked, then
// sorted after a few lookups.
#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/names.h"
#include "platform/platform.h"
#include "registry/profile.h"
#include "registry/profile_store.h"
#include "registry/registry.h"

namespace userprofile {
namespace {

// One entry as a reader finds it: the first line of its key, uncut; small,
// as a first call builds one per user.
struct Entry {
  Entry(int n, std::string_view t)
      : number(n),
        length(static_cast<std::uint32_t>(
            std::min<std::size_t>(t.size(), kEntrySize))),
        data(t.data()) {}
  int number;
  std::uint32_t length;  // no reader looks beyond the entry size
  const char* data;
  std::string_view text() const { return {data, length}; }
};

// The entry as ReadEntry gives it.
std::string_view Cut(std::string_view value, std::size_t size) {
  return value.substr(0, size - 1);
}

// An entry's user name as lookups read it; nullopt if it matches none.
std::optional<std::string_view> MatchableName(std::string_view value) {
  const std::string_view entry = Cut(value, kEntrySize);
  if (!IsValidEntry(entry)) return std::nullopt;
  const std::size_t comma = entry.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  return entry.substr(0, comma);
}

// The UserNameKey of an ASCII byte: its upper case.
char AsciiKey(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

// True when the name's UserNameKey is `key`, found without building it for
// the ASCII names that most entries hold.
bool HasUserNameKey(std::string_view name, std::string_view key) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) return UserNameKey(name) == key;
  }
  return std::equal(name.begin(), name.end(), key.begin(), key.end(),
                    [](char c, char k) { return AsciiKey(c) == k; });
}

// True when the entry is valid and its name's UserNameKey is `key`.
bool NamesUser(std::string_view value, std::string_view key) {
  const std::string_view text = Cut(value, kEntrySize);
  const std::size_t comma = text.find(',');
  return comma != std::string_view::npos &&
         HasUserNameKey(text.substr(0, comma), key) && IsValidEntry(text);
}

// Entries in number order, the first line of each number kept (a file the
// library wrote has them in order already).
void SortEntries(std::vector<Entry>& entries) {
  auto by_number = [](const Entry& a, const Entry& b) {
    return a.number < b.number;
  };
  if (std::adjacent_find(entries.begin(), entries.end(),
                         [](const Entry& a, const Entry& b) {
                           return a.number >= b.number;
                         }) == entries.end()) {
    return;
  }
  std::stable_sort(entries.begin(), entries.end(), by_number);
  entries.erase(std::unique(entries.begin(), entries.end(),
                            [](const Entry& a, const Entry& b) {
                              return a.number == b.number;
                            }),
                entries.end());
}

// Entries held in number order, and the lookups over them.
class Entries {
 public:
  // `lookups`: how many a walk over the same bytes made already.
  explicit Entries(std::vector<Entry> entries, int lookups = 0)
      : entries_(std::move(entries)), lookups_(lookups) {
    SortEntries(entries_);
  }

  std::optional<std::string_view> Find(int i) const {
    // Dense numbering, the usual case, finds the entry at its place.
    if (i >= 1 && static_cast<std::size_t>(i) <= entries_.size() &&
        entries_[static_cast<std::size_t>(i) - 1].number == i) {
      return entries_[static_cast<std::size_t>(i) - 1].text();
    }
    auto it = std::lower_bound(
        entries_.begin(), entries_.end(), i,
        [](const Entry& e, int number) { return e.number < number; });
    if (it == entries_.end() || it->number != i) return std::nullopt;
    return it->text();
  }

  // The first entry up to `count` naming the user. `keyed`: names are equal
  // when their UserNameKeys are (the platform's NamesEqual), and from the
  // second lookup on found through an index.
  int FindUser(std::string_view name, int count, bool keyed) const {
    if (count <= 0) return 0;
    return keyed ? FindKeyed(name, count) : FindCompared(name, count);
  }

  std::vector<int> Numbers(int limit) const {
    std::vector<int> numbers;
    for (const Entry& entry : entries_) {
      if (entry.number > limit) break;
      numbers.push_back(entry.number);
    }
    return numbers;
  }

 private:
  int FindKeyed(std::string_view name, int count) const {
    const std::string key = UserNameKey(name);
    if (++lookups_ == 1) {
      // One pass, comparing names first: most entries fail at once.
      for (const Entry& entry : entries_) {
        if (entry.number > count) break;
        if (NamesUser(entry.text(), key)) return entry.number;
      }
      return 0;
    }
    if (by_hash_.empty() && !entries_.empty()) BuildIndex();
    const std::uint64_t hash = HashOfKey(key);
    auto it = std::lower_bound(by_hash_.begin(), by_hash_.end(),
                               std::pair<std::uint64_t, int>{hash, 0});
    for (; it != by_hash_.end() && it->first == hash; ++it) {
      if (it->second > count) break;
      // The hash only narrows: the entry itself must name the user.
      if (NamesUser(*Find(it->second), key)) return it->second;
    }
    return 0;
  }

  // Names compared by the platform (lstrcmpiA on Windows), which no key of
  // ours can stand for. The first lookups walk the entries; then a binary
  // search finds the name among entries sorted in the platform's order, in
  // which a name sorts next to every name it equals: a repair looking up
  // every user costs N log N comparisons, not N squared.
  int FindCompared(std::string_view name, int count) const {
    const std::string wanted(name);
    if (++compared_lookups_ <= kWalkedLookups) {
      std::string user_name;  // one buffer for every entry's name
      for (const Entry& entry : entries_) {
        if (entry.number > count) break;
        std::optional<std::string_view> user = MatchableName(entry.text());
        if (!user) continue;
        user_name.assign(*user);
        if (Sys().NamesEqual(wanted.c_str(), user_name.c_str())) {
          return entry.number;
        }
      }
      return 0;
    }
    if (by_name_.empty() && !entries_.empty()) SortByName();
    auto it = std::lower_bound(
        by_name_.begin(), by_name_.end(), wanted,
        [](const std::pair<std::string, int>& e, const std::string& w) {
          return Sys().CompareNames(e.first.c_str(), w.c_str()) < 0;
        });
    // The first of the equal names has the lowest number.
    if (it == by_name_.end() ||
        Sys().CompareNames(it->first.c_str(), wanted.c_str()) != 0 ||
        it->second > count) {
      return 0;
    }
    return it->second;
  }

  // A walk costs one comparison per entry, a sort some fifteen.
  static constexpr int kWalkedLookups = 8;

  void SortByName() const {
    by_name_.reserve(entries_.size());
    for (const Entry& entry : entries_) {
      if (std::optional<std::string_view> user = MatchableName(entry.text())) {
        by_name_.emplace_back(std::string(*user), entry.number);
      }
    }
    std::sort(by_name_.begin(), by_name_.end(),
              [](const std::pair<std::string, int>& a,
                 const std::pair<std::string, int>& b) {
                const int order =
                    Sys().CompareNames(a.first.c_str(), b.first.c_str());
                return order != 0 ? order < 0 : a.second < b.second;
              });
  }

  // FNV-1a over a UserNameKey's bytes.
  static std::uint64_t HashOfKey(std::string_view key) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (char c : key) {
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    return hash;
  }

  // The hash of the name's UserNameKey, built only for non-ASCII names.
  static std::uint64_t HashOfName(std::string_view name) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (char c : name) {
      if (static_cast<unsigned char>(c) >= 0x80) {
        return HashOfKey(UserNameKey(name));
      }
      hash =
          (hash ^ static_cast<unsigned char>(AsciiKey(c))) * 1099511628211ULL;
    }
    return hash;
  }

  // Every entry with a name, by its key's hash, then by number: one pass
  // and one sort. Invalid entries may be in it; lookups check each found.
  void BuildIndex() const {
    by_hash_.reserve(entries_.size());
    for (const Entry& entry : entries_) {
      const std::string_view text = Cut(entry.text(), kEntrySize);
      const std::size_t comma = text.find(',');
      if (comma != std::string_view::npos) {
        by_hash_.emplace_back(HashOfName(text.substr(0, comma)), entry.number);
      }
    }
    std::sort(by_hash_.begin(), by_hash_.end());
  }

  std::vector<Entry> entries_;
  mutable int lookups_ = 0;
  mutable int compared_lookups_ = 0;
  mutable std::vector<std::pair<std::string, int>> by_name_;
  mutable std::vector<std::pair<std::uint64_t, int>> by_hash_;
};

// What the first lookup in a version of a document found.
struct Walked {
  std::uint64_t version = 0;
  int found = 0;
  std::string_view text;  // the found entry's value, in the document
};

// The last lookup by name, and its answer.
struct LastLookup {
  std::uint64_t version = 0;
  int count = 0, found = 0;
  std::string name;
};

// The store's document (changing under this process's update) and what
// is derived from it, following its version.
class FromDocument final {
 public:
  explicit FromDocument(std::shared_ptr<const profile::Document> doc)
      : doc_(std::move(doc)) {}

  const profile::Document* document() const { return doc_.get(); }

  int Count() const {
    // Read once per version of the document: every lookup asks for it.
    if (!count_ || count_version_ != doc_->version()) {
      count_ = static_cast<int>(profile::ParseInt(
          doc_->Find(kCountSection, kCountKey).value_or(""), 0));
      count_version_ = doc_->version();
    }
    return *count_;
  }
  std::string EntryText(int i) const {
    // Between writes the entries in order answer; right after one, the
    // document, so that a walk that writes as it goes (a repair) never
    // derives the entries again.
    if (!current()) entries_.reset();  // outdated: its memory goes now
    std::optional<std::string_view> value;
    if (current()) {
      value = entries_->Find(i);
    } else if (walked_ && walked_->version == doc_->version() &&
               walked_->found == i && i != 0) {
      value = walked_->text;  // the entry the first lookup found
    } else {
      value = doc_->Find(kUserSection, EntryKey(i));
    }
    return std::string(Cut(value.value_or(""), kEntrySize));
  }
  std::string DefaultUser() const {
    return std::string(Cut(
        doc_->Find(kDefaultSection, kDefaultKey).value_or(""), kDefaultSize));
  }
  int FindUser(std::string_view name) const {
    const int count = Count();
    // A host asks again and again for the user signed in: the last answer
    // stands for this version of the file.
    if (last_ && last_->version == doc_->version() && last_->count == count &&
        last_->name == name) {
      return last_->found;
    }
    std::optional<int> found;
    if (kNamesByKey && !current() && !walked_in_this_version()) {
      found = Walk(name, count);
    }
    if (!found) found = Derived().FindUser(name, count, kNamesByKey);
    if (!last_) last_.emplace();
    last_->version = doc_->version();
    last_->count = count;
    last_->name.assign(name);
    last_->found = *found;
    return *found;
  }
  std::vector<int> Numbers(int limit) const { return Derived().Numbers(limit); }

 private:
  bool current() const { return entries_ && version_ == doc_->version(); }
  bool walked_in_this_version() const {
    return walked_ && walked_->version == doc_->version();
  }

  // The first lookup in a version of the file: one walk over the user
  // section, keeping only the entry found (a first call pays for every
  // page it touches, and the entries in order are as large as the lines).
  // nullopt when the keys are not ascending in the file: the first met
  // naming the user is then not the first in number order.
  std::optional<int> Walk(std::string_view name, int count) const {
    walked_.emplace();
    walked_->version = doc_->version();
    if (count <= 0) return 0;
    const std::string key = UserNameKey(name);
    int previous = 0;
    bool ascending = true;
    doc_->ForEachLine(kUserSection, [&](std::string_view k,
                                        std::string_view value) {
      const int i = EntryNumberOf(k);
      if (i == 0 || !ascending) return;
      if (i <= previous) {
        ascending = false;
        return;
      }
      previous = i;
      if (walked_->found != 0 || i > count) return;
      if (NamesUser(value, key)) {
        walked_->found = i;
        walked_->text = value;
      }
    });
    if (!ascending) {
      walked_->found = 0;
      return std::nullopt;
    }
    return walked_->found;
  }

  const Entries& Derived() const {
    if (!current()) {
      entries_.reset();
      std::vector<Entry> entries;
      entries.reserve(doc_->LinesIn(kUserSection));
      doc_->ForEachLine(kUserSection,
                        [&](std::string_view key, std::string_view value) {
                          if (int i = EntryNumberOf(key)) {
                            entries.emplace_back(i, value);
                          }
                        });
      entries_.emplace(std::move(entries), walked_in_this_version() ? 1 : 0);
      version_ = doc_->version();
    }
    return *entries_;
  }

  std::shared_ptr<const profile::Document> doc_;
  mutable std::optional<Entries> entries_;
  mutable std::uint64_t version_ = 0;
  mutable std::optional<int> count_;
  mutable std::uint64_t count_version_ = 0;
  mutable std::optional<Walked> walked_;
  mutable std::optional<LastLookup> last_;
};

// The snapshots kept between calls, one per registry a host uses (few),
// so that entries and name index outlive a call; `taken`: the current
// scope answers from it.
struct Kept {
  std::shared_ptr<const FromDocument> snapshot;
  bool taken = false;
};

constexpr std::size_t kKeptRegistries = 4;

struct Snapshots {
  int depth = 0;  // of nested RegistryScopes
  std::map<std::string, Kept> kept;
};

Snapshots& Current() {
  static Snapshots snapshots;
  return snapshots;
}

std::shared_ptr<const FromDocument> SnapshotOf(const std::string& registry) {
  Snapshots& snapshots = Current();
  auto it = snapshots.kept.find(registry);
  if (it != snapshots.kept.end() && it->second.taken) return it->second.snapshot;
  std::shared_ptr<const profile::Document> doc = ProfileSnapshot(registry);
  if (it == snapshots.kept.end()) {
    if (snapshots.kept.size() >= kKeptRegistries) {
      // Only snapshots no scope answers from may go.
      std::erase_if(snapshots.kept, [](const auto& k) { return !k.second.taken; });
    }
    it = snapshots.kept.emplace(registry, Kept{}).first;
  }
  Kept& kept = it->second;
  if (!kept.snapshot || kept.snapshot->document() != doc.get()) {
    kept.snapshot = std::make_shared<const FromDocument>(std::move(doc));
  }
  kept.taken = snapshots.depth > 0;
  return kept.snapshot;
}

}  // namespace

void ForgetSnapshot(const std::string& registry) {
  auto it = Current().kept.find(registry);
  if (it != Current().kept.end()) it->second.taken = false;
}

RegistryScope::RegistryScope() { ++Current().depth; }

RegistryScope::~RegistryScope() {
  Snapshots& snapshots = Current();
  if (--snapshots.depth == 0) {
    for (auto& [registry, kept] : snapshots.kept) kept.taken = false;
  }
}

int EntryNumberOf(std::string_view key) {
  if (key.empty() || key.size() > 10 || key.front() == '0') return 0;
  long long number = 0;
  for (char c : key) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number <= INT_MAX ? static_cast<int>(number) : 0;
}

int ReadCount(const std::string& registry) {
  return SnapshotOf(registry)->Count();
}

std::string ReadEntry(const std::string& registry, int i) {
  return SnapshotOf(registry)->EntryText(i);
}

std::string ReadDefaultUser(const std::string& registry) {
  return SnapshotOf(registry)->DefaultUser();
}

int FindUser(const std::string& registry, std::string_view name) {
  return SnapshotOf(registry)->FindUser(name);
}

std::vector<int> HeldEntryNumbers(const std::string& registry, int limit) {
  return SnapshotOf(registry)->Numbers(limit);
}

}  // namespace userprofile
