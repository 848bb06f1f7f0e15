// A profile file parsed once and kept in memory, so that reads and edits
// no longer pass over the whole file. Find answers exactly as FindValue
// answers on the document's bytes, and after any sequence of Set calls the
// bytes are exactly those the same sequence of WithValue calls produces:
// the platform may serve a file from it, and write it back, in place of
// the pure engine of profile.h.
//
// Cost: building is one pass over the bytes; Find is O(1) expected (a
// hash of the section name, then of the key within that section); Set is
// O(1) amortized, except for an edit that would change how the lines
// around it parse (a key such as "[x]" written as a header), which
// rebuilds the document from its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace userprofile::profile {

class Document {
 public:
  explicit Document(std::string content = {});
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // FindValue on the current bytes. The view lasts until the next Set.
  std::optional<std::string_view> Find(std::string_view section,
                                       std::string_view key) const;

  // WithValue in place. Returns false, changing nothing, when an argument
  // breaks a line.
  bool Set(std::string_view section, std::string_view key,
           std::string_view value);

  // The document's bytes.
  std::string Bytes() const;
  // True if `content` is exactly Bytes(), found without building them.
  bool HasBytes(std::string_view content) const;
  std::size_t size() const { return size_; }

  // Calls fn(key, value) once for every distinct key of the first section
  // named `section`, with the value Find gives for that key, in no
  // particular order.
  void ForEachKey(std::string_view section,
                  const std::function<void(std::string_view key,
                                           std::string_view value)>& fn) const;

  // Unique among the documents of this process.
  std::uint64_t id() const { return id_; }
  // Grows with every Set that changes the bytes.
  std::uint64_t version() const { return version_; }
  // Calls fn(section, key) for every change since `version` of this
  // document: every (section, key) whose Find may now answer differently.
  // Every pair not named answers as it did then. Returns false when the
  // record does not reach back that far; the caller must then treat the
  // whole document as changed.
  bool ChangesSince(std::uint64_t version,
                    const std::function<void(std::string_view section,
                                             std::string_view key)>& fn) const;

 private:
  // One line: its text (without the break) and its break.
  struct Line {
    std::size_t begin;  // offset in base_, or in arena_ if edited
    std::size_t length;
    std::uint8_t brk;  // one of the Break values
    bool edited;
  };
  // Open addressing: the first key line of each distinct key in one
  // section. A slot holds the line id + 1 in its high 40 bits (0 is a free
  // slot) and the low 24 bits of the key's hash, which spare most
  // comparisons and, for tables up to 2^24 slots, every rehash.
  struct KeyTable {
    std::vector<std::uint64_t> slots;
    std::size_t used = 0;
  };
  struct Section {
    std::size_t header;
    std::size_t end;     // one past the section's own run of lines
    std::size_t last;    // last non-blank line: a new key goes after it
    std::size_t anchor;  // the line this section's new keys hang from
    KeyTable keys;
    bool duplicates = false;  // a key appears on more than one line
  };
  struct Change {
    std::string section;
    std::string key;
  };

  void Parse();
  std::string_view Text(std::size_t id) const;
  std::string_view KeyOf(std::size_t id) const;
  std::size_t NewLine(std::string_view text, std::uint8_t brk);
  void SetText(std::size_t id, std::string_view text);
  void CompactArena();
  void SetBreak(std::size_t id, std::uint8_t brk);
  const Section* FindSection(std::string_view trimmed) const;
  std::optional<std::size_t> FindKey(const Section& section,
                                     std::string_view trimmed) const;
  void AddKey(Section& section, std::string_view key, std::size_t id);
  void VisitKeyLine(
      const Section& section, std::size_t id,
      const std::function<void(std::string_view, std::string_view)>& fn) const;
  void GrowKeys(KeyTable& table);
  std::optional<std::size_t> FinalLine() const;
  void Rebuild(std::string content);
  void Record(std::string_view section, std::string_view key);
  template <typename Fn>
  void ForEachPiece(Fn&& fn) const;

  std::uint64_t id_;
  std::uint64_t version_ = 0;
  std::string base_;        // the bytes the document was built from
  std::size_t prefix_ = 0;  // a UTF-8 byte order mark, kept as it is
  std::size_t base_lines_ = 0;
  std::vector<Line> lines_;        // base lines first, then every added line
  std::string arena_;              // text of edited and added lines
  std::size_t arena_garbage_ = 0;  // bytes of texts since replaced
  std::vector<std::size_t> tail_;  // lines appended at the end
  std::map<std::size_t, std::vector<std::size_t>> inserts_;  // by anchor
  std::vector<Section> sections_;
  std::unordered_map<std::string, std::size_t> section_index_;  // folded
  std::uint8_t eol_;  // break of new lines
  std::size_t size_ = 0;
  std::vector<Change> journal_;
  std::uint64_t journal_start_ = 0;  // the version before journal_[0]
};

}  // namespace userprofile::profile
