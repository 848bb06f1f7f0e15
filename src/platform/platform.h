// The seam between the library and the operating system. Everything the
// library asks of the system goes through one Platform object; nothing
// outside src/platform includes a system header. The seam holds primitives
// of the system only (files read whole or written new, replacement,
// directories, the lock files, the module's path, the comparison of names,
// the message box); what a profile file holds and how it is updated is
// decided above it, once for every platform. A POSIX and a Windows
// implementation are chosen at build time, and tests wrap the real one
// (tests/support/platform_wrapper.h) to observe or break a single service.
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

// The platform's own path separator. Paths above the platform layer are
// built with it and never with a literal.
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
// Whether a directory can be renamed while a file in it is held open
// (POSIX), or only once no file in it is open (Windows): there the rename
// itself tells that nobody holds a lock file in it.
inline constexpr bool kRenamesDirectoriesInUse = !kWindows;
// Whether user names are taken as UTF-8 where they are well-formed
// multi-byte UTF-8 (POSIX hosts pass UTF-8), or always as single bytes of
// code page 1252 (Windows).
inline constexpr bool kUtf8Names = !kWindows;
// Whether Platform::CompareNames is the order of UserNameKey (names.h),
// so that names can be found through their keys, or the system's own
// comparison, which no key stands for (Windows).
inline constexpr bool kNamesByKey = !kWindows;

// Every path the library builds must fit a 128-byte buffer of the
// original interface: at most this many characters.
inline constexpr std::size_t kMaxPath = 127;

// The value of an open lock file. 0 means none, -1 a failed open.
using LockHandle = std::intptr_t;
inline constexpr LockHandle kNoLock = 0;
inline constexpr LockHandle kFailedLock = -1;

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

// One version of a file as the platform tells versions apart: which file
// has the name, its size, and its times in nanoseconds. Two equal versions
// of one path mean the content did not change in between, once the
// version is settled (see IsSettled in the store): a rewrite within one
// step of the file system's clock can keep all of them.
struct FileVersion {
  std::uint64_t device = 0;  // with `file`: which file has the name
  std::uint64_t file = 0;
  std::uint64_t size = 0;
  std::uint64_t written = 0;  // last write of the content
  std::uint64_t changed = 0;  // last change of content or metadata
  friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

// What has a name, as one look without opening it finds it: kLink only
// where links are not followed.
enum class FileKind { kNone, kFile, kDirectory, kLink, kOther };

// One look at a name: what has it, the version of a file, and the time,
// by the clock file times are taken from, just before the look.
struct FileLook {
  FileKind kind = FileKind::kNone;
  FileVersion version;
  std::uint64_t seen = 0;
};

// The least distance from a file time to the moment of a look that proves
// every later write carries another time, beyond the file system's own
// step: on Windows a tick of the system clock (15.6 ms) and, under Wine,
// the host kernel's coarse clock behind the precise one, with room to
// spare; POSIX takes file times from the clock it reads.
inline constexpr std::uint64_t kFileClockStep = kWindows ? 50000000 : 0;

// The order behind Platform::CompareNames, defined by each platform's file.
int CompareUserNames(const char* a, const char* b);

// How this platform's paths spell the entry of directory `dir` whose name
// is the characters of the registry text `text` (UTF-8 where it is UTF-8,
// else code page 1252; see names.h), defined by each platform's file. On
// POSIX their UTF-8, which is how Wine and Samba store the names Windows
// hosts give. On Windows their form in the ANSI code page, the one the
// library's paths are in; where a character has none, the short name of
// the entry if it exists and the system gives one. nullopt where this
// platform cannot spell the name: never a path to another entry.
std::optional<std::string> FileNameOfText(const std::string& dir,
                                          std::string_view text);

class Platform {
 public:
  virtual ~Platform() = default;

