// The user registry: its names and sizes, the validators, the reads and
// writes every registry operation is made of, and the operations on
// registered users. The top layer: frame, lock and homedir lie below it
// (the platform under all), and no layer includes one above it.
#pragma once

#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"

namespace userprofile {

class ProfileUpdate;

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

bool IsValidUserName(std::string_view name);
bool IsValidEntry(std::string_view entry);

// An entry "name,HOMEDIRN" split at its first comma; nullopt without one.
struct UserEntry {
  std::string name;
  std::string home_dir_name;
};
std::optional<UserEntry> SplitEntry(std::string_view entry);

// The key of entry number i ("%d"), and the number 1 to INT_MAX spelled
// by a key (0 for none).
std::string EntryKey(int i);
int EntryNumberOf(std::string_view key);

// For one exported call or one command of the tool, every read of a
// registry is answered from one snapshot taken at its first read; a write
// or the start of an update replaces it. Nested scopes share the
// outermost one. Module paths are remembered for as long.
class RegistryScope {
 public:
  RegistryScope();
  ~RegistryScope();
  RegistryScope(const RegistryScope&) = delete;
  RegistryScope& operator=(const RegistryScope&) = delete;

 private:
  ModulePathScope module_paths_;
};

// The reads every registry operation is made of, as a reader of the file
// would answer them, from a snapshot: walks over the entries cost what
// the registry holds, not what its count claims.
int ReadCount(const std::string& registry);  // as the signed value callers see
std::string ReadEntry(const std::string& registry, int i);  // cut to size
std::string ReadDefaultUser(const std::string& registry);   // cut to size
// The lookup behind DoesUserExist: the first entry from 1 to the count
// that is valid, holds a comma and names the user; 0 for none.
int FindUser(const std::string& registry, std::string_view name);

// Drops the scope's snapshot, after every write and as an update begins,
// so that the next read sees the file.
void ForgetSnapshot(const std::string& registry);

// The numbers from 1 to `limit` that hold a key, ascending; every other
// number reads as an empty entry.
std::vector<int> HeldEntryNumbers(const std::string& registry, int limit);

void ReportWriteFailed();
// True if the value can be stored as one registry line.
bool IsStorable(std::string_view value);

// Writes one value; a refused or failed write is reported.
bool WriteRegistry(const std::string& registry, std::string_view section,
                   std::string_view key, std::string_view value);

// Removes every line of entries above `count` up to `through` (text a
// removed or moved user left behind), keeping every other byte. False
// (reported) if the registry could not be changed.
bool RemoveEntriesAbove(const std::string& registry, int count,
                        int through = std::numeric_limits<int>::max());

// Records a new user at the number one above the stored count. False
// (reported) if the entry did not reach the registry.
bool RegisterUser(const std::string& registry, std::string_view name,
                  std::string_view dir_name);

// A ProfileUpdate of a registry for one read-modify-write sequence, so
// that no other process's update interleaves. A lock not had in time is
// reported, and the caller changes nothing. The writes reach the file
// when the outermost hold ends (Finish or scope end); a failure to get
// there is reported as a failed write.
class RegistryUpdate {
 public:
  explicit RegistryUpdate(std::string registry);
  ~RegistryUpdate();
  RegistryUpdate(const RegistryUpdate&) = delete;
  RegistryUpdate& operator=(const RegistryUpdate&) = delete;
  bool held() const;
  // Ends the hold now: true if the writes reached the file. A nested hold
  // ends with its outermost.
  bool Finish();

 private:
  std::string registry_;
  std::unique_ptr<ProfileUpdate> update_;
};

struct DirLookupChecks {
  unsigned unknown_user;
  unsigned invalid_entry;
  unsigned not_plain;
  unsigned too_long;
};

// The registered user's home path, ending in a separator and leaving
// room for the lock file's name within the path limit; or the cause
// (reported).
Result<std::string> HomeDirForUser(const void* module, std::string_view name,
                                   const DirLookupChecks& checks,
                                   bool output_present = true);

// openUserSemaphoreFile's sign-in: the lock handle in the process's lock
// slot, or why not (reported). `home` receives the home that was locked.
FailureCause SignInUser(const void* module, const char* name,
                        std::string* home = nullptr);

// GetDirForUser without its output buffer.
Result<std::string> DirForUser(const void* module, const char* name,
                               bool output_present = true);

// Creates the lock file in the registered user's home directory.
FailureCause EnsureLockFile(const void* module, const char* name);

// The default user, which becomes the process's current user.
Result<std::string> ReadDefault(const void* module);
// Records `name` as the default user and the process's current user.
FailureCause StoreDefault(const void* module, const char* name);

// CreateUserProfile: a home directory for `name` (trimmed in place), its
// entry if `reg`, and its lock file.
FailureCause CreateProfile(const void* module, std::string& name, int reg);

}  // namespace userprofile
