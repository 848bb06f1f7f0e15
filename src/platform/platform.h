// The seam between the library and the operating system. Everything the
// library asks of the system goes through one Platform object; nothing
// outside src/platform includes a system header. A POSIX and a Windows
// implementation are chosen at build time, and tests wrap the real one with
// PlatformWrapper to observe or break a single service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/profile_document.h"

namespace userprofile {

// The platform's own path separator. Paths above the platform layer are
// built with it and never with a literal.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// Whether user names are taken as UTF-8 where they are well-formed
// multi-byte UTF-8 (POSIX hosts pass UTF-8), or always as single bytes of
// code page 1252 (Windows).
#ifdef _WIN32
inline constexpr bool kUtf8Names = false;
#else
inline constexpr bool kUtf8Names = true;
#endif

// Every path the library builds must fit a 128-byte buffer of the
// original interface: at most this many characters.
inline constexpr std::size_t kMaxPath = 127;

// The value of an open lock file. 0 means none, -1 a failed open.
using LockHandle = std::intptr_t;
inline constexpr LockHandle kNoLock = 0;
inline constexpr LockHandle kFailedLock = -1;

enum class CreateOutcome { kCreated, kExisted, kFailed };

// What a look at a lock file finds: whether it is a normal file reached
// without a link (IsNormalFile) and whether it is held
// (IsHeldExclusively; nullopt where that cannot be told).
struct LockFileState {
  bool normal_file = false;
  std::optional<bool> held;
};

// The file whose first byte every host locks to update `file`: one name,
// beside the profile file, on every platform.
inline std::string UpdateLockFileOf(const std::string& file) {
  return file + ".lock";
}

// One version of a file as the platform tells versions apart (its size
// and times): two equal versions of one path, the first one given by
// SettledVersion, mean the file's content did not change in between.
struct FileVersion {
  std::uint64_t size = 0;
  std::uint64_t written = 0;  // last write, in the platform's own units
  std::uint64_t changed = 0;  // last change of content or metadata
  std::uint64_t created = 0;
  friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- Private profile files -------------------------------------------
  // Section and key names match without regard to ASCII case; a missing
  // file, section or key reads as the empty string; the value is trimmed,
  // loses one pair of enclosing quotes, and is cut to size - 1 characters
  // (size >= 1).
  virtual std::string ReadProfileString(std::string_view section,
                                        std::string_view key, std::size_t size,
                                        const std::string& file) = 0;
  // The key's decimal value as GetPrivateProfileIntA computes it (wrapping
  // modulo 2^32), or `fallback` when the key is missing or empty.
  virtual std::uint32_t ReadProfileInt(std::string_view section,
                                       std::string_view key, int fallback,
                                       const std::string& file) = 0;
  // Creates the file, section and key as needed, or replaces the value.
  // Every other byte of the file is kept, and so are its permissions and
  // (as far as this process may keep them) its owner and group. Returns
  // false, leaving the file untouched, if any argument holds CR, LF or
  // NUL, if the file is read-only or not this process's to write, or if
  // it cannot be written. Never leaves a torn file behind.
  virtual bool WriteProfileString(std::string_view section,
                                  std::string_view key, std::string_view value,
                                  const std::string& file) = 0;

  // --- Modules ---------------------------------------------------------
  // The full path of the module containing `module` (the main program for
  // nullptr). nullopt if it cannot be had or is longer than kMaxPath: a
  // cut path would name another file.
  virtual std::optional<std::string> ModuleFileName(const void* module) = 0;

