#include "registry/profile_document.h"

#include <algorithm>
#include <limits>

#include "registry/profile.h"

namespace userprofile::profile {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

enum Break : std::uint8_t { kNoBreak, kCr, kLf, kCrLf };

std::string_view BreakText(std::uint8_t brk) {
  constexpr std::string_view kText[] = {"", "\r", "\n", "\r\n"};
  return kText[brk];
}

std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = FoldAscii(c);
  return folded;
}

// FNV-1a over the folded bytes: names SameName calls equal hash alike.
std::uint64_t HashName(std::string_view name) {
  std::uint64_t h = 14695981039346656037ull;
  for (char c : name) {
    h ^= static_cast<unsigned char>(FoldAscii(c));
    h *= 1099511628211ull;
  }
  return h;
}

// The bytes the line scan stops at: line breaks, the NUL that ends a
// line's text, and the '=' that ends a key.
struct StopBytes {
  bool stop[256] = {};
  constexpr StopBytes() {
    stop[static_cast<unsigned char>('\r')] = true;
    stop[static_cast<unsigned char>('\n')] = true;
    stop[static_cast<unsigned char>('\0')] = true;
    stop[static_cast<unsigned char>('=')] = true;
  }
};
constexpr StopBytes kStop;

// Where the first '=' of a line's text (up to its NUL) stands.
std::size_t EqualsIn(std::string_view text) { return LineText(text).find('='); }

}  // namespace

Document::Document(std::string content) : base_(std::move(content)) { Parse(); }

void Document::Parse() {
  lines_.clear();
  arena_.clear();
  arena_garbage_ = 0;
  tail_.clear();
  inserts_.clear();
  sections_.clear();
  section_index_.clear();
  eol_ = kNoBreak;
  size_ = base_.size();
  prefix_ =
      base_.compare(0, kUtf8Bom.size(), kUtf8Bom) == 0 ? kUtf8Bom.size() : 0;
  const char* data = base_.data();
  const std::size_t n = base_.size();
  lines_.reserve(static_cast<std::size_t>(std::count(base_.begin(), base_.end(), '\n')) + 1);

  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::size_t current = kNone;  // the section whose lines these are
  std::size_t pos = prefix_;
  while (pos < n) {
    // One pass finds the break, the NUL ending the text, and its first '='.
    std::size_t end = pos;
    std::size_t nul = kNone;
    std::size_t eq = kNone;
    for (; end < n; ++end) {
      const char c = data[end];
      if (!kStop.stop[static_cast<unsigned char>(c)]) continue;
      if (c == '\r' || c == '\n') break;
      if (c == '\0') {
        if (nul == kNone) nul = end;
      } else if (eq == kNone && nul == kNone) {
        eq = end;
      }
    }
    std::uint8_t brk = kNoBreak;
    std::size_t next = end;
    if (end < n) {
      if (data[end] == '\n') {
        brk = kLf;
        next = end + 1;
      } else if (end + 1 < n && data[end + 1] == '\n') {
        brk = kCrLf;
        next = end + 2;
      } else {
        brk = kCr;
        next = end + 1;
      }
      if (eol_ == kNoBreak) eol_ = brk;
    }
    const std::size_t id = lines_.size();
    const std::size_t eq_at = eq == kNone ? kNone : eq - pos;
    lines_.push_back(Line{pos, end - pos,
                          eq_at == kNone    ? kNoEq
                          : eq_at < kFindEq ? static_cast<std::uint32_t>(eq_at)
                                            : kFindEq,
                          brk, false});
    const std::string_view text(data + pos, (nul == kNone ? end : nul) - pos);
    std::size_t first = 0;
    while (first < text.size() && IsBlank(text[first])) ++first;
    std::optional<std::string_view> name;
    if (first < text.size() && text[first] == '[') name = HeaderName(text);
    if (name) {
      // Only a name's first section is searched; it ends at any header.
      if (current != kNone) sections_[current].end = id;
      current = kNone;
      if (!name->empty()) {
        auto [it, added] =
            section_index_.try_emplace(Folded(*name), sections_.size());
        if (added) {
          sections_.push_back(Section{id, id + 1, id, id, std::nullopt});
          current = it->second;
        }
      }
    } else if (current != kNone && first < text.size()) {
      // A line with more than blanks: new keys of the section go after it.
      Section& section = sections_[current];
      section.last = section.anchor = id;
    }
    pos = next;
  }
  base_lines_ = lines_.size();
  if (current != kNone) sections_[current].end = base_lines_;
  if (eol_ == kNoBreak) eol_ = kCrLf;
}

