// The seam between the library and the operating system: everything the
// library asks of the system goes through one Platform object, and nothing
// outside src/platform includes a system header. It holds the system's
// primitives only; what a profile file holds and how it is updated is
// decided above it, once for every platform. The POSIX or the Windows
// implementation is chosen at build time; tests wrap the real one
// (tests/support/platform_wrapper.h) to observe or break one service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace userprofile {

// The platform's path separator: paths are built with it, never a literal.
#ifdef _WIN32
inline constexpr bool kWindows = true;
inline constexpr char kSeparator = '\\';
inline constexpr const char* kSeparators = "\\/";
#else
inline constexpr bool kWindows = false;
inline constexpr char kSeparator = '/';
inline constexpr const char* kSeparators = "/";
#endif

// Whether the file system matches names without regard to case (Windows).
inline constexpr bool kFoldedFileNames = kWindows;
// Whether a directory can be renamed while a file in it is open (POSIX);
// where not (Windows), the rename itself tells that no lock file in it is
// held.
inline constexpr bool kRenamesDirectoriesInUse = !kWindows;
// Whether user names that are well-formed multi-byte UTF-8 are taken as
// UTF-8 (POSIX hosts pass it), or always as code page 1252 (Windows).
inline constexpr bool kUtf8Names = !kWindows;
// Whether Platform::CompareNames is the order of UserNameKey (names.h), so
// that names can be found by key, or the system's own order (Windows).
inline constexpr bool kNamesByKey = !kWindows;

// The longest path the library builds: it must fit a 128-byte buffer of
// the original interface.
inline constexpr std::size_t kMaxPath = 127;

// The value of an open lock file. 0 means none, -1 a failed open.
using LockHandle = std::intptr_t;
inline constexpr LockHandle kNoLock = 0;
inline constexpr LockHandle kFailedLock = -1;

// What a look at a lock file finds (see ProbeLockFile).
struct LockFileState {
  bool normal_file = false;
  std::optional<bool> held;
};

// The file whose first byte every host locks to update `file`.
inline std::string UpdateLockFileOf(const std::string& file) {
  return file + ".lock";
}

// One version of a file: which file has the name, its size, and its times
// in nanoseconds. Two equal versions of one path mean the content did not
// change in between, once the version is settled (IsSettled in the store):
// a rewrite within one step of the file system's clock can keep them all.
struct FileVersion {
  std::uint64_t device = 0;  // with `file`: which file has the name
  std::uint64_t file = 0;
  std::uint64_t size = 0;
  std::uint64_t written = 0;  // last write of the content
  std::uint64_t changed = 0;  // last change of content or metadata
  friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

// What has a name; kLink only where links are not followed.
enum class FileKind { kNone, kFile, kDirectory, kLink, kOther };

// One look at a name: what has it, the version of a file, and the time
// just before the look by the clock file times are taken from.
struct FileLook {
  FileKind kind = FileKind::kNone;
  FileVersion version;
  std::uint64_t seen = 0;
};

// How far a look must lie past a file time to prove that every later write
// carries another time: on Windows a tick of the system clock (15.6 ms)
// and, under Wine, the host's coarse clock behind the precise one, with
// room to spare; POSIX takes file times from the clock it reads.
inline constexpr std::uint64_t kFileClockStep = kWindows ? 50000000 : 0;

// How this platform's paths spell the entry of `dir` named by the
// characters of the registry text `text` (names.h). On POSIX their UTF-8,
// as Wine and Samba store the names Windows hosts give; on Windows their
// ANSI form, else the entry's short name where it exists. nullopt where
// the name cannot be spelt: never a path to another entry.
std::optional<std::string> FileNameOfText(const std::string& dir,
                                          std::string_view text);

class Platform {
 public:
  virtual ~Platform() = default;

