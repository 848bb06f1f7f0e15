// The profile (INI) engine against the behaviour of the Windows profile
// services as measured on Windows (each row below is one measured case;
// docs/windows.md says where Wine differs), on exact bytes. Every row runs through the pure engine and again
// through the POSIX platform on a real file, read back from disk.
//
// Where Wine was marked doubtful the rows follow Windows: a line without
// '=' is no key and hides nothing, lines before the first section and "[]"
// belong to no section reachable by name, quotes are stripped before
// truncation, and a write keeps every other byte of the file and writes
// its new lines in the file's own line-ending style.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "registry/profile_store.h"
#include "support/profile_reads.h"
#include "platform/platform.h"
#include "registry/profile_document.h"
#include "registry/profile.h"
#include "support/apptree.h"

using namespace std::string_literals;
using testing_support::IsFile;
using testing_support::MakeTempDir;
using testing_support::ReadFile;
using testing_support::RemoveTree;
using testing_support::WriteFile;
using userprofile::NativePlatform;
namespace profile = userprofile::profile;

namespace {

// A scratch directory per test, with the registry's file name in it.
class ProfileFile : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempDir(); }
  void TearDown() override { RemoveTree(dir_); }
  std::string File() const { return dir_ + "/USER.INI"; }
  std::string dir_;
};

template <typename Row>
class ProfileTable : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override { dir_ = MakeTempDir(); }
  void TearDown() override { RemoveTree(dir_); }
  std::string File() const { return dir_ + "/USER.INI"; }
  std::string dir_;
};

template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

// Why Wine's profile services, which run the platform tests of the Windows
// build in CI, are known to differ from Windows on a row, or nullptr. The
// engine rows still check the Windows behaviour everywhere.
const char* WineDiffers(const std::string& row) {
#ifdef _WIN32
  static const std::pair<const char*, const char*> kWineDiffers[] = {
      {"BareLineDoesNotShadowKey", "a bare key line hides a later key"},
      {"BareLineNotReplaced", "a bare key line takes the written value"},
      {"KeyAfterBareLineReplaced", "a bare key line takes the written value"},
      {"PreSectionLineUnreachable", "lines before a section are reachable"},
      {"QuotedHelloSize6", "a quoted value at the buffer's edge loses one more"},
      {"Quoted40Size41", "a quoted value at the buffer's edge loses one more"},
      {"Quoted161Size162", "a quoted value at the buffer's edge loses one more"},
      {"BlanksOfKeyWritten", "leading blanks of a written key are dropped"},
      {"LeadingBlanksOfValueWritten", "leading blanks of a written value are dropped"},
      {"BomFileHighByteAsGiven", "a BOM file is read and written as UTF-8"},
      {"StoredQuotedValueUnchanged", "a quoted value equal to the new one is rewritten"},
      {"CrNewKey", "every write rewrites the whole file"},
      {"CrNewSection", "every write rewrites the whole file"},
      {"CrNewSectionWithoutFinalBreak", "every write rewrites the whole file"},
      {"CrReplace", "every write rewrites the whole file"},
      {"LfNewKey", "every write rewrites the whole file"},
      {"LfNewKeyBeforeSection", "every write rewrites the whole file"},
      {"LfNewSection", "every write rewrites the whole file"},
      {"LfNewSectionWithoutFinalBreak", "every write rewrites the whole file"},
      {"LfReplace", "every write rewrites the whole file"},
      {"KeyBeforeBlankLineOfNextSection", "every write rewrites the whole file"},
      {"ReplaceKeepsLinesOwnEnding", "every write rewrites the whole file"},
      {"ReplaceKeepsOtherBytes", "every write rewrites the whole file"},
      {"ReplaceLastLineWithoutBreak", "every write rewrites the whole file"},
      {"SectionAppendedAfterBlankLine", "every write rewrites the whole file"},
  };
  if (!testing_support::RunningUnderWine()) return nullptr;
  for (const auto& [name, why] : kWineDiffers) {
    if (row == name) return why;
  }
#else
  (void)row;
#endif
  return nullptr;
}

// --- Read table (facts 1-10, catalogue A) --------------------------------

struct ReadRow {
  const char* name;
  std::string content;
  std::string section;
  std::string key;
  std::optional<std::string> value;  // nullopt: not found
};

void PrintTo(const ReadRow& row, std::ostream* os) { *os << row.name; }

const std::string kLong1500 = Repeat('x', 1500);
const std::string kLong70000 = Repeat('y', 70000);

