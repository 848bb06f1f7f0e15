#include "frame/failure.h"
#include "frame/frame.h"
#include "registry/profile.h"
#include "registry/profile_store.h"
#include "registry/registry.h"

namespace userprofile {

std::string EntryKey(int i) { return std::to_string(i); }

void ReportWriteFailed() { ReportCheckFailure(kCheckRegistryWriteFailed); }

bool IsStorable(std::string_view value) { return !profile::BreaksLine(value); }

namespace {

// A profile read trims blanks and drops one pair of enclosing quotes. A
// valid name may begin with a tab (a home name end with one), so a value
// with a blank, control byte or quote at either end is stored in quotes,
// to read back exactly as written.
std::string StoredValue(std::string_view value) {
  auto needs_guard = [](char c) {
    return static_cast<unsigned char>(c) <= ' ' || c == '"' || c == '\'';
  };
  if (value.empty() || (!needs_guard(value.front()) && !needs_guard(value.back()))) {
    return std::string(value);
  }
  return "\"" + std::string(value) + "\"";
}

}  // namespace

bool WriteRegistry(const std::string& registry, std::string_view section,
                   std::string_view key, std::string_view value) {
  const bool written =
      WriteProfileValue(section, key, StoredValue(value), registry);
  ForgetSnapshot(registry);
  if (written) return true;
  // A cause the platform recorded (a permission, a full disk) stays first.
  NoteFailure(
      Failure::kIo,
      IsStorable(value) && IsStorable(key) && IsStorable(section)
          ? "the registry " + registry + " cannot be written"
          : "a line break cannot be stored in the registry " + registry);
  ReportWriteFailed();
  return false;
}

bool RemoveEntriesAbove(const std::string& registry, int count, int through) {
  const std::optional<std::size_t> removed = RemoveProfileKeys(
      kUserSection,
      [count, through](std::string_view key) {
        const int number = EntryNumberOf(key);
        return number > count && number <= through;
      },
      registry);
  ForgetSnapshot(registry);
  if (removed) return true;
  NoteFailure(Failure::kIo, "the registry " + registry + " cannot be written");
  ReportWriteFailed();
  return false;
}

// Long enough for any queue of processes behind short updates, short
// enough that a stuck holder is reported rather than waited out.
constexpr unsigned kUpdateTimeoutMs = 30000;

RegistryUpdate::RegistryUpdate(std::string registry)
    : registry_(std::move(registry)),
      update_(std::make_unique<ProfileUpdate>(registry_, kUpdateTimeoutMs)) {
  // What was read before the lock may be stale by now.
  ForgetSnapshot(registry_);
  if (!update_->held()) {
    NoteFailure(Failure::kBusy, "another process held the update lock of " +
                                    registry_ + " for 30 s");
    ReportCheckFailure(kCheckRegistryLockTimeout);
  }
}

RegistryUpdate::~RegistryUpdate() { static_cast<void>(Finish()); }

bool RegistryUpdate::held() const { return update_->held(); }

bool RegistryUpdate::Finish() {
  if (!update_->held()) return false;
  const bool ended = update_->Commit();
  ForgetSnapshot(registry_);
  if (ended) return true;
  NoteFailure(Failure::kIo, "the update of the registry " + registry_ +
                                " could not be written");
  ReportWriteFailed();
  return false;
}

}  // namespace userprofile
