// The lookup of users by name from an index of the registry, kept between
// calls and brought up to date from the platform's snapshot of the file:
// after a change made by this process only the entries it touched are
// looked at again, after any other change the index is built anew. The
// answers are those of the lookup loop, entry by entry: the first entry up
// to the count that is valid, holds a comma, and names the user. Names are
// keyed by UserNameKey, which is NamesEqual on the platform that gives
// snapshots.
#include <algorithm>
#include <climits>
#include <map>
#include <vector>

#include "platform/names.h"
#include "platform/platform.h"
#include "platform/profile.h"
#include "registry/registry.h"

namespace userprofile {
namespace {

// The user name of an entry as the lookup reads it (cut to the entry
// size), or nullopt for an entry that never matches a name.
std::optional<std::string_view> MatchableName(std::string_view value) {
  const std::string_view entry = value.substr(0, kEntrySize - 1);
  if (!IsValidEntry(entry)) return std::nullopt;
  const std::size_t comma = entry.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  return entry.substr(0, comma);
}

// The entry number whose key ("%d") is `key`, or 0 if no entry number is
// spelled that way.
int EntryNumberOf(std::string_view key) {
  if (key.empty() || key.size() > 10 || key.front() == '0') return 0;
  long long number = 0;
  for (char c : key) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number <= INT_MAX ? static_cast<int>(number) : 0;
}

// 32 bits are enough: every candidate is checked against the document.
std::uint32_t HashNameKey(std::string_view key) {
  std::uint32_t h = 2166136261u;
  for (char c : key) {
    h ^= static_cast<unsigned char>(c);
    h *= 16777619u;
  }
  return h;
}

int CountOf(const profile::Document& doc) {
  return static_cast<int>(
      profile::ParseInt(doc.Find(kCountSection, kCountKey).value_or(""), 0));
}

std::optional<std::string_view> EntryOf(const profile::Document& doc, int i) {
  return doc.Find(kUserSection, EntryKey(i));
}

// Entry numbers by the hash of their user's NameKey. An entry that changed
// is added again under its new name and its old slot is left behind:
// every candidate is checked against the document, and the index is built
// anew once such leftovers could outnumber the live slots.
class NameIndex {
 public:
  int Find(const profile::Document& doc, std::string_view name) {
    Refresh(doc);
    if (count_ <= 0) return 0;
    const std::string key = UserNameKey(name);
    const std::uint32_t hash = HashNameKey(key);
    std::vector<int> candidates;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i].entry != 0;
         i = (i + 1) & mask) {
      if (slots_[i].hash == hash) candidates.push_back(slots_[i].entry);
    }
    std::sort(candidates.begin(), candidates.end());
    for (int entry : candidates) {
      if (entry > count_) break;
      std::optional<std::string_view> user =
          MatchableName(EntryOf(doc, entry).value_or(""));
      if (user && UserNameKey(*user) == key) return entry;
    }
    return 0;
  }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    int entry = 0;  // 0: a free slot
  };

  void Refresh(const profile::Document& doc) {
    if (doc.id() == doc_ && doc.version() == version_) return;
    bool rebuild = doc.id() != doc_ ||
                   !doc.ChangesSince(version_, [&](std::string_view section,
                                                   std::string_view key) {
                     if (!rebuild_) Apply(doc, section, key);
                   });
    if (rebuild || rebuild_ || leftovers_ > live_ + 1024) Rebuild(doc);
    doc_ = doc.id();
    version_ = doc.version();
  }

  void Apply(const profile::Document& doc, std::string_view section,
             std::string_view key) {
    if (profile::SameName(section, kCountSection) &&
        profile::SameName(key, kCountKey)) {
      const int count = CountOf(doc);
      // Entries that come into the count are added; those that leave it
      // stay, never read beyond the count.
      if (count > count_) {
        const long long added = static_cast<long long>(count) - count_;
        if (added > static_cast<long long>(live_) + 1024) {
          rebuild_ = true;
          return;
        }
        for (int i = std::max(count_, 0) + 1; i <= count; ++i) AddEntry(doc, i);
        leftovers_ += static_cast<std::size_t>(added);
      }
      count_ = count;
    } else if (profile::SameName(section, kUserSection)) {
      const int i = EntryNumberOf(key);
      if (i > 0 && i <= count_) {
        AddEntry(doc, i);
        ++leftovers_;
      }
    }
  }

  void Rebuild(const profile::Document& doc) {
    slots_.assign(16, Slot{});
    used_ = 0;
    leftovers_ = 0;
    rebuild_ = false;
    count_ = CountOf(doc);
    if (count_ > 0) {
      doc.ForEachKey(
          kUserSection, [&](std::string_view key, std::string_view value) {
            const int i = EntryNumberOf(key);
            if (i < 1 || i > count_) return;
            if (std::optional<std::string_view> user = MatchableName(value)) {
              Add(HashNameKey(UserNameKey(*user)), i);
            }
          });
    }
    live_ = used_;
  }

  void AddEntry(const profile::Document& doc, int i) {
    if (std::optional<std::string_view> user =
            MatchableName(EntryOf(doc, i).value_or(""))) {
      Add(HashNameKey(UserNameKey(*user)), i);
    }
  }

  void Add(std::uint32_t hash, int entry) {
    if ((used_ + 1) * 2 > slots_.size()) {
      std::vector<Slot> old = std::move(slots_);
      slots_.assign(old.size() * 2, Slot{});
      used_ = 0;
      for (const Slot& slot : old) {
        if (slot.entry != 0) Add(slot.hash, slot.entry);
      }
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].entry != 0) i = (i + 1) & mask;
    slots_[i] = Slot{hash, entry};
    ++used_;
  }

  std::uint64_t doc_ = 0;  // no document has id 0
  std::uint64_t version_ = 0;
  int count_ = 0;
  std::vector<Slot> slots_ = std::vector<Slot>(16);
  std::size_t used_ = 0;
  std::size_t live_ = 0;       // slots right after the last build
  std::size_t leftovers_ = 0;  // slots added since, an upper bound on stale
  bool rebuild_ = false;       // a change too large to apply one by one
};

// One index per registry; a host uses one.
constexpr std::size_t kIndexedRegistries = 4;

NameIndex& IndexOf(const std::string& registry) {
  static std::map<std::string, NameIndex> indexes;
  auto it = indexes.find(registry);
  if (it != indexes.end()) return it->second;
  if (indexes.size() >= kIndexedRegistries) indexes.erase(indexes.begin());
  return indexes[registry];
}

}  // namespace

std::optional<int> FindUserIndexed(const std::string& registry,
                                   std::string_view name) {
  std::shared_ptr<const profile::Document> doc =
      Sys().ProfileSnapshot(registry);
  if (!doc) return std::nullopt;
  return IndexOf(registry).Find(*doc, name);
}

std::optional<int> LastEntryNumber(const std::string& registry) {
  std::shared_ptr<const profile::Document> doc =
      Sys().ProfileSnapshot(registry);
  if (!doc) return std::nullopt;
  int last = 0;
  doc->ForEachKey(kUserSection, [&](std::string_view key, std::string_view) {
    last = std::max(last, EntryNumberOf(key));
  });
  return last;
}

}  // namespace userprofile
