// The indexed document against itself and the edit of raw bytes it falls
// back to: on random files and random edit sequences, its index answers
// as a walk over its lines, an edited document as the same bytes parsed
// anew, and its bytes are exactly those of the same WithValue calls. (The
// reading rules themselves are held to the Windows services in
// tests/win/profile_diff_test.cpp.)
#include "registry/profile_document.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "registry/profile.h"

using userprofile::profile::Document;
using userprofile::profile::KeyLine;
using userprofile::profile::SameName;
using userprofile::profile::SplitKeyLine;
using userprofile::profile::Trim;
using userprofile::profile::Unquote;
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

// The value of the key's first line met on a walk over the section.
std::optional<std::string_view> FirstOnWalk(const Document& doc,
                                            std::string_view section,
                                            std::string_view key) {
  std::optional<std::string_view> found;
  doc.ForEachLine(section, [&](std::string_view k, std::string_view value) {
    if (!found && SameName(k, Trim(key))) found = value;
  });
  return found;
}

// Every read of the document answers as a walk over its lines and as its
// bytes parsed anew.
void ExpectSameReads(const Document& doc, const std::string& bytes,
                     const std::string& context) {
  const Document fresh(bytes);
  for (const std::string& section : kSections) {
    for (const std::string& key : kKeys) {
      EXPECT_EQ(doc.Find(section, key), fresh.Find(section, key))
          << context << " [" << section << "] " << key;
      EXPECT_EQ(fresh.Find(section, key), FirstOnWalk(fresh, section, key))
          << context << " [" << section << "] " << key;
    }
  }
}

}  // namespace

TEST(DocumentMatchesEngine, ReadsOfRandomFilesAnswerAsAWalkOverTheLines) {
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

// Readers that walk a whole section (the user lookup) take its lines from
// ForEachLine: every key line in file order, duplicates included, as the
// section service gives them.
TEST(DocumentMatchesEngine, EachKeyLineOfASectionIsVisitedInFileOrder) {
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
      std::string visited;
      doc.ForEachLine(section,
                      [&](std::string_view key, std::string_view value) {
                        visited.append(key).append("=").append(value);
                        visited.push_back('\0');
                      });
      std::string expected;
      const std::string all = Document(bytes).SectionLines(section);
      std::string_view lines = all;
      while (!lines.empty()) {
        const std::size_t end = lines.find('\0');
        if (std::optional<KeyLine> kl = SplitKeyLine(lines.substr(0, end))) {
          expected.append(kl->key).append("=").append(Unquote(kl->value));
          expected.push_back('\0');
        }
        lines.remove_prefix(end + 1);
      }
      EXPECT_EQ(visited, expected) << "seed " << seed << " [" << section << "]";
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
    EXPECT_EQ(doc.Find(section, key), Document(expected).Find(section, key));
  }
  // A rewritten value can close an unclosed '[' key into a header.
  expected = "[A]\r\n[k=1\r\nm=2\r\n";
  Document doc2(expected);
  expected = *WithValue(expected, "A", "[k", "x]");
  ASSERT_TRUE(doc2.Set("A", "[k", "x]"));
  EXPECT_EQ(doc2.Bytes(), expected);
  EXPECT_EQ(doc2.Find("A", "m"), Document(expected).Find("A", "m"));
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

// GetPrivateProfileSectionA lists a line without '=' inside the section
// as the line itself; blank lines, comments and other sections are left
// out.
TEST(DocumentSections, LineWithoutEqualsIsListedAsItself) {
  const Document doc(
      "[s]\r\nname1=val1\r\n  name3 \r\n\r\n ;c=1\r\nname4 = \"val4\"\r\n[t]\r\nx\r\n");
  EXPECT_EQ(doc.SectionLines("S"),
            std::string("name1=val1\0name3\0name4=\"val4\"\0", 30));
  EXPECT_EQ(doc.Find("s", "name3"), std::nullopt) << "still no key";
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
  EXPECT_EQ(userprofile::profile::ValueIn(bytes, "LUSER", "150000"), "w,w0000000");
  EXPECT_EQ(bytes.size(), doc.size());
}

// A removed key leaves no byte of its line, duplicates included; a later
// line of the same key is not found again, and a key set afterwards goes
// where a new key goes, even when the removed line was the file's last
// and had no break.
TEST(DocumentChanges, RemovedKeysLeaveNoByteAndNewKeysStillFollowTheSection) {
  Document doc("[A]\r\n1=x\r\n2=y\r\n2=dup\r\n[B]\r\nk=v\r\n[A]\r\n2=z");
  EXPECT_EQ(doc.RemoveKeys("a", [](std::string_view key) { return key == "2"; }),
            2u);
  EXPECT_EQ(doc.Bytes(), "[A]\r\n1=x\r\n[B]\r\nk=v\r\n[A]\r\n2=z");
  EXPECT_FALSE(doc.Find("A", "2"));
  ASSERT_TRUE(doc.Set("A", "3", "w"));
  EXPECT_EQ(doc.Bytes(), "[A]\r\n1=x\r\n3=w\r\n[B]\r\nk=v\r\n[A]\r\n2=z");

  Document last("[A]\r\n1=x\r\n2=y");
  last.RemoveKeys("A", [](std::string_view key) { return key == "2"; });
  ASSERT_TRUE(last.Set("A", "2", "z"));
  ASSERT_TRUE(last.Set("B", "k", "v"));
  EXPECT_EQ(last.Bytes(), "[A]\r\n1=x\r\n2=z\r\n[B]\r\nk=v\r\n");
  EXPECT_TRUE(last.HasBytes(last.Bytes()));
}
