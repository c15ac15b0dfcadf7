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
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/relay_message.h"

namespace platform {
namespace {

int instance_lock_fd = -1;    // holds the flock while we are the instance
int activation_fd = -1;       // listening socket for "raise your window" requests
std::string activation_path;  // unlinked again on release

// The relays StartIcmpHelper set up, by family ([0] IPv4, [1] IPv6), -1 where there is
// none: every send and receive asks, so a relay is told from a socket without a system
// call. Set before the worker thread starts; cleared when a relay is closed, or when its
// number comes back for a socket opened here.
std::atomic<int> relay_descriptors[2] = {{-1}, {-1}};

// The family of the relay socket is, or nothing when it is no relay.
std::optional<IpFamily> RelayFamily(int socket) {
  if (socket >= 0 && relay_descriptors[0].load(std::memory_order_relaxed) == socket) {
    return IpFamily::kV4;
  }
  if (socket >= 0 && relay_descriptors[1].load(std::memory_order_relaxed) == socket) {
    return IpFamily::kV6;
  }
  return std::nullopt;
}

// How long a request waits for room on a relay the helper has not emptied yet: a burst
// of requests (thousands of targets sending at once) outruns it, and a request that
// found no room would count as a timeout.
constexpr int kRelayRoomWaitMs = 100;
// The room for requests on a relay: a handful. A request is timed when it enters the
// relay, so one that waited behind a long queue in it would measure that wait too (with
// the system's usual room, 2 to 3 ms more at 10,000 targets sending at once).
constexpr int kRelayRequestRoomBytes = 8192;

// Forgets a relay whose descriptor the system has just handed out again: it was closed
// without CloseSocket (as Asio closes a socket it was given), and the new socket is no
// relay.
void ForgetClosedRelay(int descriptor) {
  for (std::atomic<int>& relay : relay_descriptors) {
    int expected = descriptor;
    relay.compare_exchange_strong(expected, -1);
  }
}

// Sends one message to the helper, waiting kRelayRoomWaitMs at most for room; the
// system's error, empty on success.
std::error_code SendToHelper(int relay, const RelayMessage& message) {
  unsigned char bytes[RelayMessage::kMaxSize];
  const std::size_t size = message.Encode(bytes);
  for (bool waited = false;; waited = true) {
    if (::send(relay, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
      return std::error_code();
    }
    if (waited || (errno != EAGAIN && errno != EINTR)) {
      return std::error_code(errno, std::generic_category());
    }
    pollfd room{relay, POLLOUT, 0};
    ::poll(&room, 1, kRelayRoomWaitMs);
  }
}

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
// Beyond the highest capability any kernel has; dropping stops at the first one unknown.
constexpr int kMaxCapability = 63;

// Clears CAP_NET_RAW (with every, all capabilities) from the effective, permitted and
// inheritable sets.
void GiveUpCapabilities(bool every) {
  CapSets caps;
  if (!GetCaps(&caps)) {
    throw RightsError(RightsError::Step::kDropRight, errno, "reading the capabilities");
  }
  if (every) {
    for (auto& word : caps.data) {
      word = {};
    }
  } else {
    auto& word = caps.data[kNetRawWord];
    word.effective &= ~kNetRawBit;
    word.permitted &= ~kNetRawBit;
    word.inheritable &= ~kNetRawBit;
  }
  if (!SetCaps(&caps)) {
    throw RightsError(RightsError::Step::kDropRight, errno,
                      every ? "giving up every capability" : "giving up CAP_NET_RAW");
  }
}

// How long the helper may take to say whether its sockets opened.
constexpr std::chrono::seconds kHelperAnswerTime(2);
// How long a helper with nothing to relay may take to end by itself.
constexpr int kHelperEndPolls = 100;
constexpr int kHelperEndPollMs = 10;

void CloseAll(int descriptors[2]) {
  for (int i = 0; i < 2; ++i) {
    if (descriptors[i] >= 0) {
      ::close(descriptors[i]);
      descriptors[i] = -1;
    }
  }
}

// A relay per family: ours[f] stays here, theirs[f] goes to the helper, numbered above
// kHelperRelayFd so that putting them in place there overwrites neither. The errno, 0 on
// success.
int OpenRelayPairs(int ours[2], int theirs[2]) {
  for (int f = 0; f < 2; ++f) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
      return errno;
    }
    ForgetClosedRelay(pair[0]);
    ForgetClosedRelay(pair[1]);
    ours[f] = pair[0];
    ::setsockopt(ours[f], SOL_SOCKET, SO_SNDBUF, &kRelayRequestRoomBytes,
                 sizeof kRelayRequestRoomBytes);
    theirs[f] = ::fcntl(pair[1], F_DUPFD_CLOEXEC, kHelperRelayFd[1] + 1);
    const int error = errno;
    ::close(pair[1]);
    if (theirs[f] < 0) {
      return error;
    }
  }
  return 0;
}

// The helper's descriptors: theirs at kHelperRelayFd, /dev/null as standard input and
// output, our standard error, and nothing else. The errno, 0 on success.
int PlaceHelperDescriptors(posix_spawn_file_actions_t* actions, const int theirs[2]) {
  int error = 0;
  for (int f = 0; f < 2 && error == 0; ++f) {
    error = ::posix_spawn_file_actions_adddup2(actions, theirs[f], kHelperRelayFd[f]);
  }
  error = error ? error : ::posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
  error = error ? error : ::posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0);
  return error ? error : ::posix_spawn_file_actions_addclosefrom_np(actions, kHelperRelayFd[1] + 1);
}

