// Registering a user with a home that is already there, as useradd -d DIR
// -M does: the way back for a home whose entry a removal or repair dropped.
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "registry/operations.h"
#include "registry/registry.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// The name in `root` of `home`, given alone or after the root's path (a
// trailing separator allowed); nullopt, with the cause, for anything else.
std::optional<std::string> NameInRoot(const std::string& root,
                                      std::string home) {
  while (home.size() > 1 &&
         std::string_view(kSeparators).find(home.back()) != std::string::npos) {
    home.pop_back();
  }
  std::string name = home;
  const std::size_t cut = home.find_last_of(kSeparators);
  if (cut != std::string::npos) {
    if (!SameFileName(home.substr(0, cut), root)) {
      SetFailure(
          Failure::kInvalidArgument,
          Quoted(home) + " is not a directory of the users root " + root);
      return std::nullopt;
    }
    name = home.substr(cut + 1);
  }
  if (!IsPlainComponent(name) || name.size() != kHomeDirNameLength) {
    SetFailure(Failure::kInvalidArgument,
               "the home " + Quoted(home) + " has not a name of exactly " +
                   std::to_string(kHomeDirNameLength) +
                   " characters, which an entry needs");
    return std::nullopt;
  }
  return name;
}

}  // namespace
}  // namespace userprofile

using namespace userprofile;

extern "C" USERPROFILE_EXPORT int userprofile_add_user_with_home(
    ModuleHandle module, const char* name, const char* home) {
  const ExportCall call;
  if (RefuseInvalid(name)) return 0;
  if (home == nullptr || *home == '\0') {
    SetFailure(Failure::kInvalidArgument, "no home directory given");
    return 0;
  }
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  const Result<std::string> root = UsersRootPath(module);
  if (!root) return 0;
  std::optional<std::string> dir_name = NameInRoot(*root, home);
  if (!dir_name) return 0;
  std::string path = *root + kSeparator + *dir_name;
  if (!Sys().NameTaken(path)) {
    SetFailure(Failure::kNotFound, "there is no home directory " + path);
    return 0;
  }
  // Reached in another case where the system allows it: registered as the
  // directory spells it, the one spelling a case-telling host finds.
  const std::vector<std::string> names = Sys().ListDirectory(*root);
  if (std::find(names.begin(), names.end(), *dir_name) == names.end()) {
    for (const std::string& entry : names) {
      if (SameFileName(entry, *dir_name)) {
        dir_name = entry;
        path = *root + kSeparator + entry;
        break;
      }
    }
  }
  // A link would put the home outside the users root, where a removal
  // with its home would follow it.
  if (!Sys().IsPlainDirectory(path)) {
    SetFailure(Failure::kDamaged,
               path +
                   " is a link or no directory; a home must be a directory "
                   "of the users root itself");
    return 0;
  }
  // The checks and the registration are one update.
  RegistryUpdate update(*registry);
  if (!update.held()) return 0;
  if (!NameIsFree(*registry, name)) return 0;
  const int count = ReadCount(*registry);
  for (const int i : HeldEntryNumbers(*registry, count < 0 ? INT_MAX : count)) {
    const std::optional<UserEntry> other = SplitEntry(ReadEntry(*registry, i));
    if (other && SameFileName(other->home_dir_name, *dir_name)) {
      SetFailure(Failure::kExists, path + " is the home of entry " +
                                       std::to_string(i) + " (" +
                                       Quoted(other->name) + ")");
      return 0;
    }
  }
  if (!RegisterUser(*registry, name, *dir_name)) return 0;
  // A lock file already there is kept: it may be held, or hold a note.
  const std::string lock = path + kSeparator + std::string(kLockFileName);
  if (!Sys().IsNormalFile(lock)) Record(Sys().CreateFileIfAbsent(lock));
  const int number = FindUser(*registry, name);
  if (!update.Finish() || number == 0) {
    NoteFailure(Failure::kIo, "could not register " + Quoted(name));
    return 0;
  }
  return number;
}
