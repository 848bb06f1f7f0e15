// Lookups by name from the index of the registry answer exactly as the
// entry-by-entry loop does, on random registries full of duplicates,
// invalid entries, odd keys and counts, through the library's own writes
// and rewrites behind its back; and a repair leaves the same tree whether
// the registry is kept parsed or read anew at every read.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frame/frame.h"
#include "platform/platform.h"
#include "support/reread.h"
#include "registry/profile.h"
#include "registry/profile_store.h"
#include "registry/registry.h"
#include "support/apptree.h"
#include "userprofile.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

using testing_support::CacheSetting;

// The lookup as the entry-by-entry loop answers it, over the content the
// library's reads see now: the first entry from 1 to the count that is
// valid, holds a comma and names the user.
int LoopedLookup(const std::string& registry, const std::string& name) {
  const auto doc = userprofile::ProfileSnapshot(registry);
  const int count = static_cast<int>(userprofile::profile::ParseInt(
      doc->Find("NUSER", "NO").value_or(""), 0));
  for (int i = 1; i <= count; ++i) {
    const std::string entry(
        doc->Find("LUSER", std::to_string(i)).value_or("").substr(0, 161));
    const std::size_t comma = entry.find(',');
    if (!userprofile::IsValidEntry(entry) || comma == std::string::npos) continue;
    if (userprofile::Sys().NamesEqual(name.c_str(), entry.substr(0, comma).c_str())) {
      return i;
    }
  }
  return 0;
}

// Names equal and unequal under the comparison of user names: case, the
// accented pairs of code page 1252, ligatures, the ignored soft hyphen,
// and spaces that are not trimmed.
const std::vector<std::string> kNames = {"Ann",
                                         "ANN",
                                         "ann ",
                                         "Ren\xE9",
                                         "REN\xC9",
                                         "Stra\xDF"
                                         "e",
                                         "STRASSE",
                                         "\xC6sir",
                                         "AEsir",
                                         "A\xAD"
                                         "B",
                                         "AB",
                                         "Default",
                                         "dEFAULT",
                                         "Bob",
                                         "Zo\xEB"};

std::string RandomEntry(std::mt19937& rng) {
  std::uniform_int_distribution<int> pct(0, 99);
  const std::string name = kNames[pct(rng) % kNames.size()];
  const int kind = pct(rng);
  if (kind < 55) return name + ",DIR" + std::to_string(10000 + pct(rng));
  if (kind < 62) return name;             // no comma
  if (kind < 68) return "";               // empty
  if (kind < 74) return "B-d,XXXXXXXX";   // invalid name
  if (kind < 78) return name + ",SHORT";  // not 8 after comma
  if (kind < 82) return std::string(170, 'x') + "," + "ABCDEFGH";  // cut
  if (kind < 86) return "\"" + name + ",QUOTED00\"";  // quotes removed
  return name + ",DIR" + std::to_string(10000 + pct(rng)) + " ";
}

// A registry with the count off from the keys, keys spelled oddly,
// duplicate keys and a second LUSER section.
std::string RandomRegistry(std::mt19937& rng) {
  std::uniform_int_distribution<int> pct(0, 99);
  const int entries = std::uniform_int_distribution<int>(0, 14)(rng);
  std::string count = std::to_string(entries + pct(rng) % 5 - 2);
  if (pct(rng) < 5) count = "0x" + std::to_string(entries);
  std::string out = "[NUSER]\r\n";
  if (pct(rng) < 95) out += "NO=" + count + "\r\n";
  out += "[LUSER]\r\n";
  std::vector<std::string> lines;
  for (int i = 1; i <= entries; ++i) {
    std::string key = std::to_string(i);
    if (pct(rng) < 5) key = "0" + key;
    if (pct(rng) < 5) key = " " + key + " ";
    lines.push_back(key + "=" + RandomEntry(rng) + "\r\n");
    if (pct(rng) < 5) lines.push_back(key + "=" + RandomEntry(rng) + "\r\n");
  }
  // Entries edited by hand need not stand in number order.
  if (pct(rng) < 15) std::shuffle(lines.begin(), lines.end(), rng);
  for (const std::string& line : lines) out += line;
  if (pct(rng) < 20) out += "[luser]\r\n1=Ann,SECOND00\r\n";
  out += "[DEFUSER]\r\nDefaultUser=Ann\r\n";
  return out;
}

class NameLookup : public ::testing::Test {
 protected:
  NameLookup() : app_(tree_.host()) {}
  ModuleHandle module() { return app_.handle(); }
  std::string registry() const { return tree_.registry(); }

