// The platform's contract, checked against the real services of this
// build (POSIX or Windows) on real files in a temporary tree. Every
// expectation here holds on both, so the two layers stay interchangeable.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "registry/profile_store.h"
#include "support/profile_reads.h"
#include "support/apptree.h"

using testing_support::Exists;
using testing_support::IsDir;
using testing_support::ReadFile;
using testing_support::TempTree;
using testing_support::WriteFile;
using userprofile::Failure;
using userprofile::kFailedLock;
using userprofile::LockHandle;
using userprofile::NativePlatform;
using userprofile::Platform;

namespace {

Platform& Sys() { return NativePlatform(); }

class PlatformFiles : public ::testing::Test {
 protected:
  std::string Ini() const { return tree_.At({"USER.INI"}); }
  TempTree tree_;
};

}  // namespace

// --- Profile reads --------------------------------------------------------

TEST_F(PlatformFiles, ReadFindsNamesWithoutRegardToCase) {
  WriteFile(Ini(), "[LUSER]\r\n1=Ann Lee,AnnLee00\r\n[DEFUSER]\r\n"
                    "DefaultUser=Ann Lee\r\n");
  EXPECT_EQ(userprofile::ReadProfileString("luser", "1", 162, Ini()),
            "Ann Lee,AnnLee00");
  EXPECT_EQ(userprofile::ReadProfileString("DefUser", "defaultuser", 33, Ini()),
            "Ann Lee");
}

TEST_F(PlatformFiles, ReadTrimsBlanksAndOneQuotePair) {
  WriteFile(Ini(), "[ S ]\r\n  k  =  v v  \r\n\tt\t=\tw\t\r\nq= \" x \" \r\n"
                    "h=\"v'\r\n");
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", 162, Ini()), "v v");
  EXPECT_EQ(userprofile::ReadProfileString("S", "t", 162, Ini()), "w");
  EXPECT_EQ(userprofile::ReadProfileString("S", "q", 162, Ini()), " x ");
  EXPECT_EQ(userprofile::ReadProfileString("S", "h", 162, Ini()), "\"v'");
}

TEST_F(PlatformFiles, ReadTakesFirstKeyAndFirstSectionOnly) {
  WriteFile(Ini(), "[S]\r\nk=first\r\nk=second\r\n[T]\r\nx=1\r\n[S]\r\n"
                    "j=later\r\n");
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", 162, Ini()), "first");
  EXPECT_EQ(userprofile::ReadProfileString("S", "j", 162, Ini()), "");
}

TEST_F(PlatformFiles, ReadAcceptsEveryLineEnding) {
  WriteFile(Ini(), "[S]\nk=lf\rj=cr\r\ni=crlf");
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", 162, Ini()), "lf");
  EXPECT_EQ(userprofile::ReadProfileString("S", "j", 162, Ini()), "cr");
  EXPECT_EQ(userprofile::ReadProfileString("S", "i", 162, Ini()), "crlf");
}

TEST_F(PlatformFiles, ReadCutsToSizeMinusOne) {
  const std::string value(36, 'x');
  WriteFile(Ini(), "[DEFUSER]\r\nDefaultUser=" + value + "\r\n");
  EXPECT_EQ(userprofile::ReadProfileString("DEFUSER", "DefaultUser", 33, Ini()),
            std::string(32, 'x'));
  EXPECT_EQ(userprofile::ReadProfileString("DEFUSER", "DefaultUser", 1, Ini()), "");
}

TEST_F(PlatformFiles, ReadKeepsHighBytesAndLongLines) {
  const std::string long_value(1500, 'a');
  WriteFile(Ini(), "[S]\r\nn=Ren\xE9\r\nlong=" + long_value + "\r\nnext=1\r\n");
  EXPECT_EQ(userprofile::ReadProfileString("S", "n", 162, Ini()), "Ren\xE9");
  EXPECT_EQ(userprofile::ReadProfileString("S", "long", 4096, Ini()), long_value);
  EXPECT_EQ(userprofile::ReadProfileString("S", "next", 162, Ini()), "1");
}

TEST_F(PlatformFiles, ReadOfMissingFileSectionOrKeyIsEmpty) {
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", 162, Ini()), "");
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", 162, tree_.At({"no", "x.ini"})),
            "");
  WriteFile(Ini(), "[S]\r\nk\r\nj=1\r\n");
  EXPECT_EQ(userprofile::ReadProfileString("T", "j", 162, Ini()), "");
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", 162, Ini()), "");
}

