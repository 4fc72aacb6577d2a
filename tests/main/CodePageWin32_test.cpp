#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/CodePage.h"

// The conversions use the system's own code pages; these expectations hold
// for the Western European pair, ANSI 1252 with OEM 437 or 850.
TEST(SubjectConversions, UseTheSystemCodePages) {
  if (::GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << ::GetACP();
  EXPECT_EQ(platform::ConvertAnsiToOem("caf\xE9 \xC9t\xE9"), "caf\x82 \x90t\x82");
  EXPECT_EQ(platform::ConvertAnsiToOem(""), "");
  EXPECT_EQ(platform::ConvertAnsiToKoi8r("Report 7"), "Report 7");
  EXPECT_EQ(platform::ConvertAnsiToKoi8r(""), "");
  // KOI8-R has no accented Latin letters: one byte stands for each.
  EXPECT_EQ(platform::ConvertAnsiToKoi8r("caf\xE9").size(), 4u);
  EXPECT_EQ(platform::ConvertAnsiToKoi8r("caf\xE9").substr(0, 3), "caf");
  EXPECT_EQ(platform::SystemCharsetName(), "windows-1252");
  EXPECT_EQ(platform::OemCharsetName(), "IBM" + std::to_string(::GetOEMCP()));
}
