// The store's kept parses and held-back writes, on real files changed
// behind its back by this and other processes: every read answers as a
// fresh parse of the file would, and the edits of an update reach the
// file once, whole, as the exact bytes of the single writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "registry/profile_store.h"
#include "support/profile_reads.h"
#include "platform/platform.h"
#include "registry/profile_document.h"
#include "registry/profile.h"
#include "registry/registry.h"
#include "support/apptree.h"
#include "support/process.h"

namespace fs = std::filesystem;
using testing_support::MakeTempDir;
using testing_support::ReadFile;
using testing_support::RemoveTree;
using testing_support::WriteFile;
using userprofile::profile::ValueIn;
using userprofile::profile::WithValue;

namespace {

// The store's reads and writes, as the library makes them.
struct Store {
  std::string ReadProfileString(std::string_view section, std::string_view key,
                                std::size_t size, const std::string& file) {
    return userprofile::ReadProfileString(section, key, size, file);
  }
  std::uint32_t ReadProfileInt(std::string_view section, std::string_view key,
                               int fallback, const std::string& file) {
    return userprofile::ReadProfileInt(section, key, fallback, file);
  }
  bool WriteProfileValue(std::string_view section, std::string_view key,
                          std::string_view value, const std::string& file) {
    return userprofile::WriteProfileValue(section, key, value, file);
  }
  std::shared_ptr<const userprofile::profile::Document> ProfileSnapshot(
      const std::string& file) {
    return userprofile::ProfileSnapshot(file);
  }
};

using Update = std::optional<userprofile::ProfileUpdate>;

class ProfileFiles : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempDir(); }
  void TearDown() override { RemoveTree(dir_); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) {
      names.insert(e.path().filename().string());
    }
    return names;
  }
  Store& sys() { return store_; }
  Store store_;
  std::string dir_;
};

const std::vector<std::string> kSections = {"NUSER", "LUSER", "luser",
                                            "DEFUSER", "X"};
const std::vector<std::string> kKeys = {"NO", "1",           "2", "3",
                                        "12", "DefaultUser", "k"};

// A registry-like file; `digits` fixes the width of every number so that
// two files of one seed and width have the same size.
std::string RandomRegistry(std::mt19937& rng, int digits) {
  std::uniform_int_distribution<int> pct(0, 99);
  auto number = [&] {
    std::string n =
        std::to_string(std::uniform_int_distribution<int>(0, 9)(rng));
    return std::string(static_cast<std::size_t>(digits) - 1, '0') + n;
  };
  std::string out;
  const char* eol = pct(rng) < 80 ? "\r\n" : "\n";
  for (const std::string& section : kSections) {
    if (pct(rng) < 15) continue;
    out += "[" + section + "]" + eol;
    for (const std::string& key : kKeys) {
      if (pct(rng) < 40) continue;
      out += key + "=" + number() + (pct(rng) < 50 ? ",Ann" : ",Bob") + eol;
    }
  }
  return out;
}

// Rewrites the file in place, keeping its inode.
void RewriteInPlace(const std::string& path, const std::string& content) {
  WriteFile(path, content);
}

// Replaces the file with a new one, as an editor saving atomically would.
void ReplaceByRename(const std::string& path, const std::string& content) {
  WriteFile(path + ".new", content);
  fs::rename(path + ".new", path);
}

// Every read of the file through the platform, with the cache as set,
// against a fresh parse of the bytes on disk.
void ExpectReadsMatchDisk(Store& sys, const std::string& path,
                          const std::string& context) {
  const bool exists = fs::exists(path);
  const std::string disk = exists ? ReadFile(path) : "";
  for (const std::string& section : kSections) {
    for (const std::string& key : kKeys) {
      const std::string want(ValueIn(disk, section, key).value_or(""));
      ASSERT_EQ(sys.ReadProfileString(section, key, 162, path), want)
          << context << " [" << section << "] " << key;
      ASSERT_EQ(sys.ReadProfileInt(section, key, 7, path),
                userprofile::profile::ParseInt(want, 7))
          << context;
    }
  }
  std::shared_ptr<const userprofile::profile::Document> snapshot =
      sys.ProfileSnapshot(path);
  ASSERT_TRUE(snapshot);
  ASSERT_EQ(snapshot->Bytes(), disk) << context;
}

}  // namespace

// --- Reads --------------------------------------------------------------

using CachedReads = ProfileFiles;

