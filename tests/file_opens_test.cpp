// The cost of one exported call and one `userprof list`, counted in opens
// of files by the real child processes (a preloaded counter forwards each
// open to the C library): it must not grow with the number of users beyond
// one read of the registry plus one probe per home directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>

#include <string>
#include <vector>

#include "support/apptree.h"
#include "support/process.h"

using testing_support::AppTree;
using testing_support::kSep;
using testing_support::ReadFile;
using testing_support::RunResult;

namespace {

std::string UserName(int i) {
  std::string digits = std::to_string(i);
  return "u" + std::string(7 - digits.size(), '0') + digits;
}

// A registry of `users` users (entry 1 "Default"), each with its home and
// lock file, written without the library.
void WriteUsers(const AppTree& tree, int users) {
  std::string registry = "[NUSER]\r\nNO=" + std::to_string(users) +
                         "\r\n[LUSER]\r\n1=Default,Default0\r\n";
  testing_support::MakeDirs(tree.Home("Default0"));
  testing_support::WriteFile(tree.Home("Default0") + kSep + "IKIVO.SMP", "");
  for (int i = 2; i <= users; ++i) {
    registry +=
        std::to_string(i) + "=" + UserName(i) + "," + UserName(i) + "\r\n";
    testing_support::MakeDirs(tree.Home(UserName(i)));
    testing_support::WriteFile(tree.Home(UserName(i)) + kSep + "IKIVO.SMP", "");
  }
  registry += "[DEFUSER]\r\nDefaultUser=Default\r\n";
  testing_support::WriteFile(tree.registry(), registry);
}

// Runs the program with the open counter preloaded; its opens, or -1.
long CountOpens(const AppTree& tree, const std::vector<std::string>& argv,
                RunResult* result = nullptr) {
  const std::string count_file = tree.root() + kSep + "opens";
  setenv("LD_PRELOAD", OPEN_COUNTER_PATH, 1);
  setenv("UP_OPEN_COUNT", count_file.c_str(), 1);
  // A sanitized build's runtime must come first; the counter is harmless.
  setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
  RunResult r = testing_support::Run(argv);
  unsetenv("LD_PRELOAD");
  unsetenv("UP_OPEN_COUNT");
  unsetenv("ASAN_OPTIONS");
  if (result) *result = r;
  const std::string text = ReadFile(count_file);
  return text.empty() ? -1 : std::stol(text);
}

struct Opens {
  long lookup;
  long list;
};

Opens OpensAt(int users) {
  AppTree tree;
  WriteUsers(tree, users);
  RunResult lookup;
  const long lookup_opens =
      CountOpens(tree, tree.HostArgv({"exists", UserName(users)}), &lookup);
  EXPECT_EQ(lookup.status, 0) << lookup.err;
  EXPECT_NE(lookup.out.find(std::to_string(users)), std::string::npos)
      << lookup.out;
  RunResult list;
  const long list_opens =
      CountOpens(tree, {USERPROF_PATH, "--module", tree.host(), "list"}, &list);
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find(UserName(users)), std::string::npos);
  return {lookup_opens, list_opens};
}

}  // namespace

TEST(FileOpens, LookupAndListingOpenOneRegistryReadPlusOneProbePerHome) {
  const Opens small = OpensAt(100);
  const Opens large = OpensAt(1000);
  ASSERT_GT(small.lookup, 0);
  ASSERT_GT(small.list, 0);
  // One exported call: the same opens at any size.
  EXPECT_LE(large.lookup, small.lookup)
      << "DoesUserExist at 100 users: " << small.lookup << " opens";
  // The listing: at most one more open per home directory.
  EXPECT_LE(large.list - small.list, 900)
      << "userprof list: " << small.list << " opens at 100 users, "
      << large.list << " at 1,000";
}

// A count tampered to billions: every command answers in what the
// registry holds.
TEST(FileOpens, TamperedCountCostsOnlyTheKeysHeld) {
  AppTree tree;
  WriteUsers(tree, 3);
  std::string registry = ReadFile(tree.registry());
  registry.replace(registry.find("NO=3"), 4, "NO=2000000000");
  testing_support::WriteFile(tree.registry(), registry);
  const auto start = std::chrono::steady_clock::now();
  RunResult exists = testing_support::Run(tree.HostArgv({"exists", "Nobody"}));
  EXPECT_NE(exists.out.find("exists: 0"), std::string::npos) << exists.out;
  RunResult list =
      testing_support::Run({USERPROF_PATH, "--module", tree.host(), "list"});
  EXPECT_NE(list.out.find(UserName(3)), std::string::npos) << list.out;
  RunResult who =
      testing_support::Run({USERPROF_PATH, "--module", tree.host(), "who"});
  EXPECT_NE(who.out.find("nobody is signed in"), std::string::npos) << who.out;
  RunResult home = testing_support::Run(
      {USERPROF_PATH, "--module", tree.host(), "home", "Nobody"});
  EXPECT_NE(home.status, 0);
  RunResult verify =
      testing_support::Run({USERPROF_PATH, "--module", tree.host(), "verify"});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_NE(ReadFile(tree.registry()).find("NO=3\r\n"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}
