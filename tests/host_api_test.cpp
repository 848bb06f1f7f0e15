// What a C host gets besides the 14 exports: its own report handler (or
// none), the cause of the calling thread's last failure, and names that
// the library leaves alone unless they need trimming. Run through the
// plain-C host program in real application trees and real processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frame/failure.h"
#include "support/behaviour.h"

using namespace testing_support;

namespace {

class HostApi : public ::testing::Test {
 protected:
  void SetUp() override {
    RunResult r = tree_.Host({"create", "Ann Lee"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // The "why:" line a host printed after its call.
  static std::string Why(const RunResult& r) {
    std::smatch m;
    static const std::regex line("why: ([^\n]*)\n");
    return std::regex_search(r.out, m, line) ? m[1].str() : "(none)";
  }

  AppTree tree_;
};

TEST_F(HostApi, ReportsGoToTheHandlerOrNowhere) {
  RunResult handled =
      tree_.Host({"reports-to-stdout", "dir", "Nobody", "verify"});
  EXPECT_EQ(handled.status, 0);
  EXPECT_EQ(handled.err, "");
  EXPECT_NE(handled.out.find("report ctx: Assertion Failure: File : "
                             "userprofile, Line : 615\n"),
            std::string::npos)
      << handled.out;
  // Notices take the same way.
  EXPECT_NE(handled.out.find("report ctx: DEBUG: Creating Default User\n"),
            std::string::npos)
      << handled.out;

  RunResult silenced = tree_.Host({"reports-off", "dir", "Nobody"});
  EXPECT_EQ(silenced.status, 0);
  EXPECT_EQ(silenced.err, "");
  EXPECT_EQ(silenced.out, "dir: \n");
}

TEST_F(HostApi, SignInRefusalsSayWhy) {
  Child holder(tree_.HostArgv({"lock", "Ann Lee", "wait"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  const std::string lock = tree_.Home("AnnLee00") + "/IKIVO.SMP";

  RunResult held = tree_.Host({"lock", "Ann Lee", "why"});
  EXPECT_TRUE(held.out.starts_with("lock: 0\n")) << held.out;
  EXPECT_TRUE(Why(held).starts_with(
      "3 user \"Ann Lee\" is signed in elsewhere: the lock file " + lock +
      " is held"))
      << Why(held);
  holder.WriteLine("");
  EXPECT_EQ(holder.Wait(), 0);

  RunResult unknown = tree_.Host({"reports-off", "lock", "Bob", "why"});
  EXPECT_EQ(Why(unknown),
            "2 no user \"Bob\" is registered in " + tree_.registry());
  RunResult invalid = tree_.Host({"reports-off", "lock", "Ann-Lee", "why"});
  EXPECT_TRUE(
      Why(invalid).starts_with("1 \"Ann-Lee\" is not a valid user name"))
      << Why(invalid);

  // A lock file this user may not open for writing. Root may open any
  // file, so as root the host runs as nobody, who can read the tree but
  // not write the lock file.
  ASSERT_EQ(::chmod(lock.c_str(), 0444), 0);
  std::vector<std::string> argv = tree_.HostArgv({"lock", "Ann Lee", "why"});
  if (::geteuid() == 0) {
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
    // Only the tree is opened up; a temporary directory that others
    // cannot pass through leaves nothing to test.
    for (std::string dir = tree_.Home("AnnLee00");
         dir.size() >= tree_.root().size();
         dir = dir.substr(0, dir.rfind('/'))) {
      struct stat st {};
      if (::stat(dir.c_str(), &st) == 0 && (st.st_mode & 0005) != 0005) {
        ASSERT_EQ(::chmod(dir.c_str(), st.st_mode | 0005), 0) << dir;
      }
    }
    for (std::string dir = tree_.root().substr(0, tree_.root().rfind('/'));
         !dir.empty(); dir = dir.substr(0, dir.rfind('/'))) {
      struct stat st {};
      if (::stat(dir.c_str(), &st) != 0 || (st.st_mode & 0001) == 0) {
        GTEST_SKIP() << "other users cannot pass through " << dir;
      }
    }
    // Files are made for the application's group only: let the host
    // read the registry, as a member could.
    ASSERT_EQ(::chmod(tree_.registry().c_str(), 0664), 0);
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534",
                               "--regid=65534", "--clear-groups"});
  }
  RunResult denied = testing_support::Run(argv);
  EXPECT_TRUE(denied.out.starts_with("lock: 0\n")) << denied.err;
  EXPECT_TRUE(Why(denied).starts_with(
      "4 cannot open the lock file for reading and writing " + lock +
      ": Permission denied"))
      << Why(denied);
  ASSERT_EQ(::chmod(lock.c_str(), 0644), 0);

  // A call that succeeds leaves no cause behind.
  EXPECT_EQ(Why(tree_.Host({"lock", "Bob", "lock", "Ann Lee", "why"})), "0 ");
}

TEST_F(HostApi, FailedLookupsAndWritesSayWhy) {
  EXPECT_EQ(Why(tree_.Host({"exists", "Bob", "why"})),
            "2 no user \"Bob\" is registered in " + tree_.registry());
  EXPECT_EQ(Why(tree_.Host({"exists", "ann lee", "why"})), "0 ");
  // A value with a line break is refused as a registry write (730).
  EXPECT_EQ(
      Why(tree_.Host({"reports-off", "setdef", "A\nB", "why"})),
      "5 a line break cannot be stored in the registry " + tree_.registry());
  // A missing argument.
  EXPECT_EQ(Why(tree_.Host({"reports-off", "exists", "", "why"})).substr(0, 2),
            "1 ");
}

TEST_F(HostApi, LastFailureBelongsToTheCallingThread) {
  userprofile::RecordFailure({userprofile::Failure::kBusy, "this thread's"});
  std::thread other([] {
    EXPECT_EQ(userprofile_last_error(), USERPROFILE_ERROR_NONE);
    userprofile::RecordFailure({userprofile::Failure::kIo, "the other's"});
  });
  other.join();
  EXPECT_EQ(userprofile_last_error(), USERPROFILE_ERROR_BUSY);
  EXPECT_STREQ(userprofile_last_error_message(), "this thread's");
  EXPECT_EQ(ValidUserName("Ann"), 1);  // any export starts afresh
  EXPECT_EQ(userprofile_last_error(), USERPROFILE_ERROR_NONE);
}

TEST_F(HostApi, LiteralNameThatNeedsNoTrimIsNeverWritten) {
  RunResult r = tree_.Host({"create-literal", "exists", "Literal Name"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "create-literal: done\nexists: 2\n");
  EXPECT_TRUE(IsFile(tree_.Home("LiteralN") + "/IKIVO.SMP"));
}

// After a failed call, each export that then succeeds clears the last
// error: a cause read after a call is that call's.
class LastError : public AppTest {};

TEST_F(LastError, EveryExportThatSucceedsClearsIt) {
  char ann[] = "Ann";
  CreateUserProfile(module(), ann, 1);
  ASSERT_EQ(DoesUserExist(module(), "Ann"), 1);
  char out[USERPROFILE_PATH_SIZE] = {};
  char name[] = "Bob";
  char ex_name[] = "Cy";
  char trimmed[] = "Dee";
  const std::string ex_base = tree_.root() + kSep + "EX";
  const std::string ex_registry = tree_.root() + kSep + "EX.INI";
  const std::vector<std::pair<std::string, std::function<void()>>> calls = {
      {"DoesUserExist", [&] { DoesUserExist(module(), "Ann"); }},
      {"SetDefaultUser", [&] { SetDefaultUser(module(), "Ann"); }},
      {"GetDefaultUser", [&] { GetDefaultUser(module(), out); }},
      {"GetUserHomeDir", [&] { GetUserHomeDir(module(), out); }},
      {"GetDirForUser", [&] { GetDirForUser(module(), "Ann", out); }},
      {"ValidUserName", [] { ValidUserName("Ann"); }},
      {"IsEntryValid", [] { IsEntryValid("Ann,Ann00000"); }},
      {"GetProperHomeDirName", [&] { GetProperHomeDirName(trimmed, out); }},
      {"CreateUserProfile", [&] { CreateUserProfile(module(), name, 1); }},
      {"CreateUserProfileEx",
       [&] {
         CreateUserProfileEx(ex_base.c_str(), ex_registry.c_str(), 1, ex_name,
                             out);
       }},
      {"openUserSemaphoreFile",
       [&] { ASSERT_EQ(openUserSemaphoreFile("Ann", module()), 1); }},
      {"CloseUserSemaphoreFile", [] { CloseUserSemaphoreFile(); }},
      {"VerifyUserProfiles", [&] { VerifyUserProfiles(module()); }},
      {"WEP", [] { WEP(0); }},
  };
  for (const auto& [export_name, call] : calls) {
    EXPECT_EQ(DoesUserExist(module(), "Nobody"), 0);
    ASSERT_EQ(userprofile_last_error(), USERPROFILE_ERROR_NOT_FOUND);
    call();
    EXPECT_EQ(userprofile_last_error(), USERPROFILE_ERROR_NONE) << export_name;
    EXPECT_STREQ(userprofile_last_error_message(), "") << export_name;
  }
  EXPECT_EQ(Checks(), std::vector<unsigned>{});
}

}  // namespace