  // --- Files -----------------------------------------------------------
  // The whole content of a regular file, never mixed with a file put in
  // place after the read began. kNotFound for a missing name only; one that
  // is no regular file fails otherwise, never waited on (as a FIFO would be).
  virtual Status ReadFile(const std::string& path, std::string& content) = 0;
  // What has the name `path` now, found without opening it (a held lock
  // file can be looked at). With `follow_links`, links are followed and a
  // file's version is whole, in one call of the system: the store's check
  // of freshness. Without, a link is kLink and only a file's size is sure
  // (Windows tells the change time on a followed look only). kNone also for
  // a name the system refuses (wildcards on Windows).
  virtual FileLook Look(const std::string& path, bool follow_links) = 0;
  // Creates `path` only if nothing has the name (kExists otherwise), never
  // through a symbolic link, readable by nobody else until it has the
  // permissions, owner and group of `model` as far as this process may set
  // them (the library's mode without a model); writes `bytes` and flushes
  // them to disk.
  virtual Status WriteNewFile(const std::string& path, std::string_view bytes,
                              const std::string& model) = 0;
  // Gives `from` the name `to` in one step, replacing what had it, and
  // flushes the directory: a crash cannot bring the replaced file back.
  virtual Status ReplaceFile(const std::string& from, const std::string& to) = 0;
  // Removes a file, or an empty directory.
  virtual Status RemoveName(const std::string& path) = 0;
  // The names in a directory but "." and ".."; empty if it cannot be read.
  virtual std::vector<std::string> ListDirectory(const std::string& dir) = 0;
  // Gives the file or directory `from` (a link itself, never what it
  // names) the name `to` in the same directory, only if nothing has it
  // (kExists otherwise), and flushes the directory. Refused while a file
  // in the directory is open, unless kRenamesDirectoriesInUse.
  virtual Status RenameNew(const std::string& from, const std::string& to) = 0;
  // Removes `dir` and everything in it, removing a link inside as a name,
  // never what it leads to. Refused (kDamaged), removing nothing, when
  // `dir` itself is a link or no directory. Goes on past a name it cannot
  // remove and returns the first failure.
  virtual Status RemoveTree(const std::string& dir) = 0;

  // --- Directories -----------------------------------------------------
  // True if `path` is a directory this process may enter.
  virtual bool IsEnterableDirectory(const std::string& path) = 0;
  // Creates one directory level and makes its name durable; kExists if the
  // name is taken.
  virtual Status MakeDirectory(const std::string& path) = 0;

  // --- Lock files ------------------------------------------------------
  // Creates an empty file only if nothing has the path (kExists otherwise).
  virtual Status CreateFileIfAbsent(const std::string& path) = 0;
  // Creates the file, or truncates it, leaving it empty and closed. Fails,
  // leaving the file as it was, while another holds it exclusively
  // (kSignedInElsewhere), or when it or its directory is a symbolic link.
  virtual Status CreateEmptyFile(const std::string& path) = 0;
  // Opens an existing file for reading, denying every other exclusive open
  // of it in any process; kSignedInElsewhere while another holds it. The
  // hold includes an exclusive byte-range lock on the whole file (where the
  // system has them), which hosts of the other platform see. Refused for a
  // missing file and where its name or directory is a symbolic link.
  // Released by CloseExclusive or at exit. Shows no error box.
  virtual Status OpenExclusive(const std::string& path, LockHandle& handle) = 0;
  // Releases a handle of OpenExclusive or LockUpdate.
  virtual void CloseExclusive(LockHandle handle) = 0;
  // Lets the programs this process starts from now on inherit the lock
  // `handle`, so it lasts until its last holder closes it or ends. False,
  // changing nothing, where the platform cannot.
  virtual bool InheritLock(LockHandle handle) = 0;
  // Replaces the whole content of the lock file held through `handle` (an
  // OpenExclusive) with `text`, through the open file, never by its path,
  // which may name another file by now. Refused (kDamaged), writing
  // nothing, unless it is a regular file with one link: another name of it
  // may be anywhere, and would change too.
  virtual Status WriteHeldLockFile(LockHandle handle, std::string_view text) = 0;
  // Whether a lock file is a normal file reached without a link, and
  // whether any open holds it exclusively now, found without an open that
  // could make a concurrent OpenExclusive or CreateEmptyFile fail. held is
  // false for a missing file or one behind a link (no sign-in takes it),
  // nullopt where the platform cannot tell without disturbing a holder.
  // Stale the moment it is given.
  virtual LockFileState ProbeLockFile(const std::string& path) = 0;
  // One attempt at the update lock of the profile file `file`: an
  // exclusive byte-range lock on the first byte of UpdateLockFileOf(file),
  // the same byte on every platform, so that POSIX and Windows hosts
  // exclude each other, on other machines too where the file system
  // forwards byte-range locks. That file is created empty, never written,
  // replaced or removed, and never reached through a link; a missing
  // profile file is created empty first. kBusy while another holds the
  // byte; kPermission or kDamaged when this process can never update the
  // file (it may not write it or create files beside it, or it or its
  // directory is a link or no regular file). Released by CloseExclusive.
  virtual Status LockUpdate(const std::string& file, LockHandle& handle) = 0;

