// A process killed at any moment of an update loses nothing: the registry
// always parses, its count matches the entries the library sees, and every
// user whose creation had returned is still registered. Real host
// processes, killed with SIGKILL at seeded random moments of create loops
// and of verify loops.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "registry/profile_document.h"
#include "registry/profile.h"
#include "registry/registry.h"
#include "support/apptree.h"

using namespace testing_support;
namespace profile = userprofile::profile;

namespace {

constexpr unsigned kSeed = 20261208;
constexpr int kCreateKills = 120;
constexpr int kVerifyKills = 40;
constexpr int kCreatesPerChild = 20;

// Distinct in their first 8 characters, so each gets its own home name.
std::string UserName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "U%06d", i);
  return name;
}

// What the library sees in a registry: the stored count and the valid
// entries among the keys 1 to the count.
struct Seen {
  int count = 0;
  std::vector<userprofile::UserEntry> entries;
  std::map<std::string, int> names;  // name -> number of entries
};

Seen Inspect(const std::string& content) {
  Seen seen;
  seen.count = static_cast<int>(profile::ParseInt(
      profile::ValueIn(content, "NUSER", "NO").value_or(""), 0));
  for (int i = 1; i <= seen.count; ++i) {
    std::string entry(
        profile::ValueIn(content, "LUSER", std::to_string(i)).value_or(""));
    entry = entry.substr(0, userprofile::kEntrySize - 1);
    std::optional<userprofile::UserEntry> split = userprofile::SplitEntry(entry);
    if (!userprofile::IsValidEntry(entry) || !split) continue;
    seen.entries.push_back(*split);
    ++seen.names[split->name];
  }
  return seen;
}

// Every line is whole: a section header or a key line, each ended by the
// line break the library writes. A torn write would leave a part line.
::testing::AssertionResult WellFormed(const std::string& content) {
  if (content.empty()) return ::testing::AssertionSuccess();
  if (content.size() < 2 || content.substr(content.size() - 2) != "\r\n") {
    return ::testing::AssertionFailure() << "no final line break:\n" << content;
  }
  std::size_t begin = 0;
  while (begin < content.size()) {
    std::size_t end = content.find("\r\n", begin);
    std::string line = content.substr(begin, end - begin);
    bool header = line.size() > 2 && line.front() == '[' && line.back() == ']';
    if (!header && line.find('=') == std::string::npos) {
      return ::testing::AssertionFailure() << "torn line [" << line << "]";
    }
    begin = end + 2;
  }
  return ::testing::AssertionSuccess();
}

// Names the child printed as created before it died. A line cut by the
// kill is not counted: it may not have been the whole name.
std::vector<std::string> ReturnedCreations(Child& child) {
  std::vector<std::string> names;
  while (std::optional<std::string> line =
             child.ReadLine(std::chrono::milliseconds(0))) {
    if (line->rfind("create: ", 0) == 0) names.push_back(line->substr(8));
  }
  return names;
}

// How long a run of the host with `args` takes here, start-up included,
// in microseconds. Kill windows are sized by it, so that the kills cover
// the same span of work in a plain and in a sanitizer build.
int TimeRun(const AppTree& app, const std::vector<std::string>& args) {
  const auto start = std::chrono::steady_clock::now();
  RunResult r = app.Host(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count());
}

// Commands that create `count` users, numbered from `first`.
std::vector<std::string> Creations(int first, int count) {
  std::vector<std::string> args;
  for (int i = first; i < first + count; ++i) {
    args.push_back("create");
    args.push_back(UserName(i));
  }
  return args;
}

// Starts the host with `args`, lets it run for a random moment, and kills
// it. Returns the creations that had returned.
std::vector<std::string> RunAndKill(const AppTree& app,
                                    const std::vector<std::string>& args,
                                    std::mt19937& rng, int max_us) {
  Child child(app.HostArgv(args));
  std::uniform_int_distribution<int> delay(0, max_us);
  std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
  child.Kill(SIGKILL);
  child.Wait();
  return ReturnedCreations(child);
}

