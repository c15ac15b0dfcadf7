#include "platform/data_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/common/temp_dir_fixture.h"

namespace {

namespace fs = std::filesystem;

using DataFolderTest = TempDirFixture;

// Starts in start and moves as a Windows start would; where it ends up, and whether it
// said it moved.
std::pair<fs::path, bool> StartIn(const fs::path& start, const fs::path& folder,
                                  const fs::path& sample) {
  const fs::path old_cwd = fs::current_path();
  fs::current_path(start);
  const bool moved = platform::MoveToConfigFolder(folder, sample);
  const fs::path result = fs::current_path();
  fs::current_path(old_cwd);
  return {result, moved};
}

TEST_F(DataFolderTest, AStartWithoutConfigMovesToTheUserFolderAndNeverReplacesTheUsersFile) {
  const fs::path program = dir_ / "Program Files/Lumoret";
  const fs::path folder = dir_ / "AppData/Roaming/Lumoret";
  const fs::path sample = program / "config.sample.ini";
  fs::create_directories(program);
  std::ofstream(sample) << "# sample\n127.0.0.1\n";

  // The first start: the folder is made, the sample copied into it.
  EXPECT_EQ(StartIn(program, folder, sample), std::make_pair(folder, true));
  EXPECT_EQ(FileText(folder / "config.ini"), "# sample\n127.0.0.1\n");
  EXPECT_FALSE(fs::exists(program / "config.ini"));

  // The user's own list survives every later start, and a newer sample.
  std::ofstream(folder / "config.ini") << "192.0.2.7\n";
  std::ofstream(sample) << "# newer sample\n";
  EXPECT_EQ(StartIn(program, folder, sample), std::make_pair(folder, true));
  EXPECT_EQ(StartIn(folder, folder, sample), std::make_pair(folder, false));
  EXPECT_EQ(FileText(folder / "config.ini"), "192.0.2.7\n");

  // A config.ini in the working folder keeps the start there.
  std::ofstream(program / "config.ini") << "198.51.100.1\n";
  EXPECT_EQ(StartIn(program, folder, sample), std::make_pair(program, false));
  EXPECT_EQ(FileText(folder / "config.ini"), "192.0.2.7\n");
}

TEST_F(DataFolderTest, NoSampleLeavesTheDefaultToTheEngineAndAnUnmakeableFolderStaysPut) {
  const fs::path start = dir_ / "start";
  fs::create_directories(start);
  const fs::path folder = dir_ / "Roaming/Lumoret";
  EXPECT_EQ(StartIn(start, folder, dir_ / "missing.ini"), std::make_pair(folder, true));
  EXPECT_FALSE(fs::exists(folder / "config.ini"));
  // A sample that is a folder is no text to copy either.
  EXPECT_EQ(StartIn(start, folder, dir_), std::make_pair(folder, true));
  EXPECT_FALSE(fs::exists(folder / "config.ini"));
  EXPECT_EQ(fs::directory_iterator(folder), fs::directory_iterator());

  // A file where the folder should be.
  std::ofstream(dir_ / "blocker") << "x";
  EXPECT_EQ(StartIn(start, dir_ / "blocker/Lumoret", dir_ / "missing.ini"),
            std::make_pair(start, false));
}

}  // namespace
