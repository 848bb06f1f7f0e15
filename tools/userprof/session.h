// The library, aimed at one application: every module handle resolves to
// the module path the administrator gave, and the library's reports are
// caught instead of shown.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "json.h"
#include "userprofile.h"

namespace userprof {

// One report of the library: a failed check (with its number) or a notice
// such as "Creating Default User".
struct Report {
  unsigned check = 0;  // 0 for a notice
  std::string caption;
  std::string text;
};

// What a failed check means, in a few words ("user not registered"), or
// empty for a number the tool does not know.
std::string CheckMeaning(unsigned check);
// "check 615 (user not registered)".
std::string DescribeCheck(unsigned check);

// The checks as --json reports them: [{"check": N, "meaning": "..."}].
Json ChecksJson(const std::vector<unsigned>& checks);

// One session per process: it installs process-wide hooks of the library
// and removes them when it ends.
class Session {
 public:
  // `echo_checks` prints each failed check to standard error as it comes.
  Session(std::string module_path, bool echo_checks);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& module() const { return module_; }
  // Aims every later call at another module path (a scratch copy of the
  // application for a rehearsal); the caller aims it back.
  void Retarget(const std::string& module_path);
  // The handle passed to every export.
  ModuleHandle handle() const;

  // The registry's path as the library builds it, or nullopt (reported).
  std::optional<std::string> RegistryPath() const;
  // The users root as the library builds it, or nullopt (reported).
  std::optional<std::string> UsersRoot() const;
  // The calling thread's last recorded failure cause as one line, or
  // empty when the library recorded none.
  static std::string LastCause();

  const std::vector<unsigned>& checks() const { return checks_; }
  // How many reports (failed checks and notices) the library has made in
  // this session so far.
  std::size_t reports() const { return reports_; }
  // The notices shown since the last call.
  std::vector<std::string> TakeNotices();

  // The exports, with strings in and out.
  int FindUser(const std::string& name) const;  // DoesUserExist
  std::string DirForUser(const std::string& name) const;
  std::string DefaultUser() const;
  std::string UserHomeDir() const;

 private:
  class ModulePlatform;
  void Receive(const std::string& caption, const std::string& text);

  std::string module_;
  bool echo_checks_;
  std::unique_ptr<ModulePlatform> platform_;
  std::vector<unsigned> checks_;
  std::vector<std::string> notices_;
  std::size_t reports_ = 0;
};

}  // namespace userprof