std::string_view Document::Text(std::size_t id) const {
  const Line& line = lines_[id];
  return std::string_view(line.edited ? arena_ : base_)
      .substr(line.begin, line.length);
}

std::string_view Document::KeyOf(std::size_t id) const {
  const std::string_view text = Text(id);
  const std::size_t eq =
      lines_[id].eq == kFindEq ? EqualsIn(text) : lines_[id].eq;
  return Trim(text.substr(0, eq));
}

// The value Find gives for the line, nullopt for a line without a key.
std::optional<std::string_view> Document::ValueOf(std::size_t id) const {
  if (lines_[id].eq == kNoEq) return std::nullopt;
  const std::string_view text = Text(id);
  const std::size_t eq =
      lines_[id].eq == kFindEq ? EqualsIn(text) : lines_[id].eq;
  return Unquote(Trim(LineText(text.substr(eq + 1))));
}

std::uint32_t Document::EqOf(std::string_view text) {
  const std::size_t eq = EqualsIn(text);
  if (eq == std::string_view::npos) return kNoEq;
  return eq < kFindEq ? static_cast<std::uint32_t>(eq) : kFindEq;
}

std::size_t Document::NewLine(std::string_view text, std::uint8_t brk) {
  size_ += text.size() + BreakText(brk).size();
  lines_.push_back(Line{arena_.size(), text.size(), EqOf(text), brk, true});
  arena_.append(text);
  return lines_.size() - 1;
}

// The old text of an edited line stays in the arena as garbage until it
// outweighs the live text and the lines: compaction costs O(1) per edit.
void Document::SetText(std::size_t id, std::string_view text) {
  Line& line = lines_[id];
  size_ = size_ - line.length + text.size();
  if (line.edited) arena_garbage_ += line.length;
  line.begin = arena_.size();
  line.length = text.size();
  line.eq = EqOf(text);
  line.edited = true;
  arena_.append(text);
  if (arena_garbage_ > 65536 + lines_.size() * 8 &&
      arena_garbage_ * 2 > arena_.size()) {
    CompactArena();
  }
}

void Document::CompactArena() {
  std::string live;
  live.reserve(arena_.size() - arena_garbage_);
  for (Line& line : lines_) {
    if (!line.edited) continue;
    const std::size_t begin = live.size();
    live.append(arena_, line.begin, line.length);
    line.begin = begin;
  }
  arena_ = std::move(live);
  arena_garbage_ = 0;
}

void Document::SetBreak(std::size_t id, std::uint8_t brk) {
  size_ -= BreakText(lines_[id].brk).size();
  lines_[id].brk = brk;
  size_ += BreakText(brk).size();
}

const Document::Section* Document::FindSection(std::string_view trimmed) const {
  if (trimmed.empty()) return nullptr;  // an empty name never matches
  auto it = section_index_.find(Folded(trimmed));
  return it == section_index_.end() ? nullptr : &sections_[it->second];
}

std::size_t Document::KeyHash::operator()(std::size_t id) const {
  return HashName(doc->KeyOf(id));
}
std::size_t Document::KeyHash::operator()(KeyName key) const {
  return HashName(key.text);
}
bool Document::KeyEqual::operator()(std::size_t a, std::size_t b) const {
  return SameName(doc->KeyOf(a), doc->KeyOf(b));
}
bool Document::KeyEqual::operator()(std::size_t a, KeyName b) const {
  return SameName(doc->KeyOf(a), b.text);
}
bool Document::KeyEqual::operator()(KeyName a, std::size_t b) const {
  return SameName(a.text, doc->KeyOf(b));
}

