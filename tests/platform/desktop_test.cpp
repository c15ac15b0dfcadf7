#include "platform/desktop.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/common/temp_dir_fixture.h"

namespace {

namespace fs = std::filesystem;

using DesktopTest = TempDirFixture;
using platform::HelpState;

// A stand-in for the desktop's opener in folder bin, running the shell text body.
void WriteOpener(const fs::path& bin, const std::string& body) {
  std::ofstream(bin / "xdg-open") << "#!/bin/sh\n" << body << "\n";
  fs::permissions(bin / "xdg-open", fs::perms::owner_all);
}

// Opens file with PATH holding only bin (and what it links to), and checks the opener
// until it has an outcome, wait_ms at most.
HelpState HelpOutcome(const fs::path& bin, const std::string& file, platform::HelpOpener* opener,
                      int wait_ms = 3000) {
  const std::string old_path = std::getenv("PATH");
  ::setenv("PATH", bin.c_str(), 1);
  *opener = platform::OpenHelpFile(file);
  ::setenv("PATH", old_path.c_str(), 1);
  for (int i = 0; i < wait_ms / 10 && opener->state == HelpState::kPending; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    platform::CheckHelpOpener(*opener);
  }
  return opener->state;
}

TEST_F(DesktopTest, HelpOpensTheFileQuietlyLeavesNoChildAndTellsAFailedOpener) {
  // The opener makes noise on both outputs and records its argument.
  const fs::path bin = dir_ / "bin", record = dir_ / "opened";
  fs::create_directory(bin);
  fs::create_symlink("/bin/sh", bin / "sh");
  WriteOpener(bin, "echo noise >&2\necho noise\nprintf '%s\\n' \"$1\" >>'" + record.string() + "'");
  const fs::path old_cwd = fs::current_path();
  fs::current_path(dir_);
  // Our stderr, which the opener's would share, goes to a file while it runs.
  ::testing::internal::CaptureStderr();
  // The working folder's own copy first; without one, the installed copy.
  { std::ofstream readme(dir_ / "ReadMe.txt"); }
  platform::HelpOpener opener;
  EXPECT_EQ(HelpOutcome(bin, "ReadMe.txt", &opener), HelpState::kOpened);
  fs::remove(dir_ / "ReadMe.txt");
  EXPECT_EQ(HelpOutcome(bin, "ReadMe.txt", &opener), HelpState::kOpened);
  const std::string err = ::testing::internal::GetCapturedStderr();
  fs::current_path(old_cwd);

  std::ostringstream opened;
  opened << std::ifstream(record).rdbuf();
  EXPECT_EQ(opened.str(), (dir_ / "ReadMe.txt").string() + "\n" LUMORET_DOC_DIR "/ReadMe.txt\n");
  EXPECT_EQ(err, "");
  // Nothing left to reap: the viewer's parent was reaped, the viewer is not our child.
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // No opener on the PATH at all; one that finds no viewer (xdg-open's status 3); one
  // whose viewer keeps running: still pending when we stop watching it.
  fs::create_symlink("/bin/sleep", bin / "sleep");
  const std::string file = "/nonexistent/ReadMe.txt";
  fs::remove(bin / "xdg-open");
  EXPECT_EQ(HelpOutcome(bin, file, &opener), HelpState::kFailed);
  EXPECT_EQ(opener.path, file);
  WriteOpener(bin, "exit 3");
  EXPECT_EQ(HelpOutcome(bin, file, &opener), HelpState::kFailed);
  WriteOpener(bin, "exec sleep 2");
  EXPECT_EQ(HelpOutcome(bin, file, &opener, 300), HelpState::kPending);
  platform::ForgetHelpOpener(opener);
  EXPECT_EQ(opener.status_fd, -1);
}

// Run in a folder, with HOME and XDG_CONFIG_HOME set (nullptr: unset); the folder
// EnterWorkingFolder leaves it in.
fs::path WorkingFolderFor(const fs::path& start, const fs::path& home, const char* xdg) {
  const fs::path old_cwd = fs::current_path();
  const std::string old_home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  ::setenv("HOME", home.c_str(), 1);
  xdg != nullptr ? ::setenv("XDG_CONFIG_HOME", xdg, 1) : ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("SUDO_UID");
  fs::current_path(start);
  platform::EnterWorkingFolder();
  const fs::path result = fs::current_path();
  fs::current_path(old_cwd);
  ::setenv("HOME", old_home.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  return result;
}

TEST_F(DesktopTest, AMenuStartWorksInTheConfigFolderAndATerminalStartWhereItIs) {
  const fs::path home = dir_ / "home";
  const fs::path elsewhere = dir_ / "project";
  fs::create_directories(elsewhere);
  fs::create_directories(home);
  // Trailing slash: the same folder spelt differently.
  const fs::path made = WorkingFolderFor(home, home.string() + "/", nullptr);
  EXPECT_EQ(made, home / ".config/lumoret");
  EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(WorkingFolderFor(home, home, (dir_ / "xdg").c_str()), dir_ / "xdg/lumoret");
  // A relative XDG_CONFIG_HOME is not to be used.
  EXPECT_EQ(WorkingFolderFor(home, home, "xdg"), home / ".config/lumoret");
  // Some menus start programs in the root folder.
  EXPECT_EQ(WorkingFolderFor("/", home, nullptr), home / ".config/lumoret");
  EXPECT_EQ(WorkingFolderFor(elsewhere, home, nullptr), elsewhere);
  // A config.ini in the home folder (kept from earlier versions) keeps it there.
  { std::ofstream config(home / "config.ini"); }
  EXPECT_EQ(WorkingFolderFor(home, home, nullptr), home);
  fs::remove(home / "config.ini");
  // A folder that cannot be made leaves the start where it was.
  { std::ofstream blocker(dir_ / "file"); }
  EXPECT_EQ(WorkingFolderFor(home, home, (dir_ / "file").c_str()), home);
}

}  // namespace