const ReadRow kReadRows[] = {
    // Names match without regard to ASCII case (1, A1).
    {"SectionCaseFolded", "[LUSER]\r\n1=Ann\r\n", "luser", "1", "Ann"},
    {"KeyCaseFolded", "[DEFUSER]\r\nDefaultUser=Ann\r\n", "DEFUSER",
     "defaultuser", "Ann"},
    {"BothCasesFolded", "[USERS]\r\nANN=1", "users", "Ann", "1"},
    {"HighByteKeyExact", "[S]\r\n\xE9t\xE9=v", "S", "\xE9t\xE9", "v"},
    {"HighByteKeyNotFolded", "[S]\r\n\xE9t\xE9=v", "S", "\xC9T\xC9",
     std::nullopt},
    {"HighByteSectionExact", "[Jos\xE9]\r\nk=v", "JOS\xE9", "k", "v"},
    {"HighByteSectionNotFolded", "[Jos\xE9]\r\nk=v", "JOS\xC9", "k",
     std::nullopt},

    // Blanks around names and values are ignored, inner ones kept (2, A3,
    // A4, A7, A8).
    {"SpacedHeader", "[ S ]\r\nk=v", "S", "k", "v"},
    {"TabbedHeader", "[\tUsers\t]\r\nk=v", "Users", "k", "v"},
    {"IndentedHeader", "   [Users]\r\nk=v", "Users", "k", "v"},
    {"TabIndentedHeader", "\t[Users]\t\r\nk=v", "Users", "k", "v"},
    {"QueryTrimmed", "[S]\r\nk=v", " S ", " k ", "v"},
    {"SpacedQueryMatchesSpacedHeader", "[  Users  ]\r\nk=v", "  Users  ", "k",
     "v"},
    {"SpacesAroundKeyAndValue", "[S]\r\n  k  =  v v  \r\n", "S", "k", "v v"},
    {"TabsAroundKeyAndValue", "[S]\r\n\tk\t=\tv\t\r\n", "S", "k", "v"},
    {"MixedBlanksBeforeEquals", "[S]\r\nk \t = v", "S", "k", "v"},
    {"InnerSpacesKept", "[A B]\r\na b=v", "A B", "a b", "v"},
    {"InnerSpacesNotCollapsed", "[Ann  Lee]\r\nk=v", "Ann Lee", "k",
     std::nullopt},
    {"TabIsNotSpace", "[S]\r\na\tb=v", "S", "a b", std::nullopt},
    {"VerticalTabFormFeedTrimmed", "[S]\r\nk=v\x0b\x0c", "S", "k", "v"},
    {"EndOfFileByteTrimmed", "[S]\r\nk=v\x1a", "S", "k", "v"},
    {"NoBreakSpaceKept", "[S]\r\nk=\xA0v\xA0", "S", "k", "\xA0v\xA0"},

    // The value is all after the first '='; ';' and '#' are not comments
    // to the reader (5, A9, A20).
    {"SecondEqualsInValue", "[S]\r\nk=a=b", "S", "k", "a=b"},
    {"SemicolonInValue", "[S]\r\nk=v ;c", "S", "k", "v ;c"},
    {"SemicolonLineIsKey", "[S]\r\n;k=v", "S", ";k", "v"},
    {"HashLineIsKey", "[S]\r\n#k=c", "S", "#k", "c"},
    {"IndentedSemicolonKey", "[S]\r\n  ;k=c", "S", ";k", "c"},
    {"SemicolonHeaderIsNoSection", "[S]\r\nk=1\r\n;[T]\r\nj=2", "S", "j", "2"},

    // One pair of matching quotes around the whole value is removed (3,
    // A10, A11).
    {"DoubleQuotes", "[S]\r\nk=\"v v\"", "S", "k", "v v"},
    {"SingleQuotes", "[S]\r\nk='v v'", "S", "k", "v v"},
    {"QuotesAfterTrim", "[S]\r\nk=  \" v \"  ", "S", "k", " v "},
    {"QuotedTrailingSpaceKept", "[S]\r\nk=\"a \"", "S", "k", "a "},
    {"QuotesThenTab", "[S]\r\nk=\"a\"\t", "S", "k", "a"},
    {"InnerQuotesKept", "[S]\r\nk=\"'x'\"", "S", "k", "'x'"},
    {"OnlyOuterPairRemoved", "[S]\r\nk=\"a\"b\"", "S", "k", "a\"b"},
    {"TwoQuotedWords", "[S]\r\nk=\"a\" \"b\"", "S", "k", "a\" \"b"},
    {"EmptyDoubleQuotes", "[S]\r\nk=\"\"", "S", "k", ""},
    {"EmptySingleQuotes", "[S]\r\nk=''", "S", "k", ""},
    {"LeadingQuoteOnly", "[S]\r\nk=\"v v", "S", "k", "\"v v"},
    {"TrailingQuoteOnly", "[S]\r\nk=hello\"", "S", "k", "hello\""},
    {"LeadingSingleOnly", "[S]\r\nk='hello", "S", "k", "'hello"},
    {"TrailingSingleOnly", "[S]\r\nk=hello'", "S", "k", "hello'"},
    {"MismatchedQuotes", "[S]\r\nk=\"v'", "S", "k", "\"v'"},
    {"MismatchedQuotesReversed", "[S]\r\nk='hello\"", "S", "k", "'hello\""},
    {"LoneQuote", "[S]\r\nk=\"", "S", "k", "\""},
    {"QuotesInside", "[S]\r\nk=a\"b\"c", "S", "k", "a\"b\"c"},

    // The first key and the first section of a name win (4, A14, A15).
    {"FirstDuplicateKeyWins", "[S]\r\nk=first\r\nk=second", "S", "k", "first"},
    {"FirstKeyWinsAcrossCase", "[S]\r\nK=first\r\nk=second", "S", "k", "first"},
    {"OnlyFirstSectionSearched", "[S]\r\na=1\r\n[T]\r\nx=1\r\n[S]\r\nk=v2", "S",
     "k", std::nullopt},
    {"FirstSectionKeyFound", "[S]\r\na=1\r\n[T]\r\nx=1\r\n[S]\r\nk=v2", "S",
     "a", "1"},
    {"FirstSectionWinsAcrossCase", "[S]\r\nk=first\r\n[s]\r\nk=second", "S",
     "k", "first"},
    {"LaterSectionStillReachable", "[S]\r\na=1\r\n[T]\r\nx=1\r\n[S]\r\nk=v2",
     "T", "x", "1"},

    // A line without '=' is no key and hides nothing (5).
    {"BareLineNotAKey", "[S]\r\nlonely\r\nk=v", "S", "lonely", std::nullopt},
    {"BareLineDoesNotStopSearch", "[S]\r\nlonely\r\nk=v", "S", "k", "v"},
    {"BareLineDoesNotShadowKey", "[S]\r\nAnn\r\nAnn=1", "S", "Ann", "1"},

    // Empty values are values, not missing keys (A17, A18).
    {"EmptyValue", "[S]\r\nk=", "S", "k", ""},
    {"BlankValue", "[S]\r\nk=   ", "S", "k", ""},
    {"EmptyKeyName", "[S]\r\n=v", "S", "", "v"},

    // Lines before the first header, and "[]", belong to no section (5, 6).
    {"PreSectionLineNotInSection", "k=pre\r\n[S]\r\nk=v", "S", "k", "v"},
    {"PreSectionLineUnreachable", "k=pre\r\n[S]\r\nk=v", "", "k", std::nullopt},
    {"EmptyHeaderUnreachable", "[]\r\nk=e", "", "k", std::nullopt},
    {"BlankHeaderUnreachable", "[ ]\r\nk=e", "", "k", std::nullopt},
    {"EmptyHeaderEndsSection", "[S]\r\n[]\r\nk=e", "S", "k", std::nullopt},

    // Header shapes (6, A5, A6, A29).
    {"JunkAfterHeader", "[S] junk\r\nk=v", "S", "k", "v"},
    {"CommentAfterHeader", "[S] ; comment\r\nk=v", "S", "k", "v"},
    {"NameRunsToLastBracket", "[a]b]\r\nk=v", "a]b", "k", "v"},
    {"NameNotCutAtFirstBracket", "[a]b]\r\nk=v", "a", "k", std::nullopt},
    {"BracketInCommentExtendsName", "[S] ; see [x]\r\nk=v", "S", "k",
     std::nullopt},
    {"BracketInCommentNameFound", "[S] ; see [x]\r\nk=v", "S] ; see [x", "k",
     "v"},
    {"HeaderMustStartWithBracket", "x[S]\r\nk=v", "S", "k", std::nullopt},
    {"UnclosedHeaderIsNoSection", "[S\r\nk=v", "S", "k", std::nullopt},
    {"UnclosedHeaderIsNoName", "[S\r\nk=v", "[S", "k", std::nullopt},
    {"UnclosedHeaderKeepsSection", "[A]\r\nk=1\r\n[S\r\nj=2", "A", "j", "2"},
    {"UnclosedHeaderWithEqualsIsKey", "[A]\r\nk=1\r\n[S=x", "A", "[S", "x"},

    // Line endings, blank lines, BOM, NUL (7, A25, A26).
    {"LfOnly", "[S]\nk=v\nj=w\n", "S", "j", "w"},
    {"CrOnlyFirst", "[S]\rk=v\rj=w\r", "S", "k", "v"},
    {"CrOnlySecond", "[S]\rk=v\rj=w\r", "S", "j", "w"},
    {"MixedEndings", "[S]\r\nk=v\nj=w\r\n", "S", "j", "w"},
    {"MixedEndingsCrLast", "[S]\nk=v\r\nj=w\r", "S", "j", "w"},
    {"NoFinalLineBreak", "[S]\r\nk=v", "S", "k", "v"},
    {"LoneCrEndsLine", "[S]\r\nk=a\rb\r\n", "S", "k", "a"},
    {"AfterLoneCrIsBareLine", "[S]\r\nk=a\rb\r\n", "S", "b", std::nullopt},
    {"CrCrLf", "[S]\r\nk=v\r\r\nj=w", "S", "k", "v"},
    {"NulEndsValue", "[S]\r\nk=a\0b\r\nj=2"s, "S", "k", "a"},
    {"NulDoesNotEndFile", "[S]\r\nk=a\0b\r\nj=2"s, "S", "j", "2"},
    {"BlankLinesIgnored", "\r\n\r\n[S]\r\n\r\n  \t \r\nk=v\r\n\r\n", "S", "k",
     "v"},
    {"Utf8BomSkipped", "\xEF\xBB\xBF[S]\r\nk=v", "S", "k", "v"},
    {"Utf8BomOnlyAtStart", "\r\n\xEF\xBB\xBF[S]\r\nk=v", "S", "k",
     std::nullopt},

    // Bytes are passed through (8, A27).
    {"HighBytesPassThrough", "[S]\r\nk=Ren\xE9", "S", "k", "Ren\xE9"},
    {"HighBytesUnchanged", "[S]\r\nk=\xE9\xFF\x80", "S", "k", "\xE9\xFF\x80"},
    {"UndefinedCodePointsUnchanged", "[S]\r\nk=\x81\x8d\x8f\x90\x9d", "S", "k",
     "\x81\x8d\x8f\x90\x9d"},
    {"Utf8BytesNotDecoded", "[S]\r\nk=\xC3\xA9", "S", "k", "\xC3\xA9"},
    {"ControlByteInsideKept", "[S]\r\nk=a\x1A b", "S", "k", "a\x1A b"},

    // Long lines are read whole (9, A24).
    {"LongValueWhole", "[S]\r\nk=" + kLong1500 + "\r\nj=2", "S", "k",
     kLong1500},
    {"KeyAfterLongValue", "[S]\r\nk=" + kLong1500 + "\r\nj=2", "S", "j", "2"},
    {"KeyAfterLongKeyLine", "[S]\r\n" + Repeat('q', 1200) + "=1\r\nj=2", "S",
     "j", "2"},
    {"KeyAfterHugeLine", "[S]\r\nk=" + kLong70000 + "\r\nj=2", "S", "j", "2"},

    // Missing things (10, A22).
    {"MissingSection", "[S]\r\nk=v", "T", "k", std::nullopt},
    {"MissingKey", "[S]\r\nk=v", "S", "j", std::nullopt},
    {"KeyOfOtherSection", "[S]\r\nk=v\r\n[T]\r\nj=w", "S", "j", std::nullopt},
    {"EmptyContent", "", "S", "k", std::nullopt},
};

