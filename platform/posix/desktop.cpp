#include "platform/desktop.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace platform {
namespace {

namespace fs = std::filesystem;

// The file the viewer gets for file: the working folder's copy, or else the one
// installed with the documentation; an absolute path as it is.
std::string HelpFilePath(const std::string& file) {
  if (!file.empty() && file[0] == '/') {
    return file;
  }
  std::error_code error;
  const fs::path local = fs::current_path(error) / file;
  return fs::exists(local, error) ? local.string() : std::string(LUMORET_DOC_DIR) + "/" + file;
}

// Starts the opener for path in the background: a shell starts it in a session of its
// own and without our terminal, and ends at once: it is reaped here, and the opener,
// however long it runs, is not our child. Its exit status comes back on descriptor 3,
// which the viewer does not inherit; status_write goes there. posix_spawn, unlike fork,
// is safe beside other threads. The errno, 0 on success.
int SpawnOpener(const std::string& path, int status_write) {
  const char* argv[] = {
      "sh", "-c",         "{ xdg-open \"$1\" 3>&- </dev/null >/dev/null 2>&1; echo $? >&3; } &",
      "sh", path.c_str(), nullptr};
  posix_spawn_file_actions_t files;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&files);
  ::posix_spawn_file_actions_adddup2(&files, status_write, 3);
  ::posix_spawnattr_init(&attributes);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t child = -1;
  const int error =
      ::posix_spawnp(&child, argv[0], &files, &attributes, const_cast<char* const*>(argv), environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&files);
  if (error == 0) {
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  return error;
}

// Makes every missing folder of path (absolute), private to the user as the base
// directory rules ask. False when path is not a folder in the end.
bool MakePrivateFolders(const fs::path& path) {
  fs::path part;
  for (const fs::path& name : path) {
    part /= name;
    ::mkdir(part.c_str(), 0700);
  }
  std::error_code error;
  return fs::is_directory(path, error);
}

}  // namespace

HelpOpener OpenHelpFile(const std::string& file) {
  HelpOpener opener;
  opener.path = HelpFilePath(file);
  opener.state = HelpState::kFailed;
  int status_pipe[2];
  if (::pipe2(status_pipe, O_CLOEXEC) != 0) {
    return opener;
  }
  const int error = SpawnOpener(opener.path, status_pipe[1]);
  ::close(status_pipe[1]);
  if (error != 0) {
    ::close(status_pipe[0]);
    return opener;
  }
  ::fcntl(status_pipe[0], F_SETFL, O_NONBLOCK);
  opener.status_fd = status_pipe[0];
  opener.state = HelpState::kPending;
  return opener;
}

void CheckHelpOpener(HelpOpener& opener) {
  if (opener.status_fd < 0) {
    return;
  }
  char status[16] = {};
  const ssize_t n = ::read(opener.status_fd, status, sizeof status - 1);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    return;
  }
  // No status at all: the shell was killed before the opener ended, which says nothing
  // of the viewer; only an opener that says so has failed.
  opener.state = n > 0 && std::atoi(status) != 0 ? HelpState::kFailed : HelpState::kOpened;
  ForgetHelpOpener(opener);
}

void ForgetHelpOpener(HelpOpener& opener) {
  if (opener.status_fd >= 0) {
    ::close(opener.status_fd);
    opener.status_fd = -1;
  }
}

bool EnterWorkingFolder() {
  std::error_code error;
  const fs::path cwd = fs::current_path(error);
  const char* home_variable = std::getenv("HOME");
  const fs::path home = home_variable != nullptr && *home_variable == '/' ? home_variable : "";
  const bool menu_start = (cwd == "/" || (!home.empty() && fs::equivalent(cwd, home, error))) &&
                          !fs::exists(cwd / "config.ini", error);
  if (!menu_start) {
    return false;
  }
  // Relative values are to be ignored.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  fs::path base;
  if (xdg != nullptr && *xdg == '/') {
    base = xdg;
  } else if (!home.empty()) {
    base = home / ".config";
  } else {
    return false;
  }
  const fs::path folder = base / "lumoret";
  if (!MakePrivateFolders(folder)) {
    return false;
  }
  fs::current_path(folder, error);
  return !error;
}

}  // namespace platform
