// The library through its exports, in process, on a real application tree
// in a temporary directory: <tree>/APP/PROG/MAIN.EXE is the module, so the
// registry is <tree>/APP/PROG/USER.INI and the users root <tree>/APP/USER.
// Paths are expected with the platform's own separator.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "support/apptree.h"
#include "userprofile.h"

using testing_support::Exists;
using testing_support::InProcessApp;
using testing_support::IsDir;
using testing_support::ReadFile;
using testing_support::TempTree;
using testing_support::WriteFile;
using userprofile::kSeparator;

namespace {

class Library : public ::testing::Test {
 protected:
  Library() : host_(tree_.At({"APP", "PROG", "MAIN.EXE"})) {
    testing_support::MakeDirs(tree_.At({"APP", "PROG"}));
  }

  std::string Registry() const { return tree_.At({"APP", "PROG", "USER.INI"}); }
  std::string Home(std::string_view dir_name) const {
    return tree_.At({"APP", "USER", dir_name});
  }
  std::string Dir(const char* name) {
    char out[USERPROFILE_PATH_SIZE] = "(untouched)";
    GetDirForUser(host_.handle(), name, out);
    return out;
  }
  std::string Create(const char* name) {
    char buffer[64];
    std::strcpy(buffer, name);
    CreateUserProfile(host_.handle(), buffer, 1);
    return buffer;
  }

  TempTree tree_;
  InProcessApp host_;
};

}  // namespace

TEST_F(Library, VerifyOnEmptyTreeCreatesDefaultUser) {
  VerifyUserProfiles(host_.handle());
  EXPECT_EQ(ReadFile(Registry()),
            "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Default,Default0\r\n"
            "[DEFUSER]\r\nDefaultUser=Default\r\n");
  EXPECT_TRUE(IsDir(Home("Default0")));
  EXPECT_TRUE(Exists(testing_support::Join({Home("Default0"), "IKIVO.SMP"})));
  EXPECT_EQ(host_.TakeMessages(),
            std::vector<std::string>{"DEBUG: Creating Default User"});
  EXPECT_EQ(host_.TakeChecks(), std::vector<unsigned>{});
}

TEST_F(Library, TypicalRunSignsInAddsUserAndSignsOut) {
  VerifyUserProfiles(host_.handle());
  host_.TakeMessages();
  EXPECT_EQ(openUserSemaphoreFile("Default", host_.handle()), 1);
  SetDefaultUser(host_.handle(), "Default");
  char home[USERPROFILE_PATH_SIZE] = "";
  GetUserHomeDir(host_.handle(), home);
  EXPECT_EQ(std::string(home), Home("Default0") + kSeparator);

  EXPECT_EQ(Create("Ann Lee"), "Ann Lee");
  EXPECT_EQ(DoesUserExist(host_.handle(), "ANN LEE"), 2);
  EXPECT_EQ(Dir("ann lee"), Home("AnnLee00") + kSeparator);
  EXPECT_TRUE(Exists(testing_support::Join({Home("AnnLee00"), "IKIVO.SMP"})));
  CloseUserSemaphoreFile();

  EXPECT_EQ(ReadFile(Registry()),
            "[NUSER]\r\nNO=2\r\n[LUSER]\r\n1=Default,Default0\r\n"
            "2=Ann Lee,AnnLee00\r\n[DEFUSER]\r\nDefaultUser=Default\r\n");
  EXPECT_EQ(host_.TakeChecks(), std::vector<unsigned>{});
}

TEST_F(Library, SameNameAllocatesNextFreeDirectory) {
  Create("Ann Lee");
  Create("Ann Lee");
  Create("AnnLee");
  EXPECT_TRUE(IsDir(Home("AnnLee00")));
  EXPECT_TRUE(IsDir(Home("AnnLee01")));
  EXPECT_TRUE(IsDir(Home("AnnLee02")));
  EXPECT_EQ(DoesUserExist(host_.handle(), "Ann Lee"), 1);
}

TEST_F(Library, SecondSignInOfSameUserInOneProcessFails) {
  Create("Ann Lee");
  EXPECT_EQ(openUserSemaphoreFile("Ann Lee", host_.handle()), 1);
  EXPECT_EQ(openUserSemaphoreFile("Ann Lee", host_.handle()), 0);
  CloseUserSemaphoreFile();  // after a failed open: no report
  EXPECT_EQ(host_.TakeChecks(), std::vector<unsigned>{});
}

