#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include "settings/Language.h"
#include "settings/Settings.h"
#include "app/Updater.h"
#include "platform/Profile.h"
#include "platform/TempFiles.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {
fs::path ScratchDir(const std::string& name) {
  fs::path p = fs::temp_directory_path() / ("quarrow-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}
std::string Slurp(const fs::path& p) {
  std::ifstream in(p);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
}  // namespace

TEST(Settings, DefaultsWithoutAFileAndForGarbage) {
  auto dir = ScratchDir("settings");
  CSettings s;
  s.AutoUpdate = 9;
  s.Language = 5;
  LoadSettings(s, (dir / "missing.conf").string());
  EXPECT_EQ(s.AutoUpdate, 0u);
  EXPECT_EQ(s.Language, -1);
  EXPECT_EQ(s.ReplaceChar, u'_');
  EXPECT_EQ(s.ScanDir, 0u);
  EXPECT_EQ(s.DeepScanWizard, 1u);
  EXPECT_EQ(s.PreviewLargeFile, 10u);
  EXPECT_EQ(s.RecoveryWizard, 1u);

  std::string file = (dir / "garbage.conf").string();
  std::ofstream(file) << "[Settings]\nAutoUpdate=yes please\nPreviewLargeFile=-4\nScanDir=99999999999\n"
                         "Language=abc\nReplaceChar=\n\x01\x02 binary junk\n";
  LoadSettings(s, file);
  EXPECT_EQ(s.AutoUpdate, 0u);
  EXPECT_EQ(s.PreviewLargeFile, 10u);
  EXPECT_EQ(s.ScanDir, 0u);
  EXPECT_EQ(s.Language, -1);
  EXPECT_EQ(s.ReplaceChar, u'_');
  fs::remove_all(dir);
}

TEST(Settings, SaveWritesEverythingButLanguageAndReplaceCharIsOneCharacter) {
  auto dir = ScratchDir("settings-save");
  std::string file = (dir / "Tarnwell" / "Tarnwell Quarrow.conf").string();
  CSettings s;
  s.AutoUpdate = 1;
  s.ReplaceChar = u'ß';
  s.ScanDir = 1;
  s.Language = 12;
  s.PreviewLargeFile = 50;
  ASSERT_TRUE(SaveSettings(s, file));
  EXPECT_FALSE(profile::Read(file, "Settings", "Language").has_value());
  CSettings back;
  LoadSettings(back, file);
  EXPECT_EQ(back.AutoUpdate, 1u);
  EXPECT_EQ(back.ReplaceChar, u'ß');
  EXPECT_EQ(back.ScanDir, 1u);
  EXPECT_EQ(back.PreviewLargeFile, 50u);
  EXPECT_EQ(back.Language, -1);
  // Several characters: the first is used. An empty character is stored empty and read as "_".
  profile::WriteString(file, "Settings", "ReplaceChar", "#abc");
  LoadSettings(back, file);
  EXPECT_EQ(back.ReplaceChar, u'#');
  s.ReplaceChar = 0;
  ASSERT_TRUE(SaveSettings(s, file));
  LoadSettings(back, file);
  EXPECT_EQ(back.ReplaceChar, u'_');
  fs::remove_all(dir);
}

TEST(Language, FileChoiceByLanguageIdAndFallBack) {
  auto dir = ScratchDir("lang");
  std::string d = dir.string() + "/";
  std::ofstream(d + "french.ini") << "[String]\nIDS_FILE_PROERITIES_STATUS_POOR=Faible\n";
  std::ofstream(d + "spanish.ini") << "[String]\n";
  std::ofstream(d + "english.ini") << "[String]\nIDS_FILE_OVERWRITE=Line one\\nLine two\nIDS_FILE_PROERITIES_BYTES=\n";
  struct Case {
    int id;
    const char* file;
  } cases[] = {{0x040C, "french.ini"}, {0x0C0A, "spanish.ini"}, {0x0407, "english.ini"} /* german.ini absent */,
               {0x0411, "english.ini"}, {12, "french.ini"}};
  for (const auto& c : cases) {
    ChooseLanguageFile(c.id, d);
    EXPECT_EQ(LanguageFilePath(), d + c.file) << std::hex << c.id;
  }
  setenv("LANG", "fr_FR.UTF-8", 1);
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  ChooseLanguageFile(-1, d);
  EXPECT_EQ(LanguageFilePath(), d + "french.ini");
  EXPECT_EQ(GetString("IDS_FILE_PROERITIES_STATUS_POOR", u"Poor"), u"Faible");
  EXPECT_EQ(GetString("IDS_FILE_PROERITIES_STATUS_GOOD", u"Good"), u"Good");

  ChooseLanguageFile(0x0409, d);
  EXPECT_EQ(GetString("IDS_FILE_OVERWRITE", u"x"), u"Line one\nLine two");
  EXPECT_EQ(GetString("IDS_FILE_PROERITIES_BYTES", u"Bytes"), u"");  // present and empty
  // Neither file present: every text is the built-in one.
  ChooseLanguageFile(0x0407, d + "none/");
  EXPECT_EQ(GetString("IDS_FILE_PROERITIES_STATUS_POOR", u"Poor"), u"Poor");
  ChooseLanguageFile(0x0409, "/nonexistent/");
  fs::remove_all(dir);
}

TEST(TempFiles, TwentySevenReservedAndRemoved) {
  auto dir = ScratchDir("tmp");
  {
    tempfiles::CReservedTempNames names;
    ASSERT_TRUE(names.Reserve(dir.string()));
    EXPECT_EQ(names.Count(), 27);
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
      std::string n = e.path().filename().string();
      EXPECT_EQ(n.rfind("~DF", 0), 0u);
      EXPECT_EQ(e.path().extension(), ".tmp");
      ++files;
    }
    EXPECT_EQ(files, 27);
    EXPECT_TRUE(fs::exists(dir / (names.Stem(26) + ".tmp")));
  }
  EXPECT_TRUE(fs::is_empty(dir));
  // A folder that cannot take files makes the reservation fail cleanly.
  tempfiles::CReservedTempNames names;
  EXPECT_FALSE(names.Reserve((dir / "missing").string()));
  fs::remove_all(dir);
}

TEST(TempFiles, RemovedWhenTheProcessEndsOnASignal) {
  auto dir = ScratchDir("tmp-signal");
  pid_t pid = ::fork();
  if (pid == 0) {
    tempfiles::CReservedTempNames names;
    tempfiles::InstallCleanupHandlers();
    if (!names.Reserve(dir.string())) ::_exit(3);
    ::raise(SIGTERM);
    ::_exit(4);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(fs::is_empty(dir));
  fs::remove_all(dir);
}

TEST(Updater, StartsTheProgramWithTheQuietArgumentAndIgnoresItsAbsence) {
  auto dir = ScratchDir("updater");
  fs::path out = dir / "args.txt";
  fs::path prog = dir / "UpdateManager";
  std::ofstream(prog) << "#!/bin/sh\necho \"[$*]\" >> '" << out.string() << "'\n";
  ::chmod(prog.c_str(), 0755);
  std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (dir.string() + ":" + oldPath).c_str(), 1);
  EXPECT_TRUE(RunUpdater(true));
  EXPECT_TRUE(RunUpdater(false));
  // Nothing waits for the updater: wait here for both runs to have written.
  WaitUntil([&] { return Slurp(out).size() >= 6; }, std::chrono::seconds(10));
  std::string text = Slurp(out);
  EXPECT_NE(text.find("[q]"), std::string::npos);
  EXPECT_NE(text.find("[]"), std::string::npos);
  setenv("PATH", dir.string().c_str(), 1);
  fs::remove(prog);
  EXPECT_FALSE(RunUpdater(false));
  setenv("PATH", oldPath.c_str(), 1);
  fs::remove_all(dir);
}
