// Creating user profiles: the home directory, the registry records and the
// lock file, beside a module and under a caller's base directory.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/behaviour.h"

using namespace testing_support;

namespace {

using Checks_ = std::vector<unsigned>;

// The bytes of every file written, in the order made.
class WriteLog : public userprofile::PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  userprofile::Status WriteNewFile(const std::string& path,
                                   std::string_view bytes,
                                   const std::string& model) override {
    writes.emplace_back(bytes);
    return PlatformWrapper::WriteNewFile(path, bytes, model);
  }
  std::vector<std::string> writes;
};

class Creation : public AppTest {
 protected:
  // CreateUserProfile through a caller's buffer; returns the buffer after.
  std::string Create(const std::string& name, int reg = 1) {
    char buffer[64] = {};
    std::strncpy(buffer, name.c_str(), sizeof buffer - 1);
    CreateUserProfile(module(), buffer, reg);
    return buffer;
  }
};

TEST_F(Creation, FirstUserGetsHomeRecordAndEmptyLockFile) {
  EXPECT_EQ(Create("Ann Lee"), "Ann Lee");
  EXPECT_EQ(Checks(), Checks_{});
  EXPECT_TRUE(IsDir(Home("AnnLee00")));
  EXPECT_TRUE(IsFile(LockFile("AnnLee00")));
  EXPECT_EQ(ReadFile(LockFile("AnnLee00")), "");
  // The count is written first, so its section leads a new file.
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Ann Lee,AnnLee00"}));
}

// The count and the new entry are one update under the registry's lock:
// the registry is written once, with both.
TEST_F(Creation, CountAndEntryReachTheRegistryInOneWrite) {
  SetRegistry(ExampleRegistry());
  WriteLog log(userprofile::Sys());
  {
    ScopedPlatform scope(log);
    Create("Bo");
  }
  ASSERT_EQ(log.writes.size(), 1u);
  EXPECT_EQ(log.writes[0], RegistryText());
  EXPECT_NE(RegistryText().find("NO=3"), std::string::npos);
  EXPECT_NE(RegistryText().find("3=Bo,Bo000000"), std::string::npos);
}

TEST_F(Creation, SecondOfTheSameNameGetsNextHomeAndLockGoesToFirst) {
  Create("Ann Lee");
  WriteFile(LockFile("AnnLee00"), "stale");
  Create("Ann Lee");
  EXPECT_EQ(Checks(), Checks_{});
  EXPECT_EQ(RegistryText(), Crlf({"[NUSER]", "NO=2", "[LUSER]",
                                  "1=Ann Lee,AnnLee00", "2=Ann Lee,AnnLee01"}));
  EXPECT_TRUE(IsDir(Home("AnnLee01")));
  EXPECT_FALSE(IsFile(LockFile("AnnLee01")));
  EXPECT_EQ(ReadFile(LockFile("AnnLee00")), "");
  EXPECT_EQ(DoesUserExist(module(), "Ann Lee"), 1);
}

TEST_F(Creation, MissingOrUnreadableCountTakesNumberOneAndOverwritesIt) {
  SetRegistry(Crlf({"[LUSER]", "1=Old,Old00000"}));
  Create("Bo");
  EXPECT_EQ(RegistryText(),
            Crlf({"[LUSER]", "1=Bo,Bo000000", "[NUSER]", "NO=1"}));
  SetRegistry(Crlf({"[NUSER]", "NO=many", "[LUSER]", "1=Old,Old00000"}));
  Create("Cy");
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Cy,Cy000000"}));
}

TEST_F(Creation, StaleKeyAboveTheCountIsOverwritten) {
  SetRegistry(Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Default,Default0",
                    "2=Old,Old00000", "3=Older,Older000"}));
  Create("Bo");
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=Default,Default0",
                  "2=Bo,Bo000000", "3=Older,Older000"}));
}

TEST_F(Creation, PaddedNameIsTrimmedInTheCallersBufferAndRecord) {
  EXPECT_EQ(Create("  Ann Lee "), "Ann Lee");
  EXPECT_EQ(Checks(), Checks_{369});
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Ann Lee,AnnLee00"}));
  EXPECT_TRUE(IsFile(LockFile("AnnLee00")));
}

TEST_F(Creation, EmptyNameIsRecordedAsAnEntryRepairWillDrop) {
  EXPECT_EQ(Create(""), "");
  EXPECT_EQ(Checks(), (Checks_{504, 451, 366, 383, 609, 610, 326, 615}));
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=,00000000"}));
  EXPECT_TRUE(IsDir(Home("00000000")));
  EXPECT_FALSE(IsFile(LockFile("00000000")));
}

