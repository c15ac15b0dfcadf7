#include "platform/file_write.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "tests/common/temp_dir_fixture.h"

namespace {

namespace fs = std::filesystem;

using FileWriteTest = TempDirFixture;

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST_F(FileWriteTest, ReplacingWritesThroughLinksKeepsTheModeAndFitsEveryName) {
  // A private file behind a relative link, behind another link.
  const fs::path real = dir_ / "real.csv";
  std::ofstream(real) << "old";
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink("real.csv", dir_ / "link.csv");
  fs::create_symlink(dir_ / "link.csv", dir_ / "outer.csv");
  EXPECT_FALSE(platform::WriteFileReplacing((dir_ / "outer.csv").string(), "new"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.csv"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "outer.csv"));
  EXPECT_EQ(FileText(real), "new");
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // A link to nothing yet makes the file it names.
  fs::create_symlink("made.csv", dir_ / "dangling.csv");
  EXPECT_FALSE(platform::WriteFileReplacing((dir_ / "dangling.csv").string(), "made"));
  EXPECT_EQ(FileText(dir_ / "made.csv"), "made");

  // Names up to the system's longest, new and replaced.
  for (std::size_t length : {250, 255}) {
    const fs::path longest = dir_ / std::string(length, 'n');
    EXPECT_FALSE(platform::WriteFileReplacing(longest.string(), "1")) << length;
    EXPECT_FALSE(platform::WriteFileReplacing(longest.string(), "2")) << length;
    EXPECT_EQ(FileText(longest), "2") << length;
  }
  fs::create_symlink("loop.csv", dir_ / "loop.csv");
  EXPECT_EQ(platform::WriteFileReplacing((dir_ / "loop.csv").string(), "x").value(), ELOOP);
  // Nothing but the files written is left behind.
  EXPECT_EQ(Names(dir_),
            (std::set<std::string>{"real.csv", "link.csv", "outer.csv", "dangling.csv", "made.csv",
                                   "loop.csv", std::string(250, 'n'), std::string(255, 'n')}));
}

TEST_F(FileWriteTest, AFullDiskLeavesNothingBehind) {
  // In a child with a mount namespace of its own: a one-page tmpfs, filled first.
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=4k") != 0) {
      _exit(77);
    }
    std::ofstream(dir_ / "filler") << std::string(8192, 'f');
    const std::error_code error = platform::WriteFileReplacing((dir_ / "config.ini").string(), "x");
    std::fprintf(stderr, "%s; %zu files\n", error.message().c_str(), Names(dir_).size());
    _exit(error.value() == ENOSPC && Names(dir_) == std::set<std::string>{"filler"} ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
    GTEST_SKIP() << "no private mount namespace here (needs root and unshare)";
  }
  EXPECT_EQ(status, 0) << "the write did not fail with ENOSPC, or left a file (see stderr)";
}

}  // namespace
