#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

// The single-instance rule is tested on the whole program (program_test.sh).
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumoret_platform_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  template <typename Pred>
  static bool WaitFor(Pred pred) {
    for (int i = 0; i < 300; ++i) {
      if (pred()) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  fs::path dir_;
};

TEST_F(PlatformTest, HelpOpensTheFileQuietlyAndLeavesNoChild) {
  // A stand-in for the desktop's opener: records its argument, makes noise on stderr.
  const fs::path bin = dir_ / "bin";
  fs::create_directory(bin);
  const fs::path record = dir_ / "opened";
  {
    std::ofstream script(bin / "xdg-open");
    script << "#!/bin/sh\necho noise >&2\necho noise\nprintf '%s' \"$1\" > " << record
           << ".tmp\nmv " << record << ".tmp " << record << "\n";
  }
  fs::permissions(bin / "xdg-open", fs::perms::owner_all);
  const std::string old_path = std::getenv("PATH");
  ::setenv("PATH", (bin.string() + ":" + old_path).c_str(), 1);
  const fs::path old_cwd = fs::current_path();
  fs::current_path(dir_);
  // Our stderr goes to a file while the opener runs.
  const fs::path err = dir_ / "stderr";
  const int saved = ::dup(2);
  { std::ofstream touch(err); }
  FILE* err_file = std::fopen(err.c_str(), "w");
  ::dup2(::fileno(err_file), 2);

  platform::OpenHelpFile("ReadMe.txt");
  const bool opened = WaitFor([&] { return fs::exists(record); });

  ::dup2(saved, 2);
  ::close(saved);
  std::fclose(err_file);
  fs::current_path(old_cwd);
  ::setenv("PATH", old_path.c_str(), 1);

  ASSERT_TRUE(opened);
  std::ifstream in(record);
  std::string argument;
  std::getline(in, argument);
  EXPECT_EQ(argument, (dir_ / "ReadMe.txt").string());
  EXPECT_EQ(fs::file_size(err), 0u);
  // Nothing left to reap: the viewer's parent was reaped, the viewer is not our child.
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