// The section's key index, built at first use: each key's first line.
Document::KeySet& Document::KeysOf(const Section& section) const {
  if (!section.keys) {
    section.keys.emplace(0, KeyHash{this}, KeyEqual{this});
    ForEachLineId(section, [&](std::size_t id) {
      if (lines_[id].eq != kNoEq) section.keys->insert(id);
    });
  }
  return *section.keys;
}

std::optional<std::size_t> Document::FindKey(const Section& section,
                                             std::string_view trimmed) const {
  const KeySet& keys = KeysOf(section);
  auto it = keys.find(KeyName{trimmed});
  if (it == keys.end()) return std::nullopt;
  return *it;
}

std::optional<std::string_view> Document::Find(std::string_view section,
                                               std::string_view key) const {
  const Section* s = FindSection(Trim(section));
  if (s == nullptr) return std::nullopt;
  std::optional<std::size_t> id = FindKey(*s, Trim(key));
  if (!id) return std::nullopt;
  return ValueOf(*id);
}

// The last line of the bytes, where a new section is appended.
std::optional<std::size_t> Document::FinalLine() const {
  std::size_t last;
  if (!tail_.empty()) {
    last = tail_.back();
  } else if (base_lines_ > 0) {
    last = base_lines_ - 1;
  } else {
    return std::nullopt;
  }
  auto it = inserts_.find(last);
  return it == inserts_.end() ? last : it->second.back();
}

bool Document::Set(std::string_view section, std::string_view key,
                   std::string_view value) {
  if (BreaksLine(section) || BreaksLine(key) || BreaksLine(value)) {
    return false;
  }
  std::string line = std::string(key) + "=" + std::string(value);
  const std::size_t index_size = sections_.size();
  auto found = section_index_.end();
  if (!Trim(section).empty())
    found = section_index_.find(Folded(Trim(section)));

  if (found != section_index_.end()) {
    Section& s = sections_[found->second];
    if (std::optional<std::size_t> id = FindKey(s, Trim(key))) {
      // The key's line is rewritten in place, spelled as the file has it.
      const KeyLine kl = *SplitKeyLine(LineText(Text(*id)));
      if (Unquote(kl.value) == value) return true;
      std::string rewritten = std::string(kl.key) + "=" + std::string(value);
      if (rewritten == Text(*id)) return true;
      SetText(*id, rewritten);
      // An edit that changes how lines parse ("[z]" as a key) rebuilds.
      if (HeaderName(rewritten)) return Rebuild();
      ++version_;
      return true;
    }
    // A new key goes after the section's last non-blank line (a removed
    // line needs no break: the line before it has one).
    if (lines_[s.last].brk == kNoBreak && !lines_[s.last].gone) {
      SetBreak(s.last, eol_);
    }
    const std::size_t id = NewLine(line, eol_);
    inserts_[s.anchor].push_back(id);
    s.last = id;
    if (HeaderName(line)) return Rebuild();
    if (s.keys) s.keys->insert(id);
    ++version_;
    return true;
  }

  // A new section at the end of the file.
  if (std::optional<std::size_t> last = FinalLine()) {
    if (lines_[*last].brk == kNoBreak && !lines_[*last].gone) {
      SetBreak(*last, eol_);
    }
  } else if (prefix_ > 0) {
    tail_.push_back(NewLine({}, eol_));
  }
  const std::size_t header = NewLine("[" + std::string(section) + "]", eol_);
  tail_.push_back(header);
  const std::size_t id = NewLine(line, eol_);
  tail_.push_back(id);
  if (HeaderName(line)) return Rebuild();
  if (!Trim(section).empty()) {
    section_index_.emplace(Folded(Trim(section)), index_size);
    sections_.push_back(Section{header, id + 1, id, id, std::nullopt});
  }
  ++version_;
  return true;
}

std::size_t Document::RemoveKeys(
    std::string_view section,
    const std::function<bool(std::string_view key)>& drop) {
  const Section* found = FindSection(Trim(section));
  if (found == nullptr) return 0;
  std::vector<std::size_t> going;
  ForEachLineId(*found, [&](std::size_t id) {
    if (lines_[id].eq != kNoEq && drop(KeyOf(id))) going.push_back(id);
  });
  if (going.empty()) return 0;
  for (const std::size_t id : going) {
    SetText(id, {});
    SetBreak(id, kNoBreak);
    lines_[id].gone = true;
  }
  // Another line of a removed key may now be its first: index anew.
  found->keys.reset();
  ++version_;
  return going.size();
}

