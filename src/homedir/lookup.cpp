#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"

namespace userprofile {

Result<std::string> HomeDirPath(const void* module,
                                std::string_view home_dir_name,
                                unsigned too_long, bool output_present) {
  Result<std::string> root = UsersRootPath(module, output_present);
  if (!root) return root;
  std::string path =
      *root + kSeparator + std::string(home_dir_name) + kSeparator;
  if (path.size() + kLockFileName.size() > kMaxPath) {
    return Fault(too_long, Failure::kInvalidArgument,
                 "the home directory's path with its lock file would be "
                 "longer than 127 characters");
  }
  return path;
}

}  // namespace userprofile