using ReadTable = ProfileTable<ReadRow>;

TEST_P(ReadTable, EngineFindsWhatWindowsReads) {
  const ReadRow& row = GetParam();
  EXPECT_EQ(profile::ValueIn(row.content, row.section, row.key), row.value);
}

TEST_P(ReadTable, PlatformReadsFileAsWindowsDoes) {
  const ReadRow& row = GetParam();
  if (const char* why = WineDiffers(row.name)) {
    GTEST_SKIP() << "Wine differs from Windows: " << why;
  }
  WriteFile(File(), row.content);
  // Large enough that no row is cut; truncation has its own table.
  EXPECT_EQ(
      userprofile::ReadProfileString(row.section, row.key, 100000, File()),
      row.value.value_or(""));
}

INSTANTIATE_TEST_SUITE_P(Lookup, ReadTable, ::testing::ValuesIn(kReadRows),
                         RowName<ReadRow>);

// --- Truncation through ReadProfileString (9, A12, A23) -------------------

struct CutRow {
  const char* name;
  std::string line;  // the value line of section S, key k
  std::size_t size;
  std::string value;
};

void PrintTo(const CutRow& row, std::ostream* os) { *os << row.name; }

const std::string kDigits36 = "123456789012345678901234567890123456";
const std::string kLetters200 = Repeat('A', 100) + Repeat('B', 100);

