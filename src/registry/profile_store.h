// Profile files as the library reads and changes them, on every platform:
// parsed once by the one engine (profile::Document), kept while the file
// is unchanged, and changed only by a ProfileUpdate.
//
// Freshness: a kept parse answers while the file has the version it was
// read at, checked with one look at the file (Platform::VersionOf) per
// read. Times cannot tell apart two writes within one step of the file
// system's clock, so a version is trusted only once it is settled: both
// its times lie more than one step before the moment the file was looked
// at (every later write then carries a later time). The step is judged
// from a time's trailing zeros: one nanosecond on ext4 or tmpfs, two
// seconds for times in whole seconds, at least kFileClockStep. Until then
// every read reads the file again and compares it with the parse.
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

// The content reads of `file` see now: this process's held document while
// it holds the file's update, otherwise the file's, parsed anew only if
// the file changed. Empty for a missing file, and for one that cannot be
// read (its cause recorded). Its version() changes with every edit; it
// must not be kept across calls that may change the file.
std::shared_ptr<const profile::Document> ProfileSnapshot(const std::string& file);

// The value of `key` in `section` as GetPrivateProfileStringA gives it:
// names match without regard to ASCII case, the value is trimmed, loses
// one pair of enclosing quotes, and is cut to size - 1 characters; a
// missing file, section or key reads as "".
std::string ReadProfileString(std::string_view section, std::string_view key,
                              std::size_t size, const std::string& file);
// The value as GetPrivateProfileIntA computes it, or `fallback` when the
// key is missing or empty.
std::uint32_t ReadProfileInt(std::string_view section, std::string_view key,
                             int fallback, const std::string& file);
// Sets one value: within an update of the file an edit of it, otherwise an
// update of its own. False, changing nothing, if an argument holds CR, LF
// or NUL, or if the update cannot be had or committed.
bool WriteProfileValue(std::string_view section, std::string_view key,
                        std::string_view value, const std::string& file);

// Removes every line of `section` whose key `drop` picks: within an update
// of the file an edit of it, otherwise an update of its own. The number of
// lines removed, or nullopt if the update cannot be had or committed.
std::optional<std::size_t> RemoveProfileKeys(
    std::string_view section,
    const std::function<bool(std::string_view key)>& drop,
    const std::string& file);

// One change of a profile file, in this sequence:
//   1. Hold: the update lock (Platform::LockUpdate) is taken, waiting at
//      most the timeout; copies that killed writers left beside the file
//      ("USER.INI.~" pid "." n) are removed, since no live writer can own
//      one now.
//   2. Edit: Set edits the document read under the lock; this process's
//      reads see the edits at once, other processes' the file as it was.
//   3. Commit: the document's bytes go to a new file beside the file,
//      which is flushed and then replaces the file in one step, and the
//      directory is flushed. A process killed at any moment leaves the
//      old file or the new one, never a mix.
//   Roll back: an update that ends without Commit, on any early exit,
//   drops its edits and leaves the file as it was.
// Updates of one file nest within one process: an inner one shares the
// outermost's hold and document, and only the outermost's end commits or
// rolls back. A file this process may never change (it may not write it,
// or it is reached through a link) is held without a lock, and every Set
// is refused with the cause.
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
  void End(bool commit, bool& committed);
  std::string file_;
  bool held_ = false;
};

}  // namespace userprofile
