#include "session.h"

#include <cstdio>
#include <map>

#include "frame/checks.h"
#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "platform/platform.h"

namespace userprof {
namespace {

using namespace userprofile;

const std::map<unsigned, const char*>& Meanings() {
  static const std::map<unsigned, const char*> meanings{
      {kCheckNullModule, "no module handle"},
      {kCheckModulePathUnusable, "module path unusable or too long"},
      {kCheckRegistryPathTooLong, "registry path too long"},
      {kCheckRootNullModule, "no module handle for the users root"},
      {kCheckRootNoOutput, "no buffer for the users root"},
      {kCheckRootNoParent, "module directory has no parent"},
      {kCheckRootTooLong, "users root path too long"},
      {kCheckLookupEmptyName, "empty name looked up"},
      {kCheckDefaultNullModule, "no module handle for the default user"},
      {kCheckDefaultNoOutput, "no buffer for the default user"},
      {kCheckDefaultNoName, "no default user name"},
      {kCheckHomeNameMissing, "no name for a home directory"},
      {kCheckHomeNameEmpty, "empty name for a home directory"},
      {kCheckHomeNameTrimmed, "name trimmed of spaces"},
      {kCheckHomeNameNothingLeft, "name gives no directory name"},
      {kCheckBaseNotCreated, "users root could not be created"},
      {kCheckBaseTooLong, "users root path too long for a home"},
      {kCheckHomeNameNotPlain, "directory name not a plain name"},
      {kCheckCandidatesExhausted, "every home directory name taken"},
      {kCheckRootNameMissing, "no name for a home directory"},
      {kCheckRootNameEmpty, "empty name for a home directory"},
      {kCheckRootNullModuleAlloc, "no module handle for a home directory"},
      {kCheckRootTooLongForHome, "users root path too long for a home"},
      {kCheckCreateNameMissing, "no name for a new user"},
      {kCheckCreateNameEmpty, "empty name for a new user"},
      {kCheckCreateExNoBase, "no base directory"},
      {kCheckCreateExNoRegistry, "no registry path"},
      {kCheckCreateExNoName, "no name for a new user"},
      {kCheckCreateExNoOutput, "no buffer for the new home"},
      {kCheckCreateExBaseTooLong, "base directory path too long"},
      {kCheckCurrentUserEmpty, "no current user"},
      {kCheckCurrentUserInvalid, "current user's name invalid"},
      {kCheckCurrentUserUnknown, "current user not registered"},
      {kCheckCurrentUserEntryInvalid, "current user's entry invalid"},
      {kCheckCurrentUserDirNotPlain,
       "current user's directory not a plain name"},
      {kCheckCurrentUserPathTooLong, "current user's home path too long"},
      {kCheckDirNameMissing, "no user name"},
      {kCheckDirNameEmpty, "empty user name"},
      {kCheckDirNameInvalid, "invalid user name"},
      {kCheckDirUserUnknown, "user not registered"},
      {kCheckDirNotPlain, "user's directory not a plain name"},
      {kCheckDirPathTooLong, "user's home path too long"},
      {kCheckDirEntryInvalid, "user's entry invalid"},
      {kCheckLockNameMissing, "no user name to sign in"},
      {kCheckLockNameEmpty, "empty user name to sign in"},
      {kCheckLockNameInvalid, "invalid user name to sign in"},
      {kCheckLockNoneHeld, "no sign-in to end"},
      {kCheckLockFileNotCreated, "lock file could not be created"},
      {kCheckLockPathTooLong, "lock file path too long"},
      {kCheckRegistryNotCreated, "registry could not be created"},
      {kCheckRegistryWriteFailed, "registry write refused or failed"},
      {kCheckRegistryLockTimeout, "registry not writable or busy"},
  };
  return meanings;
}

// The check number of a report's text "File : userprofile, Line : N".
std::optional<unsigned> CheckNumberIn(const std::string& text) {
  static constexpr std::string_view kMarker = "Line : ";
  const std::size_t at = text.rfind(kMarker);
  if (at == std::string::npos) return std::nullopt;
  unsigned number = 0;
  bool digits = false;
  for (std::size_t i = at + kMarker.size(); i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9' || number > 100000) return std::nullopt;
    number = number * 10 + static_cast<unsigned>(text[i] - '0');
    digits = true;
  }
  if (!digits) return std::nullopt;
  return number;
}

// Anchors a module handle; its address is what the exports receive.
const char kAnchor = 0;

}  // namespace

std::string CheckMeaning(unsigned check) {
  auto it = Meanings().find(check);
  return it == Meanings().end() ? std::string() : it->second;
}

std::string DescribeCheck(unsigned check) {
  std::string meaning = CheckMeaning(check);
  std::string text = "check " + std::to_string(check);
  return meaning.empty() ? text : text + " (" + meaning + ")";
}

Json ChecksJson(const std::vector<unsigned>& checks) {
  Json list = Json::array();
  for (unsigned check : checks) {
    list.push_back(Json{{"check", check}, {"meaning", CheckMeaning(check)}});
  }
  return list;
}

// Gives every module handle the administrator's module path, and the real
// platform for everything else.
class Session::ModulePlatform : public PlatformWrapper {
 public:
  explicit ModulePlatform(std::string path)
      : PlatformWrapper(NativePlatform()), path_(std::move(path)) {}
  std::optional<std::string> ModuleFileName(const void*) override {
    if (path_.size() > kMaxPath) return std::nullopt;  // never cut
    return path_;
  }
  void set_path(std::string path) { path_ = std::move(path); }

