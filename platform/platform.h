#ifndef LUMORET_PLATFORM_PLATFORM_H
#define LUMORET_PLATFORM_PLATFORM_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

// Every call Lumoret makes into the operating system goes through here, so that no
// other file includes an OS header. platform_posix.cpp and platform_win.cpp hold
// the two halves.
namespace platform {

// The process id, as it goes into the ICMP identifier.
unsigned long GetPid();

// The receive buffer asked for an ICMP socket: room for a burst of replies from about
// 10,000 targets.
constexpr int kIcmpReceiveBufferBytes = 16 << 20;
// Asks for a socket receive buffer of the given size, beyond the system's usual cap
// where the process may (replies to thousands of targets arrive in bursts). Best effort.
void EnlargeReceiveBuffer(int socket, int bytes);
// Has the kernel stamp every datagram the socket receives with its arrival time.
void EnableReceiveTimestamps(int socket);
// Has the kernel tell, with every datagram the socket receives, how many it has dropped
// so far for want of room in the receive buffer (Linux: SO_RXQ_OVFL, on raw sockets only;
// nothing on Windows). See ReceivedDatagram::socket_drops.
void EnableDropCounts(int socket);
// How many datagrams the socket has dropped so far for want of room, asked of the system
// (one system call): for sockets whose datagrams do not bring the count. Empty where the
// system cannot tell (Windows).
std::optional<std::uint32_t> ReadDropCount(int socket);
// Whether ReceiveDatagrams brings the kernel's arrival stamps (after
// EnableReceiveTimestamps): a datagram read a while after it came is still timed right.
#ifdef _WIN32
constexpr bool kKernelReceiveStamps = false;
#else
constexpr bool kKernelReceiveStamps = true;
#endif

// Sends one datagram to address (a socket address of address_length bytes) without
// blocking: a datagram the system cannot take at once is an error. Returns the system's
// error, empty on success.
std::error_code SendDatagram(int socket, const void* data, std::size_t length, const void* address,
                             std::size_t address_length);
// Closes a socket that nothing else owns.
void CloseSocket(int socket);

// Has the kernel keep from a raw ICMP or ICMPv6 socket every datagram but the echo
// replies whose identifier lies in [first_identifier, first_identifier + count) modulo
// 65536, so that other programs' ICMP traffic costs neither a wake-up nor a read. On a
// relay the helper does it, once. False where the system cannot filter: everything
// still arrives then, and is sorted out on receipt.
bool AcceptOnlyEchoReplies(int socket, std::uint16_t first_identifier, std::uint32_t count);
// Fixes the socket's filter for good: nobody holding the socket can take it off or change
// it. False where the system cannot.
bool LockSocketFilter(int socket);

// An IP address as IPv6 bytes in network order; an IPv4 address takes its IPv4-mapped
// form (::ffff:a.b.c.d), so one type serves both families.
using AddressBytes = std::array<unsigned char, 16>;

// One datagram read by ReceiveDatagrams.
struct ReceivedDatagram {
  std::size_t length = 0;                     // bytes stored in its slot
  std::optional<std::int64_t> wall_stamp_ns;  // kernel's arrival time, wall clock
  AddressBytes source{};                      // its sender; all zero where not told
  // The socket's drops for want of room so far (modulo 2^32), as the kernel told with
  // this datagram; 0 while there were none, or where it does not tell.
  std::uint32_t socket_drops = 0;
};
// The most datagrams one ReceiveDatagrams call reads.
constexpr int kMaxReceiveBatch = 64;
// Reads, without blocking, up to count (at most kMaxReceiveBatch) datagrams queued on the
// socket, datagram i into slots + i * slot_size, cut to slot_size bytes, with its receive
// stamp where the system keeps one and its sender where the system tells it. Returns how
// many were read, 0 when none was queued, or -1 with error set. Datagrams come in the
// order they arrived.
int ReceiveDatagrams(int socket, unsigned char* slots, std::size_t slot_size,
                     ReceivedDatagram* datagrams, int count, std::error_code& error);

// Single instance. The first process to call AcquireInstance with a name holds it
// until ReleaseInstance or until the process ends, however it ends, so a crash never
// blocks the next start. On POSIX this is a per-user lock file (flock) in
// $XDG_RUNTIME_DIR, /run/user/<uid> or a private folder under /tmp, with a Unix socket
// beside it on which a later start asks the holder to raise its window. A lock that
// cannot be made at all counts as kOnly: better two windows than none.
enum class InstanceState { kOnly, kOtherRunning };
InstanceState AcquireInstance(const std::string& name);
// Asks the instance holding name to bring its window titled title to the front, if it
// has one. Does not wait for an answer and gives up after about a second when the
// holder does not take the request; nothing happens when nobody listens.
void ActivateOtherInstance(const std::string& name, const std::string& title);
// True when later starts have asked for the window since the last call (the holder
// polls this from a GUI timer; requests made before it first polls are kept).
bool ActivationRequested();
// Gives the instance up. Safe to call when nothing is held.
void ReleaseInstance();

// Opening the help file: the file given to the viewer, and how the opener fares.
enum class HelpState { kPending, kOpened, kFailed };
struct HelpOpener {
  std::string path;                       // the file handed to the viewer
  HelpState state = HelpState::kPending;  // kPending while the opener runs
  int status_fd = -1;                     // where the opener's exit status comes; -1 once known
};
// Starts opening file (relative to the working directory) with the desktop's text viewer;
// when the working directory has no such file, the copy installed with the program's
// documentation instead. Never waits for the viewer: the outcome comes through
// CheckHelpOpener. The viewer's output does not reach our terminal.
HelpOpener OpenHelpFile(const std::string& file);
// Brings opener.state up to date without waiting; kFailed when no viewer could be
// started or the opener said it failed.
void CheckHelpOpener(HelpOpener& opener);
// Stops watching an opener still pending (once started, a viewer may run for hours).
void ForgetHelpOpener(HelpOpener& opener);

// Where config.ini lives. A start from the desktop menu finds itself in the home folder
// (or /) with no config.ini there; it moves to $XDG_CONFIG_HOME/lumoret (by default
// ~/.config/lumoret), creating it. Any other working folder is kept, and so is one that
// cannot be made. True when it moved. Call once the process runs as the user it is for
// (after DropPrivileges), before anything else looks at the working folder. Nothing on
// Windows.
bool EnterWorkingFolder();

// A step of taking or giving up the rights the raw socket needs that failed, with the
// system's error code.
class RightsError : public std::system_error {
 public:
  enum class Step {
    kOpenSocket,   // no ICMP socket could be opened, raw or datagram
    kSudoIds,      // SUDO_UID or SUDO_GID is not a plain user or group id
    kSwitchUser,   // becoming the user who ran sudo failed
    kDropRight,    // the capability could not be given up
    kStartHelper,  // the ICMP helper could not be run, or did not answer
  };
  RightsError(Step step, int error, const std::string& what)
      : std::system_error(error, std::generic_category(), what), step(step) {}
  Step step;  // which step failed
};

// The protocol an ICMP socket speaks: ICMP over IPv4, or ICMPv6.
enum class IpFamily { kV4, kV6 };
// Opens a raw ICMP socket of family and returns its descriptor. An ICMPv6 one delivers
// replies without their IP header. The process is made non-dumpable first, for good: a
// debugger or a core file would hand the socket out. Throws RightsError (kOpenSocket)
// with the system's error; always for IPv6 on Windows.
int OpenRawIcmpSocket(IpFamily family = IpFamily::kV4);
// Opens an ICMP datagram socket of family, which needs no right where the system lets the
// process's groups use them (Linux: net.ipv4.ping_group_range, for both families). The
// system chooses the identifier of its requests and delivers only the replies that carry
// it, without their IP header. Throws RightsError (kOpenSocket) with the system's error;
// always on Windows.
int OpenDatagramIcmpSocket(IpFamily family = IpFamily::kV4);
// Raises the process's limit on open descriptors as far as the system allows; false
// when it cannot go higher.
bool RaiseDescriptorLimit();
// How an ICMP socket sends and receives: raw (whole IP datagrams in, our identifiers) or
// datagram (ICMP messages only, the system's identifier).
enum class SocketKind { kRaw, kDatagram };
SocketKind GetSocketKind(int socket);

// Which rights DropPrivileges gives up besides a sudo start's root: the raw socket's
// (CAP_NET_RAW), or every capability.
enum class Rights { kRawSocket, kAll };
// Gives up, for the whole process, every right the raw socket needed: a root process
// started through sudo becomes the user who ran it (uid, gid, supplementary groups,
// HOME, USER, LOGNAME), and CAP_NET_RAW (with kAll, every capability) leaves every set
// (effective, permitted, inheritable, ambient, and the bounding set where the process
// may change it). Capabilities and the environment belong to the threads that exist
// when they change, so this must run before any other thread is started. Throws
// RightsError.
void DropPrivileges(Rights rights = Rights::kRawSocket);

// The ICMP helper, lumoret-icmp. A process started with more rights than its user (a
// file capability, or sudo) runs code the user chooses all the same: GTK loads modules
// named in the user's settings and environment, and code in the process can pass any
// descriptor on. So the program's own process holds a raw socket only in a plain root
// start; otherwise the helper, which loads no such library, opens the raw sockets,
// gives up every right and relays: well-formed echo requests out, echo replies in. Each
// family's relay descriptor is an ICMP socket like another to SendDatagram,
// ReceiveDatagrams, GetSocketKind (raw) and AcceptOnlyEchoReplies; close it with
// CloseSocket (one closed otherwise counts as a relay until its number comes back for a
// socket the platform layer opens).

// The descriptors the helper finds its relays at: ICMP over IPv4's, then ICMPv6's.
constexpr int kHelperRelayFd[2] = {3, 4};
// True where this process opens raw sockets itself: a plain root start (neither sudo
// nor a file capability), and Windows.
bool RawSocketsInProcess();
// Where the helper is, by the program's own path (never the environment): in the
// installed tree's libexec folder, or else in the build tree. Empty on Windows.
std::string IcmpHelperPath();
// The relays StartIcmpHelper brought up.
struct IcmpRelays {
  int v4 = -1;               // ICMP over IPv4; -1 when the helper has no raw socket for it
  int v6 = -1;               // ICMPv6; -1 likewise, and always when v4 is -1
  bool answered = false;     // the helper ran and said whether its sockets opened
  std::error_code v4_error;  // why v4 is -1: the helper's, or why it did not answer
};
// Starts the helper at path and waits for its word on each family, two seconds at most.
// A helper that has no socket to relay is ended again.
IcmpRelays StartIcmpHelper(const std::string& path);

// From now on SIGTERM, SIGINT and SIGHUP only set a flag that QuitRequested reports,
// so the program can close in order.
void CatchQuitSignals();
bool QuitRequested();

// Writes text to a new file with a short name in path's folder and renames it into
// place, so that path is either left as it was or holds the whole text; nothing else is
// left behind. A symbolic link is written through to the file it names; an existing
// file keeps its permissions (and its owner, where the process may keep it). Line feeds
// become the platform's line ends. Returns the system's error.
std::error_code WriteFileReplacing(const std::string& path, const std::string& text);

#ifdef _WIN32
// Entry id of the executable's string table, in UTF-8; empty when there is none.
std::string LoadResourceString(unsigned id);
#endif

}  // namespace platform

#endif  // LUMORET_PLATFORM_PLATFORM_H