TEST_F(CachedReads, RandomRewritesBetweenReadsAreSeenByTheNextRead) {
  const std::string file = Path("USER.INI");
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pct(0, 99);
  WriteFile(file, RandomRegistry(rng, 3));
  for (int step = 0; step < 600; ++step) {
    const int action = pct(rng);
    // Same width, same sections and keys: mostly same-size rewrites.
    const std::string next = RandomRegistry(rng, action < 70 ? 3 : 4);
    if (action < 50) {
      RewriteInPlace(file, next);
    } else if (action < 80) {
      ReplaceByRename(file, next);
    } else if (action < 85) {
      fs::remove(file);
    } else if (action < 90) {
      // Touched but unchanged: the next read may keep its parse.
      fs::last_write_time(file, fs::file_time_type::clock::now());
    } else if (action < 93) {
      // Long enough for the parse to be trusted on its stamp alone; the
      // rewrite right after must still be seen.
      ExpectReadsMatchDisk(sys(), file, "settling");
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      ExpectReadsMatchDisk(sys(), file, "settled");
      RewriteInPlace(file, next);
    }
    if (!fs::exists(file)) WriteFile(file, next);
    ExpectReadsMatchDisk(sys(), file, "step " + std::to_string(step));
    if (HasFatalFailure()) return;
  }
}

TEST_F(CachedReads, SameSizeRewriteByAnotherProcessIsSeenByTheNextRead) {
  const std::string file = Path("USER.INI");
  const std::string a = "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Ann,AnnLee00\r\n";
  const std::string b = "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Bob,BobLee00\r\n";
  WriteFile(file, a);
  WriteFile(Path("b"), b);
  WriteFile(Path("a"), a);
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(sys().ReadProfileString("LUSER", "1", 162, file), "Ann,AnnLee00");
    // cp writes into the existing file: same inode, same size.
    ASSERT_EQ(testing_support::Run({"/bin/cp", Path("b"), file}).status, 0);
    ASSERT_EQ(sys().ReadProfileString("LUSER", "1", 162, file), "Bob,BobLee00")
        << "round " << round;
    ASSERT_EQ(testing_support::Run({"/bin/cp", Path("a"), file}).status, 0);
    if (round % 5 == 4)
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
}