  // --- Modules, names and messages ---------------------------------------
  // The full path of the module containing `module` (the main program for
  // nullptr); nullopt if it cannot be had or is longer than kMaxPath (a cut
  // path would name another file).
  virtual std::optional<std::string> ModuleFileName(const void* module) = 0;
  // Shows a message with no owner window and waits until it is dismissed.
  virtual void ShowMessageBox(const std::string& text, const std::string& caption,
                              unsigned style) = 0;

  // --- Questions answered by Look --------------------------------------
  // The version of the regular file the path names now (links followed);
  // nullopt where there is none.
  std::optional<FileLook> VersionOf(const std::string& path);
  // True if anything has this name, a link that leads nowhere included.
  bool NameTaken(const std::string& path);
  // True if `path` itself is a directory, not a link to one.
  bool IsPlainDirectory(const std::string& path);
  // The size of the normal file (no directory, link or device) that has
  // exactly this path, nullopt where there is none or its directory is a
  // link (lock files are never reached through one). Two looks, no open:
  // a repair asks it of every lock file.
  std::optional<std::uint64_t> NormalFileSize(const std::string& path);
  bool IsNormalFile(const std::string& path) {
    return NormalFileSize(path).has_value();
  }

  // The platform's case-insensitive order of user names (lstrcmpiA): a
  // pure function, defined by each platform's file, that no test replaces.
  int CompareNames(const char* a, const char* b);
  bool NamesEqual(const char* a, const char* b) { return CompareNames(a, b) == 0; }
  // OpenExclusive's handle, kFailedLock on any failure.
  LockHandle OpenExclusive(const std::string& path) {
    LockHandle handle = kFailedLock;
    return OpenExclusive(path, handle) ? handle : kFailedLock;
  }
  std::optional<bool> IsHeldExclusively(const std::string& path) {
    return ProbeLockFile(path).held;
  }
};

unsigned long ProcessId();

// The platform the library calls: the real one unless a test installed
// another with SetPlatform (not owned; nullptr restores the real one).
Platform& Sys();
void SetPlatform(Platform* platform);
Platform& NativePlatform();

// Receives every message the library shows, instead of the platform's
// default (a message box on Windows, a line on standard error elsewhere);
// an empty function restores the default.
using MessageSink = std::function<void(const std::string& caption,
                                       const std::string& text, unsigned style)>;
void SetMessageSink(MessageSink sink);
void ShowMessage(const std::string& text, const std::string& caption,
                 unsigned style);

// True if `name` can stand as one directory entry under a base: not empty,
// ".", or "..", and free of separators (on Windows, IsPlainWindowsName).
bool IsPlainComponent(std::string_view name);
// That test under the rules of Windows file names (no separators, colons,
// control bytes, wildcards or redirections, no trailing dot or space, no
// device names), testable on every platform.
bool IsPlainWindowsName(std::string_view name);

// The lock-file services, written once per platform (lockfile_posix.cpp,
// lockfile_win.cpp); the platform's class takes them from here.
class LockFiles : public Platform {
 public:
  Status CreateFileIfAbsent(const std::string& path) override;
  Status CreateEmptyFile(const std::string& path) override;
  Status OpenExclusive(const std::string& path, LockHandle& handle) override;
  void CloseExclusive(LockHandle handle) override;
  bool InheritLock(LockHandle handle) override;
  Status WriteHeldLockFile(LockHandle handle, std::string_view text) override;
  LockFileState ProbeLockFile(const std::string& path) override;
  Status LockUpdate(const std::string& file, LockHandle& handle) override;
};

}  // namespace userprofile