  // --- Directories and files -------------------------------------------
  // True if `path` is a directory this process may enter.
  virtual bool IsEnterableDirectory(const std::string& path) = 0;
  // Creates one directory level. False if it exists or the parent is
  // missing.
  virtual bool MakeDirectory(const std::string& path) = 0;
  // Removes an empty directory. False if it is not empty or cannot be
  // removed.
  virtual bool RemoveDirectory(const std::string& path) = 0;
  // True if anything at all has this name: a directory, a file, a link
  // (even one that leads nowhere).
  virtual bool NameTaken(const std::string& path) {
    return IsEnterableDirectory(path) || IsNormalFile(path);
  }
  // True if a normal file (not a directory) has exactly this path.
  // False when the file, or the directory that holds it, is a symbolic
  // link: lock files are never reached through one.
  virtual bool IsNormalFile(const std::string& path) = 0;
  // Creates an empty file only if nothing has the path yet; never
  // truncates an existing file.
  virtual CreateOutcome CreateFileIfAbsent(const std::string& path) = 0;
  // Creates the file, or truncates it, leaving it empty and closed. Fails,
  // leaving the file as it was, while another holder has it open
  // exclusively, or when the file or its directory is a symbolic link.
  virtual bool CreateEmptyFile(const std::string& path) = 0;
  // Opens an existing file for reading while denying every other
  // exclusive open of it, in this process or any other. kFailedLock if it
  // is missing or held, or if the file or its directory is a symbolic
  // link. Released by CloseExclusive or at process exit.
  virtual LockHandle OpenExclusive(const std::string& path) = 0;
  virtual void CloseExclusive(LockHandle handle) = 0;
  // Lets the programs this process starts from now on inherit the open
  // lock `handle` (an OpenExclusive that survives exec), so that the lock
  // lasts until the last holder, this process or such a program, closes
  // it or ends. False, changing nothing, where the platform cannot.
  virtual bool InheritLock(LockHandle handle) {
    static_cast<void>(handle);
    return false;
  }
  // Replaces the whole content of the lock file held through `handle`
  // (an OpenExclusive) with `text`, through that open file and never by
  // its path, which may name another file by now (a home swapped for a
  // link). Refused, writing nothing, unless it is a regular file with
  // exactly one link: another name of the same file may be anywhere, and
  // it would change too. False, changing nothing, where the platform
  // cannot.
  virtual bool WriteHeldLockFile(LockHandle handle, std::string_view text) {
    static_cast<void>(handle);
    static_cast<void>(text);
    return false;
  }
  // Whether another open of the file holds it exclusively right now (in
  // this process or any other), found without opening it in a way that
  // could make a concurrent OpenExclusive or CreateEmptyFile fail, and
  // without touching a lock this process holds. false for a missing file
  // and for one reached through a symbolic link (no sign-in takes it);
  // nullopt where the platform cannot tell without disturbing a holder.
  // The answer may be stale the moment it is given.
  virtual std::optional<bool> IsHeldExclusively(const std::string& path) {
    static_cast<void>(path);
    return std::nullopt;
  }
  // IsNormalFile and IsHeldExclusively of one lock file, for a caller
  // that asks both of many files (a listing of every user): the same two
  // answers, which a platform may find with fewer calls of the system.
  virtual LockFileState ProbeLockFile(const std::string& path) {
    return {IsNormalFile(path), IsHeldExclusively(path)};
  }
  // Sets the mode that suppresses the system's own error boxes; returns
  // the previous mode.
  virtual unsigned SetErrorMode(unsigned mode) = 0;

  // --- Serialized registry updates -------------------------------------
  // Takes the update lock of a profile file, creating the file (empty) if
  // it is missing, waiting at most `timeout_ms`. The lock excludes every
  // other process's update of the same file, including single writes, and
  // stays held across this process's own writes to it. Reads never wait on
  // it. Nested calls in one process count; each successful call is paired
  // with UnlockForUpdate or EndUpdate. False if the lock cannot be had in
  // time. For a file this process may not write the call succeeds at
  // once, and every write under it is refused.
  //
  // The lock is an exclusive byte-range lock on the first byte of the
  // file's update lock file (UpdateLockFileOf), the same byte on every
  // platform, so that POSIX and Windows hosts on one machine or on several
  // (through a file system that forwards byte-range locks) exclude each
  // other. That file is created empty beside the profile file, never
  // written, replaced or removed, and never reached through a link.
  //
  // A platform may hold back the writes made under the lock and replace
  // the file once, atomically, when the outermost hold ends: this
  // process's reads see every write at once, other processes see all of
  // them or (if this process dies first) none.
  virtual bool LockForUpdate(const std::string& file, unsigned timeout_ms) = 0;
  virtual void UnlockForUpdate(const std::string& file) = 0;
  // UnlockForUpdate that tells whether the writes held back under the lock
  // reached the file. If they could not be written they are dropped, the
  // file keeps its earlier content, and the answer is false.
  virtual bool EndUpdate(const std::string& file) {
    UnlockForUpdate(file);
    return true;
  }