// The helper's environment: a sudo start's ids, and nothing else.
std::vector<std::string> HelperEnvironment() {
  std::vector<std::string> variables;
  for (const char* name : {"SUDO_UID", "SUDO_GID"}) {
    const char* value = std::getenv(name);
    if (::geteuid() == 0 && value != nullptr) {
      variables.push_back(std::string(name) + "=" + value);
    }
  }
  return variables;
}

// Starts the helper at path with theirs as its relays, in a process group of its own, so
// that a Ctrl+C in the terminal is the program's to handle. The errno, 0 on success.
int SpawnHelper(const std::string& path, const int theirs[2], pid_t* pid) {
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) {
    return ENOMEM;
  }
  posix_spawnattr_t attributes;
  if (::posix_spawnattr_init(&attributes) != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return ENOMEM;
  }
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  std::vector<std::string> variables = HelperEnvironment();
  std::vector<char*> environment;
  for (std::string& variable : variables) {
    environment.push_back(variable.data());
  }
  environment.push_back(nullptr);
  char name[] = "lumoret-icmp";
  char* argv[] = {name, nullptr};
  int error = PlaceHelperDescriptors(&actions, theirs);
  if (error == 0) {
    error = ::posix_spawn(pid, path.c_str(), &actions, &attributes, argv, environment.data());
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return error;
}

// Waits, kHelperAnswerTime at most, for the helper's first word on each relay: words[f]
// gets the errno of opening that family's raw socket. False when the helper ended or
// said something else first, or time ran out; *error says which.
bool AwaitHelperWords(const int ours[2], int words[2], int* error) {
  bool heard[2] = {false, false};
  const auto deadline = std::chrono::steady_clock::now() + kHelperAnswerTime;
  while (!heard[0] || !heard[1]) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      *error = ETIMEDOUT;
      return false;
    }
    pollfd waits[2];
    for (int f = 0; f < 2; ++f) {
      waits[f] = {heard[f] ? -1 : ours[f], POLLIN, 0};
    }
    if (::poll(waits, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      *error = errno;
      return false;
    }
    for (int f = 0; f < 2; ++f) {
      if (waits[f].fd < 0 || waits[f].revents == 0) {
        continue;
      }
      unsigned char bytes[RelayMessage::kMaxSize];
      const ssize_t length = ::recv(ours[f], bytes, sizeof bytes, MSG_DONTWAIT);
      if (length < 0 && (errno == EAGAIN || errno == EINTR)) {
        continue;
      }
      const std::optional<RelayMessage> word =
          length > 0 ? RelayMessage::Decode(bytes, static_cast<std::size_t>(length),
                                            f == 1 ? IpFamily::kV6 : IpFamily::kV4)
                     : std::nullopt;
      if (!word || word->kind != RelayMessage::Kind::kReady) {
        *error = length == 0 ? ECONNRESET : EPROTO;
        return false;
      }
      words[f] = word->error;
      heard[f] = true;
    }
  }
  return true;
}

// Ends a helper that has nothing to relay: it leaves by itself once its relays are
// closed, or is killed after a second. Reaped either way.
void EndHelper(pid_t helper) {
  if (helper <= 0) {
    return;
  }
  for (int i = 0; i < kHelperEndPolls; ++i) {
    const pid_t ended = ::waitpid(helper, nullptr, WNOHANG);
    if (ended == helper || (ended < 0 && errno != EINTR)) {
      return;
    }
    ::poll(nullptr, 0, kHelperEndPollMs);
  }
  ::kill(helper, SIGKILL);
  while (::waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
  }
}

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

