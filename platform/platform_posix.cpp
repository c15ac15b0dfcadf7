#include "platform/platform.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/sock_diag.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <system_error>
#include <vector>

namespace platform {
namespace {

int instance_lock_fd = -1;    // holds the flock while we are the instance
int activation_fd = -1;       // listening socket for "raise your window" requests
std::string activation_path;  // unlinked again on release

// A decimal id from the environment (SUDO_UID, SUDO_GID); false when absent or malformed.
bool EnvId(const char* name, unsigned long* value) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text < '0' || *text > '9') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  *value = std::strtoul(text, &end, 10);
  return errno == 0 && *end == '\0' && *value < UINT_MAX;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string CurrentFolder() {
  std::vector<char> cwd(PATH_MAX);
  return ::getcwd(cwd.data(), cwd.size()) != nullptr ? std::string(cwd.data()) : std::string();
}

// The same folder, however it is spelt (symbolic links, trailing slashes).
bool SameFolder(const std::string& a, const std::string& b) {
  struct stat sa;
  struct stat sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Makes every missing folder of path (absolute), private to the user as the base
// directory rules ask. False when path is not a folder in the end.
bool MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    ::mkdir(part.c_str(), 0700);
    if (slash == std::string::npos) {
      return IsDirectory(path);
    }
  }
}

// A folder only the invoking user can write to, or "" when there is none.
std::string RuntimeDir() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && *xdg == '/' && IsDirectory(xdg)) {
    return xdg;
  }
  // A sudo start has become the invoking user by now, so this is that user's folder.
  const uid_t uid = ::getuid();
  const std::string run_user = "/run/user/" + std::to_string(uid);
  if (IsDirectory(run_user)) {
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

bool SocketAddress(const std::string& path, sockaddr_un* address) {
  if (path.size() >= sizeof(address->sun_path)) {
    return false;
  }
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

void Listen(const std::string& path) {
  sockaddr_un address;
  if (!SocketAddress(path, &address)) {
    return;
  }
  // Only the lock holder gets here, so a socket left by a killed holder is stale.
  ::unlink(path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 8) != 0) {
    ::close(fd);
    return;
  }
  activation_fd = fd;
  activation_path = path;
}

struct CapSets {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
};

// Capabilities belong to a thread: these change the calling thread's sets only.
bool GetCaps(CapSets* caps) {
  return ::syscall(SYS_capget, &caps->header, caps->data) == 0;
}

bool SetCaps(CapSets* caps) {
  return ::syscall(SYS_capset, &caps->header, caps->data) == 0;
}

constexpr unsigned kNetRawBit = 1u << (CAP_NET_RAW % 32);
constexpr int kNetRawWord = CAP_NET_RAW / 32;

// Set by the quit signals' handler, on whichever thread the signal lands; lock-free
// atomics are safe to use there.
std::atomic<bool> quit_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler needs a lock-free flag");

// The one rule for a sudo start: a root process with SUDO_UID set. Then SUDO_UID and
// SUDO_GID must both be plain ids; anything else is an error, never a silent root run.
bool SudoIds(unsigned long* uid, unsigned long* gid) {
  if (::geteuid() != 0 || std::getenv("SUDO_UID") == nullptr) {
    return false;
  }
  if (!EnvId("SUDO_UID", uid) || !EnvId("SUDO_GID", gid)) {
    throw RightsError(RightsError::Step::kSudoIds, EINVAL,
                      "reading SUDO_UID and SUDO_GID, set by sudo");
  }
  return true;
}

// Groups, then gid, then uid: once the uid is gone, so is the right to change the others.
void BecomeUser(uid_t uid, gid_t gid) {
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
  const auto fail = [](const char* what) {
    throw RightsError(RightsError::Step::kSwitchUser, errno, what);
  };
  if (found != nullptr ? ::initgroups(found->pw_name, gid) != 0 : ::setgroups(1, &gid) != 0) {
    fail("setting the groups of the user who ran sudo");
  }
  if (::setresgid(gid, gid, gid) != 0) {
    fail("becoming the group of the user who ran sudo");
  }
  if (::setresuid(uid, uid, uid) != 0) {
    fail("becoming the user who ran sudo");
  }
  // Files the toolkit keeps under $HOME belong in the user's home, not root's.
  if (found != nullptr) {
    ::setenv("HOME", found->pw_dir, 1);
    ::setenv("USER", found->pw_name, 1);
    ::setenv("LOGNAME", found->pw_name, 1);
  }
}

// A received datagram's sender, from the address recvmmsg filled in.
AddressBytes SourceBytes(const sockaddr_in6& source, socklen_t length) {
  AddressBytes bytes{};
  if (source.sin6_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    std::memcpy(bytes.data(), &source.sin6_addr, bytes.size());
  } else if (source.sin6_family == AF_INET && length >= sizeof(sockaddr_in)) {
    sockaddr_in v4;
    std::memcpy(&v4, &source, sizeof v4);
    bytes[10] = bytes[11] = 0xFF;
    std::memcpy(bytes.data() + 12, &v4.sin_addr, 4);
  }
  return bytes;
}

// An ICMP socket of family and type (SOCK_RAW or SOCK_DGRAM); what names the step in the
// RightsError thrown when the system refuses it.
int OpenIcmpSocketOfType(IpFamily family, int type, const char* what) {
  const bool v6 = family == IpFamily::kV6;
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC,
                          v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
  if (fd < 0) {
    throw RightsError(RightsError::Step::kOpenSocket, errno, what);
  }
  return fd;
}

// The file a path ends at once symbolic links are followed, so that a link is written
// through rather than replaced; the path itself when it is no link, or names nothing yet.
// A relative link counts from the link's folder. error is set for a loop of links.
std::string FinalTarget(std::string path, int* error) {
  // The kernel's own limit on links followed in one lookup.
  constexpr int kMaxLinks = 40;
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      return path;
    }
    std::vector<char> target(PATH_MAX + 1);
    const ssize_t length = ::readlink(path.c_str(), target.data(), PATH_MAX);
    if (length < 0) {
      *error = errno;
      return path;
    }
    const std::string next(target.data(), static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    path = next[0] == '/' || slash == std::string::npos ? next : path.substr(0, slash + 1) + next;
  }
  *error = ELOOP;
  return path;
}

