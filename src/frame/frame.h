// What every operation shares: the process's state, the paths that follow
// from the calling module, and the reporting of failed checks.
#pragma once

#include <string>
#include <string_view>

#include "frame/checks.h"
#include "frame/failure.h"
#include "platform/platform.h"
#include "userprofile.h"

namespace userprofile {

// One copy per process, empty when the library is loaded.
struct ProcessState {
  std::string current_user;  // the default user as last read or set
  LockHandle lock_handle = kNoLock;
};
ProcessState& State();

// Held by every export for its whole call, so that exports are safe from
// any thread at any time: the library's state (lock slot, current user,
// kept files, update holds, module paths) is the process's, and one call
// at a time keeps it whole, for a few tens of nanoseconds uncontended. A
// plain lock: no export calls another. The hold also forgets the thread's
// last failure and records this call's as it ends, so that a cause read
// after a call is that call's.
class ExportCall {
 public:
  ExportCall();
  ~ExportCall();
  ExportCall(const ExportCall&) = delete;
  ExportCall& operator=(const ExportCall&) = delete;
  // The cause this call failed with; the first one given is kept. Without
  // one, the call records the note a layer below left, if any.
  void Fail(const FailureCause& cause);

 private:
  FailureCause failure_;
};

// The load hook: clears the process state and reports success.
int LibraryLoad();

// The one source string that every check report names.
inline constexpr std::string_view kSourcePath = "userprofile";
inline constexpr unsigned kTaskModal = 0x2000;

// Reports a failed check ("File : userprofile, Line : N" in a task-modal
// box captioned "Assertion Failure") and returns once it is dismissed: for
// a check after which the call goes on (a name that had to be trimmed, a
// missing module that stands for the main program).
void ReportCheckFailure(unsigned check);
// The check whose report the calling thread is delivering now, or 0.
unsigned CheckBeingReported();

// Reports failed check `check`, after which the call cannot do what was
// asked, and returns the cause it stands for, from which the report is
// made: the note the layer below left, if any, else `kind` and `text`.
FailureCause Fault(unsigned check, Failure kind, std::string text);
// Reports `cause` as failed check `check` and returns it.
FailureCause Reported(unsigned check, FailureCause cause);

// A path split as the module path is: drive ("C:" or empty), directory
// with its leading and trailing separators, base name, extension with dot.
struct PathParts {
  std::string drive;
  std::string dir;
  std::string base;
  std::string ext;
};
PathParts SplitPath(std::string_view path);

// The module's full path, or the cause (reported) if it cannot be had.
Result<std::string> FetchModulePath(const void* module);

// While one exists, each module's path is asked of the platform once and
// remembered, so that an export building a path per registry entry does
// not look the module up per entry. A path that cannot be had is asked
// for (and reported) every time.
class ModulePathScope {
 public:
  ModulePathScope();
  ~ModulePathScope();
  ModulePathScope(const ModulePathScope&) = delete;
  ModulePathScope& operator=(const ModulePathScope&) = delete;
};

// The user registry beside the module: "USER.INI".
Result<std::string> RegistryPath(const void* module);

// The caller's handle of an internal module pointer.
inline ModuleHandle AsHandle(const void* module) {
  return static_cast<ModuleHandle>(const_cast<void*>(module));
}

// Copies `text` and a terminator to a caller's buffer.
void CopyOut(std::string_view text, char* out);

// Puts `text` (never longer than the caller's text) in the caller's name
// buffer, writing only the bytes that differ: a name with nothing to
// change may lie in read-only memory (a string literal).
void WriteBackName(std::string_view text, char* name);

// A name as a cause's text shows it, in quotes.
std::string Quoted(std::string_view name);

}  // namespace userprofile
