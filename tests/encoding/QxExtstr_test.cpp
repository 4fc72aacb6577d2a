#include "encoding/QxExtstr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TExStringList ListOf(const std::vector<std::string>& lines, bool sorted = false) {
  TExStringList list;
  for (const std::string& line : lines) list.Add(line);
  list.SetSorted(sorted);
  return list;
}

struct LookupCase {
  const char* name;
  std::string field;
  int index;
};

}  // namespace

TEST(TExStringList, FieldIndexInAnUnsortedListFindsTheFirstMatchingLine) {
  const TExStringList list =
      ListOf({"From: <a@b>", "Subject: Hello", "NoColonHere", "X-Mailer: one", "subject: again", ": nameless"});
  const LookupCase cases[] = {
      {"other letter case", "subject", 1},
      {"upper case", "SUBJECT", 1},
      {"exact", "From", 0},
      {"with a hyphen", "x-mailer", 3},
      {"names are not trimmed", "Subject ", -1},
      {"a line without a colon is never found", "NoColonHere", -1},
      {"empty name finds the line that starts with a colon", "", 5},
      {"absent", "To", -1},
      {"prefix of a name is not the name", "Subj", -1},
  };
  for (const LookupCase& c : cases) EXPECT_EQ(list.FieldIndex(c.field), c.index) << c.name;
}

TEST(TExStringList, FieldIndexInASortedListFindsEveryLineByHalving) {
  const std::vector<std::string> names = {"Alpha", "Bravo", "Charlie", "Delta", "Echo", "Foxtrot", "Golf", "Hotel"};
  for (size_t count = 0; count <= names.size(); ++count) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < count; ++i) lines.push_back(names[count - 1 - i] + ": " + std::to_string(i));
    const TExStringList list = ListOf(lines, true);
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(list.FieldIndex(names[i]), static_cast<int>(i)) << names[i] << " of " << count;
      EXPECT_EQ(list.FieldIndex("zz" + names[i]), -1) << names[i] << " of " << count;
    }
    for (const char* absent : {"Aaa", "Bz", "Zulu", "alphA "}) {
      EXPECT_EQ(list.FieldIndex(absent), -1) << absent << " of " << count;
    }
    if (count > 0) {
      EXPECT_EQ(list.FieldIndex("ALPHA"), 0) << count;
    }
  }
}

struct SetCase {
  const char* name;
  std::vector<std::string> before;
  std::string field;
  std::string value;
  std::vector<std::string> after;
};

TEST(TExStringList, SetFieldValueReplacesAppendsOrDeletes) {
  const std::vector<std::string> header = {"From: <a@b>", "Subject: Old", "To: c@d"};
  const SetCase cases[] = {
      {"empty value for an absent field: unchanged", header, "X-Priority", "", header},
      {"empty value deletes the line", header, "subject", "", {"From: <a@b>", "To: c@d"}},
      {"new field appended at the end", header, "X-Mailer", "mailshot",
       {"From: <a@b>", "Subject: Old", "To: c@d", "X-Mailer: mailshot"}},
      {"existing field replaced in place, in the letter case given", header, "SUBJECT", "New: yes",
       {"From: <a@b>", "SUBJECT: New: yes", "To: c@d"}},
      {"an empty list gets the line", {}, "From", "x", {"From: x"}},
  };
  for (const SetCase& c : cases) {
    TExStringList list = ListOf(c.before);
    list.SetFieldValue(c.field, c.value);
    EXPECT_EQ(list.Items(), c.after) << c.name;
  }
}

TEST(TExStringList, SetFieldValueKeepsASortedListInOrder) {
  TExStringList list = ListOf({"Delta: 4", "Bravo: 2"}, true);
  list.SetFieldValue("Charlie", "3");
  list.SetFieldValue("alpha", "1");
  list.SetFieldValue("BRAVO", "two");
  list.SetFieldValue("Delta", "");
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"alpha: 1", "BRAVO: two", "Charlie: 3"}));
  EXPECT_EQ(list.FieldIndex("charlie"), 2);
}
