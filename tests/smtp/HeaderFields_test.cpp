// Header fields within the rules: folding, encoded-words in context, and the
// two stamps every message carries.

#include "smtp/HeaderFields.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "smtp/MessageStamp.h"

namespace {

using Lines = std::vector<std::string>;

/// The field's lines joined as a reader unfolds them.
std::string Unfolded(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

/// Every continuation line starts with a blank, none is blank alone, and
/// each stays within width.
void ExpectFolded(const Lines& lines, size_t width, const std::string& name) {
  for (size_t k = 0; k < lines.size(); ++k) {
    EXPECT_LE(lines[k].size(), width) << name << ": " << lines[k];
    EXPECT_NE(lines[k].find_first_not_of(" \t"), std::string::npos) << name;
    if (k > 0) {
      EXPECT_TRUE(lines[k][0] == ' ' || lines[k][0] == '\t') << name << ": " << lines[k];
    }
  }
}

std::vector<std::string> Numbered(const char* pattern, int count) {
  std::vector<std::string> entries;
  for (int i = 0; i < count; ++i) {
    char entry[64];
    std::snprintf(entry, sizeof entry, pattern, i, i);
    entries.push_back(entry);
  }
  return entries;
}

TEST(HeaderFields, AddressLinesFoldOnlyBeyond998AtTheCommas) {
  const struct {
    const char* name;
    std::vector<std::string> entries;
    bool folded;  // else the line as it always was
  } cases[] = {
      {"a line of 998 octets stays whole", {std::string(994, 'a')}, false},
      {"many short addresses stay on one line within 998", Numbered("u%03d@x.example", 60), false},
      {"300 addresses fold", Numbered("user%03d@example.com", 300), true},
      {"display names stay with their mailbox", Numbered("User %d <user%d@example.com>", 60), true},
      {"an entry too long for a line breaks at its blanks",
       {std::string(950, 'n') + " <a@x>", "Very Long Name With Many Words In It And Then Some More Words Too <b@x>"},
       true},
  };
  for (const auto& c : cases) {
    const Lines lines = header_fields::AddressLines("To: ", c.entries, "UTF-8");
    EXPECT_EQ(lines.size() > 1, c.folded) << c.name;
    std::string joined = "To: ";
    for (size_t k = 0; k < c.entries.size(); ++k) joined += (k > 0 ? "," : "") + c.entries[k];
    if (lines.size() == 1) {
      EXPECT_EQ(lines[0], joined) << c.name;
      continue;
    }
    // Unfolded, the field is the entries with a blank after some commas.
    std::string unfolded = Unfolded(lines);
    unfolded = std::regex_replace(unfolded, std::regex(", "), ",");
    EXPECT_EQ(unfolded, joined) << c.name;
    ExpectFolded(lines, c.entries[0].size() > 900 ? 1000 : 78, c.name);
    // No entry is cut where it fits a line, and no line could have taken the next entry.
    for (size_t k = 0; k + 1 < lines.size() && c.entries[0].size() < 78; ++k) {
      EXPECT_EQ(lines[k].back(), ',') << c.name << ": " << lines[k];
      EXPECT_GT(lines[k].size() + lines[k + 1].find(','), 78u) << c.name << ": " << lines[k];
    }
  }
}

TEST(HeaderFields, SubjectLines) {
  const std::string longWords = [] {
    std::string text;
    for (int i = 0; i < 150; ++i) text += (i ? " word" : "word") + std::to_string(i);
    return text;
  }();
  const struct {
    const char* name;
    std::string subject;
    std::string charset;
    std::string unfoldedStart;  // what the lines begin with once unfolded
    bool folded;
  } cases[] = {
      {"ASCII within 998 as it is", std::string(989, 's'), "UTF-8", "Subject: sss", false},
      {"long ASCII folds between words", longWords, "UTF-8", "Subject: word0 word1 word2", true},
      {"a word no line holds becomes US-ASCII encoded-words", "Re: " + std::string(1000, 'w'), "UTF-8",
       "Subject: Re: =?US-ASCII?B?d3d3", true},
      {"8-bit text as encoded-words", "Report \xC3\xA9t\xC3\xA9", "UTF-8", "Subject: =?UTF-8?B?", false},
      {"long 8-bit text folds between its words", std::string(200, '\xE9'), "windows-1251",
       "Subject: =?windows-1251?B?6enp", true},
      {"a charset that cannot label 8-bit text", "caf\xE9", "us-ascii", "Subject: =?UNKNOWN-8BIT?B?Y2Fm6Q==?=", false},
      {"no token, no label", "caf\xE9", "bad charset", "Subject: =?UNKNOWN-8BIT?B?", false},
  };
  for (const auto& c : cases) {
    const Lines lines = header_fields::TextLines("Subject: ", c.subject, c.charset);
    EXPECT_EQ(lines.size() > 1, c.folded) << c.name;
    EXPECT_EQ(Unfolded(lines).substr(0, c.unfoldedStart.size()), c.unfoldedStart) << c.name;
    if (lines.size() > 1) ExpectFolded(lines, 78, c.name);
  }
  // Unfolded, a subject folded between words is the subject.
  EXPECT_EQ(Unfolded(header_fields::TextLines("Subject: ", longWords, "UTF-8")), "Subject: " + longWords);
}

TEST(MessageStamp, DateValues) {
  const struct {
    platform::LocalDateTime time;
    const char* expected;
  } cases[] = {
      {{2025, 3, 14, 2, 0, 1, 60}, "Fri, 14 Mar 2025 02:00:01 +0100"},
      {{2024, 2, 29, 23, 59, 60, -300}, "Thu, 29 Feb 2024 23:59:60 -0500"},
      {{2000, 1, 1, 0, 0, 0, 0}, "Sat, 1 Jan 2000 00:00:00 +0000"},
      {{2031, 12, 31, 12, 30, 5, 330}, "Wed, 31 Dec 2031 12:30:05 +0530"},
      {{2025, 6, 1, 8, 5, 9, -210}, "Sun, 1 Jun 2025 08:05:09 -0330"},
  };
  for (const auto& c : cases) EXPECT_EQ(DateValue(c.time), c.expected);
}

TEST(MessageStamp, IdentifiersAreRandomAtTheSendersDomain) {
  const struct {
    const char* from;
    const char* domain;  // nullptr: this machine's name, whatever it is, or localhost: a dot-atom
  } cases[] = {
      {"reports@example.com", "example.com"},
      {"odd@local@mail.example.org", "mail.example.org"},
      {"a@[192.0.2.1]", "[192.0.2.1]"},
      {"a@x", "x"},
      {"no-domain", nullptr},
      {"a@bad..domain", nullptr},
      {"a@", nullptr},
  };
  for (const auto& c : cases) {
    const std::string domain = MessageIdDomain(c.from);
    if (c.domain) {
      EXPECT_EQ(domain, c.domain) << c.from;
    } else {
      static const std::regex kDotAtom(R"([-A-Za-z0-9!#$%&'*+/=?^_`{|}~]+(\.[-A-Za-z0-9!#$%&'*+/=?^_`{|}~]+)*)");
      EXPECT_TRUE(std::regex_match(domain, kDotAtom)) << c.from << ": " << domain;
    }
  }
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = NewMessageId("example.com");
    ASSERT_TRUE(std::regex_match(id, std::regex("<[0-9a-f]{32}@example\\.com>"))) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 1000u);
}

}  // namespace
