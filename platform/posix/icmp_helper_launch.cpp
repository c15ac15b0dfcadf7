#include "platform/icmp_helper_launch.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/posix/relay_socket.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// The room for requests on a relay: a handful. A request is timed when it enters the
// relay, so one that waited behind a long queue in it would measure that wait too (with
// the system's usual room, 2 to 3 ms more at 10,000 targets sending at once).
constexpr int kRelayRequestRoomBytes = 8192;
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

// Reads the helper's word on family's relay: the errno of opening that family's raw
// socket in *word. False, with *error set, when the helper ended or said something else;
// true with *heard false when nothing was there after all.
bool ReadHelperWord(int relay, IpFamily family, bool* heard, int* word, int* error) {
  unsigned char bytes[RelayMessage::kMaxSize];
  const ssize_t length = ::recv(relay, bytes, sizeof bytes, MSG_DONTWAIT);
  if (length < 0 && (errno == EAGAIN || errno == EINTR)) {
    return true;
  }
  const std::optional<RelayMessage> message =
      length > 0 ? RelayMessage::Decode(bytes, static_cast<std::size_t>(length), family)
                 : std::nullopt;
  if (!message || message->kind != RelayMessage::Kind::kReady) {
    *error = length == 0 ? ECONNRESET : EPROTO;
    return false;
  }
  *word = message->error;
  *heard = true;
  return true;
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
      if (waits[f].fd >= 0 && waits[f].revents != 0 &&
          !ReadHelperWord(ours[f], f == 1 ? IpFamily::kV6 : IpFamily::kV4, &heard[f], &words[f],
                          error)) {
        return false;
      }
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

}  // namespace

std::string IcmpHelperPath() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (error || program.empty()) {
    return std::string();  // never a path the environment or the working folder decides
  }
  const fs::path folder = program.parent_path();
  const fs::path installed = (folder / LUMORET_HELPER_FROM_BINDIR).lexically_normal();
  const fs::path built = (folder / LUMORET_HELPER_IN_BUILD).lexically_normal();
  return fs::exists(installed, error) || !fs::exists(built, error) ? installed : built;
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
  RegisterRelay(IpFamily::kV4, ours[0]);
  if (words[1] == 0) {
    relays.v6 = ours[1];
    RegisterRelay(IpFamily::kV6, ours[1]);
  } else {
    ::close(ours[1]);
  }
  return relays;
}

}  // namespace platform