  // --- Files -----------------------------------------------------------
  // The whole content of a regular file. A file put in place after the
  // read began makes no mixed answer: the content is the one file's.
  // kNotFound for a missing name or for one that is no regular file (never
  // waited on, as a FIFO would be).
  virtual Status ReadFile(const std::string& path, std::string& content) = 0;
  // What has the name `path` now, found without opening it (a held lock
  // file can be looked at). With `follow_links` a link is followed to what
  // it names, and the version of a file is whole: it is the store's check
  // of a file's freshness, and costs one call of the system. Without, a
  // link is kLink, and only the size of a file is sure to be told (Windows
  // tells its change time only on a followed look). kNone also for a name
  // the system refuses (wildcards on Windows).
  virtual FileLook Look(const std::string& path, bool follow_links) = 0;
  // Creates `path` only if nothing has the name yet (kExists otherwise),
  // never through a symbolic link, readable by nobody else until it has
  // the permissions, owner and group of `model` (as far as this process
  // may set them; the library's own mode when `model` is missing); writes
  // `bytes` and flushes them to disk.
  virtual Status WriteNewFile(const std::string& path, std::string_view bytes,
                              const std::string& model) = 0;
  // Gives `from` the name `to` in one step, replacing what had it, and
  // flushes the directory: once this returns, a crash of the machine
  // cannot bring the replaced file back.
  virtual Status ReplaceFile(const std::string& from, const std::string& to) = 0;
  // Removes a file, or an empty directory.
  virtual Status RemoveName(const std::string& path) = 0;
  // The names in a directory ("." and ".." left out; empty if it cannot
  // be read).
  virtual std::vector<std::string> ListDirectory(const std::string& dir) = 0;
  // Gives the file or directory `from` (a link itself, never what it
  // names) the name `to` in the same directory, only if nothing has that
  // name yet (kExists otherwise), and flushes the directory. Refused while
  // a file in the directory is open, where kRenamesDirectoriesInUse is
  // false.
  virtual Status RenameNew(const std::string& from, const std::string& to) = 0;
  // Removes the directory `dir` and everything in it, never following a
  // link: a link inside is removed as a name, and what it leads to stays.
  // Refused (kDamaged), removing nothing, when `dir` itself is a link or
  // no directory. Goes on past a name it cannot remove and returns the
  // first failure.
  virtual Status RemoveTree(const std::string& dir) = 0;

  // --- Directories -----------------------------------------------------
  // True if `path` is a directory this process may enter.
  virtual bool IsEnterableDirectory(const std::string& path) = 0;
  // Creates one directory level and makes its name durable. kExists if the
  // name is taken.
  virtual Status MakeDirectory(const std::string& path) = 0;

  // --- Lock files ------------------------------------------------------
  // Creates an empty file only if nothing has the path yet (kExists
  // otherwise); never truncates an existing file.
  virtual Status CreateFileIfAbsent(const std::string& path) = 0;
  // Creates the file, or truncates it, leaving it empty and closed. Fails,
  // leaving the file as it was, while another holder has it open
  // exclusively (kSignedInElsewhere), or when the file or its directory is
  // a symbolic link.
  virtual Status CreateEmptyFile(const std::string& path) = 0;
  // Opens an existing file for reading while denying every other
  // exclusive open of it, in this process or any other; kSignedInElsewhere
  // while another holds it. The hold includes an exclusive byte-range lock
  // over the whole file (where the system has them), the lock that hosts
  // of the other platform see on a shared file. Refused for a missing file
  // and for one whose name or directory is a symbolic link. Released by
  // CloseExclusive or at process exit. Shows no error box of the system.
  virtual Status OpenExclusive(const std::string& path, LockHandle& handle) = 0;
  // Releases a handle of OpenExclusive or LockUpdate.
  virtual void CloseExclusive(LockHandle handle) = 0;
  // Lets the programs this process starts from now on inherit the open
  // lock `handle` (an OpenExclusive that survives exec), so that the lock
  // lasts until the last holder, this process or such a program, closes
  // it or ends. False, changing nothing, where the platform cannot.
  virtual bool InheritLock(LockHandle handle) = 0;
  // Replaces the whole content of the lock file held through `handle`
  // (an OpenExclusive) with `text`, through that open file and never by
  // its path, which may name another file by now (a home swapped for a
  // link). Refused (kDamaged), writing nothing, unless it is a regular
  // file with exactly one link: another name of the same file may be
  // anywhere, and it would change too.
  virtual Status WriteHeldLockFile(LockHandle handle, std::string_view text) = 0;
  // Whether a lock file is a normal file reached without a link, and
  // whether another open holds it exclusively right now (in this process
  // or any other), found without opening it in a way that could make a
  // concurrent OpenExclusive or CreateEmptyFile fail. held is false for a
  // missing file and for one reached through a link (no sign-in takes
  // it), nullopt where the platform cannot tell without disturbing a
  // holder. The answer may be stale the moment it is given.
  virtual LockFileState ProbeLockFile(const std::string& path) = 0;
  // One attempt at the update lock of the profile file `file`: an
  // exclusive byte-range lock on the first byte of UpdateLockFileOf(file),
  // the same byte on every platform, so that POSIX and Windows hosts on one
  // machine or on several (through a file system that forwards byte-range
  // locks) exclude each other. That file is created empty beside the
  // profile file, never written, replaced or removed, and never reached
  // through a link. A missing profile file is created empty first. kBusy
  // while another open holds the byte; kPermission or kDamaged when this
  // process can never update the file (it may not write it or create
  // files beside it, or the file or its directory is a link or no regular
  // file); released by CloseExclusive.
  virtual Status LockUpdate(const std::string& file, LockHandle& handle) = 0;