  // Every name's entry number from the index, from the entry loop over
  // the same state, and, outside an update, from the index with nothing
  // kept parsed; also what each reported.
  void ExpectSameAnswers(const std::string& context, bool in_update = false) {
    std::vector<std::string> names = kNames;
    names.push_back("");
    names.push_back("nobody");
    for (const std::string& name : names) {
      const int indexed = DoesUserExist(module(), name.c_str());
      const std::vector<unsigned> checks = app_.TakeChecks();
      const int looped = LoopedLookup(registry(), name);
      ASSERT_EQ(indexed, looped) << context << " name [" << name << "]\n"
                                 << ReadFile(registry());
      if (in_update) continue;
      CacheSetting off(false);
      ASSERT_EQ(DoesUserExist(module(), name.c_str()), indexed)
          << context << " uncached, name [" << name << "]";
      ASSERT_EQ(app_.TakeChecks(), checks);
    }
  }

  AppTree tree_;
  InProcessApp app_;
};

}  // namespace

TEST_F(NameLookup, IndexAnswersAsTheEntryLoopThroughEveryKindOfChange) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pct(0, 99);
  WriteFile(registry(), RandomRegistry(rng));
  CacheSetting on(true);
  for (int step = 0; step < 150; ++step) {
    const int action = pct(rng);
    const int entry = std::uniform_int_distribution<int>(1, 16)(rng);
    if (action < 15) {
      WriteFile(registry(), RandomRegistry(rng));  // behind its back
    } else if (action < 55) {
      userprofile::WriteRegistry(registry(), userprofile::kUserSection,
                                 std::to_string(entry), RandomEntry(rng));
    } else if (action < 70) {
      userprofile::WriteRegistry(registry(), userprofile::kCountSection,
                                 userprofile::kCountKey,
                                 std::to_string(entry - 2));
    } else if (action < 80) {
      // Several changes in one update, read back before it ends.
      userprofile::RegistryUpdate update(registry());
      for (int i = 0; i < 5; ++i) {
        userprofile::WriteRegistry(registry(), userprofile::kUserSection,
                                   std::to_string(entry + i), RandomEntry(rng));
      }
      userprofile::RegisterUser(registry(), kNames[entry % kNames.size()],
                                "NEWDIR00");
      // A negative count refuses the new user (730) and writes nothing.
      app_.TakeChecks();
      ExpectSameAnswers("inside update, step " + std::to_string(step), true);
    } else if (action < 85) {
      // A key written as a header restructures the file.
      userprofile::WriteRegistry(registry(), userprofile::kUserSection, "[x]",
                                 "1");
    } else {
      SetDefaultUser(module(), kNames[entry % kNames.size()].c_str());
    }
    app_.TakeChecks();
    ExpectSameAnswers("step " + std::to_string(step));
    if (HasFatalFailure()) return;
  }
}