TEST_F(Creation, UnregisteredProfileGetsHomeButNoRecordOrLock) {
  Create("Bo", 0);
  EXPECT_EQ(Checks(), Checks_{615});
  EXPECT_TRUE(IsDir(Home("Bo000000")));
  EXPECT_FALSE(IsFile(LockFile("Bo000000")));
  EXPECT_FALSE(IsFile(tree_.registry()));
}

TEST_F(Creation, UnregisteredProfileOfARecordedNameLocksTheRecordedHome) {
  Create("Ann Lee");
  WriteFile(LockFile("AnnLee00"), "stale");
  const std::string before = RegistryText();
  Create("Ann Lee", 0);
  EXPECT_EQ(Checks(), Checks_{});
  EXPECT_TRUE(IsDir(Home("AnnLee01")));
  EXPECT_FALSE(IsFile(LockFile("AnnLee01")));
  EXPECT_EQ(ReadFile(LockFile("AnnLee00")), "");
  EXPECT_EQ(RegistryText(), before);
}

TEST_F(Creation, NullNameIsReportedAndTouchesNothing) {
  const auto before = TreeState(tree_.root());
  CreateUserProfile(module(), nullptr, 1);
  EXPECT_EQ(Checks(), Checks_{503});
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(Creation, RefusedNameRecordsAndCreatesNothing) {
  SetRegistry(ExampleRegistry());
  const auto before = TreeState(tree_.root());
  EXPECT_EQ(Create("a/b"), "a/b");
  EXPECT_EQ(Checks(), (Checks_{410, 610, 615}));
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(Creation, NoFreeCandidateRecordsNothing) {
  SetRegistry(Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Default,Default0"}));
  for (const std::string& name : CandidateSeries("AnnLee00", 0)) {
    MakeDirs(Home(name));
  }
  for (const std::string& name : CandidateSeries("USERPROF", 1)) {
    MakeDirs(Home(name));
  }
  const auto before = TreeState(tree_.root());
  Create("Ann Lee");
  // The user is not recorded, so no lock file is made either.
  EXPECT_EQ(Checks(), (Checks_{411, 615}));
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST(CreationBudget, UsersRootTooLongRecordsNothing) {
  // Room for the registry beside the module, none for a home below the
  // users root.
  AppTree tree(ProgDirForUsersRoot(119, "P"));
  InProcessApp app(tree.host());
  ASSERT_LE(tree.registry().size(), 127u);
  const auto before = TreeState(tree.root());
  char name[] = "Bo";
  CreateUserProfile(app.handle(), name, 1);
  EXPECT_EQ(app.TakeChecks(), (Checks_{454, 615}));
  EXPECT_EQ(TreeState(tree.root()), before);
}

// A home that could not be created is still recorded: the next repair
// creates it.
TEST_F(Creation, UncreatableUsersRootStillRecordsTheUser) {
  WriteFile(tree_.users(), "not a directory");
  Create("Ann Lee");
  EXPECT_EQ(Checks(), (Checks_{408, 683}));
  EXPECT_EQ(RegistryText(),
            Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Ann Lee,AnnLee00"}));

  std::filesystem::remove(tree_.users());
  VerifyUserProfiles(module());
  EXPECT_TRUE(IsFile(LockFile("AnnLee00")));
  EXPECT_EQ(DoesUserExist(module(), "Ann Lee"), 1);
}

class CreationEx : public AppTest {
 protected:
  std::string data() const { return tree_.root() + kSep + "DATA"; }
  std::string ini() const { return data() + kSep + "X.INI"; }
  struct Result {
    std::string name;
    std::string out;
  };
  Result CreateEx(const std::string& base, const std::string& registry,
                  int entry, const std::string& name) {
    char buffer[64] = {};
    std::strncpy(buffer, name.c_str(), sizeof buffer - 1);
    char out[256] = "(untouched)";
    CreateUserProfileEx(base.c_str(), registry.c_str(), entry, buffer, out);
    return {buffer, out};
  }
};

TEST_F(CreationEx, CreatesBaseHomeLockAndOnlyTheNumberedEntry) {
  Result r = CreateEx(data(), ini(), 7, "Bo");
  EXPECT_EQ(Checks(), Checks_{});
  EXPECT_EQ(r.out, data() + kSep + "Bo000000");
  EXPECT_TRUE(IsDir(data() + kSep + "Bo000000"));
  EXPECT_EQ(ReadFile(data() + kSep + NativePath("Bo000000/IKIVO.SMP")), "");
  EXPECT_EQ(ReadFile(ini()), Crlf({"[LUSER]", "7=Bo,Bo000000"}));
  EXPECT_FALSE(IsFile(tree_.registry()));
  EXPECT_FALSE(IsDir(tree_.users()));
}

TEST_F(CreationEx, LeavesTheCountToTheCaller) {
  MakeDirs(data());
  WriteFile(ini(), Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Al,Al000000"}));
  CreateEx(data(), ini(), 2, "Bo");
  CreateEx(data(), ini(), -3, "Cy");
  EXPECT_EQ(ReadFile(ini()),
            Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=Al,Al000000",
                  "2=Bo,Bo000000", "-3=Cy,Cy000000"}));
}

TEST_F(CreationEx, TakenNameGivesNextHome) {
  MakeDirs(data() + kSep + "Bo000000");
  Result r = CreateEx(data(), ini(), 1, "Bo");
  EXPECT_EQ(r.out, data() + kSep + "Bo000001");
  EXPECT_EQ(ReadFile(ini()), Crlf({"[LUSER]", "1=Bo,Bo000001"}));
  EXPECT_TRUE(IsFile(data() + kSep + NativePath("Bo000001/IKIVO.SMP")));
}

TEST_F(CreationEx, PaddedNameIsTrimmedInBufferAndEntry) {
  Result r = CreateEx(data(), ini(), 1, "  Bo ");
  EXPECT_EQ(r.name, "Bo");
  EXPECT_EQ(Checks(), Checks_{369});
  EXPECT_EQ(ReadFile(ini()), Crlf({"[LUSER]", "1=Bo,Bo000000"}));
}

TEST_F(CreationEx, MissingArgumentsAreReportedAndTouchNothing) {
  const auto before = TreeState(tree_.root());
  char name[] = "Bo";
  char out[64] = "(untouched)";
  CreateUserProfileEx(nullptr, ini().c_str(), 1, name, out);
  CreateUserProfileEx(data().c_str(), nullptr, 1, name, out);
  CreateUserProfileEx(data().c_str(), ini().c_str(), 1, nullptr, out);
  CreateUserProfileEx(data().c_str(), ini().c_str(), 1, name, nullptr);
  EXPECT_EQ(Checks(), (Checks_{505, 506, 507, 508}));
  EXPECT_STREQ(name, "Bo");
  EXPECT_STREQ(out, "(untouched)");
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(CreationEx, BaseAtTheBudgetFitsTheLockFile) {
  std::string base = tree_.root() + kSep;
  base += std::string(108 - base.size(), 'd');
  Result r = CreateEx(base, tree_.root() + kSep + "X.INI", 1, "Bo");
  EXPECT_EQ(Checks(), Checks_{});
  const std::string lock = r.out + kSep + "IKIVO.SMP";
  EXPECT_EQ(lock.size(), 127u);
  EXPECT_TRUE(IsFile(lock));
}

TEST_F(CreationEx, BaseOverTheBudgetIsRefusedAndTouchesNothing) {
  std::string base = tree_.root() + kSep;
  base += std::string(109 - base.size(), 'd');
  const auto before = TreeState(tree_.root());
  Result r = CreateEx(base, ini(), 1, "  Bo ");
  EXPECT_EQ(Checks(), Checks_{509});
  EXPECT_EQ(r.name, "  Bo ");
  EXPECT_EQ(r.out, "(untouched)");
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(CreationEx, RefusedNameRecordsAndCreatesNothing) {
  const auto before = TreeState(tree_.root());
  Result r = CreateEx(data(), ini(), 1, "a/b");
  EXPECT_EQ(Checks(), Checks_{410});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(CreationEx, BaseWithoutParentStillRecordsAndReports) {
  MakeDirs(data());
  const std::string base = tree_.root() + kSep + NativePath("NONE/DATA");
  Result r = CreateEx(base, ini(), 1, "Bo");
  EXPECT_EQ(Checks(), (Checks_{408, 683}));
  EXPECT_EQ(r.out, base + kSep + "Bo000000");
  EXPECT_EQ(ReadFile(ini()), Crlf({"[LUSER]", "1=Bo,Bo000000"}));
  EXPECT_FALSE(IsDir(tree_.root() + kSep + "NONE"));
}

}  // namespace