const CutRow kCutRows[] = {
    // The default user's 33 bytes and an entry's 162 bytes.
    {"DefaultUserCutTo32", "k=" + kDigits36, 33, kDigits36.substr(0, 32)},
    {"ExactlyThirtyTwoFits", "k=" + kDigits36.substr(0, 32), 33,
     kDigits36.substr(0, 32)},
    {"ThirtyOneFits", "k=" + kDigits36.substr(0, 31), 33,
     kDigits36.substr(0, 31)},
    {"EntryCutTo161", "k=" + kLetters200, 162, kLetters200.substr(0, 161)},
    {"EntryOf161Fits", "k=" + kLetters200.substr(0, 161), 162,
     kLetters200.substr(0, 161)},
    {"LongCutTo32", "k=" + kLetters200, 33, kLetters200.substr(0, 32)},
    {"SizeTwoGivesOne", "k=" + kLetters200, 2, "A"},
    {"SizeOneGivesNothing", "k=" + kLetters200, 1, ""},
    {"CutAfterTrim", "k=   " + kDigits36 + "   ", 33, kDigits36.substr(0, 32)},
    // Quotes go first, then the cut: no character is lost to them.
    {"QuotedHelloSize4", "k=\"hello\"", 4, "hel"},
    {"QuotedHelloSize6", "k=\"hello\"", 6, "hello"},
    {"QuotedHelloSize7", "k=\"hello\"", 7, "hello"},
    {"Quoted40Size33", "k=\"" + Repeat('q', 40) + "\"", 33, Repeat('q', 32)},
    {"Quoted40Size41", "k=\"" + Repeat('q', 40) + "\"", 41, Repeat('q', 40)},
    {"Quoted161Size162", "k=\"" + kLetters200.substr(0, 161) + "\"", 162,
     kLetters200.substr(0, 161)},
    {"Long1500Whole", "k=" + kLong1500, 4096, kLong1500},
    {"Huge70000CutTo65535", "k=" + kLong70000, 65536, Repeat('y', 65535)},
};

using CutTable = ProfileTable<CutRow>;

TEST_P(CutTable, ReadsAtMostSizeMinusOneCharacters) {
  const CutRow& row = GetParam();
  if (const char* why = WineDiffers(row.name)) {
    GTEST_SKIP() << "Wine differs from Windows: " << why;
  }
  WriteFile(File(), "[S]\r\n" + row.line + "\r\nj=2\r\n");
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", row.size, File()),
            row.value);
}

INSTANTIATE_TEST_SUITE_P(Truncation, CutTable, ::testing::ValuesIn(kCutRows),
                         RowName<CutRow>);

using MissingFile = ProfileFile;

TEST_F(MissingFile, ReadsAsEmptyString) {
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", 162, File()), "");
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", 162,
                                               dir_ + "/nodir/sub/USER.INI"),
            "");
  EXPECT_FALSE(IsFile(File()));
}

TEST_F(MissingFile, DirectoryReadsAsMissing) {
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", 162, dir_), "");
  EXPECT_EQ(userprofile::ReadProfileInt("S", "k", 33, dir_), 33u);
}

TEST_F(MissingFile, EmptyFileReadsAsMissing) {
  WriteFile(File(), "");
  EXPECT_EQ(userprofile::ReadProfileString("S", "k", 162, File()), "");
  EXPECT_EQ(userprofile::ReadProfileInt("S", "k", 7, File()), 7u);
}

// --- Integer table (11-14, catalogue B) ----------------------------------

struct IntRow {
  const char* name;
  std::string line;     // the line of section S; the key is "k"
  std::uint32_t value;  // what GetPrivateProfileIntA returns (default 7)
  std::int32_t as_int;  // what a caller reading it as int sees
};

void PrintTo(const IntRow& row, std::ostream* os) { *os << row.name; }

