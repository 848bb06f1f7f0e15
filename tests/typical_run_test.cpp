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

// The harness itself: a hung child fails its test at a deadline, and a
// process that outlives the child while holding its output pipe does not
// hold the test.
TEST(Harness, HungChildIsKilledAtItsDeadlineAndOutlivingPipeHolderIsNotWaitedFor) {
  AppTree app;
  auto start = std::chrono::steady_clock::now();
  RunResult hung = testing_support::Run(app.HostArgv({"sleep", "60000"}), "",
                       std::chrono::milliseconds(500));
  EXPECT_EQ(hung.status, kTimedOut);
  RunResult orphaned = app.Host({"spawn-sleeper", "20000", "wep"});
  EXPECT_EQ(orphaned.status, 0);
  EXPECT_EQ(orphaned.out, "spawn-sleeper: 0\nwep: 1\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
