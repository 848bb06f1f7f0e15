// The exported validators, ValidUserName and IsEntryValid,
// through their C entry points: the documented edge cases and every
// byte of the character classes.
#include <gtest/gtest.h>

#include <string>

#include "userprofile.h"

namespace {

TEST(ValidUserName, AcceptsPlainNames) {
  EXPECT_EQ(ValidUserName("Default"), 1);
  EXPECT_EQ(ValidUserName("Ann Lee"), 1);
  EXPECT_EQ(ValidUserName("R2 D2"), 1);
  EXPECT_EQ(ValidUserName("7"), 1);
}

TEST(ValidUserName, RejectsBlankAndPunctuatedNames) {
  EXPECT_EQ(ValidUserName(""), 0);
  EXPECT_EQ(ValidUserName("   "), 0);
  EXPECT_EQ(ValidUserName("O'Brien"), 0);
  EXPECT_EQ(ValidUserName("Smith, J"), 0);
  EXPECT_EQ(ValidUserName("Ann-Lee"), 0);
  EXPECT_EQ(ValidUserName("J. Smith"), 0);
}

TEST(ValidUserName, NullIsInvalid) { EXPECT_EQ(ValidUserName(nullptr), 0); }

TEST(ValidUserName, ThirtyOneCharactersIsTheLimit) {
  EXPECT_EQ(ValidUserName(std::string(31, 'a').c_str()), 1);
  EXPECT_EQ(ValidUserName(std::string(32, 'a').c_str()), 0);
  EXPECT_EQ(ValidUserName(std::string(200, 'a').c_str()), 0);
  // Spaces count towards the length.
  EXPECT_EQ(ValidUserName((std::string(30, ' ') + "a").c_str()), 1);
  EXPECT_EQ(ValidUserName(("a" + std::string(31, ' ')).c_str()), 0);
}

TEST(ValidUserName, HighByteIsNeutral) {
  EXPECT_EQ(ValidUserName("\xE9"), 0);
  EXPECT_EQ(ValidUserName("Ren\xE9"), 1);
  EXPECT_EQ(ValidUserName("\xE9\xC9\xFF\x80"), 0);
}

TEST(ValidUserName, ControlBytesAndSpacesAreNeutral) {
  EXPECT_EQ(ValidUserName(" Ann "), 1);
  EXPECT_EQ(ValidUserName("A\tB"), 1);
  EXPECT_EQ(ValidUserName("\x01\x1F\x7F"), 0);
  EXPECT_EQ(ValidUserName("\x01"
                          "A\x7F"),
            1);
}

// Every byte alone, and beside a letter: the 32 ASCII punctuation marks
// spoil a name, the 62 ASCII letters and digits make one, every other byte
// (controls, space, DEL, every byte above 0x7F) is neutral. The classes
// are spelled out, not computed, so that a range off by one shows.
TEST(ValidUserName, EveryByteFallsInItsClass) {
  const std::string punctuation = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
  const std::string letters_digits =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  ASSERT_EQ(punctuation.size(), 32u);
  ASSERT_EQ(letters_digits.size(), 62u);
  for (int c = 1; c < 256; ++c) {
    const char byte = static_cast<char>(c);
    const std::string alone(1, byte);
    const bool makes = letters_digits.find(byte) != std::string::npos;
    const bool spoils = punctuation.find(byte) != std::string::npos;
    EXPECT_EQ(ValidUserName(alone.c_str()), makes ? 1 : 0) << c;
    const std::string with_letter = "A" + alone;
    EXPECT_EQ(ValidUserName(with_letter.c_str()), spoils ? 0 : 1) << c;
  }
}

TEST(IsEntryValid, AcceptsEmptyAndCommaless) {
  EXPECT_EQ(IsEntryValid(""), 1);
  EXPECT_EQ(IsEntryValid("Ann Lee"), 1);
  // Without a comma nothing is checked at all.
  EXPECT_EQ(IsEntryValid("O'Brien"), 1);
}

TEST(IsEntryValid, NullCountsAsEmpty) { EXPECT_EQ(IsEntryValid(nullptr), 1); }

TEST(IsEntryValid, NameCommaAndEightCharacters) {
  EXPECT_EQ(IsEntryValid(",AnnLee00"), 0);
  EXPECT_EQ(IsEntryValid("Ann Lee,AnnLee00"), 1);
  EXPECT_EQ(IsEntryValid("Ann Lee,AnnLee0"), 0);
  EXPECT_EQ(IsEntryValid("Ann Lee,AnnLee000"), 0);
  EXPECT_EQ(IsEntryValid("Ann-Lee,AnnLee00"), 0);
  EXPECT_EQ(IsEntryValid("Ann Lee,"), 0);
}

TEST(IsEntryValid, AfterTheFirstCommaOnlyTheLengthCounts) {
  EXPECT_EQ(IsEntryValid("Ann Lee,W,X,Y,Z,"), 1);
  EXPECT_EQ(IsEntryValid("Ann Lee,../../.."), 1);
  EXPECT_EQ(IsEntryValid("Ann Lee,\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9"), 1);
  EXPECT_EQ(IsEntryValid("Ann Lee,W,X,Y,Z"), 0);
}

TEST(IsEntryValid, NamePartFollowsValidUserName) {
  const std::string home = ",Default0";
  EXPECT_EQ(IsEntryValid((std::string(31, 'a') + home).c_str()), 1);
  EXPECT_EQ(IsEntryValid((std::string(32, 'a') + home).c_str()), 0);
  EXPECT_EQ(IsEntryValid(("   " + home).c_str()), 0);
  EXPECT_EQ(IsEntryValid(("\xE9" + home).c_str()), 0);
  EXPECT_EQ(IsEntryValid(("Ren\xE9" + home).c_str()), 1);
  EXPECT_EQ(IsEntryValid(("O'Brien" + home).c_str()), 0);
}

}  // namespace
