// The settings as read from and saved to the user's settings file: bad values fall back
// to their defaults with a line that says so, the file is written whole or not at all,
// and what cannot be read is never written over.
#include "ui/lumoret_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <wx/init.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/temp_dir_fixture.h"
#include "ui/settings_file.h"

namespace {

// The values on one line: down after, window, loss %, delay ms, then alerts, sound, tray
// icon and minimise to tray as 0 or 1, then the minutes between look-ups.
std::string Values(const LumoretSettings& settings) {
  std::ostringstream text;
  text << settings.rules.down_after_lost << ' ' << settings.rules.window << ' '
       << settings.rules.lossy_loss_percent << ' ' << settings.rules.lossy_delay_ms << ' '
       << settings.alerts << settings.sound << settings.tray_icon << settings.minimise_to_tray
       << ' ' << settings.resolve_minutes;
  return text.str();
}

// The defaults as the issue and the rules' comments give them.
const std::string kDefaults = "2 20 10 200 1010 5";

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

class SettingsFileTest : public TempDirFixture {
 protected:
  // The toolkit's log reaches its target only from the thread it knows as its main one.
  static void SetUpTestSuite() { toolkit_ = new wxInitializer; }
  static void TearDownTestSuite() { delete toolkit_; }
  static inline wxInitializer* toolkit_ = nullptr;  // for the whole suite

  // The settings a file with text loads as, and the problems told.
  LumoretSettings LoadText(const std::string& text, std::vector<std::string>* problems) {
    std::ofstream(path_, std::ios::binary) << text;
    const auto file = SettingsFile::Open(path_.string(), problems);
    return LoadSettings(*file, problems);
  }

  void SetUp() override {
    TempDirFixture::SetUp();
    path_ = dir_ / "lumoret" / "lumoret.conf";
    std::filesystem::create_directory(dir_ / "lumoret");
  }

