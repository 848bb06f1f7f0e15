// Verification and repair of the registry and the home directories, on
// real application trees, compared byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/behaviour.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

using Checks_ = std::vector<unsigned>;
using Messages_ = std::vector<std::string>;

const char kNotice[] = "DEBUG: Creating Default User";

class Repair : public AppTest {
 protected:
  std::string CurrentHome() {
    char out[USERPROFILE_PATH_SIZE] = "(untouched)";
    GetUserHomeDir(module(), out);
    return out;
  }
  std::string StoredDefault() {
    char out[USERPROFILE_DEFAULT_SIZE] = "(untouched)";
    GetDefaultUser(module(), out);
    return out;
  }
  // A registry that needs nothing but what a test adds: "Default"
  // registered with its home and lock file, and the default user.
  void MakeDefaultHome() const { MakeHome("Default0"); }
};

TEST_F(Repair, WorkedExampleIsCompactedAndGainsDefault) {
  SetRegistry(Crlf({"[NUSER]", "NO=5", "[LUSER]", "1=ann,ann00000", "2=",
                    "3=b#d,XXXXXXXX", "4=carl,carl0000", "5=dee,dee00000"}));
  for (const char* dir : {"ann00000", "XXXXXXXX", "carl0000", "dee00000"}) {
    MakeHome(dir);
  }
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=4", "[LUSER]", "1=ann,ann00000",
                  "2=carl,carl0000", "3=dee,dee00000", "4=Default,Default0",
                  "[DEFUSER]", "DefaultUser=Default"}));
  EXPECT_EQ(Messages(), Messages_{kNotice});
  EXPECT_TRUE(IsFile(LockFile("Default0")));
  // The current user is left holding the default.
  EXPECT_EQ(CurrentHome(), Home("Default0") + kSep);
}

TEST_F(Repair, EveryKindOfBrokenEntryIsDropped) {
  SetRegistry(Crlf({"[NUSER]", "NO=7", "[LUSER]", "1=Bob", "2=ann,ann00000",
                    "3=O'Brien,OBrien00", "4=carl,carl000", "5=,dee00000",
                    "6=dee,dee00000", "7=Default,Default0", "[DEFUSER]",
                    "DefaultUser=Default"}));
  for (const char* dir : {"ann00000", "dee00000", "Default0"}) MakeHome(dir);
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=3", "[LUSER]", "1=ann,ann00000",
                  "2=dee,dee00000", "3=Default,Default0", "[DEFUSER]",
                  "DefaultUser=Default"}));
  EXPECT_EQ(Messages(), Messages_{});
}

TEST_F(Repair, MissingHomeIsAllocatedAgainUnderItsName) {
  SetRegistry(Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=ann,ann00000",
                    "2=Default,Default0", "[DEFUSER]", "DefaultUser=Default"}));
  MakeDefaultHome();
  const std::string before = RegistryText();
  VerifyUserProfiles(module());
  EXPECT_TRUE(IsDir(Home("ann00000")));
  EXPECT_EQ(ReadFile(LockFile("ann00000")), "");
  EXPECT_EQ(RegistryText(), before);
  EXPECT_EQ(Messages(), Messages_{});
}

TEST_F(Repair, MissingHomeWithAnotherNameIsRewritten) {
  SetRegistry(Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=ann,qqqqqqqq",
                    "2=Default,Default0", "[DEFUSER]", "DefaultUser=Default"}));
  MakeDefaultHome();
  MakeDirs(Home("ann00000"));  // someone else's
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=ann,ann00001",
                  "2=Default,Default0", "[DEFUSER]", "DefaultUser=Default"}));
  EXPECT_TRUE(IsFile(LockFile("ann00001")));
  EXPECT_FALSE(IsFile(LockFile("ann00000")));
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(Repair, MovedEntryWithMissingHomeGetsHomeAndLock) {
  SetRegistry(Crlf({"[NUSER]", "NO=3", "[LUSER]", "1=", "2=ann,ann00000",
                    "3=Default,Default0", "[DEFUSER]", "DefaultUser=Default"}));
  MakeDefaultHome();
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=ann,ann00000",
                  "2=Default,Default0", "[DEFUSER]", "DefaultUser=Default"}));
  EXPECT_TRUE(IsFile(LockFile("ann00000")));
  EXPECT_EQ(Checks(), Checks_{});
}

// Without a new directory the entry must stay: rewritten with an empty
// directory name it would be dropped, and the user lost, next time.
TEST_F(Repair, EntryIsKeptWhenNoHomeCanBeAllocated) {
  SetRegistry(Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=ann,zzzzzzzz"}));
  for (const std::string& name : CandidateSeries("ann00000", 0)) {
    MakeDirs(Home(name));
  }
  for (const std::string& name : CandidateSeries("USERPROF", 1)) {
    MakeDirs(Home(name));
  }
  VerifyUserProfiles(module());
  EXPECT_EQ(Checks(), Checks_{411});
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=ann,zzzzzzzz",
                  "2=Default,Default0", "[DEFUSER]", "DefaultUser=Default"}));
}

