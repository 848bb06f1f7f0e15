#include "session.h"

#include <cstdio>

namespace userprof {

std::string DescribeCheck(unsigned check) {
  const std::string meaning = userprofile_check_meaning(check);
  std::string text = "check " + std::to_string(check);
  return meaning.empty() ? text : text + " (" + meaning + ")";
}

Json ChecksJson(const std::vector<unsigned>& checks) {
  Json list = Json::array();
  for (unsigned check : checks) {
    list.push_back(
        Json{{"check", check}, {"meaning", userprofile_check_meaning(check)}});
  }
  return list;
}

Session::Session(std::string module_path, bool echo_checks)
    : module_(std::move(module_path)),
      handle_(userprofile_module_at(module_.c_str())),
      echo_checks_(echo_checks) {
  userprofile_set_check_handler(&Session::Receive, this);
}

Session::~Session() { userprofile_set_check_handler(nullptr, nullptr); }

std::optional<std::string> Session::RegistryPath() const {
  char out[USERPROFILE_PATH_SIZE] = {};
  if (userprofile_registry_path(handle_, out) == 0) return std::nullopt;
  return std::string(out);
}

std::optional<std::string> Session::UsersRoot() const {
  char out[USERPROFILE_PATH_SIZE] = {};
  if (userprofile_users_root(handle_, out) == 0) return std::nullopt;
  return std::string(out);
}

std::string Session::LastCause() {
  return userprofile_last_error() == USERPROFILE_ERROR_NONE
             ? std::string()
             : userprofile_last_error_message();
}

void Session::Receive(void* self, unsigned check, const char*,
                      const char* text) {
  Session& session = *static_cast<Session*>(self);
  if (check != 0) {
    session.checks_.push_back(check);
    if (session.echo_checks_) {
      std::fprintf(stderr, "warning: %s\n", DescribeCheck(check).c_str());
    }
    return;
  }
  session.notices_.push_back(text);
}

std::vector<std::string> Session::TakeNotices() {
  std::vector<std::string> taken;
  taken.swap(notices_);
  return taken;
}

std::optional<std::string> Session::WhyRegistryUnreadable() {
  // A lookup reads the whole registry; a missing file is an empty
  // registry and leaves NOT_FOUND, any other failed read its own cause.
  const std::size_t checks = checks_.size();
  FindUser("Default");
  checks_.resize(checks);
  switch (userprofile_last_error()) {
    case USERPROFILE_ERROR_PERMISSION:
    case USERPROFILE_ERROR_IO:
    case USERPROFILE_ERROR_DAMAGED:
      return LastCause();
    default:
      return std::nullopt;
  }
}

int Session::FindUser(const std::string& name) const {
  return DoesUserExist(handle_, name.c_str());
}

std::string Session::DirForUser(const std::string& name) const {
  char out[USERPROFILE_PATH_SIZE] = {};
  GetDirForUser(handle_, name.c_str(), out);
  return out;
}

std::string Session::DefaultUser() const {
  char out[USERPROFILE_DEFAULT_SIZE] = {};
  GetDefaultUser(handle_, out);
  return out;
}

std::string Session::UserHomeDir() const {
  char out[USERPROFILE_PATH_SIZE] = {};
  GetUserHomeDir(handle_, out);
  return out;
}

}  // namespace userprof