TEST_F(PlatformFiles, ReadIntFollowsTheServiceArithmetic) {
  WriteFile(Ini(), "[S]\r\na=12abc\r\nb=-12\r\nc=0x1F\r\nd=4294967296\r\n"
                    "e=99999999999\r\nf=\"12\"\r\ng=\r\nh=010\r\ni=--5\r\n");
  EXPECT_EQ(userprofile::ReadProfileInt("S", "a", 0, Ini()), 12u);
  EXPECT_EQ(static_cast<int>(userprofile::ReadProfileInt("S", "b", 0, Ini())), -12);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "c", 0, Ini()), 31u);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "d", 0, Ini()), 0u);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "e", 0, Ini()), 1215752191u);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "f", 0, Ini()), 12u);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "g", 7, Ini()), 7u);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "h", 0, Ini()), 10u);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "i", 0, Ini()), 0u);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "missing", 5, Ini()), 5u);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "a", 3, tree_.At({"none.ini"})), 3u);
}

// --- Profile writes -------------------------------------------------------

TEST_F(PlatformFiles, WritesFromEmptyGiveTheRegistryLayout) {
  ASSERT_TRUE(userprofile::WriteProfileValue("NUSER", "NO", "1", Ini()));
  EXPECT_EQ(ReadFile(Ini()), "[NUSER]\r\nNO=1\r\n");
  ASSERT_TRUE(userprofile::WriteProfileValue("LUSER", "1", "Ann Lee,AnnLee00", Ini()));
  ASSERT_TRUE(userprofile::WriteProfileValue("DEFUSER", "DefaultUser", "Ann Lee", Ini()));
  ASSERT_TRUE(userprofile::WriteProfileValue("NUSER", "NO", "2", Ini()));
  ASSERT_TRUE(userprofile::WriteProfileValue("LUSER", "2", "Bob,Bob00000", Ini()));
  EXPECT_EQ(ReadFile(Ini()),
            "[NUSER]\r\nNO=2\r\n[LUSER]\r\n1=Ann Lee,AnnLee00\r\n"
            "2=Bob,Bob00000\r\n[DEFUSER]\r\nDefaultUser=Ann Lee\r\n");
}

TEST_F(PlatformFiles, WriteReplacesFirstKeyKeepingItsSpelling) {
  WriteFile(Ini(), "[LUSER]\r\nKey=1\r\nKEY=x\r\n[NUSER]\r\nNO=1\r\n");
  ASSERT_TRUE(userprofile::WriteProfileValue("luser", "key", "2", Ini()));
  EXPECT_EQ(ReadFile(Ini()),
            "[LUSER]\r\nKey=2\r\nKEY=x\r\n[NUSER]\r\nNO=1\r\n");
}

TEST_F(PlatformFiles, WriteAddsKeyAtEndOfItsSection) {
  WriteFile(Ini(), "[A]\r\nk=1\r\n[B]\r\nj=2\r\n");
  ASSERT_TRUE(userprofile::WriteProfileValue("A", "new", "n", Ini()));
  EXPECT_EQ(ReadFile(Ini()), "[A]\r\nk=1\r\nnew=n\r\n[B]\r\nj=2\r\n");
}

TEST_F(PlatformFiles, WriteAppendsSectionAfterUnterminatedLastLine) {
  WriteFile(Ini(), "[A]\r\nk=1");
  ASSERT_TRUE(userprofile::WriteProfileValue("B", "j", "2", Ini()));
  EXPECT_EQ(ReadFile(Ini()), "[A]\r\nk=1\r\n[B]\r\nj=2\r\n");
}

TEST_F(PlatformFiles, WriteKeepsHighBytesQuotesAndEmptyValues) {
  ASSERT_TRUE(userprofile::WriteProfileValue("S", "n", "Jos\xE9 \"q\"", Ini()));
  ASSERT_TRUE(userprofile::WriteProfileValue("S", "e", "", Ini()));
  EXPECT_EQ(ReadFile(Ini()), "[S]\r\nn=Jos\xE9 \"q\"\r\ne=\r\n");
}

TEST_F(PlatformFiles, WriteRefusesLineBreaksAndLeavesFileAlone) {
  const std::string before = "[LUSER]\r\n1=Ann Lee,AnnLee00\r\n";
  WriteFile(Ini(), before);
  using namespace std::string_view_literals;
  EXPECT_FALSE(userprofile::WriteProfileValue("LUSER", "2", "a\r\nb=c", Ini()));
  EXPECT_FALSE(userprofile::WriteProfileValue("LUSER", "2", "a\nb", Ini()));
  EXPECT_FALSE(userprofile::WriteProfileValue("LUSER", "2", "a\rb", Ini()));
  EXPECT_FALSE(userprofile::WriteProfileValue("LUSER", "2", "a\0b"sv, Ini()));
  EXPECT_FALSE(userprofile::WriteProfileValue("LUSER", "2\r\n[X]", "v", Ini()));
  EXPECT_FALSE(userprofile::WriteProfileValue("L\nUSER", "2", "v", Ini()));
  EXPECT_EQ(ReadFile(Ini()), before);
}

