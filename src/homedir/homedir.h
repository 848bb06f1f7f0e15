// Home directories: their 8-character names, the users root beside the
// module's directory, allocation of unique directories, and the path of a
// home directory in the users root. A layer of its own: it knows nothing
// of the registry (the registry's operations look a user up and then ask
// here for the path), only of the frame, the lock file's name and the
// platform.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "frame/failure.h"

namespace userprofile {

inline constexpr std::size_t kHomeDirNameLength = 8;

// Removes trailing, then leading, spaces (0x20 only) in place.
void TrimSpaces(std::string& text);

// The HomeDirName of an already trimmed name: its first 8 non-space
// characters padded with '0'. Reports nothing.
std::string HomeDirNameOf(std::string_view trimmed);

// Trims `name` in place and derives its HomeDirName: the first 8
// non-space characters padded with '0'. Reports what it had to change.
std::string ProperHomeDirName(std::string& name);

// The users root ("USER" beside the module's directory), without a
// trailing separator; the cause (reported) if it cannot be built.
// `output_present` is false when the caller has no buffer for it.
Result<std::string> UsersRootPath(const void* module,
                                         bool output_present = true);

// True if `path` is a directory this process may enter. Never moves the
// process's current directory.
bool DirectoryExists(const std::string& path);

// Creates a new home directory for `name` under `base` and returns its
// HomeDirName, or the cause (reported) when no directory could be
// allocated: nothing is created then. `created`, if given, is set to the
// directory's path when this call made it (empty otherwise), so that a
// creation that fails later can take it back with RemoveOwnHome.
Result<std::string> AllocateHomeDir(const std::string& base,
                                    std::string& name,
                                    std::string* created = nullptr);

// AllocateHomeDir applied to the users root. `name` null is reported.
Result<std::string> CreateHomeDirInRoot(const void* module, std::string* name,
                                std::string* created = nullptr);

// Removes a home directory that a creation made and then could not
// register, if it is still empty: a failed creation leaves nothing behind
// (on a file system short of inodes, every one kept would take one).
void RemoveOwnHome(const std::string& created);

// The name in `root` of the home directory that the registry's home field
// `field` names. Hosts of both kinds share a tree: a field holds the
// characters its writer gave, in its writer's encoding (UTF-8, or code page
// 1252 from a Windows host's ANSI services), and names the directory whose
// name is those characters as this file system stores them
// (FileNameOfText). An entry that already has the field's own bytes wins,
// so that trees used by one kind of host keep the homes they have. nullopt
// where this platform cannot spell the name.
std::optional<std::string> HomeDirOnDisk(const std::string& root,
                                         std::string_view field);
// HomeDirOnDisk, or the field's own bytes where it has none: for what
// only tells of a home (listings, removals), never for what creates one.
std::string HomeDirOnDiskOrField(const std::string& root,
                                 std::string_view field);

// The path of the home directory that home field `home_dir_name` (one
// plain directory name) names in the users root (HomeDirOnDisk), ending in
// a separator, or the cause (reported as `too_long`) when the path with
// the lock file's name would pass the path limit or cannot be spelled.
Result<std::string> HomeDirPath(const void* module,
                                std::string_view home_dir_name,
                                unsigned too_long, bool output_present = true);

}  // namespace userprofile
