// Equality of user names as lstrcmpiA decides it for code page 1252, as
// measured on Windows (each row below is one measured pair): the pairs
// that must compare equal and those that must not, both ways round,
// through the comparison key and through the platform's NamesEqual.
#include "platform/names.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <utility>
#include <string>

#include "platform/platform.h"

using userprofile::NativePlatform;

namespace {

// Equal as the code page 1252 comparison decides: equal comparison keys.
bool NamesEqual1252(std::string_view a, std::string_view b) {
  return userprofile::NameKey(a) == userprofile::NameKey(b);
}

struct NamePair {
  const char* name;
  std::string a;
  std::string b;
};

void PrintTo(const NamePair& row, std::ostream* os) { *os << row.name; }

std::string RowName(const ::testing::TestParamInfo<NamePair>& info) {
  return info.param.name;
}

const NamePair kEqualPairs[] = {
    // ASCII letters fold; everything else must match (23).
    {"AsciiCase", "Ann Lee", "ANN LEE"},
    {"DefaultLower", "Default", "default"},
    {"TabKept", "a\tb", "A\tB"},
    {"Empty", "", ""},
    {"DigitsAndSpaces", "R2 D2", "r2 d2"},
    // The code page 1252 case pairs (23).
    {"EAcute", "\xE9", "\xC9"},
    {"EAcuteInName", "Ren\xE9", "REN\xC9"},
    {"JoseAcute", "Jos\xE9", "JOS\xC9"},
    {"Eth", "\xD0", "\xF0"},
    {"SCaron", "\x8A", "\x9A"},
    {"ZCaron", "\x8E", "\x9E"},
    {"YDiaeresis", "\xFF", "\x9F"},
    {"AGrave", "\xE0", "\xC0"},
    {"Thorn", "\xFE", "\xDE"},
    {"OSlash", "\xF8", "\xD8"},
    {"EuroSignMatchesItself", "a\x80", "A\x80"},
    // Linguistic expansions and the ignored soft hyphen (24).
    {"SharpSLower", "\xDF", "ss"},
    {"SharpSUpper", "\xDF", "SS"},
    {"SharpSInName",
     "Stra\xDF"
     "e",
     "STRASSE"},
    {"AeLigatureLower", "\xE6", "ae"},
    {"AeLigatureUpper", "\xC6", "AE"},
    {"AeLigatureCase", "\xE6", "\xC6"},
    {"OeLigatureUpper", "\x8C", "OE"},
    {"OeLigatureLower", "\x9C", "oe"},
    {"OeLigatureCase", "\x9C", "\x8C"},
    {"SoftHyphenIgnored",
     "a\xAD"
     "b",
     "ab"},
};

const NamePair kUnequalPairs[] = {
    // Spacing, punctuation and control bytes count (25, D).
    {"TrailingSpace", "ann lee", "Ann Lee "},
    {"InnerSpaceMissing", "Ann Lee", "AnnLee"},
    {"DoubleSpace", "Ann  Lee", "Ann Lee"},
    {"TabIsNotSpace", "a\tb", "a b"},
    {"Hyphen", "Ann-Lee", "AnnLee"},
    {"HyphenCoop", "co-op", "coop"},
    {"Apostrophe", "o'neil", "oneil"},
    {"ControlByte", "a", "A\x01"},
    {"ControlByteInside", "ab",
     "a\x01"
     "b"},
    {"Delete", "a", "a\x7F"},
    // Accents count (25, D).
    {"AccentOnE", "e", "\xE9"},
    {"AccentOnUpperE", "E", "\xC9"},
    {"ARing", "\xC5", "A"},
    {"SharpSIsNotS", "\xDF", "s"},
    // Signs that look like a case pair are not one.
    {"DivisionAndMultiplication", "\xF7", "\xD7"},
    {"MicroIsNotMu", "\xB5", "M"},
    // Folding must not join ASCII neighbours of the letters.
    {"AtAndBacktick", "@", "`"},
    {"BracketAndBrace", "[", "{"},
    {"Prefix", "Ann", "Ann Lee"},
    {"EmptyAndSpace", "", " "},
};

class NamesEqualRows : public ::testing::TestWithParam<NamePair> {};
class NamesUnequalRows : public ::testing::TestWithParam<NamePair> {};

TEST_P(NamesEqualRows, CompareEqualBothWays) {
  const NamePair& row = GetParam();
  EXPECT_TRUE(NamesEqual1252(row.a, row.b));
  EXPECT_TRUE(NamesEqual1252(row.b, row.a));
  EXPECT_TRUE(NativePlatform().NamesEqual(row.a.c_str(), row.b.c_str()));
}

TEST_P(NamesUnequalRows, CompareUnequalBothWays) {
  const NamePair& row = GetParam();
  EXPECT_FALSE(NamesEqual1252(row.a, row.b));
  EXPECT_FALSE(NamesEqual1252(row.b, row.a));
  EXPECT_FALSE(NativePlatform().NamesEqual(row.a.c_str(), row.b.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Equal, NamesEqualRows,
                         ::testing::ValuesIn(kEqualPairs), RowName);
INSTANTIATE_TEST_SUITE_P(Unequal, NamesUnequalRows,
                         ::testing::ValuesIn(kUnequalPairs), RowName);

TEST(NameEquality, EveryByteEqualsItselfAndAsciiFoldsOnlyLetters) {
  for (int c = 1; c < 256; ++c) {
    const std::string s(1, static_cast<char>(c));
    EXPECT_TRUE(NamesEqual1252(s, s)) << c;
    const bool lower = c >= 'a' && c <= 'z';
    if (c < 0x80 && !lower && !(c >= 'A' && c <= 'Z')) {
      // No ASCII byte other than a letter equals any other ASCII byte.
      for (int d = 1; d < 0x80; ++d) {
        if (d == c) continue;
        EXPECT_FALSE(NamesEqual1252(s, std::string(1, static_cast<char>(d))))
            << c << " " << d;
      }
    }
    if (lower) {
      EXPECT_TRUE(NamesEqual1252(s, std::string(1, char(c - 32))));
    }
  }
}

// A text that is UTF-8 is read as UTF-8, even one a Windows host wrote
// in code page 1252 that happens to be valid UTF-8 ("Ren\xC3\xA9" is
// "RenÃ©" in 1252): the one rule both kinds of host can apply to the
// same bytes. Every other text is 1252, every byte of it.
TEST(SharedTreeText, Utf8IsReadAsUtf8AndAnythingElseAsCodePage1252) {
  using namespace userprofile;
  EXPECT_EQ(TextAsUtf8("Ren\xC3\xA9"), "Ren\xC3\xA9");
  EXPECT_EQ(TextAsUtf8("Ren\xE9"), "Ren\xC3\xA9");
  EXPECT_EQ(TextAsUtf8("\x80"), "\xE2\x82\xAC");
  for (int c = 1; c < 256; ++c) {
    const std::string byte(1, static_cast<char>(c));
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(byte)), byte) << c;
  }
  EXPECT_EQ(Utf8ToCp1252("\xC5\x81ukasz"), std::nullopt);  // L stroke
}

// The same name from a Windows host (1252) and from a POSIX host (UTF-8)
// is one user, with the case rule of code page 1252 letters; a name with
// a character beyond that code page is no 1252 name's twin.
TEST(SharedTreeText, NamesInEitherEncodingAreOneUser) {
  const std::pair<const char*, const char*> equal[] = {
      {"Ren\xE9 Dupont", "Ren\xC3\xA9 Dupont"},
      {"REN\xC9 DUPONT", "Ren\xC3\xA9 Dupont"},
      {"J\xFCrgen Gro\xDF", "J\xC3\x9CRGEN GROSS"},
      {"\xC5\x81ukasz Nowak", "\xC5\x81UKASZ NOWAK"}};
  for (const auto& [a, b] : equal) {
    EXPECT_EQ(userprofile::UserNameKey(a), userprofile::UserNameKey(b)) << a << " / " << b;
    EXPECT_TRUE(NativePlatform().NamesEqual(a, b)) << a << " / " << b;
  }
  EXPECT_NE(userprofile::UserNameKey("\xC5\x81ukasz"), userprofile::UserNameKey("\xA3ukasz"));
  EXPECT_FALSE(NativePlatform().NamesEqual("\xC5\x81ukasz", "\xA3ukasz"));
}

TEST(NameEquality, NullComparesAsEmpty) {
  EXPECT_TRUE(NativePlatform().NamesEqual(nullptr, ""));
  EXPECT_TRUE(NativePlatform().NamesEqual("", nullptr));
  EXPECT_FALSE(NativePlatform().NamesEqual(nullptr, "a"));
}

}  // namespace