  std::filesystem::path path_;  // the settings file, in a folder of its own
};

TEST_F(SettingsFileTest, BadValuesLoadAsDefaultsEachWithALineNamingFileKeyValueAndDefault) {
  std::vector<std::string> problems;
  EXPECT_EQ(
      Values(LoadText("[State]\nDownAfterLost=0\nWindow=65\nLossyLossPercent=abc\nLossyDelayMs=\n"
                      "[Alerts]\nEnabled=yes\nSound=2\n[Tray]\nIcon=-1\nMinimise=0x1\n"
                      "[Names]\nResolveMinutes=1441\n",
                      &problems)),
      kDefaults);
  ASSERT_EQ(problems.size(), 9u) << Joined(problems);
  const std::string text = Joined(problems);
  for (const std::string& told :
       {path_.string() + ": /State/Window is \"65\", not a whole number from 1 to 64; using 20.\n",
        std::string("/State/LossyDelayMs is \"\", not a whole number from 1 to 5000; using 200."),
        std::string("/Alerts/Enabled is \"yes\", not 0, 1, true or false; using true.")}) {
    EXPECT_NE(text.find(told), std::string::npos) << text;
  }

  // A value that fits is taken even beside bad ones, with spaces and in any case.
  problems.clear();
  const LumoretSettings mixed = LoadText(
      "[State]\nWindow= 64 \nLossyDelayMs=99999999999999999999\n[Tray]\nIcon=FALSE\n"
      "[Names]\nResolveMinutes=0\n",
      &problems);
  EXPECT_EQ(Values(mixed), "2 64 10 200 1000 0") << "200: a number too large for long, not wrapped";
  EXPECT_EQ(problems.size(), 1u) << Joined(problems);
}

TEST_F(SettingsFileTest, GarbageLoadsAsDefaultsToldInAFewLinesAndIsNotLost) {
  // Binary: NULs, bytes that are no UTF-8. Moved aside whole, and saving works again.
  std::string binary;
  for (int i = 0; i < 4000; ++i) {
    binary += static_cast<char>((i * 7919) % 256);
  }
  std::vector<std::string> problems;
  {
    const LumoretSettings loaded = LoadText(binary, &problems);
    EXPECT_EQ(Values(loaded), kDefaults);
    ASSERT_EQ(problems.size(), 1u) << Joined(problems);
    EXPECT_NE(problems[0].find("kept as " + path_.string() + ".bad"), std::string::npos)
        << problems[0];
    EXPECT_EQ(FileText(path_.string() + ".bad"), binary);
  }
  problems.clear();
  EXPECT_TRUE(SaveSettings(*SettingsFile::Open(path_.string(), &problems), LumoretSettings()));
  EXPECT_TRUE(problems.empty()) << Joined(problems);

  // Text that is no settings, on many lines: a few lines tell it, not one per line.
  std::string text;
  for (int i = 0; i < 500; ++i) {
    text += "garbage " + std::to_string(i) + "\n";
  }
  problems.clear();
  EXPECT_EQ(Values(LoadText(text, &problems)), kDefaults);
  EXPECT_FALSE(problems.empty()) << "garbage read silently";
  EXPECT_LE(problems.size(), SettingsFile::kToldLines + 1) << Joined(problems);

  // A group header cut short: its keys are not taken for another group's.
  problems.clear();
  EXPECT_EQ(Values(LoadText("[State\nWindow=30\n[Alerts\nEnabled=0\n", &problems)), kDefaults);
  EXPECT_FALSE(problems.empty());
}

TEST_F(SettingsFileTest, SavedSettingsReadBackAndTheFileKeepsWhatItDidNotUnderstand) {
  std::filesystem::remove_all(dir_ / "lumoret");  // the folder is made on the first save
  LumoretSettings saved;
  saved.rules = {7, 64, 1, 5000};
  saved.alerts = false;
  saved.sound = true;
  saved.tray_icon = false;
  saved.minimise_to_tray = true;
  saved.resolve_minutes = 1440;
  std::vector<std::string> problems;  // none, not even for the first start's missing file
  {
    auto file = SettingsFile::Open(path_.string(), &problems);
    ASSERT_TRUE(SaveSettings(*file, saved)) << file->problem();
  }
  std::ofstream(path_, std::ios::app) << "# the user's note\n[Other]\nKey=kept\n";
  const auto file = SettingsFile::Open(path_.string(), &problems);
  const LumoretSettings loaded = LoadSettings(*file, &problems);
  EXPECT_TRUE(problems.empty()) << Joined(problems);
  EXPECT_EQ(Values(loaded), "7 64 1 5000 0101 1440");

  // Saved again: the user's lines stay, and no temporary file is left beside it.
  ASSERT_TRUE(SaveSettings(*file, LumoretSettings()));
  const std::string text = FileText(path_);
  EXPECT_NE(text.find("# the user's note\n[Other]\nKey=kept\n"), std::string::npos) << text;
  EXPECT_NE(text.find("DownAfterLost=2\n"), std::string::npos) << text;
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "lumoret")) {
    ++entries;
    EXPECT_EQ(entry.path(), path_);
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(SettingsFileTest, AFileThatCannotBeReadIsToldAndNeverWrittenOver) {
  // A FIFO would block the start for good if it were opened; a folder cannot be read.
  ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  std::vector<std::string> problems;
  auto fifo = SettingsFile::Open(path_.string(), &problems);
  ASSERT_EQ(problems.size(), 1u) << Joined(problems);
  EXPECT_NE(problems[0].find(path_.string() + ": cannot be read (it is not a regular file)"),
            std::string::npos)
      << problems[0];
  EXPECT_FALSE(SaveSettings(*fifo, LumoretSettings()));
  EXPECT_TRUE(std::filesystem::is_fifo(path_));
  std::filesystem::remove(path_);

  std::filesystem::create_directory(path_);
  problems.clear();
  auto folder = SettingsFile::Open(path_.string(), &problems);
  EXPECT_EQ(Values(LoadSettings(*folder, &problems)), kDefaults);
  EXPECT_EQ(problems.size(), 1u) << Joined(problems);
  EXPECT_FALSE(SaveSettings(*folder, LumoretSettings()));
  EXPECT_TRUE(std::filesystem::is_directory(path_));
}

}  // namespace
