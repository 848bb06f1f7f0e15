// The library's internal checks: each one's name, its number (reported in
// the place of a source line, each from exactly one place in the code) and
// what it means in a few words, for tools that show a report to people.
#pragma once

#define USERPROFILE_CHECKS(X)                                                \
  /* Frame: module paths. */                                                 \
  X(kCheckNullModule, 124, "no module handle")                               \
  X(kCheckModulePathUnusable, 125, "module path unusable or too long")       \
  X(kCheckRegistryPathTooLong, 126, "registry path too long")                \
  /* Users root. */                                                          \
  X(kCheckRootNullModule, 244, "no module handle for the users root")        \
  X(kCheckRootNoOutput, 245, "no buffer for the users root")                 \
  X(kCheckRootNoParent, 263, "module directory has no parent")               \
  X(kCheckRootTooLong, 264, "users root path too long")                      \
  /* Lookup and default user. */                                             \
  X(kCheckLookupEmptyName, 326, "empty name looked up")                      \
  X(kCheckDefaultNullModule, 539, "no module handle for the default user")   \
  X(kCheckDefaultNoOutput, 540, "no buffer for the default user")            \
  X(kCheckDefaultNoName, 541, "no default user name")                        \
  /* Home directory naming and allocation. */                                \
  X(kCheckHomeNameMissing, 365, "no name for a home directory")              \
  X(kCheckHomeNameEmpty, 366, "empty name for a home directory")             \
  X(kCheckHomeNameTrimmed, 369, "name trimmed of spaces")                    \
  X(kCheckHomeNameNothingLeft, 383, "name gives no directory name")          \
  X(kCheckBaseNotCreated, 408, "users root could not be created")            \
  X(kCheckBaseTooLong, 409, "users root path too long for a home")           \
  X(kCheckHomeNameNotPlain, 410, "directory name not a plain name")          \
  X(kCheckCandidatesExhausted, 411, "every home directory name taken")       \
  X(kCheckRootNameMissing, 450, "no name for a home directory")              \
  X(kCheckRootNameEmpty, 451, "empty name for a home directory")             \
  X(kCheckRootNullModuleAlloc, 453, "no module handle for a home directory") \
  /* Users root over 108 characters: */                                      \
  X(kCheckRootTooLongForHome, 454, "users root path too long for a home")    \
  /* Profile creation. */                                                    \
  X(kCheckCreateNameMissing, 503, "no name for a new user")                  \
  X(kCheckCreateNameEmpty, 504, "empty name for a new user")                 \
  X(kCheckCreateExNoBase, 505, "no base directory")                          \
  X(kCheckCreateExNoRegistry, 506, "no registry path")                       \
  X(kCheckCreateExNoName, 507, "no name for a new user")                     \
  X(kCheckCreateExNoOutput, 508, "no buffer for the new home")               \
  X(kCheckCreateExBaseTooLong, 509, "base directory path too long")          \
  /* Home directory lookup. */                                               \
  X(kCheckCurrentUserEmpty, 575, "no current user")                          \
  X(kCheckCurrentUserInvalid, 576, "current user's name invalid")            \
  X(kCheckCurrentUserUnknown, 580, "current user not registered")            \
  X(kCheckCurrentUserEntryInvalid, 585, "current user's entry invalid")      \
  X(kCheckCurrentUserDirNotPlain, 586,                                       \
    "current user's directory not a plain name")                             \
  X(kCheckCurrentUserPathTooLong, 587, "current user's home path too long")  \
  X(kCheckDirNameMissing, 608, "no user name")                               \
  X(kCheckDirNameEmpty, 609, "empty user name")                              \
  X(kCheckDirNameInvalid, 610, "invalid user name")                          \
  X(kCheckDirUserUnknown, 615, "user not registered")                        \
  X(kCheckDirEntryInvalid, 620, "user's entry invalid")                      \
  X(kCheckDirNotPlain, 616, "user's directory not a plain name")             \
  X(kCheckDirPathTooLong, 617, "user's home path too long")                  \
  /* User lock. */                                                           \
  X(kCheckLockNameMissing, 643, "no user name to sign in")                   \
  X(kCheckLockNameEmpty, 644, "empty user name to sign in")                  \
  X(kCheckLockNameInvalid, 645, "invalid user name to sign in")              \
  X(kCheckLockNoneHeld, 667, "no sign-in to end")                            \
  X(kCheckLockFileNotCreated, 683, "lock file could not be created")         \
  X(kCheckLockPathTooLong, 684, "lock file path too long")                   \
  /* Verification and registry writes. */                                    \
  X(kCheckRegistryNotCreated, 722, "registry could not be created")          \
  X(kCheckRegistryWriteFailed, 730, "registry write refused or failed")      \
  /* The update lock not had in time: */                                     \
  X(kCheckRegistryLockTimeout, 731, "registry not writable or busy")

namespace userprofile {

enum Check : unsigned {
#define USERPROFILE_CHECK_NUMBER(name, number, meaning) name = number,
  USERPROFILE_CHECKS(USERPROFILE_CHECK_NUMBER)
#undef USERPROFILE_CHECK_NUMBER
};

}  // namespace userprofile