TEST_F(PlatformFiles, WriteIntoMissingDirectoryFailsAndCreatesNothing) {
  const std::string dir = tree_.At({"nodir"});
  EXPECT_FALSE(userprofile::WriteProfileValue("S", "k", "v",
                                        tree_.At({"nodir", "USER.INI"})));
  EXPECT_FALSE(Exists(dir));
}

TEST_F(PlatformFiles, WrittenValueReadsBack) {
  ASSERT_TRUE(userprofile::WriteProfileValue("DEFUSER", "DefaultUser", "R2 D2", Ini()));
  EXPECT_EQ(userprofile::ReadProfileString("defuser", "DEFAULTUSER", 33, Ini()),
            "R2 D2");
}

// --- Directories and files ------------------------------------------------

TEST_F(PlatformFiles, MakeDirectoryCreatesOneLevelOnly) {
  const std::string dir = tree_.At({"USER"});
  EXPECT_TRUE(Sys().MakeDirectory(dir));
  EXPECT_TRUE(IsDir(dir));
  EXPECT_FALSE(Sys().MakeDirectory(dir)) << "an existing directory";
  EXPECT_FALSE(Sys().MakeDirectory(tree_.At({"a", "b"}))) << "missing parent";
  EXPECT_FALSE(Exists(tree_.At({"a"})));
}

TEST_F(PlatformFiles, EnterableDirectoryIsOnlyADirectory) {
  const std::string dir = tree_.At({"USER"});
  ASSERT_TRUE(Sys().MakeDirectory(dir));
  WriteFile(tree_.At({"file"}), "x");
  EXPECT_TRUE(Sys().IsEnterableDirectory(dir));
  EXPECT_TRUE(Sys().IsEnterableDirectory(dir + userprofile::kSeparator));
  EXPECT_FALSE(Sys().IsEnterableDirectory(tree_.At({"file"})));
  EXPECT_FALSE(Sys().IsEnterableDirectory(tree_.At({"missing"})));
  EXPECT_FALSE(Sys().IsEnterableDirectory(""));
}

TEST_F(PlatformFiles, EnterableDirectoryTakesWildcardsLiterally) {
  ASSERT_TRUE(Sys().MakeDirectory(tree_.At({"AnnLee00"})));
  EXPECT_FALSE(Sys().IsEnterableDirectory(tree_.At({"AnnLee0?"})));
  EXPECT_FALSE(Sys().IsEnterableDirectory(tree_.At({"Ann*"})));
}

