// Home directories: their 8-character names, the users root beside the
// module's directory, allocation of unique directories, and the paths of
// registered users' directories.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace userprofile {

// Removes trailing, then leading, spaces (0x20 only) in place.
void TrimSpaces(std::string& text);

// The HomeDirName of an already trimmed name: its first 8 non-space
// characters padded with '0'. Reports nothing.
std::string HomeDirNameOf(std::string_view trimmed);

// Trims `name` in place and derives its HomeDirName: the first 8
// non-space characters padded with '0'. Reports what it had to change.
std::string ProperHomeDirName(std::string& name);

// The users root ("USER" beside the module's directory), without a
// trailing separator; nullopt (reported) if it cannot be built.
// `output_present` is false when the caller has no buffer for it.
std::optional<std::string> UsersRootPath(const void* module,
                                         bool output_present = true);

// True if `path` is a directory this process may enter. Never moves the
// process's current directory.
bool DirectoryExists(const std::string& path);

// Creates a new home directory for `name` under `base` and returns its
// HomeDirName, or the empty string (reported) when no directory could be
// allocated: nothing is created then. `created`, if given, is set to the
// directory's path when this call made it (empty otherwise), so that a
// creation that fails later can take it back with RemoveOwnHome.
std::string AllocateHomeDir(const std::string& base, std::string& name,
                            std::string* created = nullptr);

// AllocateHomeDir applied to the users root. `name` null is reported.
std::string CreateHomeDirInRoot(const void* module, std::string* name,
                                std::string* created = nullptr);

// Removes a home directory that a creation made and then could not
// register, if it is still empty: a failed creation leaves nothing behind
// (on a file system short of inodes, every one kept would take one).
void RemoveOwnHome(const std::string& created);

// Check numbers of one caller of the home directory lookup.
struct DirLookupChecks {
  unsigned unknown_user;
  unsigned invalid_entry;
  unsigned not_plain;
  unsigned too_long;
};

// The home directory path of the registered user, ending in a separator,
// or the empty string. The path always leaves room for the lock file's
// name within the path limit.
std::string HomeDirForUser(const void* module, std::string_view name,
                           const DirLookupChecks& checks,
                           bool output_present = true);

// GetDirForUser without its output buffer: nullopt (reported) for a null
// name, otherwise the path or the empty string.
std::optional<std::string> DirForUser(const void* module, const char* name,
                                      bool output_present = true);

}  // namespace userprofile
