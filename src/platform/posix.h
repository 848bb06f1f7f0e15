// What the files of the POSIX platform share: the statuses built from the
// system's errors, opens that never follow a link, and the lock files.
// Included by src/platform/*_posix.cpp only.
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

// The one place a failure of the system becomes a Status: what was
// attempted, on which file, the system's reason and, for a refused access,
// the permissions involved.
Status PosixError(std::string_view what, const std::string& path, int error);
inline Status Damaged(const std::string& text) { return {Failure::kDamaged, text}; }

std::string DirectoryOf(std::string_view path);
// Opens `path` without following a symbolic link in its last name or in
// the name of its directory, never blocking on a FIFO; -1 (errno set)
// otherwise.
int OpenNoLinks(const std::string& path, int flags, mode_t mode = 0);
// Gives a file this process just created the model's mode and makes it
// and its name durable.
void SettleNewFile(int fd, const std::string& path);

// The lock files (lockfile_posix.cpp), as Platform describes them.
Status CreateEmptyFile(const std::string& path);
Status OpenExclusive(const std::string& path, LockHandle& handle);
LockFileState ProbeLockFile(const std::string& path);
Status LockUpdate(const std::string& file, LockHandle& handle);

// The loader's counts of objects loaded and unloaded so far: while both
// stay the same, every address lies in the object it lay in before.
struct LoaderGeneration {
  unsigned long long adds = 0;
  unsigned long long subs = 0;
  bool known = false;
  bool operator==(const LoaderGeneration&) const = default;
};

// The paths of loaded modules (module_posix.cpp), the last one found by
// address remembered.
class ModulePaths {
 public:
  std::optional<std::string> Find(const void* module);

 private:
  struct Found {
    const void* module = nullptr;
    LoaderGeneration generation;
    std::string path;
  };
  Found found_;
};

}  // namespace userprofile::posix
