// The profile engine on arbitrary bytes: reading never crashes, and one
// write changes only its own key. After WithValue(content, s, k, v) the key
// reads back as v (for a v without blanks at an end or enclosing quotes,
// which reading removes), every other key that could be read before reads
// the same, and writing the same value again changes nothing.
//
// Input: three length bytes, then the section, key and value they size,
// then the file's content (everything left).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry/profile_document.h"
#include "registry/profile.h"

namespace profile = userprofile::profile;

namespace {

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "profile property broken: %s\n", what);
  std::abort();
}

// A key that a line "key=value" gives back as written. Keys with '=' split
// elsewhere, keys starting with '[' may read as a section header, blanks
// at an end are trimmed, and an empty key names nothing: the library's own
// keys ("NO", "DefaultUser", decimal numbers) are none of these.
bool IsWritableKey(std::string_view key) {
  return !key.empty() && profile::Trim(key) == key && key.front() != '[' &&
         key.find('=') == std::string_view::npos && !profile::BreaksLine(key);
}

// A value that a "key=value" line gives back as written. The engine writes
// values raw, as the Windows service does, and reading trims blanks and
// drops enclosing quotes; the registry layer quotes values that need it.
bool IsRoundTripValue(std::string_view value) {
  return profile::Unquote(profile::Trim(value)) == value;
}

// A section that a header "[section]" names: not empty once trimmed.
bool IsWritableSection(std::string_view section) {
  return !profile::Trim(section).empty() && !profile::BreaksLine(section);
}

// Every (section, key) pair that a line of the content could name. A
// superset of what FindValue finds is enough: the others read as missing.
std::vector<std::pair<std::string, std::string>> NamedPairs(
    std::string_view content) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string section;
  std::size_t begin = 0;
  while (begin <= content.size()) {
    std::size_t end = content.find_first_of("\r\n", begin);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(begin, end - begin);
    line = profile::Trim(line.substr(0, line.find('\0')));
    std::size_t close = line.rfind(']');
    if (!line.empty() && line.front() == '[' && close != std::string_view::npos &&
        close > 0) {
      section = std::string(profile::Trim(line.substr(1, close - 1)));
    } else if (std::size_t eq = line.find('='); eq != std::string_view::npos) {
      pairs.emplace_back(section, std::string(profile::Trim(line.substr(0, eq))));
    }
    begin = end + 1;
  }
  return pairs;
}

std::string_view Take(std::string_view& input, std::size_t n) {
  n = std::min(n, input.size());
  std::string_view part = input.substr(0, n);
  input.remove_prefix(n);
  return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t section_size = static_cast<unsigned char>(input[0]) % 16;
  const std::size_t key_size = static_cast<unsigned char>(input[1]) % 16;
  const std::size_t value_size = static_cast<unsigned char>(input[2]) % 64;
  input.remove_prefix(3);
  const std::string section(Take(input, section_size));
  const std::string key(Take(input, key_size));
  const std::string value(Take(input, value_size));
  const std::string content(input);

  // Reading anything never crashes.
  std::optional<std::string> old_value =
      profile::ValueIn(content, section, key);
  profile::ParseInt(old_value.value_or(""), 0);

  std::optional<std::string> written =
      profile::WithValue(content, section, key, value);
  Require(written.has_value() ==
              !(profile::BreaksLine(section) || profile::BreaksLine(key) ||
                profile::BreaksLine(value)),
          "a write is refused exactly when an argument breaks a line");
  if (!written || !IsWritableKey(key) || !IsWritableSection(section)) return 0;

  if (IsRoundTripValue(value)) {
    Require(profile::ValueIn(*written, section, key) == std::string_view(value),
            "the written key reads back as written");
  }
  for (const auto& [s, k] : NamedPairs(content)) {
    if (profile::SameName(s, profile::Trim(section)) && profile::SameName(k, key)) {
      continue;
    }
    Require(profile::ValueIn(content, s, k) == profile::ValueIn(*written, s, k),
            "every other key reads as before");
  }
  Require(profile::WithValue(*written, section, key, value) == written,
          "writing the same value again changes nothing");
  return 0;
}
