// The library, aimed at one application: every call goes to the module
// path the administrator gave, and the library's reports are caught
// instead of shown.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "json.h"
#include "userprofile.h"

namespace userprof {

// "check 615 (user not registered)".
std::string DescribeCheck(unsigned check);

// The checks as --json reports them: [{"check": N, "meaning": "..."}].
Json ChecksJson(const std::vector<unsigned>& checks);

// One session per process: it installs the process-wide report handler of
// the library and silences it when it ends.
class Session {
 public:
  // `echo_checks` prints each failed check to standard error as it comes.
  Session(std::string module_path, bool echo_checks);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& module() const { return module_; }
  // The handle passed to every call.
  ModuleHandle handle() const { return handle_; }

  // The registry's path as the library builds it, or nullopt (reported).
  std::optional<std::string> RegistryPath() const;
  // The users root as the library builds it, or nullopt (reported).
  std::optional<std::string> UsersRoot() const;
  // Why the registry, which exists, cannot be read (the library's cause:
  // its path and the system's reason), or nullopt when it can be read or
  // does not exist (an empty registry). Leaves no warning behind.
  std::optional<std::string> WhyRegistryUnreadable();
  // The calling thread's last failure as one line, or empty when the
  // library recorded none.
  static std::string LastCause();

  const std::vector<unsigned>& checks() const { return checks_; }
  // The notices shown since the last call.
  std::vector<std::string> TakeNotices();

  // The exports, with strings in and out.
  int FindUser(const std::string& name) const;  // DoesUserExist
  std::string DirForUser(const std::string& name) const;
  std::string DefaultUser() const;
  std::string UserHomeDir() const;

 private:
  static void Receive(void* self, unsigned check, const char* caption,
                      const char* text);

  std::string module_;
  ModuleHandle handle_;
  bool echo_checks_;
  std::vector<unsigned> checks_;
  std::vector<std::string> notices_;
};

}  // namespace userprof
