// The host's typical run, end to end through the shared library in a real
// application tree: verify, sign in, add a user, sign out.
#include <gtest/gtest.h>

#include "support/apptree.h"

using namespace testing_support;

TEST(TypicalRun, VerifySignInAddUserSignOut) {
  AppTree app;
  RunResult r = app.Host({"verify", "valid", "Ann Lee", "exists", "Default",
                          "lock", "Default", "setdef", "Default", "home",
                          "create", "Ann Lee", "exists", "Ann Lee", "dir",
                          "ann lee", "unlock"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "verify: done\n"
            "valid: 1\n"
            "exists: 1\n"
            "lock: 1\n"
            "setdef: Default\n"
            "home: " + app.Home("Default0") + kSep + "\n"
            "create: Ann Lee\n"
            "exists: 2\n"
            "dir: " + app.Home("AnnLee00") + kSep + "\n"
            "unlock: done\n");
  EXPECT_EQ(r.err, "DEBUG: Creating Default User\n");
  EXPECT_EQ(ReadFile(app.registry()),
            "[NUSER]\r\nNO=2\r\n[LUSER]\r\n1=Default,Default0\r\n"
            "2=Ann Lee,AnnLee00\r\n[DEFUSER]\r\nDefaultUser=Default\r\n");
  EXPECT_TRUE(IsFile(app.Home("AnnLee00") + kSep + "IKIVO.SMP"));
  EXPECT_TRUE(IsFile(app.Home("Default0") + kSep + "IKIVO.SMP"));
}

TEST(TypicalRun, EmptyNameLookupReportsInOrder) {
  AppTree app;
  RunResult r = app.Host({"dir", ""});
  EXPECT_EQ(r.out, "dir: \n");
  EXPECT_EQ(ChecksIn(r.err), (std::vector<unsigned>{609, 610, 326, 615}));
}
