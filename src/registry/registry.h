// The user registry: its names and sizes, the validators, and the small
// reads and writes that every registry operation is made of.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace userprofile {

inline constexpr const char* kCountSection = "NUSER";
inline constexpr const char* kCountKey = "NO";
inline constexpr const char* kUserSection = "LUSER";
inline constexpr const char* kDefaultSection = "DEFUSER";
inline constexpr const char* kDefaultKey = "DefaultUser";
inline constexpr const char* kDefaultUserName = "Default";

// Readers fetch an entry into 162 bytes and the default user into 33.
inline constexpr std::size_t kEntrySize = 162;
inline constexpr std::size_t kDefaultSize = 33;
inline constexpr std::size_t kMaxNameLength = 31;
inline constexpr std::size_t kHomeDirNameLength = 8;

// The character classes of user names, over single bytes: ASCII
// punctuation spoils a name, and a name needs an ASCII letter or digit.
bool IsPunctuation(unsigned char c);
bool IsLetterOrDigit(unsigned char c);

bool IsValidUserName(std::string_view name);
bool IsValidEntry(std::string_view entry);

// An entry "name,HOMEDIRN" split at its first comma; nullopt without one.
struct UserEntry {
  std::string name;
  std::string home_dir_name;
};
std::optional<UserEntry> SplitEntry(std::string_view entry);

// The key of entry number i ("%d").
std::string EntryKey(int i);
int ReadCount(const std::string& registry);
std::string ReadEntry(const std::string& registry, int i);

// Reports a registry write that was refused or failed.
void ReportWriteFailed();
// True if the value can be stored as one registry line.
bool IsStorable(std::string_view value);

// Writes one value; a refused or failed write is reported.
bool WriteRegistry(const std::string& registry, std::string_view section,
                   std::string_view key, std::string_view value);

// Records a new user at the number one above the stored count. False
// (reported) if the entry did not reach the registry.
bool RegisterUser(const std::string& registry, std::string_view name,
                  std::string_view dir_name);

// Holds the update lock of a registry for the length of a
// read-modify-write sequence, so that no other process's update
// interleaves with it. A lock that cannot be had in time is reported; the
// caller then makes no change at all. Writes under the lock may reach the
// file only when the outermost hold ends; if they cannot, that is
// reported as a failed write.
class RegistryUpdate {
 public:
  explicit RegistryUpdate(std::string registry);
  ~RegistryUpdate();
  RegistryUpdate(const RegistryUpdate&) = delete;
  RegistryUpdate& operator=(const RegistryUpdate&) = delete;
  bool held() const { return held_; }
  // Ends the hold now: true if the writes made under it reached the file
  // (a failure is reported). A hold nested in another ends with it.
  bool Finish();

 private:
  std::string registry_;
  bool held_;
};

// The lookup behind DoesUserExist, on a registry path already built.
int FindUser(const std::string& registry, std::string_view name);

// FindUser answered from an index of the platform's snapshot of the
// registry, kept between calls; nullopt when the platform keeps no
// snapshots.
std::optional<int> FindUserIndexed(const std::string& registry,
                                   std::string_view name);

// The highest entry number the registry holds a key for (0 for none), from
// the platform's snapshot; nullopt when the platform keeps no snapshots.
// Every entry above it reads as empty.
std::optional<int> LastEntryNumber(const std::string& registry);

}  // namespace userprofile