TEST_F(CachedReads, UnchangedFileIsNotParsedAgain) {
  const std::string file = Path("USER.INI");
  WriteFile(file, "[NUSER]\r\nNO=1\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  auto first = sys().ProfileSnapshot(file);
  auto second = sys().ProfileSnapshot(file);
  EXPECT_EQ(first.get(), second.get());
  // A changed file is a changed snapshot, even with the same size.
  WriteFile(file, "[NUSER]\r\nNO=2\r\n");
  auto third = sys().ProfileSnapshot(file);
  EXPECT_TRUE(third.get() != first.get() ||
              third->version() != first->version());
  EXPECT_EQ(third->Find("NUSER", "NO"), "2");
}

TEST_F(CachedReads, DirectoryPutInPlaceOfTheFilesIsSeenWithinASecond) {
  fs::create_directories(Path("PROG"));
  const std::string file = Path("PROG/USER.INI");
  WriteFile(file, "[NUSER]\r\nNO=1\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_EQ(sys().ReadProfileInt("NUSER", "NO", 0, file), 1);
  ASSERT_EQ(sys().ReadProfileInt("NUSER", "NO", 0, file), 1);
  // A release swapped in whole: the old directory moved away intact.
  fs::rename(Path("PROG"), Path("OLD"));
  fs::create_directories(Path("PROG"));
  WriteFile(file, "[NUSER]\r\nNO=2\r\n");
  const auto start = std::chrono::steady_clock::now();
  while (sys().ReadProfileInt("NUSER", "NO", 0, file) != 2 &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(sys().ReadProfileInt("NUSER", "NO", 0, file), 2);
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(1500));
  // From then on the file in the new directory is followed at once.
  WriteFile(file, "[NUSER]\r\nNO=3\r\n");
  EXPECT_EQ(sys().ReadProfileInt("NUSER", "NO", 0, file), 3);
}

// --- Held-back writes -----------------------------------------------------

using HeldBackWrites = ProfileFiles;

TEST_F(HeldBackWrites, UpdateWritesTheBytesOfSingleWritesOnceAtTheEnd) {
  const std::vector<std::string> values = {"1", "Ann,AnnLee00", " x ", "\"q\"",
                                           ""};
  for (unsigned seed = 0; seed < 20; ++seed) {
    // Single writes replace the file one by one, each flushed to disk: a
    // few seeds show that they write the bytes WithValue gives.
    const bool compare_single = seed < 2;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pct(0, 99);
    const std::string start = RandomRegistry(rng, 1 + seed % 3);
    const std::string held = Path("held.ini");
    const std::string single = Path("single.ini");
    WriteFile(held, start);
    WriteFile(single, start);
    std::string expected = start;
    Update update;
    update.emplace(held, 1000);
    ASSERT_TRUE(update->held());
    for (int w = 0; w < 40; ++w) {
      const std::string section = kSections[pct(rng) % kSections.size()];
      const std::string key = kKeys[pct(rng) % kKeys.size()] +
                              (pct(rng) < 20 ? std::to_string(w) : "");
      const std::string value = values[pct(rng) % values.size()];
      expected = *WithValue(expected, section, key, value);
      ASSERT_TRUE(sys().WriteProfileValue(section, key, value, held));
      if (compare_single) {
        ASSERT_TRUE(sys().WriteProfileValue(section, key, value, single));
      }
      // This process reads its own writes; the file waits for the end.
      ASSERT_EQ(sys().ReadProfileString(section, key, 162, held),
                ValueIn(expected, section, key).value_or(""));
      ASSERT_EQ(ReadFile(held), start) << "seed " << seed;
    }
    ASSERT_EQ(sys().ProfileSnapshot(held)->Bytes(), expected);
    EXPECT_TRUE(update->Commit());
    EXPECT_EQ(ReadFile(held), expected) << "seed " << seed;
    if (compare_single) {
      EXPECT_EQ(ReadFile(single), expected) << "seed " << seed;
    }
    EXPECT_EQ(Entries(),
              (std::set<std::string>{"held.ini", "held.ini.lock", "single.ini",
                                     "single.ini.lock"}));
  }
}

TEST_F(HeldBackWrites, NestedHoldsWriteOnceAtTheOutermostEnd) {
  const std::string file = Path("USER.INI");
  WriteFile(file, "[NUSER]\r\nNO=1\r\n");
  Update outer;
  outer.emplace(file, 1000);
  Update inner;
  inner.emplace(file, 1000);
  ASSERT_TRUE(outer->held() && inner->held());
  ASSERT_TRUE(sys().WriteProfileValue("NUSER", "NO", "2", file));
  EXPECT_TRUE(inner->Commit());
  EXPECT_EQ(ReadFile(file), "[NUSER]\r\nNO=1\r\n");
  EXPECT_EQ(sys().ReadProfileInt("NUSER", "NO", 0, file), 2u);
  EXPECT_TRUE(outer->Commit());
  EXPECT_EQ(ReadFile(file), "[NUSER]\r\nNO=2\r\n");
}

TEST_F(HeldBackWrites, KilledHolderLeavesTheOldFileAndFreesTheLock) {
  const std::string file = Path("USER.INI");
  const std::string before = "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Ann,AnnLee00\r\n";
  WriteFile(file, before);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    userprofile::ProfileUpdate update(file, 1000);
    bool ok = update.held() && update.Set("NUSER", "NO", "2") &&
              update.Set("LUSER", "2", "Bob,BobLee00");
    if (::write(ready[1], ok ? "1" : "0", 1) != 1) ::_exit(2);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char answer = 0;
  ASSERT_EQ(::read(ready[0], &answer, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(answer, '1');
  EXPECT_EQ(ReadFile(file), before);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_EQ(Entries(), (std::set<std::string>{"USER.INI", "USER.INI.lock"}));
  userprofile::ProfileUpdate update(file, 1000);
  ASSERT_TRUE(update.held()) << "the lock died with its holder";
  EXPECT_TRUE(update.Commit());
}

TEST_F(HeldBackWrites, FailedReplacementIsReportedAndTheEditsDropped) {
  // The temporary name beside this file is too long for the file system:
  // the replacement fails for root as for anyone.
  const std::string file = Path(std::string(250, 'r'));
  const std::string before = "[NUSER]\r\nNO=1\r\n";
  WriteFile(file, before);
  EXPECT_FALSE(sys().WriteProfileValue("NUSER", "NO", "2", file));
  EXPECT_EQ(sys().ReadProfileString("NUSER", "NO", 162, file), "1");
  Update update;
  update.emplace(file, 1000);
  ASSERT_TRUE(update->held());
  EXPECT_TRUE(update->Set("NUSER", "NO", "3"));
  EXPECT_EQ(sys().ReadProfileString("NUSER", "NO", 162, file), "3");
  EXPECT_FALSE(update->Commit());
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_EQ(sys().ReadProfileString("NUSER", "NO", 162, file), "1");
  EXPECT_EQ(Entries(),
            (std::set<std::string>{std::string(250, 'r'),
                                   std::string(250, 'r') + ".lock"}));
}

// The registry's updates report a replacement that fails at the end of
// the update as a failed write, once.
TEST_F(HeldBackWrites, RegistryUpdateThatCannotReachTheFileIsReported) {
  testing_support::InProcessApp app(Path("MAIN"));
  // Too long a name for the temporary file beside it: every replacement
  // fails, for root as for anyone.
  const std::string file = Path(std::string(250, 'r'));
  WriteFile(file, "[NUSER]\r\nNO=1\r\n");
  {
    userprofile::RegistryUpdate update(file);
    ASSERT_TRUE(update.held());
    EXPECT_TRUE(userprofile::WriteRegistry(file, "NUSER", "NO", "2"));
    EXPECT_TRUE(userprofile::WriteRegistry(file, "NUSER", "NO", "3"));
  }
  EXPECT_EQ(app.TakeChecks(), std::vector<unsigned>{730});
  EXPECT_EQ(ReadFile(file), "[NUSER]\r\nNO=1\r\n");
}