  // --- Snapshots of profile files --------------------------------------
  // The parsed content that reads of `file` see now (empty for a missing
  // file), for a caller that answers from one consistent state instead of
  // reading key by key. Its id() and version() change whenever that
  // content changes: by this process's writes, or by anyone's change of
  // the file, seen at the next call. It must not be kept across calls
  // that may write the file. nullptr when the platform keeps no snapshots:
  // the caller then reads key by key.
  virtual std::shared_ptr<const profile::Document> ProfileSnapshot(
      const std::string& file) {
    static_cast<void>(file);
    return nullptr;
  }
  // Every line of the first section named `section` as one read of the
  // file gives it, for a caller that walks a whole section: each "key=value"
  // (key and value trimmed, the value's quotes kept, nothing cut) and
  // ended by a NUL, in file order, duplicates included; lines without '='
  // may be among them. Empty for a missing file or section. nullopt when
  // the platform cannot give a section whole: the caller then reads key by
  // key.
  virtual std::optional<std::string> ReadProfileSection(
      std::string_view section, const std::string& file) {
    static_cast<void>(section);
    static_cast<void>(file);
    return std::nullopt;
  }

  // The file's present version, for a caller that keeps what it read of
  // the file and rereads only after a change: given only when every later
  // change of the file, by this process or any other, in place or by
  // replacing it, gives another version; nullopt when the platform cannot
  // promise that (among others, while the file's times lie too close to
  // now for a rewrite in the same step of the file system's clock to
  // carry other times), for a missing file, and where the platform keeps
  // no versions: the caller then rereads every time.
  virtual std::optional<FileVersion> SettledVersion(const std::string& file) {
    static_cast<void>(file);
    return std::nullopt;
  }

  // --- Text and user interface -----------------------------------------
  // True when the platform's case-insensitive comparison of user names
  // (lstrcmpiA) finds the two equal.
  virtual bool NamesEqual(const char* a, const char* b) = 0;
  // The same comparison as an order: negative, zero or positive as `a`
  // sorts before, with or after `b`. Zero exactly when NamesEqual.
  virtual int CompareNames(const char* a, const char* b) = 0;
  // Shows a message with no owner window and waits until it is dismissed.
  virtual void ShowMessageBox(const std::string& text, const std::string& caption,
                          unsigned style) = 0;
};

// The platform the library calls: the real one unless a test installed
// another.
Platform& Sys();
// Installs `platform` (not owned) for every later call; nullptr restores
// the real one.
void SetPlatform(Platform* platform);
// The real platform of this build.
Platform& NativePlatform();

// Whether the platform keeps profile files parsed between calls, checking
// on every call that the file is unchanged, and holds back writes under
// the update lock (on by default; the environment variable
// USERPROFILE_PROFILE_CACHE=0, read once, turns it off). Off, every read
// parses the file anew and every write replaces it: the plain engine the
// cache is measured and tested against. Switch only between calls.
bool ProfileCacheEnabled();
void SetProfileCacheEnabled(bool enabled);

// Sets the cache switch for one scope, for tests and benchmarks that
// compare the two engines.
class ScopedProfileCache {
 public:
  explicit ScopedProfileCache(bool enabled) : before_(ProfileCacheEnabled()) {
    SetProfileCacheEnabled(enabled);
  }
  ~ScopedProfileCache() { SetProfileCacheEnabled(before_); }
  ScopedProfileCache(const ScopedProfileCache&) = delete;
  ScopedProfileCache& operator=(const ScopedProfileCache&) = delete;

 private:
  bool before_;
};

// Receives every message the library shows, instead of the platform's
// default (a message box on Windows, one line on standard error
// elsewhere). An empty function restores the default.
using MessageSink = std::function<void(const std::string& caption,
                                       const std::string& text, unsigned style)>;
void SetMessageSink(MessageSink sink);
// Shows a message through the installed sink or the platform.
void ShowMessage(const std::string& text, const std::string& caption,
                 unsigned style);

// True if `name` can stand as one directory entry under a base: not empty,
// not "." or "..", and free of the separators (and, on Windows, drive
// colons and control bytes) that would make it reach elsewhere.
bool IsPlainComponent(std::string_view name);
// The same test under the rules of Windows file names (no wildcards or
// redirection characters, no trailing dot or space, no device names),
// testable on every platform.
bool IsPlainWindowsName(std::string_view name);

// Forwards every service to another platform, so that a test overrides
// only the one it needs to observe or to fail.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}

