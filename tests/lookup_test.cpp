// Finding users by name and keeping the default user, on real registry
// files beside a module in an application tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "support/behaviour.h"

using namespace testing_support;

namespace {

using Checks_ = std::vector<unsigned>;

class Lookup : public AppTest {};

TEST_F(Lookup, FindsExampleUsersWithoutRegardToCase) {
  SetRegistry(ExampleRegistry());
  EXPECT_EQ(DoesUserExist(module(), "Ann Lee"), 2);
  EXPECT_EQ(DoesUserExist(module(), "ANN LEE"), 2);
  EXPECT_EQ(DoesUserExist(module(), "ann lee"), 2);
  EXPECT_EQ(DoesUserExist(module(), "default"), 1);
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(Lookup, OnlyTheWholeUntrimmedNameMatches) {
  SetRegistry(ExampleRegistry());
  EXPECT_EQ(DoesUserExist(module(), "Ann"), 0);
  EXPECT_EQ(DoesUserExist(module(), "Ann Lee,AnnLee00"), 0);
  EXPECT_EQ(DoesUserExist(module(), "Ann Lee "), 0);
  EXPECT_EQ(DoesUserExist(module(), " Ann Lee"), 0);
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(Lookup, KeysAboveTheCountAreNotSearched) {
  SetRegistry(Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Default,Default0",
                    "2=Ann Lee,AnnLee00"}));
  EXPECT_EQ(DoesUserExist(module(), "Ann Lee"), 0);
  EXPECT_EQ(DoesUserExist(module(), "Default"), 1);
}

TEST_F(Lookup, EntryWithoutCommaIsSkippedAndSearchGoesOn) {
  SetRegistry(Crlf({"[NUSER]", "NO=4", "[LUSER]", "1=Default,Default0",
                    "2=Ann Lee,AnnLee00", "3=Bob", "4=Carl,Carl0000"}));
  EXPECT_EQ(DoesUserExist(module(), "Bob"), 0);
  EXPECT_EQ(DoesUserExist(module(), "Carl"), 4);
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(Lookup, InvalidEntriesAreNeverMatched) {
  SetRegistry(
      Crlf({"[NUSER]", "NO=5", "[LUSER]", "1=b#d,XXXXXXXX", "2=Ann Lee,AnnLee0",
            "3=,AnnLee00", "4=", "5=Ann Lee,AnnLee01"}));
  EXPECT_EQ(DoesUserExist(module(), "b#d"), 0);
  // The 7-character directory name of entry 2 disqualifies it.
  EXPECT_EQ(DoesUserExist(module(), "Ann Lee"), 5);
}

TEST_F(Lookup, DuplicateNameGivesLowerEntryNumber) {
  SetRegistry(Crlf({"[NUSER]", "NO=3", "[LUSER]", "1=Default,Default0",
                    "2=Ann Lee,AnnLee00", "3=ANN LEE,AnnLee01"}));
  EXPECT_EQ(DoesUserExist(module(), "ann lee"), 2);
}

TEST_F(Lookup, CountOfZeroOrBelowFindsNobody) {
  SetRegistry(Crlf({"[NUSER]", "NO=0", "[LUSER]", "1=Default,Default0"}));
  EXPECT_EQ(DoesUserExist(module(), "Default"), 0);
  SetRegistry(Crlf({"[NUSER]", "NO=-1", "[LUSER]", "1=Default,Default0"}));
  EXPECT_EQ(DoesUserExist(module(), "Default"), 0);
  SetRegistry(Crlf({"[LUSER]", "1=Default,Default0"}));
  EXPECT_EQ(DoesUserExist(module(), "Default"), 0);
}

TEST_F(Lookup, MissingRegistryReadsEmptyAndIsNotCreated) {
  EXPECT_EQ(DoesUserExist(module(), "Default"), 0);
  char out[USERPROFILE_DEFAULT_SIZE] = "(untouched)";
  GetDefaultUser(module(), out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(Checks(), Checks_{});
  EXPECT_FALSE(IsFile(tree_.registry()));
}

TEST_F(Lookup, EmptyOrMissingNameIsReportedAndFindsNobody) {
  // An entry with an empty name must not match the empty name either.
  SetRegistry(Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=,AnnLee00"}));
  EXPECT_EQ(DoesUserExist(module(), ""), 0);
  EXPECT_EQ(Checks(), Checks_{326});
  EXPECT_EQ(DoesUserExist(module(), nullptr), 0);
  EXPECT_EQ(Checks(), Checks_{326});
}

class DefaultUser : public AppTest {
 protected:
  // The current user as GetUserHomeDir sees it: the checks it reports.
  Checks_ HomeDirChecks(std::string* dir = nullptr) {
    Checks();
    char out[USERPROFILE_PATH_SIZE] = "(untouched)";
    GetUserHomeDir(module(), out);
    if (dir) *dir = out;
    return Checks();
  }
};

TEST_F(DefaultUser, ReadsTheStoredDefaultAndMakesItCurrent) {
  SetRegistry(ExampleRegistry());
  char out[USERPROFILE_DEFAULT_SIZE] = "(untouched)";
  GetDefaultUser(module(), out);
  EXPECT_STREQ(out, "Default");
  std::string dir;
  EXPECT_EQ(HomeDirChecks(&dir), Checks_{});
  EXPECT_EQ(dir, Home("Default0") + kSep);
}

TEST_F(DefaultUser, MissingSectionGivesEmptyAndEmptiesCurrentUser) {
  SetRegistry(ExampleRegistry());
  SetDefaultUser(module(), "Ann Lee");
  SetRegistry(Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Default,Default0"}));
  char out[USERPROFILE_DEFAULT_SIZE] = "(untouched)";
  GetDefaultUser(module(), out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(HomeDirChecks(), (Checks_{575, 576, 326, 580}));
}

TEST_F(DefaultUser, SetThenGetRoundTripsThroughTheFile) {
  SetDefaultUser(module(), "X");
  EXPECT_EQ(RegistryText(), Crlf({"[DEFUSER]", "DefaultUser=X"}));
  char out[USERPROFILE_DEFAULT_SIZE] = "(untouched)";
  GetDefaultUser(module(), out);
  EXPECT_STREQ(out, "X");
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(DefaultUser, SetReplacesOnlyTheDefaultKey) {
  SetRegistry(ExampleRegistry());
  SetDefaultUser(module(), "Ann Lee");
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=Default,Default0",
                  "2=Ann Lee,AnnLee00", "[DEFUSER]", "DefaultUser=Ann Lee"}));
}

TEST_F(DefaultUser, UnregisteredDefaultIsAcceptedAndThenNotFound) {
  SetRegistry(ExampleRegistry());
  SetDefaultUser(module(), "ghost");
  EXPECT_EQ(Checks(), Checks_{});
  std::string dir = "(untouched)";
  EXPECT_EQ(HomeDirChecks(&dir), Checks_{580});
  EXPECT_EQ(dir, "");
}

TEST_F(DefaultUser, DefaultIsSharedWithTheNextProcess) {
  SetRegistry(ExampleRegistry());
  SetDefaultUser(module(), "Ann Lee");
  RunResult r = tree_.Host({"getdef", "home"});
  EXPECT_EQ(r.out, "getdef: Ann Lee\nhome: " + Home("AnnLee00") + kSep + "\n");
  EXPECT_EQ(ChecksIn(r.err), Checks_{});
}

TEST_F(DefaultUser, FreshProcessHasNoCurrentUser) {
  SetRegistry(ExampleRegistry());
  RunResult r = tree_.Host({"home"});
  EXPECT_EQ(r.out, "home: \n");
  EXPECT_EQ(ChecksIn(r.err), (Checks_{575, 576, 326, 580}));
}

// A long name must stay whole: cut to 31 characters it could name another
// registered user, whose home would then be handed out.
TEST_F(DefaultUser, LongNameSetIsNeverCutIntoAnotherUser) {
  const std::string registered(31, 'a');
  SetRegistry(
      Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=" + registered + ",aaaaaaaa"}));
  ASSERT_EQ(DoesUserExist(module(), registered.c_str()), 1);
  const std::string long_name = registered + "bcdefghij";
  SetDefaultUser(module(), long_name.c_str());
  std::string dir = "(untouched)";
  EXPECT_EQ(HomeDirChecks(&dir), (Checks_{576, 580}));
  EXPECT_EQ(dir, "");
}

TEST_F(DefaultUser, LongNameReadKeeps32CharactersAndFindsNobody) {
  const std::string registered(31, 'a');
  SetRegistry(
      Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=" + registered + ",aaaaaaaa",
            "[DEFUSER]", "DefaultUser=" + registered + "bcdefghij"}));
  char out[USERPROFILE_DEFAULT_SIZE + 8];
  std::fill(std::begin(out), std::end(out), '#');
  GetDefaultUser(module(), out);
  EXPECT_EQ(std::string(out), registered + "b");
  EXPECT_EQ(out[USERPROFILE_DEFAULT_SIZE], '#');  // 33 bytes, no more
  std::string dir = "(untouched)";
  EXPECT_EQ(HomeDirChecks(&dir), (Checks_{576, 580}));
  EXPECT_EQ(dir, "");
}

TEST_F(DefaultUser, NullBufferIsReportedAndLeavesCurrentUser) {
  SetRegistry(ExampleRegistry());  // stored default: Default
  SetDefaultUser(module(), "Ann Lee");
  SetRegistry(ExampleRegistry());
  GetDefaultUser(module(), nullptr);
  EXPECT_EQ(Checks(), Checks_{540});
  std::string dir;
  EXPECT_EQ(HomeDirChecks(&dir), Checks_{});
  EXPECT_EQ(dir, Home("AnnLee00") + kSep);
}

TEST_F(DefaultUser, NullNameIsReportedAndChangesNothing) {
  SetRegistry(ExampleRegistry());
  SetDefaultUser(module(), "Ann Lee");
  const std::string before = RegistryText();
  SetDefaultUser(module(), nullptr);
  EXPECT_EQ(Checks(), Checks_{541});
  EXPECT_EQ(RegistryText(), before);
  std::string dir;
  EXPECT_EQ(HomeDirChecks(&dir), Checks_{});
  EXPECT_EQ(dir, Home("AnnLee00") + kSep);
}

// Inside one update, a lookup after a write of the entry it found answers
// from the entry as written, never from the answer before the write.
TEST_F(Lookup, LookupInsideAnUpdateSeesTheEntryJustWritten) {
  SetRegistry(Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Ann,Ann00000"}));
  const std::string registry = tree_.registry();
  userprofile::RegistryScope scope;
  userprofile::RegistryUpdate update(registry);
  ASSERT_TRUE(update.held());
  EXPECT_EQ(userprofile::FindUser(registry, "Ann"), 1);
  ASSERT_TRUE(userprofile::WriteRegistry(registry, userprofile::kUserSection,
                                         "1", "Bob,Bob00000"));
  EXPECT_EQ(userprofile::FindUser(registry, "Ann"), 0);
  EXPECT_EQ(userprofile::FindUser(registry, "Bob"), 1);
  EXPECT_TRUE(update.Finish());
}

}  // namespace
