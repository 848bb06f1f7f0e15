// What the files of the POSIX platform (src/platform/*_posix.cpp) share.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace userprofile::posix {

// The ownership model: the users of the application are the members of
// one group, that of the program directory and of the users root (both
// set-group-ID). What the library creates is theirs and nobody else's:
// files 0660, directories 0770, set with fchmod whatever the umask.
inline constexpr mode_t kFileMode = 0660;
inline constexpr mode_t kDirMode = 0770;

// The one place a failure of the system becomes a Status: what was tried,
// on which file, why, and for a refused access the permissions involved.
Status PosixError(std::string_view what, const std::string& path, int error);
inline Status Damaged(const std::string& text) { return {Failure::kDamaged, text}; }

std::string DirectoryOf(std::string_view path);
// Opens `path` without following a symbolic link in its last name or its
// directory's, never blocking on a FIFO; -1 (errno set) otherwise.
int OpenNoLinks(const std::string& path, int flags, mode_t mode = 0);
// Gives a file this process just created the library's mode and makes it
// and its name durable.
void SettleNewFile(int fd, const std::string& path);

// Writes all of `data`, from `offset` on where one is given: a program
// that inherited the descriptor shares its file offset.
bool WriteAll(int fd, std::string_view data, off_t offset = -1);

// ModuleFileName (module_posix.cpp).
std::optional<std::string> ModulePath(const void* module);

}  // namespace userprofile::posix