// Opens a new file with a short random name in the folder of path, with the mode a new
// file gets (0666 less the umask), and returns its descriptor (or -1 with errno set) and
// name. Short, so that it fits wherever the file's own name fits.
int CreateTemporaryBeside(const std::string& path, std::string* name) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  // Names taken by others are tried again, a bounded number of times.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix(8, 'x');
    for (char& c : suffix) {
      c = kLetters[random() % (sizeof kLetters - 1)];
    }
    *name = folder + ".lumoret-" + suffix;
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

unsigned long GetPid() {
  // getpid is a system call of several hundred nanoseconds here, and the receive path
  // asks for every datagram; a process's id does not change.
  static const unsigned long pid = static_cast<unsigned long>(::getpid());
  return pid;
}

void EnlargeReceiveBuffer(int socket, int bytes) {
  // SO_RCVBUFFORCE needs CAP_NET_ADMIN; without it SO_RCVBUF gets what rmem_max allows.
  if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
}

void EnableReceiveTimestamps(int socket) {
  const int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

void EnableDropCounts(int socket) {
  const int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
}

std::optional<std::uint32_t> ReadDropCount(int socket) {
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof memory;
  if (::getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &size) != 0 ||
      size <= SK_MEMINFO_DROPS * sizeof memory[0]) {
    return std::nullopt;
  }
  return memory[SK_MEMINFO_DROPS];
}

void AcceptOnlyEchoReplies(int socket, std::uint16_t first_identifier, std::uint32_t count) {
  int domain = AF_INET;
  socklen_t size = sizeof domain;
  ::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &size);
  const bool v6 = domain == AF_INET6;
  // Classic BPF: X = where the ICMP message starts (after the IPv4 header; an ICMPv6
  // socket sees no IP header); drop unless the type is echo reply and (identifier -
  // first) mod 65536 < count. Loads past the end of a short datagram drop it.
  sock_filter program[] = {
      v6 ? sock_filter BPF_STMT(BPF_LDX | BPF_IMM, 0)
         : sock_filter BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
      BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, v6 ? ICMP6_ECHO_REPLY : ICMP_ECHOREPLY + 0u, 0, 5),
      BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),
      BPF_STMT(BPF_ALU | BPF_SUB | BPF_K, first_identifier),
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xFFFF),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, count, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  (void)::setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
}

std::error_code SendDatagram(int socket, const void* data, std::size_t length, const void* address,
                             std::size_t address_length) {
  const ssize_t sent =
      ::sendto(socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL,
               static_cast<const sockaddr*>(address), static_cast<socklen_t>(address_length));
  return sent < 0 ? std::error_code(errno, std::generic_category()) : std::error_code();
}

void CloseSocket(int socket) {
  ::close(socket);
}