// Each refusal comes with its cause, on every platform: the one the
// platform found (a sharing violation or a held lock, a refused access)
// or the one the library found (no such user, no valid name).
TEST_F(Library, RefusalsCarryTheirCause) {
  Create("Ann Lee");
  EXPECT_EQ(openUserSemaphoreFile("Bob", host_.handle()), 0);
  EXPECT_EQ(userprofile_last_error(), USERPROFILE_ERROR_NOT_FOUND);
  EXPECT_EQ(openUserSemaphoreFile("Ann;Lee", host_.handle()), 0);
  EXPECT_EQ(userprofile_last_error(), USERPROFILE_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(openUserSemaphoreFile("Ann Lee", host_.handle()), 1);
  EXPECT_EQ(userprofile_last_error(), USERPROFILE_ERROR_NONE);
  EXPECT_EQ(openUserSemaphoreFile("Ann Lee", host_.handle()), 0);
  EXPECT_EQ(userprofile_last_error(), USERPROFILE_ERROR_SIGNED_IN_ELSEWHERE)
      << userprofile_last_error_message();
  CloseUserSemaphoreFile();
  // A registry nobody may write (the read-only attribute on Windows).
  std::filesystem::permissions(Registry(), std::filesystem::perms::owner_write |
                                               std::filesystem::perms::group_write |
                                               std::filesystem::perms::others_write,
                               std::filesystem::perm_options::remove);
  EXPECT_EQ(Create("Bob"), "Bob");
  EXPECT_EQ(userprofile_last_error(), USERPROFILE_ERROR_PERMISSION)
      << userprofile_last_error_message();
  EXPECT_EQ(DoesUserExist(host_.handle(), "Bob"), 0);
  std::filesystem::permissions(Registry(), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  host_.TakeChecks();
  host_.TakeMessages();
}

TEST_F(Library, DeletedLockFileIsRecreatedOnSignIn) {
  Create("Ann Lee");
  const std::string lock = testing_support::Join({Home("AnnLee00"), "IKIVO.SMP"});
  ASSERT_TRUE(std::remove(lock.c_str()) == 0);
  EXPECT_EQ(openUserSemaphoreFile("Ann Lee", host_.handle()), 1);
  EXPECT_TRUE(Exists(lock));
  CloseUserSemaphoreFile();
  EXPECT_EQ(host_.TakeChecks(), std::vector<unsigned>{});
}

TEST_F(Library, CloseWithNothingHeldIsReported) {
  CloseUserSemaphoreFile();
  EXPECT_EQ(host_.TakeChecks(), std::vector<unsigned>{667});
}

TEST_F(Library, UnknownUserGetsNoLockAndNoFiles) {
  VerifyUserProfiles(host_.handle());
  host_.TakeMessages();
  EXPECT_EQ(openUserSemaphoreFile("Nobody", host_.handle()), 0);
  EXPECT_EQ(host_.TakeChecks(), std::vector<unsigned>{615});
  EXPECT_FALSE(Exists(Home("Nobody00")));
}

TEST_F(Library, TamperedEntryNeverLeadsOutOfUsersRoot) {
  const std::string sep(1, kSeparator);
  WriteFile(Registry(), "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Eve,.." + sep +
                             "..." + sep + "x\r\n");
  EXPECT_EQ(Dir("Eve"), "");
  EXPECT_EQ(host_.TakeChecks(), std::vector<unsigned>{616});
}

TEST_F(Library, CreateExWritesEntryAndReturnsPathWithSeparator) {
  const std::string base = tree_.At({"BASE"});
  const std::string registry = tree_.At({"EX.INI"});
  char name[] = "  Bob ";
  char out[USERPROFILE_PATH_SIZE] = "";
  CreateUserProfileEx(base.c_str(), registry.c_str(), 3, name, out);
  EXPECT_EQ(std::string(out), base + kSeparator + "Bob00000");
  EXPECT_STREQ(name, "Bob");
  EXPECT_EQ(ReadFile(registry), "[LUSER]\r\n3=Bob,Bob00000\r\n");
  EXPECT_TRUE(Exists(testing_support::Join({out, "IKIVO.SMP"})));
}

TEST_F(Library, DefaultUserRoundTripsThroughRegistry) {
  SetDefaultUser(host_.handle(), "R2 D2");
  char out[USERPROFILE_DEFAULT_SIZE] = "";
  GetDefaultUser(host_.handle(), out);
  EXPECT_STREQ(out, "R2 D2");
  EXPECT_EQ(ReadFile(Registry()), "[DEFUSER]\r\nDefaultUser=R2 D2\r\n");
}

TEST_F(Library, LineBreakInNameNeverReachesRegistry) {
  SetDefaultUser(host_.handle(), "Ann\r\n[NUSER]\r\nNO=99");
  EXPECT_EQ(host_.TakeChecks(), std::vector<unsigned>{730});
  EXPECT_FALSE(Exists(Registry()));
}

TEST(LibraryPaths, ModulePathOverLimitTouchesNothing) {
  TempTree tree;
  std::string dir = tree.path();
  while (dir.size() < 130) dir += kSeparator + std::string(20, 'D');
  InProcessApp host(testing_support::Join({dir, "MAIN.EXE"}));
  VerifyUserProfiles(host.handle());
  std::vector<unsigned> checks = host.TakeChecks();
  ASSERT_FALSE(checks.empty());
  EXPECT_EQ(checks.front(), 125u);
  EXPECT_FALSE(Exists(testing_support::Join({dir, "USER.INI"})));
}