// Asks the library, through the host, for each name: all must be found.
void ExpectRegistered(const AppTree& app, const std::vector<std::string>& names) {
  if (names.empty()) return;
  std::vector<std::string> args;
  for (const std::string& name : names) {
    args.push_back("exists");
    args.push_back(name);
  }
  RunResult r = app.Host(args);
  ASSERT_EQ(r.status, 0) << r.err;
  std::size_t at = 0;
  for (const std::string& name : names) {
    std::size_t end = r.out.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(r.out.substr(at, end - at), "exists: 0") << name << " was lost";
    at = end + 1;
  }
}

// Keys up to the count that the library does not see as entries.
int Holes(const Seen& seen) {
  return seen.count - static_cast<int>(seen.entries.size());
}

// The invariants that must hold after every kill. `holes` is how many the
// registry had before the killed process started.
void ExpectIntact(const AppTree& app, const std::set<std::string>& returned,
                  int holes = 0) {
  const std::string content = ReadFile(app.registry());
  ASSERT_TRUE(WellFormed(content));
  Seen seen = Inspect(content);
#ifdef _WIN32
  // The Windows service writes the count and then the entry one by one,
  // with no held-back update: a kill between the two leaves the count
  // naming an empty entry. That loses nobody, and the next repair drops
  // it; what must hold is that every returned creation is still there.
  static_cast<void>(holes);
#else
  EXPECT_LE(Holes(seen), holes)
      << "the count names entries the library does not see:\n" << content;
#endif
  for (const std::string& name : returned) {
    EXPECT_TRUE(seen.names.count(name)) << name << " was lost:\n" << content;
  }
}

// Makes the next verification renumber: entry p is emptied and its user
// moves to a new entry above the count, so nobody is lost by the change.
void OpenGap(const AppTree& app, std::mt19937& rng) {
  std::string content = ReadFile(app.registry());
  Seen seen = Inspect(content);
  if (seen.count < 2) return;
  std::uniform_int_distribution<int> pick(std::max(1, seen.count - 6),
                                          seen.count);
  const std::string p = std::to_string(pick(rng));
  const std::string moved(profile::ValueIn(content, "LUSER", p).value_or(""));
  const std::string top = std::to_string(seen.count + 1);
  content = *profile::WithValue(content, "LUSER", top, moved);
  content = *profile::WithValue(content, "LUSER", p, "");
  content = *profile::WithValue(content, "NUSER", "NO", top);
  const std::string tmp = app.registry() + ".test";
  WriteFile(tmp, content);
  std::filesystem::rename(tmp, app.registry());
}

// The tree is consistent: every entry valid, each user once, each home
// its own existing directory with its lock file, "Default" registered and
// the default user registered.
void ExpectConsistentTree(const AppTree& app) {
  const std::string content = ReadFile(app.registry());
  Seen seen = Inspect(content);
  EXPECT_EQ(seen.count, static_cast<int>(seen.entries.size())) << content;
  std::set<std::string> homes;
  for (const userprofile::UserEntry& e : seen.entries) {
    EXPECT_EQ(seen.names[e.name], 1) << e.name << " registered twice";
    EXPECT_TRUE(homes.insert(e.home_dir_name).second)
        << e.home_dir_name << " shared";
    EXPECT_TRUE(IsFile(app.Home(e.home_dir_name) + kSep + "IKIVO.SMP"))
        << e.name << " has no home or lock file";
  }
  EXPECT_EQ(seen.names.count("Default"), 1u);
  const std::string def(
      profile::ValueIn(content, "DEFUSER", "DefaultUser").value_or(""));
  EXPECT_TRUE(seen.names.count(def)) << "default user " << def;
}

// A killed writer leaves at most the one temporary file that the next
// write takes over, beside the registry, its update lock file and the
// program.
void ExpectNoDebris(const AppTree& app) {
  for (const auto& file : std::filesystem::directory_iterator(app.prog())) {
    const std::string name = file.path().filename().string();
    EXPECT_TRUE(name == kHostName || name == "USER.INI" ||
                name == "USER.INI.lock" || name == "USER.INI.~")
        << "left behind: " << name;
  }
}

