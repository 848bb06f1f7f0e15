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

namespace {

// Long enough for any number of processes queued behind short updates,
// short enough that a stuck holder is reported rather than waited out.
constexpr unsigned kUpdateTimeoutMs = 30000;

}  // namespace

RegistryUpdate::RegistryUpdate(std::string registry)
    : registry_(std::move(registry)),
      held_(Sys().LockForUpdate(registry_, kUpdateTimeoutMs)) {
  if (!held_) ReportCheckFailure(kCheckRegistryLockTimeout);
}

RegistryUpdate::~RegistryUpdate() {
  if (held_) Sys().UnlockForUpdate(registry_);
}

}  // namespace userprofile