int ReceiveDatagrams(int socket, unsigned char* slots, std::size_t slot_size,
                     ReceivedDatagram* datagrams, int count, std::error_code& error) {
  // One recvmmsg serves every queued datagram, and each brings its stamp and the socket's
  // drop count along as control messages: no call per datagram, none per stamp.
  constexpr std::size_t kControlSize =
      CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t));
  mmsghdr messages[kMaxReceiveBatch];
  iovec vectors[kMaxReceiveBatch];
  sockaddr_in6 sources[kMaxReceiveBatch];  // the larger of the two families' addresses
  alignas(cmsghdr) unsigned char control[kMaxReceiveBatch][kControlSize];
  count = count < kMaxReceiveBatch ? count : kMaxReceiveBatch;
  for (int i = 0; i < count; ++i) {
    vectors[i] = {slots + static_cast<std::size_t>(i) * slot_size, slot_size};
    messages[i] = {};
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = &sources[i];
    messages[i].msg_hdr.msg_namelen = sizeof sources[i];
    messages[i].msg_hdr.msg_control = control[i];
    messages[i].msg_hdr.msg_controllen = kControlSize;
  }
  const int received =
      ::recvmmsg(socket, messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return 0;
    }
    error.assign(errno, std::generic_category());
    return -1;
  }
  for (int i = 0; i < received; ++i) {
    datagrams[i].length = messages[i].msg_len;
    datagrams[i].wall_stamp_ns.reset();
    datagrams[i].socket_drops = 0;
    msghdr& header = messages[i].msg_hdr;
    datagrams[i].source = SourceBytes(sources[i], header.msg_namelen);
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
      if (c->cmsg_level != SOL_SOCKET) {
        continue;
      }
      if (c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec stamp;
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        datagrams[i].wall_stamp_ns = stamp.tv_sec * 1000000000LL + stamp.tv_nsec;
      } else if (c->cmsg_type == SO_RXQ_OVFL) {
        std::memcpy(&datagrams[i].socket_drops, CMSG_DATA(c), sizeof datagrams[i].socket_drops);
      }
    }
  }
  return received;
}

InstanceState AcquireInstance(const std::string& name) {
  const std::string dir = RuntimeDir();
  if (dir.empty()) {
    return InstanceState::kOnly;
  }
  const std::string base = dir + "/lumoret-" + name;
  // Close-on-exec: a help viewer we start must not keep the lock after we are gone.
  const int fd = ::open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return InstanceState::kOnly;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return held ? InstanceState::kOtherRunning : InstanceState::kOnly;
  }
  instance_lock_fd = fd;
  Listen(base + ".sock");
  return InstanceState::kOnly;
}

void ActivateOtherInstance(const std::string& name, const std::string& /*title*/) {
  // The holder raises its own window titled "Lumoret"; connecting is the whole request.
  const std::string dir = RuntimeDir();
  sockaddr_un address;
  if (dir.empty() || !SocketAddress(dir + "/lumoret-" + name + ".sock", &address)) {
    return;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return;
  }
  // A holder that does not accept (stuck, or stopped) fills its backlog; a non-blocking
  // connect then fails with EAGAIN at once, and is tried again for a bounded time.
  constexpr int kAttempts = 20;
  constexpr int kAttemptPauseMs = 50;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ||
        errno != EAGAIN) {
      break;
    }
    ::poll(nullptr, 0, kAttemptPauseMs);
  }
  ::close(fd);
}

bool ActivationRequested() {
  if (activation_fd < 0) {
    return false;
  }
  bool requested = false;
  // Bounded: the backlog holds at most a few connections.
  for (int i = 0; i < 64; ++i) {
    const int fd = ::accept4(activation_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      break;
    }
    ::close(fd);
    requested = true;
  }
  return requested;
}

void ReleaseInstance() {
  if (activation_fd >= 0) {
    ::unlink(activation_path.c_str());
    ::close(activation_fd);
    activation_fd = -1;
  }
  if (instance_lock_fd >= 0) {
    ::close(instance_lock_fd);
    instance_lock_fd = -1;
  }
}

