#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/Profile.h"
#include "platform/Text.h"

TEST(Text, Utf8RoundTripAndInvalidInput) {
  std::u16string s = u"Grüße \u6587\u4EF6 \U0001F600";
  EXPECT_EQ(text::FromUtf8(text::ToUtf8(s)), s);
  EXPECT_EQ(text::FromUtf8("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(text::FromUtf8("\xC3"), u"\uFFFD");           // truncated sequence
  EXPECT_EQ(text::ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");  // lone surrogate
}

namespace {
std::string TempIni(const std::string& content) {
  std::string path = std::filesystem::temp_directory_path() / ("quarrow-ini-" + std::to_string(::getpid()) + ".ini");
  std::ofstream(path) << content;
  return path;
}
}  // namespace

TEST(Profile, ReadsWithPrivateProfileRules) {
  std::string path = TempIni(
      "; comment\n[Other]\nKey=wrong\n[ settings ]\n  key = \"quoted value\"  \nEmpty=\nNum=42\nBad=12abc\n"
      "Neg=-3\n");
  EXPECT_EQ(profile::GetString(path, "Settings", "KEY", "d"), "quoted value");
  EXPECT_EQ(profile::GetString(path, "Settings", "Empty", "d"), "");
  EXPECT_EQ(profile::GetString(path, "Settings", "Missing", "d"), "d");
  EXPECT_EQ(profile::GetString(path, "Nope", "Key", "d"), "d");
  EXPECT_EQ(profile::GetString(path, "Settings", "Key", "d", 6), "quoted");
  EXPECT_EQ(profile::GetInt(path, "Settings", "Num", 7), 42);
  EXPECT_EQ(profile::GetInt(path, "Settings", "Bad", 7), 7);
  EXPECT_EQ(profile::GetInt(path, "Settings", "Empty", 7), 7);
  EXPECT_EQ(profile::GetInt(path, "Settings", "Neg", 7), -3);
  EXPECT_EQ(profile::GetString("/nonexistent.ini", "S", "K", "d"), "d");
  std::filesystem::remove(path);
}

TEST(Profile, WritesKeepOtherSectionsAndKeys) {
  std::string path = TempIni("[A]\nx=1\n\n[Settings]\nAutoUpdate=0\nKeep=yes\n");
  ASSERT_TRUE(profile::WriteString(path, "settings", "autoupdate", "1"));
  ASSERT_TRUE(profile::WriteString(path, "Settings", "New", "v"));
  ASSERT_TRUE(profile::WriteString(path, "Fresh", "k", "w"));
  EXPECT_EQ(profile::GetString(path, "Settings", "AutoUpdate", ""), "1");
  EXPECT_EQ(profile::GetString(path, "Settings", "Keep", ""), "yes");
  EXPECT_EQ(profile::GetString(path, "Settings", "New", ""), "v");
  EXPECT_EQ(profile::GetString(path, "A", "x", ""), "1");
  EXPECT_EQ(profile::GetString(path, "Fresh", "k", ""), "w");
  // A write into a folder that does not exist yet creates it.
  std::string nested = std::filesystem::temp_directory_path() / ("quarrow-ini-dir-" + std::to_string(::getpid())) / "a.conf";
  EXPECT_TRUE(profile::WriteString(nested, "S", "K", "V"));
  EXPECT_EQ(profile::GetString(nested, "S", "K", ""), "V");
  std::filesystem::remove_all(std::filesystem::path(nested).parent_path());
  std::filesystem::remove(path);
}
