#ifndef LUMORET_ENGINE_DELAY_TIME_MGR_H
#define LUMORET_ENGINE_DELAY_TIME_MGR_H

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/icmp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/delay_target.h"
#include "engine/icmp_header.h"
#include "engine/ipv4_header.h"
#include "engine/name_resolver.h"
#include "engine/probe_schedule.h"
#include "platform/platform.h"

// The steady and the wall clock, read back to back once per batch of datagrams: the
// kernel stamps arrivals on the wall clock, and the pair turns a stamp into steady time.
struct ClockPair {
  std::chrono::steady_clock::time_point steady;  // the steady clock's reading
  std::int64_t wall_ns = 0;                      // the wall clock's, ns since the epoch

  static ClockPair Now();
};

// A datagram's arrival on the steady clock, from the kernel's wall-clock stamp, however
// old. Never after the pair's reading: without a stamp, or with one after the reading (the
// wall clock was set back), the arrival is the reading itself.
std::chrono::steady_clock::time_point ArrivalTime(const std::optional<std::int64_t>& stamp_ns,
                                                  const ClockPair& clocks);

// An address as the receive path names senders.
platform::AddressBytes AddressBytesOf(const boost::asio::ip::address& address);

// The engine: one raw ICMP socket shared by every target, and one raw ICMPv6 socket for
// targets with an IPv6 address (or, without the right to raw sockets, ICMP datagram
// sockets of each family), one worker thread running every completion handler, and the
// receive path that hands each echo reply to its target.
class DelayTimeMgr {
 public:
  // Waits until the names are resolved, or gives up on some (NameResolver::Cancel),
  // while the caller shows how far resolving has come.
  using AwaitNames = std::function<void(NameResolver& names)>;

  // Opens an ICMP socket of family for the constructor, raw where the process has the
  // right (and raw_first asks for it) and else datagram, its receive buffer enlarged
  // while the process may still go past the system's cap: call before giving up rights.
  // Throws the raw socket's platform::RightsError when neither kind can be opened (the
  // datagram socket's without raw_first).
  static int OpenIcmpSocket(platform::IpFamily family = platform::IpFamily::kV4,
                            bool raw_first = true);

  // The one manager of the process, built by the first call around its arguments (as the
  // constructor); later calls return it and ignore them. A failed construction raises
  // its error and is tried again on the next call.
  static DelayTimeMgr& GetInstance(int icmp_socket, const AwaitNames& await_names = nullptr,
                                   int icmpv6_socket = -1);

  // Takes over icmp_socket, an open ICMP socket over IPv4, raw or datagram, then reads
  // (or creates) config.ini in the working directory and resolves every target, through
  // await_names when given. Targets with an IPv6 address go out on icmpv6_socket, which
  // is closed when none has; without one (-1), one is opened when some target needs it.
  // With datagram sockets, each further listing of an address gets a socket of its own.
  // Throws ConfigError for a target list that cannot be used, std::system_error when
  // those sockets cannot be opened.
  explicit DelayTimeMgr(int icmp_socket, const AwaitNames& await_names = nullptr,
                        int icmpv6_socket = -1);
  // The same on a socket of its own; throws boost::system::system_error when the
  // process may open neither kind.
  DelayTimeMgr();
  ~DelayTimeMgr();
  DelayTimeMgr(const DelayTimeMgr&) = delete;
  DelayTimeMgr& operator=(const DelayTimeMgr&) = delete;

  // Launches the worker thread; false when it was started already.
  bool Start();
  // Stops the I/O service and joins the worker thread; nothing of the engine runs
  // once it returns.
  void Stop();
  // The text of the error that ended the worker thread, empty while there is none.
  // Safe to call from any thread.
  std::string LastError() const;

  // The receive path for one datagram as socket number channel delivered it, from source
  // (a raw IPv4 socket's datagram has its IPv4 header first; the others bring the ICMP
  // message alone): decodes it and hands an echo reply to its target. stamp_ns is the
  // kernel's arrival stamp on the wall clock, if there is one; clocks were read after the
  // datagram was. The worker calls it for every datagram; tests, benchmarks and fuzzers
  // feed it bytes.
  void HandleDatagram(std::size_t channel, const unsigned char* data, std::size_t length,
                      const platform::AddressBytes& source,
                      const std::optional<std::int64_t>& stamp_ns, const ClockPair& clocks);

  // How requests go out: a raw socket, or datagram sockets. Fixed by the constructor.
  const platform::SocketKind socket_kind;
  // The same for targets with an IPv6 address; empty when there are none. Fixed by the
  // constructor.
  std::optional<platform::SocketKind> socket_kind_v6;
  // Why targets with an IPv6 address go unprobed (no ICMPv6 socket could be had), shown
  // as unresolved; empty when they are probed or there are none. Fixed by the constructor.
  std::string icmpv6_error;
  std::vector<std::unique_ptr<DelayTarget>> targets;  // fixed after construction
  // Runs every handler of the engine, on the worker thread alone: the hint of one thread
  // lets a handler post work without waking the reactor.
  boost::asio::io_service io_service{1};

  // Written by the worker thread only, read whole by any thread.
  std::atomic<std::uint32_t> foreign_count{0};        // echo replies and other ICMP not ours
  std::atomic<std::uint32_t> malformed_count{0};      // too short, or (raw) not IPv4
  std::atomic<std::uint32_t> send_error_count{0};     // requests the kernel refused
  std::atomic<std::uint32_t> receive_error_count{0};  // failed waits and reads
  // Replies the system dropped before they were read, a receive buffer full (the sum
  // over the sockets of the overflow count each last told): lost on this computer, not
  // on the network.
  std::atomic<std::uint32_t> kernel_drop_count{0};
  // Times the process did not run for a while: a wake-up came over a second late.
  std::atomic<std::uint32_t> stall_count{0};

