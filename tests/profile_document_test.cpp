// The indexed document against the pure engine it stands in for: on random
// files and random edit sequences, its answers are FindValue's and its
// bytes are exactly those of the same WithValue calls.
#include "platform/profile_document.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/profile.h"

using userprofile::profile::Document;
using userprofile::profile::FindValue;
using userprofile::profile::SameName;
using userprofile::profile::Trim;
using userprofile::profile::WithValue;

namespace {

// Names that meet and miss each other under ASCII folding and trimming,
// and names that make a written line parse as something else.
const std::vector<std::string> kSections = {
    "LUSER", "luser", " LUSER ", "NUSER",     "DEFUSER", "",
    " ",     "a]b",   "x",       "\xE9t\xE9", "[y"};
const std::vector<std::string> kKeys = {
    "1", "2",   "10", " 2 ", "NO",  "no",    "DefaultUser",
    "",  "a=b", "a",  "[k",  "[z]", "k\x1A", "\xE9"};
const std::vector<std::string> kValues = {
    "",  "Ann,AnnLee00", "\"q\"", " lead", "trail ", "x]", "'", "=",
    "7", "a;b",          "[v]",   "\xFF"};

std::string Pick(std::mt19937& rng, const std::vector<std::string>& from) {
  return from[std::uniform_int_distribution<std::size_t>(0,
                                                         from.size() - 1)(rng)];
}

// A file of headers, key lines, blank lines and garbage in random order,
// with every kind of line break, NULs, quotes, duplicates and a byte order
// mark now and then.
std::string RandomProfile(std::mt19937& rng) {
  std::uniform_int_distribution<int> pct(0, 99);
  std::string out;
  if (pct(rng) < 10) out += "\xEF\xBB\xBF";
  const int lines = std::uniform_int_distribution<int>(0, 30)(rng);
  const char* breaks[] = {"\r\n", "\n", "\r"};
  const char* main_break = breaks[pct(rng) % 3];
  for (int i = 0; i < lines; ++i) {
    const int kind = pct(rng);
    if (kind < 20) {
      out += (pct(rng) < 20 ? "  [" : "[") + Pick(rng, kSections) + "]";
      if (pct(rng) < 10) out += " ; note";
    } else if (kind < 75) {
      out += (pct(rng) < 15 ? " " : "") + Pick(rng, kKeys) +
             (pct(rng) < 15 ? " = " : "=") + Pick(rng, kValues);
    } else if (kind < 85) {
      out += pct(rng) < 50 ? "" : "  \t";
    } else if (kind < 90) {
      out += std::string("k") + '\0' + "=hidden";
    } else if (kind < 95) {
      out += "; comment [";
    } else {
      out += "[unclosed=1";
    }
    if (i + 1 < lines || pct(rng) < 70) {
      out += pct(rng) < 10 ? breaks[pct(rng) % 3] : main_break;
    }
  }
  return out;
}

void ExpectSameReads(const Document& doc, const std::string& bytes,
                     const std::string& context) {
  for (const std::string& section : kSections) {
    for (const std::string& key : kKeys) {
      EXPECT_EQ(doc.Find(section, key), FindValue(bytes, section, key))
          << context << " [" << section << "] " << key;
    }
  }
}

}  // namespace

TEST(DocumentMatchesEngine, ReadsOfRandomFilesAnswerAsFindValue) {
  for (unsigned seed = 0; seed < 400; ++seed) {
    std::mt19937 rng(seed);
    const std::string bytes = RandomProfile(rng);
    Document doc(bytes);
    ASSERT_EQ(doc.Bytes(), bytes) << "seed " << seed;
    ASSERT_EQ(doc.size(), bytes.size());
    ExpectSameReads(doc, bytes, "seed " + std::to_string(seed));
  }
}

