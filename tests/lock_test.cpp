// The user lock: real host processes contend for a user's lock file in a
// shared application tree.
#include "lock/lock.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/behaviour.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

using Checks_ = std::vector<unsigned>;

class Lock : public AppTest {
 protected:
  void SetUp() override {
    RunResult r = tree_.Host({"create", "Ann Lee"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(IsFile(LockFile("AnnLee00")));
  }

  // One process that tries Ann Lee's lock and exits.
  std::string TryLock(const std::string& name = "Ann Lee") const {
    return tree_.Host({"lock", name}).out;
  }

  // A host that takes the lock and holds it until told to go on.
  std::unique_ptr<Child> Holder(const std::vector<std::string>& after_wait = {
                                    "unlock"}) const {
    std::vector<std::string> args{"lock", "Ann Lee", "wait"};
    args.insert(args.end(), after_wait.begin(), after_wait.end());
    auto child = std::make_unique<Child>(tree_.HostArgv(args));
    EXPECT_EQ(child->ReadLine(), "lock: 1");
    EXPECT_EQ(child->ReadLine(), "wait: ready");
    return child;
  }
};

TEST_F(Lock, SecondProcessIsRefusedUntilTheFirstSignsOut) {
  auto holder = Holder();
  RunResult refused = tree_.Host({"lock", "Ann Lee"});
  EXPECT_EQ(refused.out, "lock: 0\n");
  EXPECT_EQ(ChecksIn(refused.err), Checks_{});  // a refusal is no fault
  holder->WriteLine("");
  EXPECT_EQ(holder->ReadLine(), "unlock: done");
  EXPECT_EQ(holder->Wait(), 0);
  EXPECT_EQ(ChecksIn(holder->err()), Checks_{});
  EXPECT_EQ(TryLock(), "lock: 1\n");
}

TEST_F(Lock, ProcessExitReleasesTheLock) {
  RunResult r = tree_.Host({"lock", "Ann Lee"});
  EXPECT_EQ(r.out, "lock: 1\n");
  EXPECT_EQ(TryLock(), "lock: 1\n");
}

TEST_F(Lock, KilledHolderReleasesTheLock) {
  auto holder = Holder();
  EXPECT_EQ(TryLock(), "lock: 0\n");
  holder->Kill(SIGKILL);
  EXPECT_EQ(holder->Wait(), 128 + SIGKILL);
  EXPECT_EQ(TryLock(), "lock: 1\n");
}

TEST_F(Lock, UnloadHookKeepsTheLockHeld) {
  Child child(tree_.HostArgv({"lock", "Ann Lee", "wep", "wait"}));
  EXPECT_EQ(child.ReadLine(), "lock: 1");
  EXPECT_EQ(child.ReadLine(), "wep: 1");
  EXPECT_EQ(child.ReadLine(), "wait: ready");
  EXPECT_EQ(TryLock(), "lock: 0\n");
}

TEST_F(Lock, LocksOfDifferentUsersDoNotInterfere) {
  ASSERT_EQ(tree_.Host({"create", "Bo"}).status, 0);
  auto holder = Holder();
  EXPECT_EQ(TryLock("Bo"), "lock: 1\n");
}

// The first open is exclusive within the process too, and a second open
// overwrites the slot: the first file stays open until the process ends.
TEST_F(Lock, SameProcessOpeningTwiceIsRefusedAndKeepsTheFirst) {
  Child child(tree_.HostArgv(
      {"lock", "Ann Lee", "lock", "Ann Lee", "unlock", "wait", "unlock"}));
  EXPECT_EQ(child.ReadLine(), "lock: 1");
  EXPECT_EQ(child.ReadLine(), "lock: 0");
  EXPECT_EQ(child.ReadLine(), "unlock: done");
  EXPECT_EQ(child.ReadLine(), "wait: ready");
  EXPECT_EQ(TryLock(), "lock: 0\n");
  child.WriteLine("");
  EXPECT_EQ(child.ReadLine(), "unlock: done");
  EXPECT_EQ(child.Wait(), 0);
  // The unlock after the failed open reports nothing; the second finds
  // nothing open.
  EXPECT_EQ(ChecksIn(child.err()), Checks_{667});
  EXPECT_EQ(TryLock(), "lock: 1\n");
}

TEST_F(Lock, CloseWithNothingOpenIsReportedEachTime) {
  RunResult r = tree_.Host({"unlock", "unlock"});
  EXPECT_EQ(r.out, "unlock: done\nunlock: done\n");
  EXPECT_EQ(ChecksIn(r.err), (Checks_{667, 667}));
}

TEST_F(Lock, SignOutThenSignInAgainInOneProcess) {
  RunResult r = tree_.Host(
      {"lock", "Ann Lee", "unlock", "lock", "Ann Lee", "unlock", "unlock"});
  EXPECT_EQ(r.out,
            "lock: 1\nunlock: done\nlock: 1\nunlock: done\nunlock: done\n");
  EXPECT_EQ(ChecksIn(r.err), Checks_{667});
}

TEST_F(Lock, DeletedLockFileIsRecreatedEmptyAndTaken) {
  ASSERT_TRUE(std::filesystem::remove(LockFile("AnnLee00")));
  auto holder = Holder();
  EXPECT_TRUE(IsFile(LockFile("AnnLee00")));
  EXPECT_EQ(ReadFile(LockFile("AnnLee00")), "");
  EXPECT_EQ(TryLock(), "lock: 0\n");
}

TEST_F(Lock, MissingHomeDirectoryFailsAndCreatesNothing) {
  std::filesystem::remove_all(Home("AnnLee00"));
  const auto before = TreeState(tree_.root());
  RunResult r = tree_.Host({"lock", "Ann Lee", "unlock"});
  EXPECT_EQ(r.out, "lock: 0\nunlock: done\n");
  EXPECT_EQ(ChecksIn(r.err), Checks_{683});
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(Lock, UnregisteredNameIsRefusedAndCreatesNothing) {
  const auto before = TreeState(tree_.root());
  RunResult r = tree_.Host({"lock", "Bob", "unlock"});
  EXPECT_EQ(r.out, "lock: 0\nunlock: done\n");
  // The failed open leaves the slot at -1: closing it reports nothing.
  EXPECT_EQ(ChecksIn(r.err), Checks_{615});
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(Lock, InvalidNameIsReportedTwiceThenRefused) {
  const auto before = TreeState(tree_.root());
  RunResult r = tree_.Host({"lock", "O'Brien", "lock", ""});
  EXPECT_EQ(r.out, "lock: 0\nlock: 0\n");
  EXPECT_EQ(ChecksIn(r.err),
            (Checks_{645, 610, 615, 644, 645, 609, 610, 326, 615}));
  EXPECT_EQ(TreeState(tree_.root()), before);
}

// Creation truncates an existing lock file; while a signed-in user holds
// it, that must fail and leave the holder's file and lock alone.
TEST_F(Lock, HeldFileSurvivesProfileCreationElsewhere) {
  WriteFile(LockFile("AnnLee00"), "held");
  auto holder = Holder();
  RunResult r = tree_.Host({"create", "Ann Lee", "exists", "Ann Lee"});
  EXPECT_EQ(r.out, "create: Ann Lee\nexists: 1\n");
  EXPECT_EQ(ChecksIn(r.err), Checks_{683});
  // Its size, not its bytes: the holder's share mode refuses reads on
  // Windows.
  EXPECT_EQ(fs::file_size(LockFile("AnnLee00")), 4u);
  EXPECT_TRUE(IsDir(Home("AnnLee01")));
  EXPECT_FALSE(IsFile(LockFile("AnnLee01")));
  EXPECT_EQ(TryLock(), "lock: 0\n");
}

TEST_F(Lock, HeldFileSurvivesLockFileCreationInAnotherProcess) {
  WriteFile(LockFile("AnnLee00"), "held");
  auto holder = Holder();
  userprofile::CreateLockFile(Home("AnnLee00") + kSep);
  EXPECT_EQ(Checks(), Checks_{683});
  // Its size, not its bytes: the holder's share mode refuses reads on
  // Windows.
  EXPECT_EQ(fs::file_size(LockFile("AnnLee00")), 4u);
  EXPECT_EQ(TryLock(), "lock: 0\n");
  holder->WriteLine("");
  EXPECT_EQ(holder->Wait(), 0);
  userprofile::CreateLockFile(Home("AnnLee00") + kSep);
  EXPECT_EQ(Checks(), Checks_{});
  EXPECT_EQ(ReadFile(LockFile("AnnLee00")), "");
}

// The lock belongs to the open file, not to the process: the holder's own
// process cannot truncate it either.
TEST_F(Lock, HeldFileSurvivesCreationInTheHoldingProcess) {
  ASSERT_EQ(openUserSemaphoreFile("Ann Lee", module()), 1);
  char name[] = "Ann Lee";
  CreateUserProfile(module(), name, 0);
  EXPECT_EQ(Checks(), Checks_{683});
  CloseUserSemaphoreFile();
  EXPECT_EQ(TryLock(), "lock: 1\n");
}

TEST_F(Lock, MissingNameKeepsTheLockHeld) {
  ASSERT_EQ(openUserSemaphoreFile("Ann Lee", module()), 1);
  EXPECT_EQ(openUserSemaphoreFile(nullptr, module()), 0);
  EXPECT_EQ(Checks(), Checks_{643});
  EXPECT_EQ(TryLock(), "lock: 0\n");
  // The slot still holds the first lock, so this releases it.
  CloseUserSemaphoreFile();
  EXPECT_EQ(Checks(), Checks_{});
  EXPECT_EQ(TryLock(), "lock: 1\n");
}

TEST_F(Lock, TamperedEntryLeadsNoLockFileOutsideTheUsersRoot) {
  // "../../xy" from the users root is <tmp>/xy.
  SetRegistry(Crlf({"[NUSER]", "NO=1", "[LUSER]", "1=bob,../../xy"}));
  MakeDirs(tree_.root() + kSep + "xy");
  const auto before = TreeState(tree_.root());
  RunResult r = tree_.Host({"lock", "bob", "create-unregistered", "bob"});
  EXPECT_EQ(r.out, "lock: 0\ncreate: bob\n");
  EXPECT_EQ(ChecksIn(r.err), (Checks_{616, 616}));
  EXPECT_FALSE(IsFile(tree_.root() + kSep + NativePath("xy/IKIVO.SMP")));
  auto after = TreeState(tree_.root());
  // Only the unrecorded home of the creation is new.
  after.erase(Home("bob00000"));
  EXPECT_EQ(after, before);
}

}  // namespace

namespace {

// Runs `act` once, just before the first exclusive open of a lock file.
class BeforeTheLock : public userprofile::PlatformWrapper {
 public:
  BeforeTheLock(userprofile::Platform& target, std::function<void()> act)
      : PlatformWrapper(target), act_(std::move(act)) {}
  userprofile::Status OpenExclusive(const std::string& path,
                                    userprofile::LockHandle& handle) override {
    if (act_) std::exchange(act_, nullptr)();
    return PlatformWrapper::OpenExclusive(path, handle);
  }

 private:
  std::function<void()> act_;
};

}  // namespace

// Ann Lee renamed Bob, and a new Ann Lee added, between the sign-in's
// lookup and its lock: the sign-in ends up holding the new Ann Lee's lock,
// never Bob's.
TEST_F(Lock, AdminSignInHoldsTheLockOfTheHomeTheNameHasOnceHeld) {
  BeforeTheLock renamed(userprofile::Sys(), [this] {
    MakeHome("AnnLee01");
    SetRegistry(
        "[NUSER]\r\nNO=2\r\n[LUSER]\r\n1=Bob,AnnLee00\r\n"
        "2=Ann Lee,AnnLee01\r\n");
  });
  {
    ScopedPlatform scope(renamed);
    ASSERT_EQ(userprofile_sign_in(module(), "Ann Lee"), 1);
  }
  char home[USERPROFILE_PATH_SIZE] = {};
  GetDirForUser(module(), "Ann Lee", home);
  EXPECT_EQ(home, Home("AnnLee01") + kSep);
  EXPECT_EQ(TryLock("Bob"), "lock: 1\n");
  EXPECT_EQ(TryLock(), "lock: 0\n");
  CloseUserSemaphoreFile();
}