// An echo request for the helper to send: the engine's 8 bytes (an echo request of the
// relay's family, code 0) to address, as SendDatagram takes them. The helper builds the
// request from its identifier and sequence number.
std::error_code SendThroughRelay(int relay, IpFamily family, const void* data, std::size_t length,
                                 const void* address, std::size_t address_length) {
  const auto* icmp = static_cast<const unsigned char*>(data);
  const unsigned char echo_request = family == IpFamily::kV6 ? ICMP6_ECHO_REQUEST : ICMP_ECHO;
  if (length != RelayMessage::kEchoBytes || icmp[0] != echo_request || icmp[1] != 0) {
    return std::error_code(EINVAL, std::generic_category());
  }
  sockaddr_in6 destination{};
  std::memcpy(&destination, address, std::min(address_length, sizeof destination));
  RelayMessage request;
  request.kind = RelayMessage::Kind::kEchoRequest;
  request.address = SourceBytes(destination, static_cast<socklen_t>(address_length));
  request.scope_id = destination.sin6_family == AF_INET6 ? destination.sin6_scope_id : 0;
  request.identifier = static_cast<std::uint16_t>((icmp[4] << 8) | icmp[5]);
  request.sequence = static_cast<std::uint16_t>((icmp[6] << 8) | icmp[7]);
  return SendToHelper(relay, request);
}