 private:
  std::string path_;
};

Session::Session(std::string module_path, bool echo_checks)
    : module_(std::move(module_path)),
      echo_checks_(echo_checks),
      platform_(std::make_unique<ModulePlatform>(module_)) {
  SetPlatform(platform_.get());
  SetMessageSink([this](const std::string& caption, const std::string& text,
                        unsigned) { Receive(caption, text); });
}

Session::~Session() {
  SetMessageSink(nullptr);
  SetPlatform(nullptr);
}

ModuleHandle Session::handle() const { return AsHandle(&kAnchor); }

std::optional<std::string> Session::RegistryPath() const {
  return userprofile::RegistryPath(&kAnchor);
}

std::optional<std::string> Session::UsersRoot() const {
  return userprofile::UsersRootPath(&kAnchor);
}

void Session::Retarget(const std::string& module_path) {
  platform_->set_path(module_path);
}

std::string Session::LastCause() {
  const FailureCause& cause = LastFailure();
  return cause.kind == Failure::kNone ? std::string() : cause.text;
}

void Session::Receive(const std::string& caption, const std::string& text) {
  ++reports_;
  std::optional<unsigned> check = CheckNumberIn(text);
  if (caption == "Assertion Failure" && check) {
    checks_.push_back(*check);
    if (echo_checks_) {
      std::fprintf(stderr, "warning: %s\n", DescribeCheck(*check).c_str());
    }
    return;
  }
  notices_.push_back(text);
}

std::vector<std::string> Session::TakeNotices() {
  std::vector<std::string> taken;
  taken.swap(notices_);
  return taken;
}

int Session::FindUser(const std::string& name) const {
  return DoesUserExist(handle(), name.c_str());
}

std::string Session::DirForUser(const std::string& name) const {
  char out[USERPROFILE_PATH_SIZE] = {};
  GetDirForUser(handle(), name.c_str(), out);
  return out;
}

std::string Session::DefaultUser() const {
  char out[USERPROFILE_DEFAULT_SIZE] = {};
  GetDefaultUser(handle(), out);
  return out;
}

std::string Session::UserHomeDir() const {
  char out[USERPROFILE_PATH_SIZE] = {};
  GetUserHomeDir(handle(), out);
  return out;
}

}  // namespace userprof