TEST_F(PlatformFiles, EnterableDirectoryProbeKeepsCurrentDirectory) {
  ASSERT_TRUE(Sys().MakeDirectory(tree_.At({"USER"})));
  const auto before = std::filesystem::current_path();
  EXPECT_TRUE(Sys().IsEnterableDirectory(tree_.At({"USER"})));
  EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST_F(PlatformFiles, NormalFileIsNeitherDirectoryNorPattern) {
  WriteFile(tree_.At({"IKIVO.SMP"}), "");
  ASSERT_TRUE(Sys().MakeDirectory(tree_.At({"dir"})));
  EXPECT_TRUE(Sys().IsNormalFile(tree_.At({"IKIVO.SMP"})));
  EXPECT_FALSE(Sys().IsNormalFile(tree_.At({"dir"})));
  EXPECT_FALSE(Sys().IsNormalFile(tree_.At({"IKIVO.SM?"})));
  EXPECT_FALSE(Sys().IsNormalFile(tree_.At({"*"})));
  EXPECT_FALSE(Sys().IsNormalFile(tree_.At({"missing"})));
}

TEST_F(PlatformFiles, CreateIfAbsentNeverTruncates) {
  EXPECT_TRUE(Sys().CreateFileIfAbsent(Ini()).ok());
  EXPECT_EQ(ReadFile(Ini()), "");
  WriteFile(Ini(), "[NUSER]\r\nNO=1\r\n");
  EXPECT_EQ(Sys().CreateFileIfAbsent(Ini()).kind(), Failure::kExists);
  EXPECT_EQ(ReadFile(Ini()), "[NUSER]\r\nNO=1\r\n");
  const userprofile::Status missing =
      Sys().CreateFileIfAbsent(tree_.At({"no", "USER.INI"}));
  EXPECT_FALSE(missing.ok());
  EXPECT_NE(missing.kind(), Failure::kExists);
  EXPECT_NE(missing.text().find(tree_.At({"no", "USER.INI"})), std::string::npos)
      << "the cause names the file: " << missing.text();
}

TEST_F(PlatformFiles, CreateEmptyFileCreatesOrTruncates) {
  const std::string lock = tree_.At({"IKIVO.SMP"});
  EXPECT_TRUE(Sys().CreateEmptyFile(lock));
  EXPECT_TRUE(Sys().IsNormalFile(lock));
  WriteFile(lock, "stale");
  EXPECT_TRUE(Sys().CreateEmptyFile(lock));
  EXPECT_EQ(ReadFile(lock), "");
  EXPECT_FALSE(Sys().CreateEmptyFile(tree_.At({"no", "IKIVO.SMP"})));
}

// --- The exclusive open ---------------------------------------------------

TEST_F(PlatformFiles, ExclusiveOpenRefusesSecondOpenUntilClosed) {
  const std::string lock = tree_.At({"IKIVO.SMP"});
  WriteFile(lock, "");
  LockHandle first = Sys().OpenExclusive(lock);
  ASSERT_NE(first, kFailedLock);
  ASSERT_NE(first, userprofile::kNoLock);
  EXPECT_EQ(Sys().OpenExclusive(lock), kFailedLock) << "same process";
  Sys().CloseExclusive(first);
  LockHandle again = Sys().OpenExclusive(lock);
  EXPECT_NE(again, kFailedLock);
  Sys().CloseExclusive(again);
}

TEST_F(PlatformFiles, HeldFileIsNeitherTruncatedNorReplaced) {
  const std::string lock = tree_.At({"IKIVO.SMP"});
  WriteFile(lock, "held");
  LockHandle held = Sys().OpenExclusive(lock);
  ASSERT_NE(held, kFailedLock);
  EXPECT_FALSE(Sys().CreateEmptyFile(lock));
  EXPECT_TRUE(Sys().IsNormalFile(lock)) << "a held lock is still present";
  Sys().CloseExclusive(held);
  EXPECT_EQ(ReadFile(lock), "held");
  // No stand-in file appeared beside it.
  EXPECT_FALSE(Exists(tree_.At({"IKIVO.SM_"})));
}

// A sign-in's note goes through the held handle and replaces a longer,
// stale one whole; an empty note empties the file.
TEST_F(PlatformFiles, HeldFileTakesItsNoteThroughTheHandle) {
  const std::string lock = tree_.At({"IKIVO.SMP"});
  WriteFile(lock, "a stale note of a host that died");
  LockHandle held = Sys().OpenExclusive(lock);
  ASSERT_NE(held, kFailedLock);
  EXPECT_TRUE(Sys().WriteHeldLockFile(held, "pid 42"));
  Sys().CloseExclusive(held);
  EXPECT_EQ(ReadFile(lock), "pid 42");
  held = Sys().OpenExclusive(lock);
  ASSERT_NE(held, kFailedLock);
  EXPECT_TRUE(Sys().WriteHeldLockFile(held, ""));
  Sys().CloseExclusive(held);
  EXPECT_EQ(ReadFile(lock), "");
}

TEST_F(PlatformFiles, ExclusiveOpenNeedsAnExistingFile) {
  EXPECT_EQ(Sys().OpenExclusive(tree_.At({"IKIVO.SMP"})), kFailedLock);
  ASSERT_TRUE(Sys().MakeDirectory(tree_.At({"dir"})));
  EXPECT_EQ(Sys().OpenExclusive(tree_.At({"dir"})), kFailedLock);
  EXPECT_FALSE(Exists(tree_.At({"IKIVO.SM_"})));
  EXPECT_FALSE(Exists(tree_.At({"dir._"})));
}

TEST_F(PlatformFiles, ClosingNothingIsHarmless) {
  Sys().CloseExclusive(userprofile::kNoLock);
  Sys().CloseExclusive(kFailedLock);
}

// --- Names, modes, modules ------------------------------------------------

TEST(PlatformNames, EqualWithoutRegardToCase) {
  for (auto [a, b] : std::vector<std::pair<const char*, const char*>>{
           {"Ann Lee", "ANN LEE"}, {"Default", "default"}, {"a\tb", "A\tB"},
           {"", ""}, {"\xE9", "\xC9"}, {"Ren\xE9", "REN\xC9"},
           {"\xD0", "\xF0"}, {"\x8A", "\x9A"}, {"\xFF", "\x9F"},
           {"\xDF", "ss"}, {"\xDF", "SS"}, {"\xE6", "ae"}, {"\xC6", "AE"},
           {"\x8C", "OE"}, {"\x9C", "oe"}}) {
    EXPECT_TRUE(Sys().NamesEqual(a, b)) << a << " / " << b;
  }
}

TEST(PlatformNames, DifferentNamesStayDifferent) {
  for (auto [a, b] : std::vector<std::pair<const char*, const char*>>{
           {"ann lee", "Ann Lee "}, {"Ann-Lee", "AnnLee"}, {"co-op", "coop"},
           {"a", "A\x01"}, {"e", "\xE9"}, {"Ann Lee", "AnnLee"},
           {"Ann  Lee", "Ann Lee"}}) {
    EXPECT_FALSE(Sys().NamesEqual(a, b)) << a << " / " << b;
  }
}

TEST(PlatformModule, MainProgramPathNamesAnExistingFile) {
  std::optional<std::string> path = Sys().ModuleFileName(nullptr);
  if (!path) GTEST_SKIP() << "the test program's path is over 127 characters";
  EXPECT_LE(path->size(), userprofile::kMaxPath);
  EXPECT_TRUE(Sys().IsNormalFile(*path)) << *path;
  EXPECT_NE(path->find(userprofile::kSeparator), std::string::npos);
}

TEST_F(PlatformFiles, HeldProbeSaysFreeForMissingFileAndDirectory) {
  EXPECT_EQ(Sys().IsHeldExclusively(tree_.At({"IKIVO.SMP"})), false);
  EXPECT_EQ(Sys().IsHeldExclusively(tree_.At({"no", "IKIVO.SMP"})), false);
  ASSERT_TRUE(Sys().MakeDirectory(tree_.At({"dir"})));
  EXPECT_EQ(Sys().IsHeldExclusively(tree_.At({"dir"})), false);
  EXPECT_FALSE(Exists(tree_.At({"IKIVO.SMP"})));
}

TEST_F(PlatformFiles, HeldProbeNeverTakesTheLock) {
  const std::string lock = tree_.At({"IKIVO.SMP"});
  WriteFile(lock, "");
  std::optional<bool> free = Sys().IsHeldExclusively(lock);
  EXPECT_NE(free, std::optional<bool>(true));
  LockHandle held = Sys().OpenExclusive(lock);
  ASSERT_NE(held, kFailedLock) << "the probe left the file open";
  std::optional<bool> answer = Sys().IsHeldExclusively(lock);
  EXPECT_NE(answer, std::optional<bool>(false));
  EXPECT_EQ(Sys().OpenExclusive(lock), kFailedLock) << "the probe dropped the lock";
  Sys().CloseExclusive(held);
}

TEST_F(PlatformFiles, NameTakenByFileOrDirectoryOnly) {
  WriteFile(tree_.At({"file"}), "x");
  ASSERT_TRUE(Sys().MakeDirectory(tree_.At({"dir"})));
  EXPECT_TRUE(Sys().NameTaken(tree_.At({"file"})));
  EXPECT_TRUE(Sys().NameTaken(tree_.At({"dir"})));
  EXPECT_FALSE(Sys().NameTaken(tree_.At({"missing"})));
  EXPECT_FALSE(Sys().NameTaken(tree_.At({"no", "missing"})));
}

// A name recorded for a home directory must name exactly that directory
// under Windows' file-name rules, or a registry shared with Windows hosts
// would send them somewhere else (or to a device).
TEST(PlainNames, WindowsRefusesNamesItWouldAlterOrRedirect) {
  for (const char* ok : {"AnnLee00", "Default0", "CON00000", "COM0xxxx",
                         "LPT10000", "a.b.c000", "Ren\xE9\x30\x30\x30"}) {
    EXPECT_TRUE(userprofile::IsPlainWindowsName(ok)) << ok;
  }
  for (const char* bad : {"", ".", "..", "a\\b00000", "a/b00000", "C:000000",
                          "ab*00000", "ab?00000", "a\"b00000", "a<b00000",
                          "a>b00000", "a|b00000", "ab\t00000", "ab......",
                          "abcdefg ", "CON", "con.0000", "NUL.abcd",
                          "Aux", "COM1", "lpt9.000", "PRN  .00"}) {
    EXPECT_FALSE(userprofile::IsPlainWindowsName(bad)) << bad;
  }
}