const IntRow kIntRows[] = {
    {"Plain", "k=12", 12u, 12},
    {"LeadingSpace", "k= 12", 12u, 12},
    {"TabsAround", "k=\t12\t", 12u, 12},
    {"Negative", "k=-12", 4294967284u, -12},
    {"ExplicitPlus", "k=+12", 12u, 12},
    {"JunkSuffix", "k=12abc", 12u, 12},
    {"SpaceStops", "k=12 34", 12u, 12},
    {"SpaceStopsShort", "k=1 2", 1u, 1},
    {"ExponentNotRead", "k=1e3", 1u, 1},
    {"DecimalPointStops", "k=12.9", 12u, 12},
    {"LetterInsideStops", "k=42A94967297", 42u, 42},
    {"NoDigits", "k=abc", 0u, 0},
    {"HighByte", "k=\xB2", 0u, 0},
    {"Zero", "k=0", 0u, 0},
    {"EmptyGivesDefault", "k=", 7u, 7},
    {"BlankGivesDefault", "k=   ", 7u, 7},
    {"EmptyQuotesGiveDefault", "k=\"\"", 7u, 7},
    {"BareLineGivesDefault", "k", 7u, 7},
    {"QuotedNumber", "k=\"12\"", 12u, 12},
    {"SingleQuotedNumber", "k='12'", 12u, 12},
    {"QuotedLeadingSpace", "k=\" 12\"", 12u, 12},
    {"HexPrefix", "k=0x1F", 31u, 31},
    {"UpperHexPrefixNotAPrefix", "k=0X1f", 0u, 0},
    {"HexPrefixAlone", "k=0x", 0u, 0},
    {"HexPrefixBadDigit", "k=0xG", 0u, 0},
    {"HexStopsAtJunk", "k=0x1G", 1u, 1},
    {"HexAllOnes", "k=0xFFFFFFFF", 4294967295u, -1},
    {"NegativeHex", "k=-0x10", 4294967280u, -16},
    {"BinaryPrefix", "k=0b101", 5u, 5},
    {"OctalPrefix", "k=0o17", 15u, 15},
    {"LeadingZeroIsDecimal", "k=017", 17u, 17},
    {"LeadingZeroTen", "k=010", 10u, 10},
    {"LeadingZeros", "k=007", 7u, 7},
    {"MaxUnsigned", "k=4294967295", 4294967295u, -1},
    {"WrapsToZero", "k=4294967296", 0u, 0},
    {"WrapsToOne", "k=4294967297", 1u, 1},
    {"MaxInt", "k=2147483647", 2147483647u, 2147483647},
    {"PastMaxInt", "k=2147483648", 2147483648u, INT32_MIN},
    {"ElevenDigitsWrap", "k=99999999999", 1215752191u, 1215752191},
    {"NegativeElevenDigitsWrap", "k=-99999999999", 3079215105u, -1215752191},
    {"MinInt", "k=-2147483648", 2147483648u, INT32_MIN},
    {"BelowMinInt", "k=-2147483649", 2147483647u, 2147483647},
    {"NegativeWrapsToMinusOne", "k=-4294967297", 4294967295u, -1},
    {"NegativeWrapsToOne", "k=-4294967295", 1u, 1},
    {"NegativeZero", "k=-0", 0u, 0},
    {"SpaceAfterSign", "k=- 12", 0u, 0},
    {"DoubleSign", "k=--12", 0u, 0},
    {"MixedSigns", "k=+-5", 0u, 0},
};

using IntTable = ProfileTable<IntRow>;

TEST_P(IntTable, EngineParsesAsWindowsDoes) {
  const IntRow& row = GetParam();
  const std::string content = "[S]\r\n" + row.line + "\r\n";
  std::uint32_t got =
      profile::ParseInt(profile::ValueIn(content, "S", "k").value_or(""), 7);
  EXPECT_EQ(got, row.value);
  EXPECT_EQ(static_cast<std::int32_t>(got), row.as_int);
}

TEST_P(IntTable, PlatformReadsFileAsWindowsDoes) {
  const IntRow& row = GetParam();
  WriteFile(File(), "[S]\r\n" + row.line + "\r\n");
  EXPECT_EQ(userprofile::ReadProfileInt("S", "k", 7, File()), row.value);
}

INSTANTIATE_TEST_SUITE_P(Integer, IntTable, ::testing::ValuesIn(kIntRows),
                         RowName<IntRow>);

using IntDefault = ProfileFile;

TEST_F(IntDefault, MissingKeyGivesDefaultAsUnsigned) {
  WriteFile(File(), "[S]\r\nj=1\r\n");
  EXPECT_EQ(userprofile::ReadProfileInt("S", "k", -5, File()), 4294967291u);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "k", 0, File()), 0u);
  EXPECT_EQ(userprofile::ReadProfileInt("T", "j", 9, File()), 9u);
}

TEST_F(IntDefault, MissingFileGivesDefault) {
  EXPECT_EQ(userprofile::ReadProfileInt("S", "k", 33, File()), 33u);
  EXPECT_EQ(userprofile::ReadProfileInt("S", "k", -33, File()),
            4294967263u);
  EXPECT_FALSE(IsFile(File()));
}

// --- Write table (15-22, catalogue C) -------------------------------------

struct WriteRow {
  const char* name;
  std::optional<std::string> before;  // nullopt: no file yet
  std::string section;
  std::string key;
  std::string value;
  std::string after;
  std::string read_back;  // what ReadProfileString then gives
};

void PrintTo(const WriteRow& row, std::ostream* os) { *os << row.name; }

const std::string kKeepLayout =
    "; head comment\r\n\r\n[A]\r\n  k  =  old  \r\n; a = b\r\n# hash = c\r\n"
    "lonely\r\nq=\"quoted\"\r\n\tt\t=\ttab\t\r\n\r\n[B]\r\nj=2\r\n";