// ReceiveDatagrams on a relay: the datagrams the helper passed on, in the same form.
int ReceiveThroughRelay(int relay, IpFamily family, unsigned char* slots, std::size_t slot_size,
                        ReceivedDatagram* datagrams, int count, std::error_code& error) {
  unsigned char messages[kMaxReceiveBatch][RelayMessage::kMaxSize];
  mmsghdr headers[kMaxReceiveBatch];
  iovec vectors[kMaxReceiveBatch];
  count = std::min(count, kMaxReceiveBatch);
  for (int i = 0; i < count; ++i) {
    vectors[i] = {messages[i], sizeof messages[i]};
    headers[i] = {};
    headers[i].msg_hdr.msg_iov = &vectors[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
  const int received =
      ::recvmmsg(relay, headers, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return 0;
    }
    error.assign(errno, std::generic_category());
    return -1;
  }
  int kept = 0;
  for (int i = 0; i < received; ++i) {
    if (headers[i].msg_len == 0) {  // the helper's end is closed: it is gone
      if (kept == 0) {
        error.assign(ECONNRESET, std::generic_category());
        return -1;
      }
      break;
    }
    const std::optional<RelayMessage> message =
        (headers[i].msg_hdr.msg_flags & MSG_TRUNC) != 0
            ? std::nullopt
            : RelayMessage::Decode(messages[i], headers[i].msg_len, family);
    if (!message || message->kind != RelayMessage::Kind::kDatagram) {
      continue;  // nothing else comes this way once the helper has answered
    }
    const std::size_t length = std::min(message->length, slot_size);
    std::memcpy(slots + static_cast<std::size_t>(kept) * slot_size, message->bytes, length);
    datagrams[kept].length = length;
    datagrams[kept].wall_stamp_ns = message->wall_stamp_ns;
    datagrams[kept].source = message->address;
    datagrams[kept].socket_drops = message->overflow_count.value_or(0);
    ++kept;
  }
  return kept;
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
  ForgetClosedRelay(fd);
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
  if (RelayFamily(socket)) {
    return;  // the helper stamps what it relays
  }
  const int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

void EnableDropCounts(int socket) {
  if (RelayFamily(socket)) {
    return;  // the helper counts its raw socket's
  }
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

bool AcceptOnlyEchoReplies(int socket, std::uint16_t first_identifier, std::uint32_t count) {
  if (RelayFamily(socket)) {
    RelayMessage filter;
    filter.kind = RelayMessage::Kind::kFilter;
    filter.first_identifier = first_identifier;
    filter.identifier_count = count;
    return !SendToHelper(socket, filter);
  }
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
  return ::setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

bool LockSocketFilter(int socket) {
  const int on = 1;
  return ::setsockopt(socket, SOL_SOCKET, SO_LOCK_FILTER, &on, sizeof on) == 0;
}

std::error_code SendDatagram(int socket, const void* data, std::size_t length, const void* address,
                             std::size_t address_length) {
  if (const std::optional<IpFamily> relayed = RelayFamily(socket)) {
    return SendThroughRelay(socket, *relayed, data, length, address, address_length);
  }
  const ssize_t sent =
      ::sendto(socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL,
               static_cast<const sockaddr*>(address), static_cast<socklen_t>(address_length));
  return sent < 0 ? std::error_code(errno, std::generic_category()) : std::error_code();
}

void CloseSocket(int socket) {
  if (const std::optional<IpFamily> relayed = RelayFamily(socket)) {
    relay_descriptors[*relayed == IpFamily::kV6 ? 1 : 0].store(-1);
  }
  ::close(socket);
}

int ReceiveDatagrams(int socket, unsigned char* slots, std::size_t slot_size,
                     ReceivedDatagram* datagrams, int count, std::error_code& error) {
  if (const std::optional<IpFamily> relayed = RelayFamily(socket)) {
    return ReceiveThroughRelay(socket, *relayed, slots, slot_size, datagrams, count, error);
  }
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
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
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
  if (RelayFamily(socket)) {
    return SocketKind::kRaw;  // the helper's raw socket, at one remove
  }
  int type = 0;
  socklen_t size = sizeof type;
  ::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &size);
  return type == SOCK_DGRAM ? SocketKind::kDatagram : SocketKind::kRaw;
}

void DropPrivileges(Rights rights) {
  const bool all = rights == Rights::kAll;
  // The bounding set needs CAP_SETPCAP, which only a root process has; without it
  // nothing the process runs can gain a right through a file capability anyway. The
  // loop ends at the first capability this kernel does not know.
  for (int cap = all ? 0 : CAP_NET_RAW; cap <= (all ? kMaxCapability : CAP_NET_RAW); ++cap) {
    if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
      if (errno == EINVAL) {
        break;
      }
      if (errno != EPERM) {
        throw RightsError(RightsError::Step::kDropRight, errno,
                          "dropping capabilities from the bounding set");
      }
    }
  }
  // Ambient capabilities would survive an exec of the help viewer.
  (void)::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  GiveUpCapabilities(false);
  // Last but one, so that a start whose switch fails is at least without the right.
  unsigned long uid = 0;
  unsigned long gid = 0;
  if (SudoIds(&uid, &gid) && uid != 0) {
    BecomeUser(static_cast<uid_t>(uid), static_cast<gid_t>(gid));
  }
  // The switch needed CAP_SETUID and CAP_SETGID; a plain root process keeps them
  // otherwise.
  if (all) {
    GiveUpCapabilities(true);
  }
}

bool RawSocketsInProcess() {
  return ::getauxval(AT_SECURE) == 0 && ::geteuid() == 0 && std::getenv("SUDO_UID") == nullptr;
}

std::string IcmpHelperPath() {
  std::vector<char> link(PATH_MAX);
  const ssize_t length = ::readlink("/proc/self/exe", link.data(), link.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) {
    return std::string();  // never a path the environment or the working folder decides
  }
  const std::filesystem::path folder =
      std::filesystem::path(std::string(link.data(), static_cast<std::size_t>(length)))
          .parent_path();
  const std::string installed = (folder / LUMORET_HELPER_FROM_BINDIR).lexically_normal();
  const std::string built = (folder / LUMORET_HELPER_IN_BUILD).lexically_normal();
  return Exists(installed) || !Exists(built) ? installed : built;
}

IcmpRelays StartIcmpHelper(const std::string& path) {
  IcmpRelays relays;
  int ours[2] = {-1, -1};
  int theirs[2] = {-1, -1};
  pid_t helper = -1;
  int error = OpenRelayPairs(ours, theirs);
  if (error == 0) {
    error = path.empty() ? ENOENT : SpawnHelper(path, theirs, &helper);
  }
  CloseAll(theirs);
  int words[2] = {0, 0};
  if (error == 0) {
    relays.answered = AwaitHelperWords(ours, words, &error);
    error = relays.answered ? words[0] : error;
  }
  if (error != 0) {
    relays.v4_error.assign(error, std::generic_category());
    CloseAll(ours);
    EndHelper(helper);
    return relays;
  }
  relays.v4 = ours[0];
  relay_descriptors[0].store(ours[0]);
  if (words[1] == 0) {
    relays.v6 = ours[1];
    relay_descriptors[1].store(ours[1]);
  } else {
    ::close(ours[1]);
  }
  return relays;
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