  std::string ReadProfileString(std::string_view section, std::string_view key,
                                std::size_t size,
                                const std::string& file) override {
    return target_.ReadProfileString(section, key, size, file);
  }
  std::uint32_t ReadProfileInt(std::string_view section, std::string_view key,
                               int fallback, const std::string& file) override {
    return target_.ReadProfileInt(section, key, fallback, file);
  }
  bool WriteProfileString(std::string_view section, std::string_view key,
                          std::string_view value,
                          const std::string& file) override {
    return target_.WriteProfileString(section, key, value, file);
  }
  std::optional<std::string> ModuleFileName(const void* module) override {
    return target_.ModuleFileName(module);
  }
  bool IsEnterableDirectory(const std::string& path) override {
    return target_.IsEnterableDirectory(path);
  }
  bool MakeDirectory(const std::string& path) override {
    return target_.MakeDirectory(path);
  }
  bool RemoveDirectory(const std::string& path) override {
    return target_.RemoveDirectory(path);
  }
  bool NameTaken(const std::string& path) override {
    return target_.NameTaken(path);
  }
  bool IsNormalFile(const std::string& path) override {
    return target_.IsNormalFile(path);
  }
  CreateOutcome CreateFileIfAbsent(const std::string& path) override {
    return target_.CreateFileIfAbsent(path);
  }
  bool CreateEmptyFile(const std::string& path) override {
    return target_.CreateEmptyFile(path);
  }
  LockHandle OpenExclusive(const std::string& path) override {
    return target_.OpenExclusive(path);
  }
  void CloseExclusive(LockHandle handle) override {
    target_.CloseExclusive(handle);
  }
  bool InheritLock(LockHandle handle) override {
    return target_.InheritLock(handle);
  }
  bool WriteHeldLockFile(LockHandle handle, std::string_view text) override {
    return target_.WriteHeldLockFile(handle, text);
  }
  std::optional<bool> IsHeldExclusively(const std::string& path) override {
    return target_.IsHeldExclusively(path);
  }
  // ProbeLockFile is left to the base class, which asks the two above: a
  // test that observes or breaks either sees every probe.
  unsigned SetErrorMode(unsigned mode) override {
    return target_.SetErrorMode(mode);
  }
  bool LockForUpdate(const std::string& file, unsigned timeout_ms) override {
    return target_.LockForUpdate(file, timeout_ms);
  }
  void UnlockForUpdate(const std::string& file) override {
    target_.UnlockForUpdate(file);
  }
  bool EndUpdate(const std::string& file) override {
    return target_.EndUpdate(file);
  }
  // None unless a wrapper forwards them: a test that observes or breaks
  // ReadProfileString must see every read.
  std::shared_ptr<const profile::Document> ProfileSnapshot(
      const std::string&) override {
    return nullptr;
  }
  std::optional<std::string> ReadProfileSection(std::string_view,
                                                const std::string&) override {
    return std::nullopt;
  }
  std::optional<FileVersion> SettledVersion(const std::string&) override {
    return std::nullopt;
  }
  bool NamesEqual(const char* a, const char* b) override {
    return target_.NamesEqual(a, b);
  }
  int CompareNames(const char* a, const char* b) override {
    return target_.CompareNames(a, b);
  }
  void ShowMessageBox(const std::string& text, const std::string& caption,
                      unsigned style) override {
    target_.ShowMessageBox(text, caption, style);
  }

 private:
  Platform& target_;
};

// A wrapper for a seam that only answers the module path differently (the
// administrator's tool, in-process tests, benchmarks): unlike
// PlatformWrapper it passes the snapshots, section reads and file
// versions of the target on, so that the library keeps its one read per
// call, and its probes of lock files, so that a listing costs what the
// platform's own probe costs.
class SnapshotPassingWrapper : public PlatformWrapper {
 public:
  explicit SnapshotPassingWrapper(Platform& target)
      : PlatformWrapper(target), target_(target) {}
  LockFileState ProbeLockFile(const std::string& path) override {
    return target_.ProbeLockFile(path);
  }
  std::shared_ptr<const profile::Document> ProfileSnapshot(
      const std::string& file) override {
    return target_.ProfileSnapshot(file);
  }
  std::optional<std::string> ReadProfileSection(
      std::string_view section, const std::string& file) override {
    return target_.ReadProfileSection(section, file);
  }
  std::optional<FileVersion> SettledVersion(const std::string& file) override {
    return target_.SettledVersion(file);
  }

 private:
  Platform& target_;
};

}  // namespace userprofile