TEST_F(Repair, TamperedDirectoryNameGetsAFreshHomeInside) {
  // "../../xy" from the users root is <tmp>/xy.
  SetRegistry(Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=bob,../../xy",
                    "2=Default,Default0", "[DEFUSER]", "DefaultUser=Default"}));
  MakeDefaultHome();
  MakeDirs(tree_.root() + kSep + "xy");
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=bob,bob00000",
                  "2=Default,Default0", "[DEFUSER]", "DefaultUser=Default"}));
  EXPECT_TRUE(IsFile(LockFile("bob00000")));
  EXPECT_FALSE(IsFile(tree_.root() + kSep + NativePath("xy/IKIVO.SMP")));
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(Repair, MissingLockFileIsCreated) {
  SetRegistry(ExampleRegistry());
  MakeDefaultHome();
  MakeDirs(Home("AnnLee00"));
  VerifyUserProfiles(module());
  EXPECT_EQ(ReadFile(LockFile("AnnLee00")), "");
  EXPECT_EQ(RegistryText(), ExampleRegistry());
  EXPECT_EQ(Messages(), Messages_{});
}

TEST_F(Repair, HeldLockFileIsLeftAlone) {
  SetRegistry(ExampleRegistry());
  MakeDefaultHome();
  MakeHome("AnnLee00");
  WriteFile(LockFile("AnnLee00"), "held");
  Child holder(tree_.HostArgv({"lock", "Ann Lee", "wait"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  VerifyUserProfiles(module());
  EXPECT_EQ(Messages(), Messages_{});
  // Its size, not its bytes: the holder's share mode refuses reads on
  // Windows.
  EXPECT_EQ(fs::file_size(LockFile("AnnLee00")), 4u);
  EXPECT_EQ(tree_.Host({"lock", "Ann Lee"}).out, "lock: 0\n");
}

TEST_F(Repair, UnregisteredOrMissingDefaultIsReplaced) {
  SetRegistry(Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=Default,Default0",
                    "2=Ann Lee,AnnLee00", "[DEFUSER]", "DefaultUser=ghost"}));
  MakeDefaultHome();
  MakeHome("AnnLee00");
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(), ExampleRegistry());
  EXPECT_EQ(Messages(), Messages_{});
  EXPECT_EQ(CurrentHome(), Home("Default0") + kSep);

  SetRegistry(Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Default,Default0"}));
  VerifyUserProfiles(module());
  EXPECT_EQ(StoredDefault(), "Default");
  EXPECT_EQ(Messages(), Messages_{});
}

TEST_F(Repair, RegisteredDefaultIsKeptAndMadeCurrent) {
  SetRegistry(Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=Default,Default0",
                    "2=Ann Lee,AnnLee00", "[DEFUSER]", "DefaultUser=ann lee"}));
  MakeDefaultHome();
  MakeHome("AnnLee00");
  const std::string before = RegistryText();
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(), before);
  EXPECT_EQ(CurrentHome(), Home("AnnLee00") + kSep);
}

TEST_F(Repair, CreatedDefaultUserAlsoBecomesTheDefault) {
  SetRegistry(Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Ann Lee,AnnLee00",
                    "[DEFUSER]", "DefaultUser=Ann Lee"}));
  MakeHome("AnnLee00");
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=Ann Lee,AnnLee00",
                  "2=Default,Default0", "[DEFUSER]", "DefaultUser=Default"}));
  EXPECT_EQ(Messages(), Messages_{kNotice});
}

TEST_F(Repair, MissingRegistryIsCreatedAndASecondRunChangesNothing) {
  VerifyUserProfiles(module());
  EXPECT_EQ(Messages(), Messages_{kNotice});
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Default,Default0",
                  "[DEFUSER]", "DefaultUser=Default"}));
  EXPECT_EQ(ReadFile(LockFile("Default0")), "");

  const auto before = TreeState(tree_.root());
  VerifyUserProfiles(module());
  EXPECT_EQ(Messages(), Messages_{});
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(Repair, SecondRunInAnotherProcessChangesNothing) {
  RunResult first = tree_.Host({"verify"});
  EXPECT_EQ(first.err, std::string(kNotice) + "\n");
  const auto before = TreeState(tree_.root());
  RunResult second = tree_.Host({"verify", "home"});
  EXPECT_EQ(second.out, "verify: done\nhome: " + Home("Default0") + kSep + "\n");
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(TreeState(tree_.root()), before);
}

