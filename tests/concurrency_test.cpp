// Nothing is lost when processes update one registry at once, and the user
// lock admits one holder at a time under load. Real processes, real files.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "platform/platform.h"
#include "registry/profile_document.h"
#include "registry/profile.h"
#include "support/apptree.h"

using namespace testing_support;

namespace {

constexpr int kProcesses = 8;
constexpr int kUsersEach = 50;

std::string UserName(int process, int i) {
  return "P" + std::to_string(process) + " U" + std::to_string(i);
}

std::vector<std::string> CreateCommands(int process) {
  std::vector<std::string> args;
  for (int i = 0; i < kUsersEach; ++i) {
    args.push_back("create");
    args.push_back(UserName(process, i));
  }
  return args;
}

struct Registry {
  int count = 0;
  std::map<std::string, int> numbers;  // name -> how many entries
  std::set<std::string> dirs;
};

Registry Parse(const std::string& content) {
  namespace profile = userprofile::profile;
  Registry r;
  r.count = static_cast<int>(
      profile::ParseInt(profile::ValueIn(content, "NUSER", "NO").value_or(""), 0));
  for (int i = 1; i <= r.count; ++i) {
    std::string entry(
        profile::ValueIn(content, "LUSER", std::to_string(i)).value_or(""));
    std::size_t comma = entry.find(',');
    if (comma == std::string::npos) continue;
    ++r.numbers[entry.substr(0, comma)];
    r.dirs.insert(entry.substr(comma + 1));
  }
  return r;
}

void ExpectEveryUserOnce(const AppTree& app) {
  Registry r = Parse(ReadFile(app.registry()));
  int registered = 0;
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kUsersEach; ++i) {
      EXPECT_EQ(r.numbers[UserName(p, i)], 1) << UserName(p, i);
      ++registered;
    }
  }
  // Every entry up to the count is a distinct user with its own home.
  EXPECT_EQ(static_cast<int>(r.dirs.size()), r.count);
  EXPECT_GE(r.count, registered);
}

}  // namespace

TEST(ConcurrentUpdates, ParallelCreatorsLoseNoUser) {
  AppTree app;
  std::vector<std::unique_ptr<Child>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<Child>(app.HostArgv(CreateCommands(p))));
  }
  for (auto& child : children) ASSERT_EQ(child->Wait(), 0) << child->err();
  Registry r = Parse(ReadFile(app.registry()));
  EXPECT_EQ(r.count, kProcesses * kUsersEach);
  ExpectEveryUserOnce(app);

  // Verification only adds "Default"; no entry moves, and a second run
  // changes nothing.
  ASSERT_EQ(app.Host({"verify"}).status, 0);
  EXPECT_EQ(Parse(ReadFile(app.registry())).count, r.count + 1);
  const std::string settled = ReadFile(app.registry());
  RunResult again = app.Host({"verify"});
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(ReadFile(app.registry()), settled);
}

TEST(ConcurrentUpdates, VerifiersDuringCreationLoseNoUser) {
  AppTree app;
  ASSERT_EQ(app.Host({"verify"}).status, 0);
  std::vector<std::unique_ptr<Child>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<Child>(app.HostArgv(CreateCommands(p))));
  }
  std::vector<std::string> verifies;
  for (int i = 0; i < 10; ++i) verifies.push_back("verify");
  for (int v = 0; v < 2; ++v) {
    children.push_back(std::make_unique<Child>(app.HostArgv(verifies)));
  }
  for (auto& child : children) ASSERT_EQ(child->Wait(), 0) << child->err();
  ExpectEveryUserOnce(app);

  ASSERT_EQ(app.Host({"verify"}).status, 0);
  const std::string settled = ReadFile(app.registry());
  RunResult again = app.Host({"verify"});
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(ReadFile(app.registry()), settled);
}

TEST(ConcurrentSignIn, LockAdmitsOneHolderAtATime) {
  AppTree app;
  ASSERT_EQ(app.Host({"create", "Ann Lee"}).status, 0);
  const std::string log = app.root() + "/holders.log";
  std::vector<std::unique_ptr<Child>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<Child>(
        app.HostArgv({"hammer", "Ann Lee", "2000", log})));
  }
  int total = 0;
  for (auto& child : children) {
    std::optional<std::string> line = child->ReadLine(std::chrono::seconds(30));
    ASSERT_TRUE(line);
    total += std::stoi(line->substr(line->find(':') + 1));
    EXPECT_EQ(child->Wait(), 0);
  }
  EXPECT_GT(total, kProcesses);  // the lock did change hands
  std::istringstream in(ReadFile(log));
  std::string line;
  std::string holder;
  int entries = 0;
  while (std::getline(in, line)) {
    if (line[0] == '+') {
      ASSERT_EQ(holder, "") << "two holders at once: " << holder << " and "
                            << line.substr(1);
      holder = line.substr(1);
      ++entries;
    } else {
      ASSERT_EQ(holder, line.substr(1));
      holder.clear();
    }
  }
  EXPECT_EQ(entries, total);
}
