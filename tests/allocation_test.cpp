// Home directory names, the users root, and the allocation of unique home
// directories on a real file system.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "homedir/homedir.h"
#include "support/behaviour.h"

using namespace testing_support;

namespace {

using Checks_ = std::vector<unsigned>;

// GetProperHomeDirName through the caller's buffers: the name buffer as
// it stands afterwards and the 8-character result.
struct Derived {
  std::string name;
  std::string name8;
  bool out_overrun = false;
};

Derived Derive(const std::string& name) {
  char buffer[64];
  std::fill(std::begin(buffer), std::end(buffer), '#');
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = '\0';
  char out[16];
  std::fill(std::begin(out), std::end(out), '#');
  GetProperHomeDirName(buffer, out);
  Derived d{buffer, std::string(out, strnlen(out, sizeof out))};
  d.out_overrun =
      std::any_of(out + 9, std::end(out), [](char c) { return c != '#'; }) ||
      std::any_of(buffer + name.size() + 1, std::end(buffer),
                  [](char c) { return c != '#'; });
  return d;
}

class HomeDirName : public AppTest {};

TEST_F(HomeDirName, ExamplesGiveTheirEightCharacterNames) {
  EXPECT_EQ(Derive("Ann Lee").name8, "AnnLee00");
  EXPECT_EQ(Derive("Default").name8, "Default0");
  EXPECT_EQ(Derive("Christopher Robin").name8, "Christop");
  EXPECT_EQ(Derive("Al").name8, "Al000000");
  EXPECT_EQ(Derive("J K L M N O P Q R").name8, "JKLMNOPQ");
  EXPECT_EQ(Derive("ann lee").name8, "annlee00");
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(HomeDirName, WritesNineBytesAndNeverGrowsTheName) {
  EXPECT_FALSE(Derive("Christopher Robin").out_overrun);
  EXPECT_FALSE(Derive("  Al  ").out_overrun);
  EXPECT_FALSE(Derive("").out_overrun);
}

TEST_F(HomeDirName, TrimsCallersNameInPlaceAndReports) {
  Derived d = Derive("  Ann Lee ");
  EXPECT_EQ(d.name, "Ann Lee");
  EXPECT_EQ(d.name8, "AnnLee00");
  EXPECT_EQ(Checks(), Checks_{369});
}

TEST_F(HomeDirName, OnlyTheSpaceCharacterIsTrimmed) {
  Derived d = Derive("\tAnn\t");
  EXPECT_EQ(d.name, "\tAnn\t");
  EXPECT_EQ(d.name8, "\tAnn\t000");
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(HomeDirName, EmptyNameGivesZerosAfterTwoReports) {
  EXPECT_EQ(Derive("").name8, "00000000");
  EXPECT_EQ(Checks(), (Checks_{366, 383}));
}

TEST_F(HomeDirName, SpacesOnlyAreTrimmedAwayAndReported) {
  Derived d = Derive("   ");
  EXPECT_EQ(d.name, "");
  EXPECT_EQ(d.name8, "00000000");
  EXPECT_EQ(Checks(), (Checks_{369, 383}));
}

TEST_F(HomeDirName, NullNameIsReportedAndOutputUntouched) {
  char out[9] = "(same)";
  GetProperHomeDirName(nullptr, out);
  EXPECT_STREQ(out, "(same)");
  EXPECT_EQ(Checks(), Checks_{365});
}

// The users root of a module path; the file system is not consulted.
struct Root {
  std::optional<std::string> path;
  Checks_ checks;
};

Root RootOf(const std::string& module_path, bool null_module = false,
            bool output = true) {
  InProcessApp app(NativePath(module_path));
  Root r;
  r.path =
      userprofile::UsersRootPath(null_module ? nullptr : app.handle(), output);
  r.checks = app.TakeChecks();
  return r;
}

TEST(UsersRoot, IsTheSiblingOfTheModulesDirectory) {
  Root r = RootOf("/X/APP/PROG/MAIN");
  EXPECT_EQ(r.path, NativePath("/X/APP/USER"));
  EXPECT_EQ(r.checks, Checks_{});
  EXPECT_EQ(RootOf("/X/A/B/C/MAIN").path, NativePath("/X/A/B/USER"));
  EXPECT_EQ(RootOf("/APP/PROG/MAIN.EXE").path, NativePath("/APP/USER"));
}

TEST(UsersRoot, ModuleOneLevelDownReportsAndUsesTheTop) {
  Root r = RootOf("/APP/MAIN");
  EXPECT_EQ(r.path, NativePath("/USER"));
  EXPECT_EQ(r.checks, Checks_{263});
}

TEST(UsersRoot, ModuleInTheTopDirectoryReportsAndUsesTheTop) {
  Root r = RootOf("/MAIN");
  EXPECT_EQ(r.path, NativePath("/USER"));
  EXPECT_EQ(r.checks, Checks_{263});
}

TEST(UsersRoot, NullModuleOrMissingOutputIsReported) {
  Root r = RootOf("/X/APP/PROG/MAIN", /*null_module=*/true);
  EXPECT_EQ(r.path, NativePath("/X/APP/USER"));
  EXPECT_EQ(r.checks, Checks_{244});
  r = RootOf("/X/APP/PROG/MAIN", false, /*output=*/false);
  EXPECT_EQ(r.path, std::nullopt);
  EXPECT_EQ(r.checks, Checks_{245});
}

TEST(UsersRoot, RootLongerThanAPathIsRefusedNotCut) {
  // Module 127 characters, its users root one more (a drive, where paths
  // have one, counts).
  const std::size_t drive = NativePath("/").size() - 1;
  const std::string top = "/" + std::string(122 - drive, 'a');
  Root r = RootOf(top + "/P/M");
  EXPECT_EQ(r.path, std::nullopt);
  EXPECT_EQ(r.checks, Checks_{264});
  Root fits = RootOf(top.substr(0, top.size() - 1) + "/P/M");
  EXPECT_EQ(fits.path, NativePath(top.substr(0, top.size() - 1) + "/USER"));
  EXPECT_EQ(fits.checks, Checks_{});
}

class Allocation : public AppTest {
 protected:
  std::string base() const { return tree_.users(); }
  std::string Allocate(std::string name) {
    return userprofile::AllocateHomeDir(base(), name).value_or("");
  }
  std::vector<std::string> Existing() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(base())) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(Allocation, TakenNameMovesToOne) {
  MakeDirs(Home("AnnLee00"));
  EXPECT_EQ(Allocate("Ann Lee"), "AnnLee01");
  EXPECT_TRUE(IsDir(Home("AnnLee01")));
}

TEST_F(Allocation, TenTakenMoveTheSecondLastPosition) {
  for (char d = '0'; d <= '9'; ++d) MakeDirs(Home(std::string("AnnLee0") + d));
  EXPECT_EQ(Allocate("Ann Lee"), "AnnLee19");
}

TEST_F(Allocation, EveryCandidateIsTriedInOrderOnce) {
  const std::vector<std::string> series = CandidateSeries("SMITHJOH", 0);
  ASSERT_EQ(series.size(), 73u);
  EXPECT_EQ(series[11], "SMITHJ19");
  EXPECT_EQ(series.back(), "89999999");
  std::vector<std::string> got;
  for (std::size_t i = 0; i < series.size(); ++i)
    got.push_back(Allocate("SMITH JOHN"));
  EXPECT_EQ(got, series);
  EXPECT_FALSE(IsDir(Home("99999999")));
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(Allocation, FallbackSeriesFollowsAndItsEndCreatesNothing) {
  const std::vector<std::string> main_series = CandidateSeries("SMITHJOH", 0);
  std::vector<std::string> expected = main_series;
  for (const std::string& name : CandidateSeries("USERPROF", 1)) {
    if (std::find(expected.begin(), expected.end(), name) == expected.end()) {
      expected.push_back(name);
    }
  }
  ASSERT_EQ(expected[73], "USERPROF");
  ASSERT_EQ(expected[74], "USERPRO1");
  ASSERT_EQ(expected.size(), 137u);
  std::vector<std::string> got;
  for (std::size_t i = 0; i < expected.size(); ++i)
    got.push_back(Allocate("SMITHJOH"));
  EXPECT_EQ(got, expected);
  EXPECT_EQ(Checks(), Checks_{});

  const auto before = TreeState(tree_.root());
  EXPECT_EQ(Allocate("SMITHJOH"), "");
  EXPECT_EQ(Checks(), Checks_{411});
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(Allocation, LetterCaseIsKeptAndDistinguished) {
  EXPECT_EQ(Allocate("ann lee"), "annlee00");
#ifdef _WIN32
  // Windows matches file names without regard to case: the name is taken.
  EXPECT_EQ(Allocate("Ann Lee"), "AnnLee01");
  EXPECT_EQ(Existing(), (std::vector<std::string>{"AnnLee01", "annlee00"}));
#else
  EXPECT_EQ(Allocate("Ann Lee"), "AnnLee00");
  EXPECT_EQ(Existing(), (std::vector<std::string>{"AnnLee00", "annlee00"}));
#endif
}

// A Windows host's name is code page 1252: its home field keeps 8 bytes
// (8 characters), and the directory is those characters as the system
// stores them, which is UTF-8 on POSIX, as Wine and Samba store them.
TEST_F(Allocation, Cp1252NameKeepsEightByteFieldAndNamesItsCharacters) {
  EXPECT_EQ(Allocate("J\xFCrgen Gro\xDF"), "J\xFCrgenGr");
#ifndef _WIN32
  EXPECT_EQ(Existing(), std::vector<std::string>{"J\xC3\xBCrgenGr"});
#endif
  // The directory of the field's characters takes the field.
  EXPECT_EQ(Allocate("J\xFCrgen Gro\xDF"), "J\xFCrgenG0");
}

// Where the field's own bytes name a directory (a tree one kind of host
// made), that one stays the home; otherwise the field's characters do.
TEST_F(Allocation, HomeUnderTheFieldsOwnBytesWins) {
  MakeDirs(base());
  const std::string utf8_field = "Ren\xC3\xA9""Dup";  // 8 bytes of UTF-8
#ifdef _WIN32
  EXPECT_EQ(userprofile::HomeDirOnDisk(base(), utf8_field), "Ren\xE9""Dup");
#else
  EXPECT_EQ(userprofile::HomeDirOnDisk(base(), "Ren\xE9""Dupo"),
            "Ren\xC3\xA9""Dupo");
  MakeDirs(Home("Ren\xE9""Dupo"));
  EXPECT_EQ(userprofile::HomeDirOnDisk(base(), "Ren\xE9""Dupo"),
            "Ren\xE9""Dupo");
  EXPECT_EQ(userprofile::HomeDirOnDisk(base(), utf8_field), utf8_field);
#endif
  MakeDirs(Home("Ren\xC3\xA9""Dup"));  // the UTF-8 field read as 1252
  EXPECT_EQ(userprofile::HomeDirOnDisk(base(), utf8_field), utf8_field);
}

TEST_F(Allocation, NameIsTrimmedInPlace) {
  std::string name = "  Bo ";
  EXPECT_EQ(userprofile::AllocateHomeDir(base(), name), "Bo000000");
  EXPECT_EQ(name, "Bo");
  EXPECT_EQ(Checks(), Checks_{369});
}

TEST_F(Allocation, MissingBaseIsCreatedOneLevel) {
  ASSERT_FALSE(IsDir(base()));
  EXPECT_EQ(Allocate("Bo"), "Bo000000");
  EXPECT_TRUE(IsDir(Home("Bo000000")));
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(Allocation, BaseWithoutParentIsReportedAndNameStillGiven) {
  std::string name = "Bo";
  const std::string base = tree_.root() + kSep + NativePath("NONE/DATA");
  EXPECT_EQ(userprofile::AllocateHomeDir(base, name), "Bo000000");
  EXPECT_EQ(Checks(), Checks_{408});
  EXPECT_FALSE(IsDir(tree_.root() + kSep + "NONE"));
}

TEST_F(Allocation, NameReachingElsewhereIsRefusedAndNothingCreated) {
  const auto before = TreeState(tree_.root());
  EXPECT_EQ(Allocate("a/b"), "");
  EXPECT_EQ(Allocate("/etc"), "");
  EXPECT_EQ(Checks(), (Checks_{410, 410}));
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(Allocation, BaseTooLongForAPathIsRefused) {
  // The base, a separator and eight characters must fit 127.
  std::string fits = tree_.root() + kSep;
  fits += std::string(118 - fits.size(), 'b');
  std::string name = "Bo";
  EXPECT_EQ(userprofile::AllocateHomeDir(fits, name), "Bo000000");
  EXPECT_TRUE(IsDir(fits + kSep + "Bo000000"));
  EXPECT_EQ(Checks(), Checks_{});
  const std::string too_long = fits + "c";
  const auto before = TreeState(tree_.root());
  EXPECT_FALSE(userprofile::AllocateHomeDir(too_long, name));
  EXPECT_EQ(Checks(), Checks_{409});
  EXPECT_EQ(TreeState(tree_.root()), before);
}

TEST_F(Allocation, CurrentDirectoryIsNeverMoved) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(tree_.root());
  MakeDirs(Home("AnnLee00"));
  MakeDirs(Home("AnnLee01"));
  std::string allocated = Allocate("Ann Lee");
  const std::filesystem::path after = std::filesystem::current_path();
  std::filesystem::current_path(previous);
  EXPECT_EQ(allocated, "AnnLee02");
  EXPECT_EQ(after, std::filesystem::path(tree_.root()));
}

// Another process creates the candidate between the test and the
// creation: the loser must search on, or two users would share a home.
class RivalTakesFirstCandidate : public userprofile::PlatformWrapper {
 public:
  RivalTakesFirstCandidate(userprofile::Platform& target, std::string path)
      : PlatformWrapper(target), target_(target), path_(std::move(path)) {}
  userprofile::Status MakeDirectory(const std::string& path) override {
    if (path == path_ && !raced_) {
      raced_ = true;
      static_cast<void>(target_.MakeDirectory(path));
    }
    return PlatformWrapper::MakeDirectory(path);
  }

 private:
  userprofile::Platform& target_;
  std::string path_;
  bool raced_ = false;
};

TEST_F(Allocation, LoserOfACreationRaceSearchesOn) {
  MakeDirs(base());
  RivalTakesFirstCandidate rival(userprofile::Sys(), Home("AnnLee00"));
  ScopedPlatform scope(rival);
  EXPECT_EQ(Allocate("Ann Lee"), "AnnLee01");
  EXPECT_EQ(Existing(), (std::vector<std::string>{"AnnLee00", "AnnLee01"}));
  EXPECT_EQ(Checks(), Checks_{});
}

TEST_F(Allocation, ConcurrentProcessesGetDistinctHomes) {
  const std::string data = tree_.root() + kSep + "DATA";
  MakeDirs(data);
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < 6; ++i) {
    children.push_back(std::make_unique<Child>(
        tree_.HostArgv({"createex", data,
                        data + kSep + "R" + std::to_string(i) + ".INI", "1", "Bo"})));
  }
  std::vector<std::string> outs;
  for (auto& child : children) {
    std::optional<std::string> line = child->ReadLine();
    EXPECT_EQ(child->Wait(), 0);
    EXPECT_EQ(ChecksIn(child->err()), Checks_{});
    outs.push_back(line.value_or(""));
  }
  std::sort(outs.begin(), outs.end());
  EXPECT_EQ(std::unique(outs.begin(), outs.end()), outs.end());
  std::vector<std::string> dirs;
  for (const auto& e : std::filesystem::directory_iterator(data)) {
    if (e.is_directory()) dirs.push_back(e.path().filename().string());
  }
  EXPECT_EQ(dirs.size(), 6u);
}

// Whole multi-byte characters that fill the eight bytes exactly are all
// kept: the last one fits, so no digit takes its place.
TEST(Utf8HomeDirName, WholeCharactersFillingEightBytesAreAllKept) {
  if (!userprofile::kUtf8Names) GTEST_SKIP() << "names are not UTF-8 here";
  const std::string four_of_two = "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F";
  EXPECT_EQ(Derive(four_of_two).name8, four_of_two);
  const std::string two_of_four = "\xF0\x9F\x98\x80\xF0\x9F\x98\x81";
  EXPECT_EQ(Derive(two_of_four + "x").name8, two_of_four);
}

}  // namespace
