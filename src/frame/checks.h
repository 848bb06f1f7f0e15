// The numbers of the library's internal checks. A failed check is reported
// with its number in the place of a source line. Each number is reported
// from exactly one place in the code.
#pragma once

namespace userprofile {

enum Check : unsigned {
  // Frame: module paths.
  kCheckNullModule = 124,
  kCheckModulePathUnusable = 125,  // module path missing or over 127 chars
  kCheckRegistryPathTooLong = 126,

  // Users root.
  kCheckRootNullModule = 244,
  kCheckRootNoOutput = 245,
  kCheckRootNoParent = 263,
  kCheckRootTooLong = 264,

  // Lookup and default user.
  kCheckLookupEmptyName = 326,
  kCheckDefaultNullModule = 539,
  kCheckDefaultNoOutput = 540,
  kCheckDefaultNoName = 541,

  // Home directory naming and allocation.
  kCheckHomeNameMissing = 365,
  kCheckHomeNameEmpty = 366,
  kCheckHomeNameTrimmed = 369,
  kCheckHomeNameNothingLeft = 383,
  kCheckBaseNotCreated = 408,
  kCheckBaseTooLong = 409,
  kCheckHomeNameNotPlain = 410,
  kCheckCandidatesExhausted = 411,
  kCheckRootNameMissing = 450,
  kCheckRootNameEmpty = 451,
  kCheckRootNullModuleAlloc = 453,
  kCheckRootTooLongForHome = 454,  // users root over 108 characters

  // Profile creation.
  kCheckCreateNameMissing = 503,
  kCheckCreateNameEmpty = 504,
  kCheckCreateExNoBase = 505,
  kCheckCreateExNoRegistry = 506,
  kCheckCreateExNoName = 507,
  kCheckCreateExNoOutput = 508,
  kCheckCreateExBaseTooLong = 509,

  // Home directory lookup.
  kCheckCurrentUserEmpty = 575,
  kCheckCurrentUserInvalid = 576,
  kCheckCurrentUserUnknown = 580,
  kCheckCurrentUserEntryInvalid = 585,
  kCheckCurrentUserDirNotPlain = 586,
  kCheckCurrentUserPathTooLong = 587,
  kCheckDirNameMissing = 608,
  kCheckDirNameEmpty = 609,
  kCheckDirNameInvalid = 610,
  kCheckDirUserUnknown = 615,
  kCheckDirEntryInvalid = 620,
  kCheckDirNotPlain = 616,
  kCheckDirPathTooLong = 617,

  // User lock.
  kCheckLockNameMissing = 643,
  kCheckLockNameEmpty = 644,
  kCheckLockNameInvalid = 645,
  kCheckLockNoneHeld = 667,
  kCheckLockFileNotCreated = 683,
  kCheckLockPathTooLong = 684,

  // Verification and registry writes.
  kCheckRegistryNotCreated = 722,
  kCheckRegistryWriteFailed = 730,
  kCheckRegistryLockTimeout = 731,  // update lock not had in time
};

}  // namespace userprofile
