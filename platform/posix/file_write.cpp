#include "platform/file_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>

namespace platform {
namespace {

namespace fs = std::filesystem;

// The kernel's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;
// How many taken names a new temporary file tries before giving up.
constexpr int kTemporaryNameAttempts = 100;

// The file a path ends at once symbolic links are followed, so that a link is written
// through rather than replaced; the path itself when it is no link, or names nothing yet.
// A relative link counts from the link's folder. error is set for a loop of links.
fs::path FinalTarget(fs::path path, std::error_code& error) {
  for (int links = 0; links <= kMaxLinks; ++links) {
    if (!fs::is_symlink(fs::symlink_status(path, error))) {
      error.clear();  // names nothing yet: it is made
      return path;
    }
    const fs::path next = fs::read_symlink(path, error);
    if (error) {
      return path;
    }
    // An absolute link replaces the folder; a relative one is taken from it.
    path = path.parent_path() / next;
  }
  error.assign(ELOOP, std::generic_category());
  return path;
}

// Opens a new file with a short random name in the folder of path, with the mode a new
// file gets (0666 less the umask), and returns its descriptor (or -1 with errno set) and
// name. Short, so that it fits wherever the file's own name fits.
int CreateTemporaryBeside(const fs::path& path, fs::path* name) {
  const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    std::string suffix(8, 'x');
    for (char& c : suffix) {
      c = kLetters[random() % (sizeof kLetters - 1)];
    }
    *name = path.parent_path() / (".lumoret-" + suffix);
    const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

// Gives the new file the owner (where the process may) and the permissions of the one it
// replaces, before any data goes in. Rights meant for a group the new file could not be
// given are not handed to the process's own group instead.
void KeepOwnerAndMode(int fd, const struct stat& existing) {
  mode_t mode = existing.st_mode & 0777;
  if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) {
    if (::fchown(fd, existing.st_uid, existing.st_gid) != 0 &&
        ::fchown(fd, static_cast<uid_t>(-1), existing.st_gid) != 0) {
      mode &= ~static_cast<mode_t>(070);
    }
  }
  (void)::fchmod(fd, mode);
}

// Writes all of text to fd and waits until it is on the disk (a full disk may show only
// then); the system's error, 0 on success.
int WriteAll(int fd, const std::string& text) {
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno != EINTR) {
      return errno;
    }
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    }
  }
  return ::fsync(fd) != 0 ? errno : 0;
}

}  // namespace

std::error_code WriteFileReplacing(const std::string& path, const std::string& text) {
  std::error_code failure;
  const fs::path target = FinalTarget(path, failure);
  if (failure) {
    return failure;
  }
  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  fs::path temporary;
  const int fd = CreateTemporaryBeside(target, &temporary);
  if (fd < 0) {
    return std::error_code(errno, std::generic_category());
  }
  if (exists) {
    KeepOwnerAndMode(fd, existing);
  }
  int error = WriteAll(fd, text);
  if (::close(fd) != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::unlink(temporary.c_str());
  }
  return std::error_code(error, std::generic_category());
}

}  // namespace platform
