#include "platform/instance_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace platform {
namespace {

// The most "raise your window" requests one ActivationRequested takes: the backlog holds
// at most a few.
constexpr int kMaxRequestsTaken = 64;
// A holder that does not accept (stuck, or stopped) fills its backlog; a non-blocking
// connect then fails with EAGAIN at once, and is tried again for a bounded time.
constexpr int kConnectAttempts = 20;
constexpr int kConnectPauseMs = 50;

// A folder only the invoking user can write to, or "" when there is none.
std::string RuntimeDir() {
  std::error_code error;
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && *xdg == '/' && std::filesystem::is_directory(xdg, error)) {
    return xdg;
  }
  // A sudo start has become the invoking user by now, so this is that user's folder.
  const uid_t uid = ::getuid();
  const std::string run_user = "/run/user/" + std::to_string(uid);
  if (std::filesystem::is_directory(run_user, error)) {
    return run_user;
  }
  const std::string tmp = "/tmp/lumoret-" + std::to_string(uid);
  if (::mkdir(tmp.c_str(), 0700) != 0 && errno != EEXIST) {
    return "";
  }
  // Someone else's folder of that name in /tmp must not decide who runs.
  struct stat st;
  if (::lstat(tmp.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid ||
      (st.st_mode & 077) != 0) {
    return "";
  }
  return tmp;
}

// Where the lock and socket of name live, without their endings; "" when nowhere.
std::string InstanceBase(const std::string& name) {
  const std::string dir = RuntimeDir();
  return dir.empty() ? dir : dir + "/lumoret-" + name;
}

bool SocketAddress(const std::string& path, sockaddr_un* address) {
  if (path.size() >= sizeof(address->sun_path)) {
    return false;
  }
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A listening socket at path for "raise your window" requests; -1 when none could be
// made.
int Listen(const std::string& path) {
  sockaddr_un address;
  if (!SocketAddress(path, &address)) {
    return -1;
  }
  // Only the lock holder gets here, so a socket left by a killed holder is stale.
  ::unlink(path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

InstanceLock::InstanceLock(const std::string& name) {
  const std::string base = InstanceBase(name);
  if (base.empty()) {
    return;
  }
  // Close-on-exec: a help viewer we start must not keep the lock after we are gone.
  const int fd = ::open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      state_ = InstanceState::kOtherRunning;
    }
    ::close(fd);
    return;
  }
  lock_fd_ = fd;
  activation_fd_ = Listen(base + ".sock");
  if (activation_fd_ >= 0) {
    activation_path_ = base + ".sock";
  }
}

InstanceLock::~InstanceLock() {
  Release();
}

bool InstanceLock::ActivationRequested() {
  if (activation_fd_ < 0) {
    return false;
  }
  bool requested = false;
  for (int i = 0; i < kMaxRequestsTaken; ++i) {
    const int fd = ::accept4(activation_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      break;
    }
    ::close(fd);
    requested = true;
  }
  return requested;
}

void InstanceLock::Release() {
  if (activation_fd_ >= 0) {
    ::unlink(activation_path_.c_str());
    ::close(activation_fd_);
    activation_fd_ = -1;
  }
  if (lock_fd_ >= 0) {
    ::close(lock_fd_);
    lock_fd_ = -1;
  }
}

void ActivateOtherInstance(const std::string& name, const std::string& /*title*/) {
  // The holder raises its own window titled "Lumoret"; connecting is the whole request.
  const std::string base = InstanceBase(name);
  sockaddr_un address;
  if (base.empty() || !SocketAddress(base + ".sock", &address)) {
    return;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return;
  }
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ||
        errno != EAGAIN) {
      break;
    }
    ::poll(nullptr, 0, kConnectPauseMs);
  }
  ::close(fd);
}

}  // namespace platform
