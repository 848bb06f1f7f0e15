// What each failed check means, in a few words, for tools that show a
// report to people.
#include <map>

#include "frame/checks.h"
#include "frame/frame.h"
#include "userprofile.h"

using namespace userprofile;

extern "C" USERPROFILE_EXPORT const char* userprofile_check_meaning(
    unsigned check) {
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
  const auto it = meanings.find(check);
  return it == meanings.end() ? "" : it->second;
}
