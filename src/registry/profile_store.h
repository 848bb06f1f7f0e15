// Profile files as the library reads and changes them on every platform:
// parsed once by profile::Document, kept while the file is unchanged, and
// changed only by a ProfileUpdate.
//
// Freshness: a kept parse answers while the file has the version it was
// read at (one Platform::VersionOf per read). Times cannot tell apart two
// writes within one step of the file system's clock, so a version is
// trusted only once settled: both its times more than one step before the
// look (every later write then carries a later time). The step is judged
// from a time's trailing zeros (1 ns on ext4 or tmpfs, 2 s for whole
// seconds, at least kFileClockStep). Until then every read reads the file
// again and compares it with the parse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "registry/profile_document.h"

namespace userprofile {

// What reads of `file` see now: the held document under this process's
// update, else the file's, parsed anew only if it changed. Empty for a
// missing or unreadable file (the cause recorded). Its version() changes
// with every edit; not to be kept across calls that may change the file.
std::shared_ptr<const profile::Document> ProfileSnapshot(const std::string& file);

// Sets one value: within an update of the file an edit of it, otherwise an
// update of its own. False, changing nothing, if an argument holds CR, LF
// or NUL, or the update cannot be had or committed.
bool WriteProfileValue(std::string_view section, std::string_view key,
                        std::string_view value, const std::string& file);

// Removes every line of `section` whose key `drop` picks, as
// WriteProfileValue writes. The number removed, or nullopt on failure.
std::optional<std::size_t> RemoveProfileKeys(
    std::string_view section,
    const std::function<bool(std::string_view key)>& drop,
    const std::string& file);

// One change of a profile file, in this sequence:
//   1. Hold: take the update lock (Platform::LockUpdate) within the
//      timeout; remove the copies killed writers left beside the file
//      ("USER.INI.~" pid "." n): no live writer can own one now.
//   2. Edit: Set edits the document read under the lock; this process's
//      reads see the edits at once, other processes' the old file.
//   3. Commit: the bytes go to a new file beside it, flushed, which
//      replaces the file in one step; then the directory is flushed. A
//      process killed at any moment leaves the old file or the new one.
//   Roll back: ending without Commit, on any early exit, drops the edits.
// Updates of one file nest within a process: inner ones share the
// outermost's hold and document, and only its end commits or rolls back.
// A file this process may never change (not writable, or reached through
// a link) is held without a lock, and every Set is refused with the cause.
class ProfileUpdate {
 public:
  ProfileUpdate(std::string file, unsigned timeout_ms);
  ~ProfileUpdate();
  ProfileUpdate(const ProfileUpdate&) = delete;
  ProfileUpdate& operator=(const ProfileUpdate&) = delete;

  bool held() const { return held_; }
  bool Set(std::string_view section, std::string_view key, std::string_view value);
  // Document::RemoveKeys on the held document; nullopt if refused.
  std::optional<std::size_t> Remove(
      std::string_view section,
      const std::function<bool(std::string_view key)>& drop);
  // Ends the hold: true if the edits reached the file (or there were none).
  bool Commit();

 private:
  // The held document, or nullptr if not held or refused (the cause set).
  std::shared_ptr<profile::Document> Editable();
  bool End(bool commit);
  std::string file_;
  bool held_ = false;
};

}  // namespace userprofile