// A count beyond the last key held ends where a walk over the empty
// entries would end it: at the first of them, or at an earlier gap.
TEST_F(Repair, CountBeyondTheKeysHeldIsCutAtTheFirstEmptyEntry) {
  MakeDefaultHome();
  MakeHome("ann00000");
  SetRegistry(Crlf({"[NUSER]", "NO=900", "[LUSER]", "1=Default,Default0",
                    "2=ann,ann00000", "[DEFUSER]", "DefaultUser=Default"}));
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=Default,Default0",
                  "2=ann,ann00000", "[DEFUSER]", "DefaultUser=Default"}));
  SetRegistry(Crlf({"[NUSER]", "NO=900", "[LUSER]", "1=Default,Default0",
                    "2=", "3=ann,ann00000", "[DEFUSER]",
                    "DefaultUser=Default"}));
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=Default,Default0",
                  "2=ann,ann00000", "[DEFUSER]", "DefaultUser=Default"}));
  EXPECT_EQ(Messages(), Messages_{});
}

// A count tampered to the last numbers there are: a creation still takes
// the largest, and the repair after it walks only the keys held, with no
// overflow, in well under a second.
TEST_F(Repair, KeyAtTheLargestNumberIsMovedDownQuickly) {
  MakeDefaultHome();
  SetRegistry(Crlf({"[NUSER]", "NO=2147483646", "[LUSER]",
                    "1=Default,Default0", "[DEFUSER]", "DefaultUser=Default"}));
  char name[] = "ann";
  CreateUserProfile(module(), name, 1);
  ASSERT_NE(RegistryText().find("2147483647=ann,ann00000"), std::string::npos);
  const auto start = std::chrono::steady_clock::now();
  VerifyUserProfiles(module());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(RegistryText().find("NO=2\r\n"), std::string::npos);
  EXPECT_EQ(DoesUserExist(module(), "ann"), 2);
  EXPECT_EQ(Checks(), Checks_{});
}

// 4294967295 and every count from 2^31 up reads as negative: no number is
// left for a new user, and the repair sets the count the entries give.
TEST_F(Repair, CountThatCannotTakeAnotherUserRefusesItAndIsRestored) {
  MakeDefaultHome();
  MakeHome("ann00000");
  auto registry = [](std::string_view count) {
    return Crlf({"[NUSER]", count, "[LUSER]", "1=Default,Default0",
                 "2=ann,ann00000", "[DEFUSER]", "DefaultUser=Default"});
  };
  SetRegistry(registry("NO=4294967295"));
  const std::string before = RegistryText();
  char name[] = "bob";
  CreateUserProfile(module(), name, 1);
  EXPECT_EQ(Checks(), (Checks_{730, 615}));
  EXPECT_EQ(RegistryText(), before);
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(), registry("NO=2"));
  EXPECT_EQ(DoesUserExist(module(), "ann"), 2);
}

TEST_F(Repair, ZeroCountIgnoresTheKeysPresent) {
  SetRegistry(
      Crlf({"[NUSER]", "NO=0", "[LUSER]", "1=ann,ann00000", "2=bob,bob00000"}));
  VerifyUserProfiles(module());
  // "Default" takes number 1 over the ignored key; nothing else moves, and
  // a host's repair, which keeps no copy, leaves the lines above the count.
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Default,Default0",
                  "2=bob,bob00000", "[DEFUSER]", "DefaultUser=Default"}));
  EXPECT_FALSE(IsDir(Home("ann00000")));
  EXPECT_FALSE(IsDir(Home("bob00000")));
}

// Another process may be writing the registry: an existing file is edited
// in place of its keys, never recreated.
TEST_F(Repair, ExistingRegistryIsNeverTruncated) {
#ifdef _WIN32
  if (RunningUnderWine()) {
    GTEST_SKIP() << "Wine differs from Windows: every write rewrites the "
                    "whole file with CRLF line ends";
  }
#endif
  const std::string text =
      "; users of this program\n[NUSER]\nNO=1\n[LUSER]\n1=Default,Default0\n"
      "[OTHER]\nkept=yes\n[DEFUSER]\nDefaultUser=ghost\n";
  SetRegistry(text);
  MakeDefaultHome();
  VerifyUserProfiles(module());
  std::string expected = text;
  expected.replace(expected.find("ghost"), 5, "Default");
  EXPECT_EQ(RegistryText(), expected);
}

TEST_F(Repair, EmptyRegistryFileIsFilledNotReplaced) {
  SetRegistry("");
  VerifyUserProfiles(module());
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Default,Default0",
                  "[DEFUSER]", "DefaultUser=Default"}));
}

TEST(RepairWithoutProgramDirectory, RegistryThatCannotBeCreatedIsReported) {
  const std::string root = MakeTempDir();
  {
    InProcessApp app(root + kSep + NativePath("APP/PROG/MAIN"));  // PROG is missing
    MakeDirs(root + kSep + "APP");
    VerifyUserProfiles(app.handle());
    const std::vector<unsigned> checks = app.TakeChecks();
    ASSERT_FALSE(checks.empty());
    EXPECT_EQ(checks.front(), 722u);
    EXPECT_FALSE(IsFile(root + kSep + NativePath("APP/PROG/USER.INI")));
  }
  RemoveTree(root);
}

}  // namespace
