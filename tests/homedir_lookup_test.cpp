// Home directory paths rebuilt from the users root and the registry: for a
// named user and for the current user.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/behaviour.h"

using namespace testing_support;

namespace {

using Checks_ = std::vector<unsigned>;

class DirForUser : public AppTest {
 protected:
  void SetUp() override { SetRegistry(ExampleRegistry()); }
  std::string Dir(const char* name) {
    char out[USERPROFILE_PATH_SIZE] = "(untouched)";
    GetDirForUser(module(), name, out);
    return out;
  }
  std::string CurrentHome() {
    char out[USERPROFILE_PATH_SIZE] = "(untouched)";
    GetUserHomeDir(module(), out);
    return out;
  }
};

// The path is built whether or not the directory exists.
TEST_F(DirForUser, GivesRecordedDirectoryWithoutTouchingTheDisk) {
  const auto before = TreeState(tree_.root());
  EXPECT_EQ(Dir("ann lee"), Home("AnnLee00") + kSep);
  EXPECT_EQ(Dir("DEFAULT"), Home("Default0") + kSep);
  EXPECT_EQ(Checks(), Checks_{});
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(DirForUser, UnregisteredUserGivesEmptyAndReports) {
  EXPECT_EQ(Dir("Bob"), "");
  EXPECT_EQ(Checks(), Checks_{615});
}

TEST_F(DirForUser, EmptyNameReportsEachStepInOrder) {
  EXPECT_EQ(Dir(""), "");
  EXPECT_EQ(Checks(), (Checks_{609, 610, 326, 615}));
}

TEST_F(DirForUser, InvalidNameIsReportedBeforeTheLookup) {
  EXPECT_EQ(Dir("O'Brien"), "");
  EXPECT_EQ(Checks(), (Checks_{610, 615}));
}

TEST_F(DirForUser, NullNameIsReportedAndOutputUntouched) {
  EXPECT_EQ(Dir(nullptr), "(untouched)");
  EXPECT_EQ(Checks(), Checks_{608});
}

TEST_F(DirForUser, NullOutputIsReportedWithoutAWrite) {
  GetDirForUser(module(), "Ann Lee", nullptr);
  EXPECT_EQ(Checks(), Checks_{245});
}

TEST_F(DirForUser, DuplicateNameGivesLowerEntrysDirectory) {
  SetRegistry(Crlf({"[NUSER]", "NO=3", "[LUSER]", "1=Default,Default0",
                    "2=Ann Lee,AnnLee00", "3=Ann Lee,AnnLee01"}));
  EXPECT_EQ(Dir("Ann Lee"), Home("AnnLee00") + kSep);
}

TEST_F(DirForUser, CurrentUserRightAfterLoadIsEmptyAndReported) {
  EXPECT_EQ(CurrentHome(), "");
  EXPECT_EQ(Checks(), (Checks_{575, 576, 326, 580}));
}

TEST_F(DirForUser, CurrentUserFollowsTheDefaultSet) {
  SetDefaultUser(module(), "ann lee");
  EXPECT_EQ(CurrentHome(), Home("AnnLee00") + kSep);
  SetDefaultUser(module(), "Default");
  EXPECT_EQ(CurrentHome(), Home("Default0") + kSep);
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(DirForUser, InvalidCurrentUserIsReportedThenNotFound) {
  SetDefaultUser(module(), "O'Brien");
  EXPECT_EQ(CurrentHome(), "");
  EXPECT_EQ(Checks(), (Checks_{576, 580}));
}

// Entries are valid as long as 8 characters follow the comma, so a
// tampered registry can name a path instead of a directory.
TEST_F(DirForUser, TamperedDirectoryNameNeverLeavesTheUsersRoot) {
  for (const char* tampered :
       {"../../xy", "/etc/pwd", "xy/../..", "a/b/c/de"}) {
    SetRegistry(
        Crlf({"[NUSER]", "NO=1", "[LUSER]", std::string("1=bob,") + tampered}));
    ASSERT_EQ(DoesUserExist(module(), "bob"), 1) << tampered;
    EXPECT_EQ(Dir("bob"), "") << tampered;
    EXPECT_EQ(Checks(), Checks_{616}) << tampered;
    SetDefaultUser(module(), "bob");
    EXPECT_EQ(CurrentHome(), "") << tampered;
    EXPECT_EQ(Checks(), Checks_{586}) << tampered;
  }
}

// A lookup and the read of the entry it found answer from one snapshot
// of the registry, so an entry can lead outside the users root only as the
// file holds it: a home name of the right length that is no plain
// directory name is refused, never followed.
TEST_F(DirForUser, EntryLeadingOutsideTheUsersRootIsRefused) {
  for (const std::string& home : {std::string("..") + kSep + "Ann00",
                                 std::string(".") + kSep + "Ann000"}) {
    SetRegistry(Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=Default,Default0",
                      "2=Ann Lee," + home}));
    EXPECT_EQ(Dir("Ann Lee"), "") << home;
    EXPECT_EQ(Checks(), (Checks_{616})) << home;
    SetDefaultUser(module(), "Ann Lee");
    EXPECT_EQ(CurrentHome(), "") << home;
    EXPECT_EQ(Checks(), (Checks_{586})) << home;
  }
}

// The path plus the lock file's name must fit 127 characters: the users
// root may have 108.
TEST(DirForUserBudget, PathAtTheBudgetIsGiven) {
  AppTree tree(ProgDirForUsersRoot(108));
  InProcessApp app(tree.host());
  ASSERT_EQ(tree.users().size(), 108u);
  WriteFile(tree.registry(), ExampleRegistry());
  char out[USERPROFILE_PATH_SIZE] = "(untouched)";
  GetDirForUser(app.handle(), "Ann Lee", out);
  EXPECT_EQ(std::string(out), tree.Home("AnnLee00") + kSep);
  EXPECT_EQ(std::string(out).size() + 9, 127u);
  EXPECT_EQ(app.TakeChecks(), Checks_{});
}

TEST(DirForUserBudget, PathOverTheBudgetIsRefusedNotCut) {
  AppTree tree(ProgDirForUsersRoot(109));
  InProcessApp app(tree.host());
  ASSERT_EQ(tree.users().size(), 109u);
  WriteFile(tree.registry(), ExampleRegistry());
  char out[USERPROFILE_PATH_SIZE] = "(untouched)";
  GetDirForUser(app.handle(), "Ann Lee", out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(app.TakeChecks(), Checks_{617});
  SetDefaultUser(app.handle(), "Ann Lee");
  GetUserHomeDir(app.handle(), out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(app.TakeChecks(), Checks_{587});
}

TEST(DirForUserBudget, LockOperationsOverTheBudgetTouchNothing) {
  AppTree tree(ProgDirForUsersRoot(109));
  InProcessApp app(tree.host());
  WriteFile(tree.registry(), ExampleRegistry());
  MakeDirs(tree.Home("AnnLee00"));
  const auto before = TreeState(tree.root());
  EXPECT_EQ(openUserSemaphoreFile("Ann Lee", app.handle()), 0);
  CloseUserSemaphoreFile();
  EXPECT_EQ(app.TakeChecks(), Checks_{617});
  EXPECT_EQ(TreeState(tree.root()), before);
}

// A user created where lookups could never name the home with its lock
// file could never sign in: creation refuses instead of recording it.
TEST(DirForUserBudget, CreationOverTheBudgetRecordsAndCreatesNothing) {
  AppTree tree(ProgDirForUsersRoot(109));
  InProcessApp app(tree.host());
  const auto before = TreeState(tree.root());
  char name[] = "Ann Lee";
  CreateUserProfile(app.handle(), name, 1);
  EXPECT_EQ(app.TakeChecks(), (Checks_{454, 615}));
  EXPECT_EQ(TreeState(tree.root()), before);
}

}  // namespace