// After an edit that changes how lines parse: readers must rebuild what
// they derived.
bool Document::Rebuild() {
  base_ = Bytes();
  Parse();
  ++version_;
  return true;
}

// A section's lines in file order, with those added after its anchor.
template <typename Fn>
void Document::ForEachLineId(const Section& section, Fn&& fn) const {
  auto added = inserts_.find(section.anchor);
  for (std::size_t id = section.header; id < section.end; ++id) {
    if (id != section.header) fn(id);
    if (id == section.anchor && added != inserts_.end()) {
      for (std::size_t line : added->second) fn(line);
    }
  }
}

std::size_t Document::LinesIn(std::string_view section) const {
  const Section* s = FindSection(Trim(section));
  if (s == nullptr) return 0;
  auto added = inserts_.find(s->anchor);
  return s->end - s->header +
         (added == inserts_.end() ? 0 : added->second.size());
}

void Document::ForEachLine(
    std::string_view section,
    const std::function<void(std::string_view, std::string_view)>& fn) const {
  const Section* s = FindSection(Trim(section));
  if (s == nullptr) return;
  ForEachLineId(*s, [&](std::size_t id) {
    if (std::optional<std::string_view> value = ValueOf(id)) {
      fn(KeyOf(id), *value);
    }
  });
}

std::string Document::SectionLines(std::string_view section) const {
  std::string out;
  const Section* s = FindSection(Trim(section));
  if (s == nullptr) return out;
  ForEachLineId(*s, [&](std::size_t id) {
    const std::string_view text = LineText(Text(id));
    const std::string_view trimmed = Trim(text);
    if (trimmed.empty() || trimmed.front() == ';') return;  // a comment
    if (std::optional<KeyLine> kl = SplitKeyLine(text)) {
      out.append(kl->key).append("=").append(kl->value).push_back('\0');
    } else {
      out.append(trimmed).push_back('\0');
    }
  });
  return out;
}

// Calls fn with the document's bytes piece by piece: every line in its
// place, and after each anchor the lines added there.
template <typename Fn>
void Document::ForEachPiece(Fn&& fn) const {
  fn(std::string_view(base_).substr(0, prefix_));
  auto inserted = inserts_.begin();
  auto emit = [&](std::size_t id) {
    fn(Text(id));
    fn(BreakText(lines_[id].brk));
    if (inserted != inserts_.end() && inserted->first == id) {
      for (std::size_t added : inserted->second) {
        fn(Text(added));
        fn(BreakText(lines_[added].brk));
      }
      ++inserted;
    }
  };
  for (std::size_t id = 0; id < base_lines_; ++id) emit(id);
  for (std::size_t id : tail_) emit(id);
}

std::string Document::Bytes() const {
  std::string out;
  out.reserve(size_);
  ForEachPiece([&](std::string_view piece) { out.append(piece); });
  return out;
}

bool Document::HasBytes(std::string_view content) const {
  if (content.size() != size_) return false;
  bool same = true;
  std::size_t at = 0;
  ForEachPiece([&](std::string_view piece) {
    same = same && at + piece.size() <= content.size() &&
           content.compare(at, piece.size(), piece) == 0;
    at += piece.size();
  });
  return same && at == content.size();
}

std::optional<std::string> ValueIn(std::string_view content,
                                   std::string_view section, std::string_view key) {
  const Document doc{std::string(content)};
  const std::optional<std::string_view> value = doc.Find(section, key);
  if (!value) return std::nullopt;
  return std::string(*value);
}

std::optional<std::string> WithValue(std::string_view content,
                                     std::string_view section,
                                     std::string_view key,
                                     std::string_view value) {
  Document doc{std::string(content)};
  if (!doc.Set(section, key, value)) return std::nullopt;
  return doc.Bytes();
}

}  // namespace userprofile::profile