 private:
  // Bytes kept of each datagram: enough for the largest IPv4 header and the ICMP header
  // behind it, all that is decoded; the rest of a longer datagram is cut off.
  static constexpr std::size_t kSlotSize = 128;

  // Reads a datagram's bytes through the header decoders' stream interface without
  // copying them or building a stream per datagram.
  class ByteSource : public std::streambuf {
   public:
    void Reset(const unsigned char* data, std::size_t length);
  };

  // What one turn of reading the socket left behind: an empty queue, datagrams that came
  // after the turn's bound, or a failure.
  enum class DrainResult { kEmpty, kMore, kFailed };

  // Hashes an address for the datagram sockets' tables.
  struct AddressHash {
    std::size_t operator()(const platform::AddressBytes& address) const;
  };

  // One socket with the targets whose requests it carries.
  struct Channel {
    Channel(boost::asio::io_service& io_service, int descriptor, platform::IpFamily family);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    const int descriptor;  // its targets' requests and replies; owned, through waiter if any
    const platform::IpFamily family;  // ICMP over IPv4, or ICMPv6
    const platform::SocketKind kind;  // raw or datagram
    // Wakes the worker when a datagram arrives. Without it, the socket is read at the
    // schedule's wake-ups instead (see WatchArrivals).
    std::unique_ptr<boost::asio::ip::icmp::socket> waiter;
    // Reads the socket again a while after a failed read, so an error cannot spin.
    boost::asio::steady_timer receive_retry_timer;
    std::size_t target_count = 0;    // resolved targets whose requests it carries
    std::uint32_t socket_drops = 0;  // the latest count of drops the system told for it
    // Datagram sockets: index of the target for each address sent to.
    std::unordered_map<platform::AddressBytes, std::size_t, AddressHash> targets;
  };

  // While the targets are made: the sockets of each family in order of listing (a raw
  // socket serves every listing), and how often each address was listed so far.
  struct ChannelPlan {
    std::vector<std::size_t> by_listing[2];  // channel numbers; [0] IPv4, [1] IPv6
    std::unordered_map<platform::AddressBytes, std::size_t, AddressHash> listings;
  };

  void Run();
  // Gives a waiter to each socket that is better read as datagrams arrive than on the
  // schedule's cadence.
  void WatchArrivals();
  // Waits until socket number channel has datagrams to read.
  void StartReceive(std::size_t channel);
  void HandleReceive(std::size_t channel, const boost::system::error_code& error);
  // Reads and handles everything queued on a socket that came by until.
  DrainResult DrainSocket(std::size_t channel, std::chrono::steady_clock::time_point until);
  // Adds what a socket dropped since its count was last told, latest now, to the total.
  void NoteDrops(Channel& channel, std::uint32_t latest);
  // The target an echo reply just decoded answers, or nullptr when it is none of ours.
  DelayTarget* ReplyTarget(std::size_t channel, const platform::AddressBytes& source);
  // The socket for the target at index, sending to destination: with datagram sockets,
  // the one for its listing of that address, opened when needed. Null when no socket of
  // that family can be had (icmpv6_error says why).
  Channel* ChannelFor(std::size_t index, const boost::asio::ip::icmp::endpoint& destination,
                      ChannelPlan& plan);
  // Adds a channel of family on descriptor; returns its number.
  std::size_t AddChannel(int descriptor, platform::IpFamily family);
  // Arms schedule_timer for the earliest wait or pause (and, while replies are awaited
  // on a socket without waiter, for the next grain), unless it is armed early enough.
  void ArmScheduleTimer();
  // Reads what came by until on the sockets without waiter, and with due_waits on the
  // others too.
  void ReadQueuedReplies(bool due_waits, std::chrono::steady_clock::time_point until);
  // Runs out every wait and pause that is due.
  void HandleScheduleTimer(const boost::system::error_code& error);

  // Of each family in use, the raw socket alone, or one datagram socket per listing of an
  // address: the first listing of each address goes through the first, the second
  // through the second, ... The IPv4 one handed to the constructor comes first.
  std::vector<std::unique_ptr<Channel>> channels;
  bool polling = false;                          // some socket has no waiter
  bool running = false;                          // GUI thread only
  std::unique_ptr<boost::thread> worker_thread;  // runs Run from Start to Stop
  // One slot of kSlotSize bytes per datagram of a batch.
  std::vector<unsigned char> reply_buffer;
  std::vector<platform::ReceivedDatagram> received;  // what each slot holds
  ByteSource reply_bytes;                            // the datagram being decoded
  std::istream reply_stream{&reply_bytes};           // decodes reply_bytes
  Ipv4Header reply_ipv4_header;                      // of the datagram decoded last
  IcmpHeader reply_icmp_header;                      // of the datagram decoded last
  ProbeSchedule schedule;                            // every target's wait or pause
  boost::asio::steady_timer schedule_timer;          // wakes the worker for the earliest of them
  // When schedule_timer is armed to expire; time_point::max() while it is not armed.
  std::chrono::steady_clock::time_point schedule_wake;
  // Reads config.ini and creates the targets, their names resolved side by side.
  void LoadTargets(const AwaitNames& await_names);

  mutable std::mutex error_mutex_;  // guards last_error_
  std::string last_error_;          // what ended the worker thread
};

#endif  // LUMORET_ENGINE_DELAY_TIME_MGR_H