const std::string kKeepLayoutAfter =
    "; head comment\r\n\r\n[A]\r\nk=new\r\n; a = b\r\n# hash = c\r\n"
    "lonely\r\nq=\"quoted\"\r\n\tt\t=\ttab\t\r\n\r\n[B]\r\nj=2\r\n";

const WriteRow kWriteRows[] = {
    // A new file (15, C1).
    {"NewFile", std::nullopt, "NUSER", "NO", "1", "[NUSER]\r\nNO=1\r\n", "1"},
    {"EmptyFileLikeNew", "", "Users", "Ann", "1", "[Users]\r\nAnn=1\r\n", "1"},

    // New sections go at the end, with a line break before if missing
    // (15, C3). Blank lines are kept (18).
    {"SectionAppended", "[A]\r\nk=1\r\n", "B", "j", "2",
     "[A]\r\nk=1\r\n[B]\r\nj=2\r\n", "2"},
    {"SectionAppendedAfterBlankLine", "[A]\r\nk=1\r\n\r\n", "B", "j", "2",
     "[A]\r\nk=1\r\n\r\n[B]\r\nj=2\r\n", "2"},
    {"SectionAppendedAfterMissingBreak", "[A]\r\nk=1", "B", "j", "2",
     "[A]\r\nk=1\r\n[B]\r\nj=2\r\n", "2"},

    // New keys go after the section's last line, before the next header
    // (17, C4).
    {"KeyBeforeNextSection", "[A]\r\nk=1\r\n[B]\r\nj=2\r\n", "A", "new", "n",
     "[A]\r\nk=1\r\nnew=n\r\n[B]\r\nj=2\r\n", "n"},
    {"KeyBeforeBlankLineOfNextSection", "[A]\r\nk=1\r\n\r\n[B]\r\nj=2\r\n", "A",
     "new", "n", "[A]\r\nk=1\r\nnew=n\r\n\r\n[B]\r\nj=2\r\n", "n"},
    {"KeyAfterTrailingComment",
     "[A]\r\nk=1\r\n; tail comment\r\n[B]\r\nj=2\r\n", "A", "new", "n",
     "[A]\r\nk=1\r\n; tail comment\r\nnew=n\r\n[B]\r\nj=2\r\n", "n"},
    {"KeyAfterCommentAtEnd", "[S]\r\nk=1\r\n; end\r\n", "S", "m", "2",
     "[S]\r\nk=1\r\n; end\r\nm=2\r\n", "2"},
    {"KeyIntoEmptySection", "[A]\r\n[B]\r\n", "A", "k", "1",
     "[A]\r\nk=1\r\n[B]\r\n", "1"},
    {"KeyAfterLastLineWithoutBreak", "[A]\r\nk=1", "A", "j", "2",
     "[A]\r\nk=1\r\nj=2\r\n", "2"},
    {"KeyAfterHeaderWithoutBreak", "[A]", "A", "k", "1", "[A]\r\nk=1\r\n", "1"},
    {"KeyIntoCaseFoldedSection", "[LUSER]\r\nLUser=1\r\n", "luser", "NewKey",
     "3", "[LUSER]\r\nLUser=1\r\nNewKey=3\r\n", "3"},

    // Replacing rewrites one line as key=value with the file's spelling of
    // the key, and keeps that line's ending (17, C10).
    {"ReplaceRewritesOneLine", "[A]\r\n  x = 1 ; c\r\nj=2\r\n", "A", "x", "9",
     "[A]\r\nx=9\r\nj=2\r\n", "9"},
    {"ReplaceKeepsKeySpelling", "[LUSER]\r\nKey=1\r\n", "luser", "KEY", "2",
     "[LUSER]\r\nKey=2\r\n", "2"},
    {"ReplaceKeepsHeaderSpelling", "[LUSER]\r\nLUser=1\r\n", "luser", "luser",
     "2", "[LUSER]\r\nLUser=2\r\n", "2"},
    {"ReplaceKeepsOtherBytes", kKeepLayout, "A", "k", "new", kKeepLayoutAfter,
     "new"},
    {"ReplaceKeepsLinesOwnEnding", "[A]\r\nk=1\nj=2\r\n", "A", "k", "9",
     "[A]\r\nk=9\nj=2\r\n", "9"},
    {"ReplaceLastLineWithoutBreak", "[A]\r\nk=1", "A", "k", "22", "[A]\r\nk=22",
     "22"},
    {"ReplaceDropsBytesAfterNul", "[A]\r\nk=1\0junk\r\nj=2\r\n"s, "A", "k", "3",
     "[A]\r\nk=3\r\nj=2\r\n", "3"},

    // Duplicates: the first key and the first section take the write (17,
    // C13).
    {"FirstDuplicateKeyReplaced", "[A]\r\nk=1\r\nk=2\r\n", "A", "k", "3",
     "[A]\r\nk=3\r\nk=2\r\n", "3"},
    {"NewKeyIntoFirstDuplicateSection",
     "[A]\r\na=1\r\n[B]\r\nb=1\r\n[A]\r\nc=1\r\n", "A", "d", "4",
     "[A]\r\na=1\r\nd=4\r\n[B]\r\nb=1\r\n[A]\r\nc=1\r\n", "4"},
    {"KeyOfSecondDuplicateSectionNotTouched",
     "[A]\r\na=1\r\nd=4\r\n[B]\r\nb=1\r\n[A]\r\nc=1\r\n", "A", "c", "5",
     "[A]\r\na=1\r\nd=4\r\nc=5\r\n[B]\r\nb=1\r\n[A]\r\nc=1\r\n", "5"},

    // A bare line is no key: the write adds one and the line stays (5).
    {"BareLineNotReplaced", "[S]\r\nAnn\r\nBob=2\r\n", "S", "Ann", "1",
     "[S]\r\nAnn\r\nBob=2\r\nAnn=1\r\n", "1"},
    {"KeyAfterBareLineReplaced", "[S]\r\nAnn\r\nAnn=0\r\n", "S", "Ann", "1",
     "[S]\r\nAnn\r\nAnn=1\r\n", "1"},

    // LF-only and CR-only files keep their style (18).
    {"LfReplace", "[A]\nk=1\nj=2\n", "A", "k", "X", "[A]\nk=X\nj=2\n", "X"},
    {"LfNewKey", "[A]\nk=1\n", "A", "m", "3", "[A]\nk=1\nm=3\n", "3"},
    {"LfNewKeyBeforeSection", "[A]\nk=1\n\n[B]\nj=2\n", "A", "m", "3",
     "[A]\nk=1\nm=3\n\n[B]\nj=2\n", "3"},
    {"LfNewSection", "[A]\nk=1\n", "B", "j", "2", "[A]\nk=1\n[B]\nj=2\n", "2"},
    {"LfNewSectionWithoutFinalBreak", "[A]\nk=1", "B", "j", "2",
     "[A]\nk=1\n[B]\nj=2\n", "2"},
    {"CrReplace", "[A]\rk=1\rj=2\r", "A", "k", "X", "[A]\rk=X\rj=2\r", "X"},
    {"CrNewKey", "[A]\rk=1\r[B]\rj=2\r", "A", "m", "3",
     "[A]\rk=1\rm=3\r[B]\rj=2\r", "3"},
    {"CrNewSection", "[A]\rk=1\r", "B", "j", "2", "[A]\rk=1\r[B]\rj=2\r", "2"},
    {"CrNewSectionWithoutFinalBreak", "[A]\rk=1", "B", "j", "2",
     "[A]\rk=1\r[B]\rj=2\r", "2"},

    // A BOM stays; the value is written as given (17, 21).
    {"BomKept", "\xEF\xBB\xBF[A]\r\nk=1\r\n", "A", "k", "2",
     "\xEF\xBB\xBF[A]\r\nk=2\r\n", "2"},
    {"BomFileHighByteAsGiven", "\xEF\xBB\xBF[A]\r\nk=1\r\n", "A", "k", "\xE9",
     "\xEF\xBB\xBF[A]\r\nk=\xE9\r\n", "\xE9"},

    // Values and names are written as given (19, 21, C12, C16).
    {"EmptyValue", "[A]\r\n", "A", "x", "", "[A]\r\nx=\r\n", ""},
    {"HighBytes", std::nullopt, "A", "k", "Jos\xE9 \x80\xFF\x81",
     "[A]\r\nk=Jos\xE9 \x80\xFF\x81\r\n", "Jos\xE9 \x80\xFF\x81"},
    {"HighByteNames", std::nullopt, "\xC9t\xE9", "\xE9", "v",
     "[\xC9t\xE9]\r\n\xE9=v\r\n", "v"},
    {"QuotesWritten", std::nullopt, "A", "k", "\"q\"", "[A]\r\nk=\"q\"\r\n",
     "q"},
    {"EqualsAndSemicolonInValue", std::nullopt, "A", "k", "a=b;c",
     "[A]\r\nk=a=b;c\r\n", "a=b;c"},
    {"LeadingBlanksOfValueWritten", std::nullopt, "A", "k", "  v v  ",
     "[A]\r\nk=  v v  \r\n", "v v"},
    {"BlanksOfKeyWritten", std::nullopt, "A", " k ", "v", "[A]\r\n k =v\r\n",
     "v"},
    {"LongValueWritten", std::nullopt, "A", "k", kLong1500,
     "[A]\r\nk=" + kLong1500 + "\r\n", kLong1500},

    // The value already stored changes nothing (C7).
    {"StoredValueLfUnchanged", "[A]\nk=1\n", "A", "k", "1", "[A]\nk=1\n", "1"},
    {"StoredValueSpacedUnchanged", "[A]\r\n  k  =  1  \r\n\r\n;c\r\n", "A", "k",
     "1", "[A]\r\n  k  =  1  \r\n\r\n;c\r\n", "1"},
    {"StoredQuotedValueUnchanged", "[A]\r\nk=\"1\"\r\n", "A", "K", "1",
     "[A]\r\nk=\"1\"\r\n", "1"},
};