TEST_F(NameLookup, KeptRegistryAnswersAsTheEntryLoopLookupAfterLookup) {
  // Every name of the list twice over, in entries of their own and as
  // duplicates, read from one kept version of the file: lookups past the
  // first few go through the snapshot's index or its order of names.
  std::string registry = "[NUSER]\r\nNO=40\r\n[LUSER]\r\n";
  for (int i = 1; i <= 40; ++i) {
    registry += std::to_string(i) + "=" + kNames[(i * 7) % kNames.size()] +
                ",DIR" + std::to_string(10000 + i) + "\r\n";
  }
  WriteFile(this->registry(), registry);
  CacheSetting on(true);
  // Old enough for its stamp alone to vouch for it.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  for (int round = 0; round < 3; ++round) {
    ExpectSameAnswers("round " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
}

namespace {

// A damaged tree: invalid and empty entries to squeeze out, missing home
// directories and lock files, duplicate names, and sometimes no Default.
struct Damage {
  std::string registry;
  std::vector<std::string> dirs;   // home directories that exist
  std::vector<std::string> locks;  // of those, the ones with a lock file
};

Damage RandomDamage(std::mt19937& rng) {
  std::uniform_int_distribution<int> pct(0, 99);
  const std::vector<std::string> names = {"Ann", "ann",     "Bob",
                                          "Cy",  "Default", "Dee"};
  Damage d;
  const int entries = std::uniform_int_distribution<int>(3, 18)(rng);
  d.registry = "[NUSER]\r\nNO=" + std::to_string(entries) + "\r\n[LUSER]\r\n";
  for (int i = 1; i <= entries; ++i) {
    const std::string name = names[pct(rng) % names.size()];
    if (pct(rng) < 20) {
      d.registry += std::to_string(i) + "=" +
                    (pct(rng) < 50 ? "" : "x-y,BADNAME0") + "\r\n";
      continue;
    }
    if (name == "Default" && pct(rng) < 50) continue;
    const std::string dir = name.substr(0, 3) + std::to_string(10000 + i);
    d.registry += std::to_string(i) + "=" + name + "," + dir + "\r\n";
    if (pct(rng) < 75) {
      d.dirs.push_back(dir);
      if (pct(rng) < 60) d.locks.push_back(dir);
    }
  }
  d.registry +=
      "[DEFUSER]\r\nDefaultUser=" + names[pct(rng) % names.size()] + "\r\n";
  return d;
}

void Plant(const AppTree& tree, const Damage& d) {
  WriteFile(tree.registry(), d.registry);
  MakeDirs(tree.users());
  for (const std::string& dir : d.dirs) MakeDirs(tree.Home(dir));
  for (const std::string& dir : d.locks)
    WriteFile(tree.Home(dir) + "/IKIVO.SMP", "");
}

// Every path below the tree's users root and the registry's bytes.
std::map<std::string, std::string> Outcome(const AppTree& tree) {
  std::map<std::string, std::string> state;
  for (const auto& e : fs::recursive_directory_iterator(tree.users())) {
    state[e.path().string().substr(tree.root().size())] =
        e.is_directory() ? "<dir>" : ReadFile(e.path().string());
  }
  state["registry"] = ReadFile(tree.registry());
  return state;
}

}  // namespace

TEST(RepairWithCache, LeavesTheSameTreeAsReadingEveryKeyAnew) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 6; ++round) {
    const Damage damage = RandomDamage(rng);
    std::map<std::string, std::string> outcome[2];
    std::vector<std::string> messages[2];
    for (int cached = 0; cached < 2; ++cached) {
      AppTree tree("APP/PROG");
      Plant(tree, damage);
      InProcessApp app(tree.host());
      CacheSetting setting(cached == 1);
      VerifyUserProfiles(app.handle());
      // The lookups after the repair read its result too.
      char dir[USERPROFILE_PATH_SIZE];
      for (const char* name : {"Ann", "Bob", "Default", "Dee"}) {
        GetDirForUser(app.handle(), name, dir);
        std::string path = dir;
        if (path.rfind(tree.root(), 0) == 0) path.erase(0, tree.root().size());
        messages[cached].push_back(std::string(name) + " " + path);
      }
      for (const std::string& m : app.TakeMessages())
        messages[cached].push_back(m);
      outcome[cached] = Outcome(tree);
    }
    ASSERT_EQ(outcome[1], outcome[0]) << "round " << round << "\n"
                                      << damage.registry;
    ASSERT_EQ(messages[1], messages[0]) << "round " << round;
  }
}

// A repair killed between its renumbering writes (possible without the
// cache, which writes each one at once) leaves copies of moved entries
// below the count; the next repair squeezes them out like invalid ones.
TEST(RepairWithCache, CopiesOfKeptEntriesAreSqueezedOut) {
  for (bool cached : {true, false}) {
    SCOPED_TRACE(cached ? "profile cache on" : "profile cache off");
    AppTree tree("APP/PROG");
    WriteFile(tree.registry(),
              "[NUSER]\r\nNO=5\r\n[LUSER]\r\n1=Default,Default0\r\n"
              "2=ann,ann00000\r\n3=bob,bob00000\r\n4=ann,ann00000\r\n"
              "5=cy,cy000000\r\n[DEFUSER]\r\nDefaultUser=Default\r\n");
    for (const char* dir : {"Default0", "ann00000", "bob00000", "cy000000"}) {
      MakeDirs(tree.Home(dir));
      WriteFile(tree.Home(dir) + "/IKIVO.SMP", "");
    }
    InProcessApp app(tree.host());
    CacheSetting setting(cached);
    VerifyUserProfiles(app.handle());
    EXPECT_EQ(ReadFile(tree.registry()),
              "[NUSER]\r\nNO=4\r\n[LUSER]\r\n1=Default,Default0\r\n"
              "2=ann,ann00000\r\n3=bob,bob00000\r\n4=cy,cy000000\r\n"
              "[DEFUSER]\r\nDefaultUser=Default\r\n");
    EXPECT_EQ(DoesUserExist(app.handle(), "cy"), 4);
    EXPECT_EQ(app.TakeMessages(), std::vector<std::string>{});
  }
}