TEST(DocumentMatchesEngine, RandomEditSequencesGiveWithValueBytes) {
  for (unsigned seed = 0; seed < 400; ++seed) {
    std::mt19937 rng(1000 + seed);
    std::string expected = RandomProfile(rng);
    Document doc(expected);
    const int edits = std::uniform_int_distribution<int>(1, 25)(rng);
    for (int e = 0; e < edits; ++e) {
      const std::string section = Pick(rng, kSections);
      const std::string key = Pick(rng, kKeys);
      const std::string value = Pick(rng, kValues);
      expected = *WithValue(expected, section, key, value);
      ASSERT_TRUE(doc.Set(section, key, value));
      ASSERT_EQ(doc.Bytes(), expected)
          << "seed " << seed << " edit " << e << ": [" << section << "] " << key
          << "=" << value;
      ASSERT_EQ(doc.size(), expected.size());
      ASSERT_TRUE(doc.HasBytes(expected));
    }
    ExpectSameReads(doc, expected, "seed " + std::to_string(seed));
  }
}

// Readers that index a whole section (the user lookup) take its keys from
// ForEachKey: every key Find answers for, once, with Find's value.
TEST(DocumentMatchesEngine, EachKeyOfASectionIsVisitedOnceWithItsValue) {
  auto folded = [](std::string_view key) {
    std::string f(Trim(key));
    for (char& c : f) c = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
    return f;
  };
  for (unsigned seed = 0; seed < 300; ++seed) {
    std::mt19937 rng(9000 + seed);
    Document doc(RandomProfile(rng));
    const int edits = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int e = 0; e < edits; ++e) {
      doc.Set(Pick(rng, kSections), Pick(rng, kKeys) + std::to_string(e % 3),
              Pick(rng, kValues));
    }
    const std::string bytes = doc.Bytes();
    for (const std::string& section : kSections) {
      std::set<std::string> seen;
      doc.ForEachKey(
          section, [&](std::string_view key, std::string_view value) {
            EXPECT_TRUE(seen.insert(folded(key)).second)
                << "seed " << seed << " key " << key << " twice";
            EXPECT_EQ(FindValue(bytes, section, key), value) << "seed " << seed;
          });
      for (const std::string& base : kKeys) {
        for (const std::string& key :
             {base, base + "0", base + "1", base + "2"}) {
          EXPECT_EQ(FindValue(bytes, section, key).has_value(),
                    seen.count(folded(key)) > 0)
              << "seed " << seed << " [" << section << "] " << key;
        }
      }
    }
  }
}

TEST(DocumentMatchesEngine, KeyWrittenAsHeaderRestructuresLikeTheEngine) {
  // "[z]=v" is a header line: later keys of the section fall under it.
  std::string expected = "[A]\r\nk=1\r\n[B]\r\nj=2\r\n";
  Document doc(expected);
  for (auto [section, key, value] :
       {std::tuple{"A", "[z]", "v"}, std::tuple{"A", "k", "3"},
        std::tuple{"z]=v", "k", "4"}, std::tuple{"A", "m", "5"}}) {
    expected = *WithValue(expected, section, key, value);
    ASSERT_TRUE(doc.Set(section, key, value));
    ASSERT_EQ(doc.Bytes(), expected) << key;
    ExpectSameReads(doc, expected, key);
    EXPECT_EQ(doc.Find(section, key), FindValue(expected, section, key));
  }
  // A rewritten value can close an unclosed '[' key into a header.
  expected = "[A]\r\n[k=1\r\nm=2\r\n";
  Document doc2(expected);
  expected = *WithValue(expected, "A", "[k", "x]");
  ASSERT_TRUE(doc2.Set("A", "[k", "x]"));
  EXPECT_EQ(doc2.Bytes(), expected);
  EXPECT_EQ(doc2.Find("A", "m"), FindValue(expected, "A", "m"));
}

TEST(DocumentMatchesEngine, LineBreakingArgumentsAreRefusedUnchanged) {
  Document doc("[A]\nk=1\n");
  const std::uint64_t version = doc.version();
  EXPECT_FALSE(doc.Set("A", "k", "x\ny"));
  EXPECT_FALSE(doc.Set("A", std::string("k\0", 2), "x"));
  EXPECT_FALSE(doc.Set("A\r", "k", "x"));
  EXPECT_EQ(doc.Bytes(), "[A]\nk=1\n");
  EXPECT_EQ(doc.version(), version);
}

