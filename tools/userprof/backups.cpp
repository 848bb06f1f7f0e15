#include "backups.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "os.h"

namespace userprof {
namespace {

constexpr std::string_view kSuffix = ".bak";

// The length of a stamp UtcStamp makes: "20261209T030405.123456Z".
constexpr std::size_t kStampSize = 23;

// Whether `name` is a copy of the registry named `base`.
bool IsBackupOf(const std::string& name, const std::string& base) {
  return name.size() == base.size() + 1 + kStampSize + kSuffix.size() &&
         name.starts_with(base + ".") && name.ends_with(kSuffix);
}

}  // namespace

std::string BackupPattern(const std::string& registry) {
  return registry + ".*" + std::string(kSuffix);
}

std::variant<std::string, std::string> KeepBackup(const std::string& registry) {
  namespace fs = std::filesystem;
  const fs::path path(registry);
  const std::string dir = path.parent_path().string();
  const std::string base = path.filename().string();
  std::string copy;
  // A new name every time: an earlier copy may be the only one left of
  // the entries it holds. Two copies in one microsecond wait for the next.
  for (int tries = 0; tries < 1000; ++tries) {
    copy = registry + "." + UtcStamp() + std::string(kSuffix);
    if (!PathExists(copy)) break;
    SleepMilliseconds(1);
  }
  if (std::string failed = CopyFileAtomically(registry, copy);
      !failed.empty()) {
    return std::variant<std::string, std::string>(std::in_place_index<1>,
                                                  failed);
  }
  std::vector<std::string> kept;
  for (const std::string& name : NamesIn(dir)) {
    if (IsBackupOf(name, base)) kept.push_back(name);
  }
  std::sort(kept.begin(), kept.end());
  if (kept.size() > kBackupsKept) {
    const std::string made = fs::path(copy).filename().string();
    for (std::size_t i = 0; i < kept.size() - kBackupsKept; ++i) {
      // Never the new one, even where the clock went back.
      if (kept[i] != made) RemoveFile((fs::path(dir) / kept[i]).string());
    }
  }
  return std::variant<std::string, std::string>(std::in_place_index<0>, copy);
}

}  // namespace userprof
