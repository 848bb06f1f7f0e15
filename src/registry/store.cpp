#include "frame/frame.h"
#include "registry/registry.h"

namespace userprofile {

std::string EntryKey(int i) { return std::to_string(i); }

int ReadCount(const std::string& registry) {
  // The stored count is read as the signed value a caller sees.
  return static_cast<int>(
      Sys().ReadProfileInt(kCountSection, kCountKey, 0, registry));
}

std::string ReadEntry(const std::string& registry, int i) {
  return Sys().ReadProfileString(kUserSection, EntryKey(i), kEntrySize,
                                 registry);
}

bool WriteRegistry(const std::string& registry, std::string_view section,
                   std::string_view key, std::string_view value) {
  if (Sys().WriteProfileString(section, key, value, registry)) return true;
  ReportCheckFailure(kCheckRegistryWriteFailed);
  return false;
}

}  // namespace userprofile