TEST(DocumentMatchesEngine, SameSizeDifferentBytesAreNotTheDocument) {
  Document doc("[A]\r\nk=1\r\n");
  EXPECT_TRUE(doc.HasBytes("[A]\r\nk=1\r\n"));
  EXPECT_FALSE(doc.HasBytes("[A]\r\nk=2\r\n"));
  EXPECT_FALSE(doc.HasBytes("[A]\r\nk=1\r"));
  ASSERT_TRUE(doc.Set("A", "j", "2"));
  EXPECT_TRUE(doc.HasBytes("[A]\r\nk=1\r\nj=2\r\n"));
  EXPECT_FALSE(doc.HasBytes("[A]\r\nj=2\r\nk=1\r\n"));
}

// A reader that keeps something derived from the document relies on the
// change record naming every key whose value moved.
TEST(DocumentChanges, EveryChangedAnswerIsNamed) {
  for (unsigned seed = 0; seed < 200; ++seed) {
    std::mt19937 rng(5000 + seed);
    std::string bytes = RandomProfile(rng);
    Document doc(bytes);
    const std::uint64_t start = doc.version();
    const std::string before = doc.Bytes();
    const int edits = std::uniform_int_distribution<int>(1, 10)(rng);
    for (int e = 0; e < edits; ++e) {
      doc.Set(Pick(rng, kSections), Pick(rng, kKeys), Pick(rng, kValues));
    }
    std::vector<std::pair<std::string, std::string>> named;
    if (!doc.ChangesSince(start, [&](std::string_view s, std::string_view k) {
          named.emplace_back(std::string(s), std::string(k));
        })) {
      continue;  // rebuilt: every reader starts over
    }
    for (const std::string& section : kSections) {
      for (const std::string& key : kKeys) {
        if (doc.Find(section, key) == FindValue(before, section, key)) continue;
        bool found = false;
        for (const auto& [s, k] : named) {
          found =
              found || (SameName(Trim(section), s) && SameName(Trim(key), k));
        }
        EXPECT_TRUE(found) << "seed " << seed << " [" << section << "] " << key;
      }
    }
  }
}

TEST(DocumentChanges, RecordThatNoLongerReachesBackSaysSo) {
  Document doc("[LUSER]\r\n");
  const std::uint64_t start = doc.version();
  for (int i = 0; i < 10000; ++i) doc.Set("LUSER", std::to_string(i), "x,y");
  EXPECT_FALSE(
      doc.ChangesSince(start, [](std::string_view, std::string_view) {}));
  int named = 0;
  EXPECT_TRUE(doc.ChangesSince(
      doc.version() - 3, [&](std::string_view, std::string_view) { ++named; }));
  EXPECT_EQ(named, 3);
  // A restructuring edit is a change of everything.
  const std::uint64_t before = doc.version();
  doc.Set("LUSER", "[h]", "v");
  EXPECT_FALSE(
      doc.ChangesSince(before, [](std::string_view, std::string_view) {}));
}

TEST(DocumentChanges, ValueWrittenAgainChangesNothing) {
  Document doc("[A]\r\nk=\"1\"\r\n");
  const std::uint64_t version = doc.version();
  EXPECT_TRUE(doc.Set("a", " K ", "1"));
  EXPECT_EQ(doc.version(), version);
  EXPECT_EQ(doc.Bytes(), "[A]\r\nk=\"1\"\r\n");
}

TEST(DocumentScale, HundredThousandEditsStayLinear) {
  // Rewriting and adding keys must not rebuild the bytes per edit: this
  // runs in well under a second only if each edit is O(1).
  std::string content = "[NUSER]\r\nNO=100000\r\n[LUSER]\r\n";
  for (int i = 1; i <= 100000; ++i) {
    content += std::to_string(i) + "=u" + std::to_string(i) + ",u0000000\r\n";
  }
  Document doc(content);
  for (int i = 1; i <= 100000; ++i) {
    doc.Set("LUSER", std::to_string(i), "v" + std::to_string(i) + ",v0000000");
  }
  for (int i = 100001; i <= 150000; ++i) {
    doc.Set("LUSER", std::to_string(i), "w,w0000000");
  }
  EXPECT_EQ(doc.Find("luser", "77"), "v77,v0000000");
  EXPECT_EQ(doc.Find("luser", "150000"), "w,w0000000");
  const std::string bytes = doc.Bytes();
  EXPECT_EQ(FindValue(bytes, "LUSER", "150000"), "w,w0000000");
  EXPECT_EQ(bytes.size(), doc.size());
}