using WriteTable = ProfileTable<WriteRow>;

TEST_P(WriteTable, EngineEditsAsWindowsDoes) {
  const WriteRow& row = GetParam();
  EXPECT_EQ(profile::WithValue(row.before.value_or(""), row.section, row.key,
                               row.value),
            row.after);
}

TEST_P(WriteTable, PlatformWritesFileAndReadsItBack) {
  const WriteRow& row = GetParam();
  if (const char* why = WineDiffers(row.name)) {
    GTEST_SKIP() << "Wine differs from Windows: " << why;
  }
  if (row.before) WriteFile(File(), *row.before);
  ASSERT_TRUE(userprofile::WriteProfileValue(row.section, row.key,
                                                  row.value, File()));
  EXPECT_EQ(ReadFile(File()), row.after);
  EXPECT_EQ(
      userprofile::ReadProfileString(row.section, row.key, 100000, File()),
      row.read_back);
}

INSTANTIATE_TEST_SUITE_P(Write, WriteTable, ::testing::ValuesIn(kWriteRows),
                         RowName<WriteRow>);

using WriteSequence = ProfileFile;

TEST_F(WriteSequence, FiveRegistryWritesFromEmpty) {
  const char* writes[][3] = {{"NUSER", "NO", "1"},
                             {"LUSER", "1", "Ann Lee,AnnLee00"},
                             {"DEFUSER", "DefaultUser", "Ann Lee"},
                             {"NUSER", "NO", "2"},
                             {"LUSER", "2", "Bob,Bob00000"}};
  for (const auto& w : writes) {
    ASSERT_TRUE(userprofile::WriteProfileValue(w[0], w[1], w[2], File()));
  }
  EXPECT_EQ(ReadFile(File()),
            "[NUSER]\r\nNO=2\r\n[LUSER]\r\n1=Ann Lee,AnnLee00\r\n"
            "2=Bob,Bob00000\r\n[DEFUSER]\r\nDefaultUser=Ann Lee\r\n");
  EXPECT_EQ(userprofile::ReadProfileInt("nuser", "no", 0, File()), 2u);
  EXPECT_EQ(userprofile::ReadProfileString("LUSER", "2", 162, File()),
            "Bob,Bob00000");
}

