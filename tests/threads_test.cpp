// A host that calls every export from eight threads at once, while other
// host processes create users and sign in in the same tree. Built with
// USERPROFILE_TSAN=ON, ThreadSanitizer watches every access of the host's
// threads; in every build the registry must come out whole.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/apptree.h"

using namespace testing_support;

namespace {

TEST(Threads, EightThreadsCallEveryExportBesideOtherProcesses) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 8;
  AppTree app;
  ASSERT_EQ(app.Host({"verify"}).status, 0);
  const std::string ex = app.root() + kSep + "EX";
  Child threads(
      app.HostArgv({"threads", std::to_string(kThreads),
                    std::to_string(kRounds), ex, ex + kSep + "EX.INI"}));
  Child creator(app.HostArgv(
      {"create", "P One", "create", "P Two", "verify", "create", "P Three"}));
  Child signer(app.HostArgv(
      {"hammer", "Default", "1500", app.root() + kSep + "hammer.log"}));

  EXPECT_EQ(threads.ReadLine(std::chrono::seconds(150)), "threads: 0 failed");
  EXPECT_EQ(threads.Wait(), 0) << threads.err();
  EXPECT_EQ(threads.err().find("ThreadSanitizer"), std::string::npos)
      << threads.err();
  EXPECT_EQ(creator.Wait(), 0) << creator.err();
  EXPECT_EQ(signer.Wait(), 0) << signer.err();

  // Every user registered exactly once, each with a home of its own.
  const std::string registry = ReadFile(app.registry());
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      const std::string name =
          "T" + std::to_string(t) + "R" + std::to_string(r);
      int found = 0;
      for (std::size_t at = 0;
           (at = registry.find("=" + name + ",", at)) != std::string::npos;
           ++at) {
        ++found;
        const std::string dir = registry.substr(at + name.size() + 2, 8);
        EXPECT_TRUE(IsFile(app.Home(dir) + kSep + "IKIVO.SMP")) << name;
      }
      EXPECT_EQ(found, 1) << name;
    }
    EXPECT_TRUE(IsDir(ex + kSep + "X" + std::to_string(t) + "000000"));
  }
  for (const char* name : {"=P One,", "=P Two,", "=P Three,"}) {
    EXPECT_EQ(registry.find(name), registry.rfind(name)) << name;
    EXPECT_NE(registry.find(name), std::string::npos) << name;
  }
}

}  // namespace
