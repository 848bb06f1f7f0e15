// The platform's question "is this lock file held?", which an
// administrator asks while users sign in and out: it must see every
// holder and must never make a sign-in fail.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "support/apptree.h"

using namespace testing_support;
using userprofile::kFailedLock;
using userprofile::NativePlatform;

namespace {

// A registered user "Default" with its lock file, in a fresh tree.
std::string DefaultLockFile(const AppTree& app) {
  RunResult r = app.Host({"verify"});
  EXPECT_EQ(r.status, 0) << r.err;
  return app.Home("Default0") + kSep + "IKIVO.SMP";
}

// True where the platform can tell whether an existing file is held
// (Windows cannot without an open that could fail a concurrent sign-in).
bool CanTell(const std::string& lock) {
  return NativePlatform().IsHeldExclusively(lock).has_value();
}

}  // namespace

TEST(HeldProbe, SeesLockHeldByAnotherProcessAndItsRelease) {
  AppTree app;
  const std::string lock = DefaultLockFile(app);
  if (!CanTell(lock)) GTEST_SKIP() << "this platform cannot tell";
  ASSERT_EQ(NativePlatform().IsHeldExclusively(lock), false);
  Child holder(app.HostArgv({"lock", "Default", "wait", "unlock"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  EXPECT_EQ(NativePlatform().IsHeldExclusively(lock), true);
  holder.WriteLine("");
  ASSERT_EQ(holder.Wait(), 0);
  EXPECT_EQ(NativePlatform().IsHeldExclusively(lock), false);
}

TEST(HeldProbe, SeesLockHeldInThisProcess) {
  AppTree app;
  const std::string lock = DefaultLockFile(app);
  if (!CanTell(lock)) GTEST_SKIP() << "this platform cannot tell";
  userprofile::LockHandle held = NativePlatform().OpenExclusive(lock);
  ASSERT_NE(held, kFailedLock);
  EXPECT_EQ(NativePlatform().IsHeldExclusively(lock), true);
  NativePlatform().CloseExclusive(held);
  EXPECT_EQ(NativePlatform().IsHeldExclusively(lock), false);
}

TEST(HeldProbe, ProbingKeepsThisProcessLockHeld) {
  AppTree app;
  const std::string lock = DefaultLockFile(app);
  userprofile::LockHandle held = NativePlatform().OpenExclusive(lock);
  ASSERT_NE(held, kFailedLock);
  for (int i = 0; i < 3; ++i) NativePlatform().IsHeldExclusively(lock);
  // Closing the probe's descriptor must not have dropped the lock.
  EXPECT_EQ(app.Host({"lock", "Default"}).out, "lock: 0\n");
  NativePlatform().CloseExclusive(held);
}

TEST(HeldProbe, MissingFileIsFreeAndStaysMissing) {
  AppTree app;
  const std::string lock = app.Home("Nobody00") + kSep + "IKIVO.SMP";
  EXPECT_EQ(NativePlatform().IsHeldExclusively(lock), false);
  EXPECT_FALSE(IsFile(lock));
}

TEST(HeldProbe, NeverMakesAConcurrentSignInFail) {
  AppTree app;
  const std::string lock = DefaultLockFile(app);
  std::atomic<bool> stop{false};
  std::thread prober([&] {
    while (!stop) NativePlatform().IsHeldExclusively(lock);
  });
  // A probe that took the lock, even for an instant, would make some of
  // these sign-ins fail.
  int failures = 0;
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < end) {
    userprofile::LockHandle h = NativePlatform().OpenExclusive(lock);
    if (h == kFailedLock) {
      ++failures;
    } else {
      NativePlatform().CloseExclusive(h);
    }
  }
  stop = true;
  prober.join();
  EXPECT_EQ(failures, 0);
}