// Verification twice: the second run finds nothing to do.
void ExpectVerifySettles(const AppTree& app) {
  RunResult first = app.Host({"verify"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string settled = ReadFile(app.registry());
  RunResult second = app.Host({"verify"});
  ASSERT_EQ(second.status, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(ReadFile(app.registry()), settled);
}

}  // namespace

TEST(KilledUpdates, CreationsThatReturnedSurviveAnyKill) {
  AppTree app;
  std::mt19937 rng(kSeed);
  std::set<std::string> returned;
  // Kills fall anywhere from start-up to the sixth creation. A creation
  // replaces the registry once, quickly beside the start of a process, so
  // a window of fewer creations leaves most kills before the first. The
  // window measured here then follows the load: a kill that came before
  // any creation returned widens it by a quarter, one that came after the
  // sixth narrows it by a fifth, so that a machine that slows down after
  // the measurement still has its kills among the creations.
  int window = TimeRun(app, Creations(900000, 6));
  int next = 0;
  for (int kill = 0; kill < kCreateKills; ++kill) {
    std::vector<std::string> args = Creations(next, kCreatesPerChild);
    next += kCreatesPerChild;
    std::vector<std::string> now = RunAndKill(app, args, rng, window);
    if (now.empty()) {
      window = std::min(window + window / 4, 10'000'000);
    } else if (now.size() >= 6) {
      window -= window / 5;
    }
    returned.insert(now.begin(), now.end());
    ExpectIntact(app, returned);
    ExpectRegistered(app, now);
    if (HasFatalFailure() || HasFailure()) return;
  }
  ASSERT_GT(returned.size(), 20u) << "the kills came too early to test much";
  ExpectRegistered(app, {returned.begin(), returned.end()});
  ExpectVerifySettles(app);
  ExpectConsistentTree(app);
  ExpectNoDebris(app);
}

TEST(KilledUpdates, InterruptedRenumberingLosesNoUserAndHealsOnVerify) {
  AppTree app;
  std::mt19937 rng(kSeed + 1);
  std::set<std::string> returned;
  std::vector<std::string> args;
  for (int i = 0; i < 40; ++i) {
    args.push_back("create");
    args.push_back(UserName(i));
    returned.insert(UserName(i));
  }
  ASSERT_EQ(app.Host(args).status, 0);
  ASSERT_EQ(app.Host({"verify"}).status, 0);
  returned.insert("Default");
  const std::vector<std::string> verifies(6, "verify");
  // Kills fall anywhere from start-up to the end of a renumbering.
  OpenGap(app, rng);
  const int window = TimeRun(app, {"verify"});
  for (int kill = 0; kill < kVerifyKills; ++kill) {
    OpenGap(app, rng);
    const int holes = Holes(Inspect(ReadFile(app.registry())));
    RunAndKill(app, verifies, rng, window);
    ExpectIntact(app, returned, holes);
    if (HasFailure()) return;
  }
  ExpectRegistered(app, {returned.begin(), returned.end()});
  ExpectVerifySettles(app);
  ExpectConsistentTree(app);
  ExpectNoDebris(app);
}

TEST(KilledUpdates, CreatorsAndVerifiersKilledTogetherLeaveARepairableTree) {
  AppTree app;
  std::mt19937 rng(kSeed + 2);
  std::set<std::string> returned;
  const int window = TimeRun(app, Creations(900000, 3));
  int next = 0;
  for (int kill = 0; kill < 30; ++kill) {
    Child creator(app.HostArgv(Creations(next, kCreatesPerChild)));
    next += kCreatesPerChild;
    Child verifier(app.HostArgv(std::vector<std::string>(10, "verify")));
    std::uniform_int_distribution<int> delay(0, window);
    std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
    creator.Kill(SIGKILL);
    verifier.Kill(SIGKILL);
    creator.Wait();
    verifier.Wait();
    std::vector<std::string> now = ReturnedCreations(creator);
    returned.insert(now.begin(), now.end());
    ExpectIntact(app, returned);
    if (HasFailure()) return;
  }
  ExpectRegistered(app, {returned.begin(), returned.end()});
  ExpectVerifySettles(app);
  ExpectConsistentTree(app);
  ExpectNoDebris(app);
}