TEST_F(WriteSequence, KeysJoinTheirSectionAndSectionsGoLast) {
  const char* writes[][3] = {{"Users", "Ann", "1"},
                             {"Users", "Bob", "2"},
                             {"Other", "x", "y"},
                             {"Users", "Cid", "3"}};
  for (const auto& w : writes) {
    ASSERT_TRUE(userprofile::WriteProfileValue(w[0], w[1], w[2], File()));
  }
  EXPECT_EQ(ReadFile(File()),
            "[Users]\r\nAnn=1\r\nBob=2\r\nCid=3\r\n[Other]\r\nx=y\r\n");
}

TEST_F(WriteSequence, StoredValueDoesNotRewriteTheFile) {
  WriteFile(File(), "[A]\r\n  k  =  1  \r\n");
  struct stat before {};
  ASSERT_EQ(::stat(File().c_str(), &before), 0);
  ASSERT_TRUE(userprofile::WriteProfileValue("A", "k", "1", File()));
  struct stat after {};
  ASSERT_EQ(::stat(File().c_str(), &after), 0);
  // A rewrite would have renamed a new file over the old one.
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(ReadFile(File()), "[A]\r\n  k  =  1  \r\n");
}

// --- Refused writes (20) -----------------------------------------------------

struct RefusedRow {
  const char* name;
  std::string section;
  std::string key;
  std::string value;
};

void PrintTo(const RefusedRow& row, std::ostream* os) { *os << row.name; }

const RefusedRow kRefusedRows[] = {
    {"CrLfInjectsKey", "A", "k", "a\r\nb=c"},
    {"CrLfInjectsSection", "A", "k", "a\r\n[Z]\r\nz=1"},
    {"LfInValue", "A", "k", "a\nb"},
    {"CrInValue", "A", "k", "a\rb"},
    {"NulInValue", "A", "k", "a\0b"s},
    {"LfInKey", "A", "k\nj", "v"},
    {"CrInKey", "A", "k\r", "v"},
    {"NulInKey", "A", "k\0"s, "v"},
    {"LfInSection", "A\n[B]", "k", "v"},
    {"CrInSection", "A\r", "k", "v"},
    {"NulInSection", "A\0B"s, "k", "v"},
};

using RefusedTable = ProfileTable<RefusedRow>;

TEST_P(RefusedTable, EngineRefusesLineBreaks) {
  const RefusedRow& row = GetParam();
  EXPECT_EQ(
      profile::WithValue("[A]\r\nk=1\r\n", row.section, row.key, row.value),
      std::nullopt);
}

TEST_P(RefusedTable, PlatformRefusesAndLeavesFileUntouched) {
  const RefusedRow& row = GetParam();
  WriteFile(File(), "[A]\r\nk=1\r\n");
  EXPECT_FALSE(userprofile::WriteProfileValue(row.section, row.key,
                                                   row.value, File()));
  EXPECT_EQ(ReadFile(File()), "[A]\r\nk=1\r\n");
}

TEST_P(RefusedTable, PlatformRefusesAndCreatesNothing) {
  const RefusedRow& row = GetParam();
  EXPECT_FALSE(userprofile::WriteProfileValue(row.section, row.key,
                                                   row.value, File()));
  EXPECT_FALSE(IsFile(File()));
}

INSTANTIATE_TEST_SUITE_P(Refused, RefusedTable,
                         ::testing::ValuesIn(kRefusedRows),
                         RowName<RefusedRow>);

// --- Small helpers -----------------------------------------------------------

TEST(ProfileHelpers, TrimRemovesOnlyTheIgnoredBlanks) {
  EXPECT_EQ(profile::Trim(" \t\r\v\f\x1A"
                          "a b"
                          " \t\r\v\f\x1A"),
            "a b");
  EXPECT_EQ(profile::Trim("\xA0x\xA0"), "\xA0x\xA0");
  EXPECT_EQ(profile::Trim("\n x"), "\n x");  // LF ends a line, never inside
  EXPECT_EQ(profile::Trim("   "), "");
}

TEST(ProfileHelpers, SameNameFoldsAsciiOnly) {
  EXPECT_TRUE(profile::SameName("DefaultUser", "DEFAULTUSER"));
  EXPECT_TRUE(profile::SameName("", ""));
  EXPECT_FALSE(profile::SameName("\xE9", "\xC9"));
  EXPECT_FALSE(profile::SameName("a", "a "));
  // '@' and '`' sit next to the letters; folding must not join them.
  EXPECT_FALSE(profile::SameName("@", "`"));
  EXPECT_FALSE(profile::SameName("[", "{"));
}

}  // namespace