HelpOpener OpenHelpFile(const std::string& file) {
  HelpOpener opener;
  opener.path = file;
  if (file.empty() || file[0] != '/') {
    opener.path = CurrentFolder() + "/" + file;
    if (!Exists(opener.path)) {
      opener.path = std::string(LUMORET_DOC_DIR) + "/" + file;
    }
  }
  opener.state = HelpState::kFailed;
  int status_pipe[2];
  if (::pipe2(status_pipe, O_CLOEXEC) != 0) {
    return opener;
  }
  // A shell starts the opener in the background, in a session of its own and without
  // our terminal, and ends at once: it is reaped here, and the opener, however long it
  // runs, is not our child. Its exit status comes back on descriptor 3, which the viewer
  // does not inherit. posix_spawn, unlike fork, is safe beside other threads.
  const char* argv[] = {"sh",
                        "-c",
                        "{ xdg-open \"$1\" 3>&- </dev/null >/dev/null 2>&1; echo $? >&3; } &",
                        "sh",
                        opener.path.c_str(),
                        nullptr};
  posix_spawn_file_actions_t files;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&files);
  ::posix_spawn_file_actions_adddup2(&files, status_pipe[1], 3);
  ::posix_spawnattr_init(&attributes);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t child = -1;
  const int error =
      ::posix_spawnp(&child, argv[0], &files, &attributes, const_cast<char* const*>(argv), environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&files);
  ::close(status_pipe[1]);
  if (error != 0) {
    ::close(status_pipe[0]);
    return opener;
  }
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
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
  const std::string cwd = CurrentFolder();
  const char* home_variable = std::getenv("HOME");
  const std::string home = home_variable != nullptr && *home_variable == '/' ? home_variable : "";
  const bool menu_start =
      (cwd == "/" || (!home.empty() && SameFolder(cwd, home))) && !Exists(cwd + "/config.ini");
  if (!menu_start) {
    return false;
  }
  // Relative values are to be ignored.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg != nullptr && *xdg == '/') {
    base = xdg;
  } else if (!home.empty()) {
    base = home + "/.config";
  } else {
    return false;
  }
  const std::string folder = base + "/lumoret";
  return MakeFolders(folder) && ::chdir(folder.c_str()) == 0;
}

int OpenRawIcmpSocket(IpFamily family) {
  return OpenIcmpSocketOfType(
      family, SOCK_RAW,
      family == IpFamily::kV6 ? "opening the raw ICMPv6 socket" : "opening the raw ICMP socket");
}

int OpenDatagramIcmpSocket(IpFamily family) {
  return OpenIcmpSocketOfType(family, SOCK_DGRAM,
                              family == IpFamily::kV6 ? "opening an ICMPv6 datagram socket"
                                                      : "opening an ICMP datagram socket");
}

bool RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) {
    return false;
  }
  limit.rlim_cur = limit.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

SocketKind GetSocketKind(int socket) {
  int type = 0;
  socklen_t size = sizeof type;
  ::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &size);
  return type == SOCK_DGRAM ? SocketKind::kDatagram : SocketKind::kRaw;
}

void DropPrivileges() {
  // The bounding set needs CAP_SETPCAP, which only a root process has; without it
  // nothing the process runs can gain the right through a file capability anyway.
  if (::prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0) != 0 && errno != EPERM && errno != EINVAL) {
    throw RightsError(RightsError::Step::kDropRight, errno,
                      "dropping CAP_NET_RAW from the bounding set");
  }
  // Ambient capabilities would survive an exec of the help viewer.
  (void)::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  CapSets caps;
  if (!GetCaps(&caps)) {
    throw RightsError(RightsError::Step::kDropRight, errno, "reading the capabilities");
  }
  auto& word = caps.data[kNetRawWord];
  word.effective &= ~kNetRawBit;
  word.permitted &= ~kNetRawBit;
  word.inheritable &= ~kNetRawBit;
  if (!SetCaps(&caps)) {
    throw RightsError(RightsError::Step::kDropRight, errno, "giving up CAP_NET_RAW");
  }
  // Last, so that a start whose switch fails is at least without the right.
  unsigned long uid = 0;
  unsigned long gid = 0;
  if (SudoIds(&uid, &gid) && uid != 0) {
    BecomeUser(static_cast<uid_t>(uid), static_cast<gid_t>(gid));
  }
}

void CatchQuitSignals() {
  struct sigaction action {};
  action.sa_handler = [](int) { quit_requested.store(true); };
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    ::sigaction(signal, &action, nullptr);
  }
}

bool QuitRequested() {
  return quit_requested.load();
}

std::error_code WriteFileReplacing(const std::string& path, const std::string& text) {
  int error = 0;
  const std::string target = FinalTarget(path, &error);
  if (error != 0) {
    return std::error_code(error, std::generic_category());
  }
  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  std::string temporary;
  const int fd = CreateTemporaryBeside(target, &temporary);
  if (fd < 0) {
    return std::error_code(errno, std::generic_category());
  }
  if (exists) {
    KeepOwnerAndMode(fd, existing);
  }
  error = WriteAll(fd, text);
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
