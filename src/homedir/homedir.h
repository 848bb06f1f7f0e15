// Home directories: their 8-character names, the users root beside the
// module's directory, allocation, and a home's path. It knows nothing of
// the registry (whose operations look a user up, then ask here for the
// path), only of the frame, the lock file's name and the platform.
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

// Trims `name` in place and derives its HomeDirName: the first 8
// non-space characters padded with '0'. Reports what it had to change.
std::string ProperHomeDirName(std::string& name);

// Whether two directory names name one directory, and a name's form for
// ordering them so: ASCII case folded where the file system folds it.
bool SameFileName(std::string_view a, std::string_view b);
std::string AsFileName(std::string name);

// The users root ("USER" beside the module's directory), without a
// trailing separator; the cause (reported) if it cannot be built.
// `output_present` is false when the caller has no buffer for it.
Result<std::string> UsersRootPath(const void* module,
                                         bool output_present = true);

// Creates a new home directory for `name` under `base` and returns its
// HomeDirName, or the cause (reported), creating nothing. `created`, if
// given, receives the directory's path when this call made it (else
// empty), for RemoveOwnHome if a later step fails.
Result<std::string> AllocateHomeDir(const std::string& base,
                                    std::string& name,
                                    std::string* created = nullptr);

// AllocateHomeDir applied to the users root. `name` null is reported.
Result<std::string> CreateHomeDirInRoot(const void* module, std::string* name,
                                std::string* created = nullptr);

// Removes a home that a creation made and could not register, if still
// empty: a failed creation leaves nothing behind, not even an inode.
void RemoveOwnHome(const std::string& created);

// The name in `root` of the home that registry field `field` names. Hosts
// of both kinds share a tree: a field holds its writer's characters in its
// writer's encoding (UTF-8, or code page 1252 from a Windows host's ANSI
// services) and names the directory of those characters as this file
// system stores them (FileNameOfText). An entry with the field's own bytes
// wins, so trees used by one kind of host keep their homes. nullopt where
// this platform cannot spell the name.
std::optional<std::string> HomeDirOnDisk(const std::string& root,
                                         std::string_view field);
// HomeDirOnDisk, or the field's own bytes where it has none: for what
// only tells of a home (listings, removals), never for what creates one.
std::string HomeDirOnDiskOrField(const std::string& root,
                                 std::string_view field);

// The path of the home that field `home_dir_name` (one plain name) names
// in the users root, ending in a separator; or the cause (reported as
// `too_long`) when it cannot be spelled or, with the lock file's name,
// would pass the path limit.
Result<std::string> HomeDirPath(const void* module,
                                std::string_view home_dir_name,
                                unsigned too_long, bool output_present = true);

}  // namespace userprofile