  // --- Modules, names and messages ---------------------------------------
  // The full path of the module containing `module` (the main program for
  // nullptr). nullopt if it cannot be had or is longer than kMaxPath: a
  // cut path would name another file.
  virtual std::optional<std::string> ModuleFileName(const void* module) = 0;
  // Shows a message with no owner window and waits until it is dismissed.
  virtual void ShowMessageBox(const std::string& text, const std::string& caption,
                              unsigned style) = 0;

  // --- Questions answered by Look --------------------------------------
  // The version of the regular file the path names now (links followed);
  // nullopt for a missing name or for one that is no regular file.
  std::optional<FileLook> VersionOf(const std::string& path);
  // True if anything at all has this name: a directory, a file, a link
  // (even one that leads nowhere).
  bool NameTaken(const std::string& path);
  // True if `path` itself is a directory: not a link to one.
  bool IsPlainDirectory(const std::string& path);
  // The size of the normal file (no directory, link or device) that has
  // exactly this path, nullopt where there is none or where the directory
  // that holds it is a link: lock files are never reached through one.
  // Two looks, no open: a repair asks it of every lock file.
  std::optional<std::uint64_t> NormalFileSize(const std::string& path);
  bool IsNormalFile(const std::string& path) {
    return NormalFileSize(path).has_value();
  }

  // The platform's case-insensitive order of user names (lstrcmpiA):
  // negative, zero or positive as `a` sorts before, with or after `b`. A
  // pure function of the two names, which no test needs to replace.
  int CompareNames(const char* a, const char* b) { return CompareUserNames(a, b); }
  // True when CompareNames finds the two names equal.
  bool NamesEqual(const char* a, const char* b) { return CompareNames(a, b) == 0; }
  // OpenExclusive for a caller that needs the handle only (kFailedLock on
  // any failure).
  LockHandle OpenExclusive(const std::string& path) {
    LockHandle handle = kFailedLock;
    return OpenExclusive(path, handle) ? handle : kFailedLock;
  }
  // ProbeLockFile's answer to whether the file is held.
  std::optional<bool> IsHeldExclusively(const std::string& path) {
    return ProbeLockFile(path).held;
  }
};

// This process's number, as the system gives it.
unsigned long ProcessId();

// The platform the library calls: the real one unless a test installed
// another.
Platform& Sys();
// Installs `platform` (not owned) for every later call; nullptr restores
// the real one.
void SetPlatform(Platform* platform);
// The real platform of this build.
Platform& NativePlatform();

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

}  // namespace userprofile
