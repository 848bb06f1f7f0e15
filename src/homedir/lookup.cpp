#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"

namespace userprofile {

std::string AsFileName(std::string name) {
  if (kFoldedFileNames) {
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
  }
  return name;
}

bool SameFileName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         AsFileName(std::string(a)) == AsFileName(std::string(b));
}

std::optional<std::string> HomeDirOnDisk(const std::string& root,
                                         std::string_view field) {
  std::optional<std::string> spelled = FileNameOfText(root, field);
  if (spelled && *spelled == field) return spelled;
  const std::string raw(field);
  if (Sys().NameTaken(root + kSeparator + raw)) return raw;
  return spelled;
}

std::string HomeDirOnDiskOrField(const std::string& root,
                                 std::string_view field) {
  return HomeDirOnDisk(root, field).value_or(std::string(field));
}

Result<std::string> HomeDirPath(const void* module,
                                std::string_view home_dir_name,
                                unsigned too_long, bool output_present) {
  Result<std::string> root = UsersRootPath(module, output_present);
  if (!root) return root;
  const std::optional<std::string> name = HomeDirOnDisk(*root, home_dir_name);
  if (!name) {
    return Fault(too_long, Failure::kInvalidArgument,
                 "the home directory " + std::string(home_dir_name) +
                     " has a name this system's code page cannot spell");
  }
  std::string path = *root + kSeparator + *name + kSeparator;
  if (path.size() + kLockFileName.size() > kMaxPath) {
    return Fault(too_long, Failure::kInvalidArgument,
                 "the home directory's path with its lock file would be "
                 "longer than 127 characters");
  }
  return path;
}

}  // namespace userprofile
