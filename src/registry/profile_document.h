// A profile file parsed once and kept in memory: the library's one engine
// of profile files, with the reading rules of the Windows profile
// services. Find answers as GetPrivateProfileStringA does, and an edit
// keeps every byte but the line it changes or adds.
//
// Cost: building is one pass that finds every line's break, section and
// '='. A section's keys are indexed (a hash set of line numbers) at the
// first Find or Set in it, so a walk with ForEachLine never pays for the
// index. Find is then O(1) expected; Set O(1) amortized, except for an
// edit that changes how the lines around it parse (a key such as "[x]"),
// which rebuilds the document from its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace userprofile::profile {

class Document {
 public:
  explicit Document(std::string content = {});
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // The value of `key` in the first section named `section`, trimmed and
  // unquoted, or nullopt when the section or key is missing. The first of
  // duplicate keys wins; a line without '=' is not a key. The view lasts
  // until the next Set.
  std::optional<std::string_view> Find(std::string_view section,
                                       std::string_view key) const;

  // Sets `key` of `section` to `value`: the first matching key's line is
  // rewritten as "key=value" (keeping the key's spelling and the line's
  // ending), a new key goes after the last line of the first matching
  // section, and a new section is appended at the end. New lines use the
  // content's own line ending (CRLF for content without one). False,
  // changing nothing, when an argument breaks a line.
  bool Set(std::string_view section, std::string_view key,
           std::string_view value);

  // Removes every key line of the first section named `section` (duplicates
  // included) whose trimmed key `drop` picks, keeping every other byte, in
  // one pass. Returns how many lines went.
  std::size_t RemoveKeys(std::string_view section,
                         const std::function<bool(std::string_view key)>& drop);

  std::string Bytes() const;
  // True if `content` is exactly Bytes(), found without building them.
  bool HasBytes(std::string_view content) const;
  std::size_t size() const { return size_; }

  // Calls fn(key, value) for every key line of the first section named
  // `section`, in file order, duplicates included: the key trimmed, the
  // value as Find would give it. The views last until the next Set.
  void ForEachLine(std::string_view section,
                   const std::function<void(std::string_view key,
                                            std::string_view value)>& fn) const;

  // The lines of the first section named `section` as
  // GetPrivateProfileSectionA lists them, each ended by a NUL, in file
  // order: "key=value" for a key line (both trimmed, quotes kept), any
  // other line trimmed; blank lines and comments (';' first) left out.
  std::string SectionLines(std::string_view section) const;

  // How many lines ForEachLine may visit at most.
  std::size_t LinesIn(std::string_view section) const;

  // Grows with every Set that changes the bytes.
  std::uint64_t version() const { return version_; }

 private:
  static constexpr std::uint32_t kNoEq = 0xFFFFFFFFu;    // no '=' in the text
  static constexpr std::uint32_t kFindEq = 0xFFFFFFFEu;  // too far to keep
  // One line: its text (without the break), its break, and where the '='
  // that ends its key stands (before any NUL), if anywhere.
  struct Line {
    std::size_t begin;  // offset in base_, or in arena_ if edited
    std::size_t length;
    std::uint32_t eq;
    std::uint8_t brk;  // one of the Break values
    bool edited;
    bool gone = false;  // removed: no text, no break
  };
  // The key lines of a section by key, first line of each key only; a key
  // looked up is a KeyName, so that no string is built for it.
  struct KeyName {
    std::string_view text;
  };
  struct KeyHash {
    using is_transparent = void;
    const Document* doc;
    std::size_t operator()(std::size_t id) const;
    std::size_t operator()(KeyName key) const;
  };
  struct KeyEqual {
    using is_transparent = void;
    const Document* doc;
    bool operator()(std::size_t a, std::size_t b) const;
    bool operator()(std::size_t a, KeyName b) const;
    bool operator()(KeyName a, std::size_t b) const;
  };
  using KeySet = std::unordered_set<std::size_t, KeyHash, KeyEqual>;
  struct Section {
    std::size_t header;
    std::size_t end;     // one past the section's own run of lines
    std::size_t last;    // last non-blank line: a new key goes after it
    std::size_t anchor;  // the line this section's new keys hang from
    mutable std::optional<KeySet> keys;  // built at the first lookup
  };

  void Parse();
  std::string_view Text(std::size_t id) const;
  std::string_view KeyOf(std::size_t id) const;
  std::optional<std::string_view> ValueOf(std::size_t id) const;
  static std::uint32_t EqOf(std::string_view text);
  std::size_t NewLine(std::string_view text, std::uint8_t brk);
  void SetText(std::size_t id, std::string_view text);
  void CompactArena();
  void SetBreak(std::size_t id, std::uint8_t brk);
  const Section* FindSection(std::string_view trimmed) const;
  KeySet& KeysOf(const Section& section) const;
  std::optional<std::size_t> FindKey(const Section& section,
                                     std::string_view trimmed) const;
  template <typename Fn>
  void ForEachLineId(const Section& section, Fn&& fn) const;
  std::optional<std::size_t> FinalLine() const;
  bool Rebuild();
  template <typename Fn>
  void ForEachPiece(Fn&& fn) const;

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
};

// The value Document::Find gives in `content`, and the bytes after one
// Document::Set, for a caller that reads or edits some bytes once.
std::optional<std::string> ValueIn(std::string_view content,
                                   std::string_view section, std::string_view key);
std::optional<std::string> WithValue(std::string_view content,
                                     std::string_view section,
                                     std::string_view key,
                                     std::string_view value);

}  // namespace userprofile::profile
