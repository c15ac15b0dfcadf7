#ifndef LUMORET_ENGINE_DELAY_TIME_MGR_H
#define LUMORET_ENGINE_DELAY_TIME_MGR_H

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/address_hash.h"
#include "engine/channel_table.h"
#include "engine/clock_pair.h"
#include "engine/delay_target.h"
#include "engine/lookup_queue.h"
#include "engine/name_resolver.h"
#include "engine/probe_schedule.h"
#include "engine/receive_path.h"
#include "engine/reply_reader.h"
#include "engine/schedule_driver.h"
#include "platform/platform.h"

// The engine: one raw ICMP socket shared by every target, and one raw ICMPv6 socket for
// targets with an IPv6 address (or, without the right to raw sockets, ICMP datagram
// sockets of each family), one worker thread running every completion handler, and the
// receive path that hands each echo reply to its target.
class DelayTimeMgr {
 public:
  // Waits until the names are resolved, or gives up on some (NameResolver::Cancel),
  // while the caller shows how far resolving has come.
  using AwaitNames = std::function<void(NameResolver& names)>;
  // The targets, each shared by the list and the worker while it probes it.
  using TargetList = std::vector<std::shared_ptr<DelayTarget>>;
  // One row of the list ChangeTargets makes: a target kept from the current list, or a
  // new host.
  struct ListEntry {
    std::size_t kept = kAdded;  // position in targets of the target kept; kAdded: new
    std::string host;           // a new host's text, as in config.ini; unused when kept
  };
  // ChangeTargets' word for a position that holds a new host.
  static constexpr std::size_t kAdded = static_cast<std::size_t>(-1);
  // How often every name is looked up again unless SetResolveInterval says otherwise.
  static constexpr std::chrono::seconds kDefaultResolveInterval{300};
  // A name that failed is tried again this often (or at the interval, if sooner).
  static constexpr std::chrono::seconds kRetryFailedAfter{60};

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
  // await_names when given. Targets with an IPv6 address go out on icmpv6_socket, kept
  // open for those added later even when none has one yet (the process may have given up
  // the right to open another); without one (-1), one is opened when some target needs it.
  // With datagram sockets, each further listing of an address gets a socket of its own.
  // Throws ConfigError for a target list that cannot be used, std::system_error when
  // those sockets cannot be opened.
  // hosts, when given, is the list to probe instead of config.ini's (nothing is read or
  // created then).
  explicit DelayTimeMgr(int icmp_socket, const AwaitNames& await_names = nullptr,
                        int icmpv6_socket = -1,
                        std::optional<std::vector<std::string>> hosts = std::nullopt);
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

  // Makes targets the list described, on the owner's thread, while the worker goes on
  // probing: kept targets keep their statistics and history, removed ones stop, new ones
  // are looked up in the background (kPending until then) and probed once resolved. A
  // removed target's identifier may go to a new one at once: the new one numbers its
  // requests on after the old one's, so their late replies never count as its own.
  // Returns, for each position of the new list, the position its target had, or kAdded.
  // Throws ConfigError (kTooManyTargets) for a list over kMaxTargets; nothing changes then.
  std::vector<std::size_t> ChangeTargets(const std::vector<ListEntry>& list);
  // The entries that turn current into hosts: each host keeps the earliest target of the
  // same text not kept yet (duplicates one for one, in order), the others are new.
  static std::vector<ListEntry> MatchHosts(const TargetList& current,
                                           const std::vector<std::string>& hosts);
  // Looks the targets at positions up again at once in the background (every target when
  // empty); one whose address changed moves there, and its record says when.
  void ResolveAgain(const std::vector<std::size_t>& positions = {});
  // How often every name is looked up again; zero: never (failed ones still are).
  void SetResolveInterval(std::chrono::seconds interval);
  // Owner's thread, before Start: every target, and every one added later, counts its
  // accounted delays in a histogram with these bounds (DelayTarget::histogram). Throws
  // std::invalid_argument for bounds DelayHistogram refuses.
  void EnableReplyHistograms(const DelayHistogram::Bounds& bounds);

  // How requests go out: a raw socket, or datagram sockets. Fixed by the constructor.
  const platform::SocketKind socket_kind;
  // The same for targets with an IPv6 address; empty when there are none. Set by the
  // constructor for the hosts it read.
  std::optional<platform::SocketKind> socket_kind_v6;
  // Why targets with an IPv6 address go unprobed (no ICMPv6 socket could be had), shown
  // as unresolved; empty when they are probed or there are none. Set by the constructor
  // for the hosts it read.
  std::string icmpv6_error;
  // The targets in config.ini's order. Changed by ChangeTargets alone, on the thread that
  // owns the manager, which reads it freely; the worker holds its own references.
  TargetList targets;
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
  void Run();
  // Reads config.ini and creates the targets, their names resolved side by side.
  void LoadTargets(const AwaitNames& await_names, std::optional<std::vector<std::string>> hosts);

  // Worker thread: the list changed; removed targets stop, added ones are looked up.
  void ApplyChange(const TargetList& removed, const TargetList& added);
  // Worker thread: stops a removed target and frees its identifier and listing.
  void Retire(DelayTarget& target);
  // Worker thread: takes in an added target, unresolved until its look-up answers.
  void Install(const std::shared_ptr<DelayTarget>& target);
  // Worker thread: lets the raw sockets' filter through every identifier in use.
  void WidenFilter();
  // Worker thread: puts what look-ups found to work: first addresses, moves, failures.
  void ApplyLookups(const std::vector<LookupQueue::Result>& results);
  // Worker thread: probes target at address from now on, on the socket that goes there.
  void MoveTarget(DelayTarget& target, const NameResolver::Address& address);
  // Worker thread: the names due for another look-up, then the timer for the next.
  void HandleResolveTimer(const boost::system::error_code& error);
  void ArmResolveTimer();

  ProbeSchedule schedule_;  // every target's wait or pause
  // The worker's own references to the targets, by identifier offset; null where none.
  TargetList slots_;
  // Worker thread: per identifier offset, the last sequence number sent under it.
  std::vector<std::uint16_t> slot_sequences_;
  std::uint32_t filter_count_ = 0;  // worker thread: identifiers the raw sockets let through
  // Worker thread: how often every name is looked up again; zero: never.
  std::chrono::seconds resolve_interval_ = kDefaultResolveInterval;
  // Worker thread: when every name is looked up next.
  std::chrono::steady_clock::time_point next_full_resolve_;
  // Decodes every datagram and hands each reply to its target.
  ReceivePath receive_path_{slots_, foreign_count, malformed_count};
  ChannelTable channels_{io_service, receive_path_};  // the sockets, numbered as it knows them
  // Reads the sockets; after each read the schedule's timer may need to be earlier.
  ReplyReader reader_{io_service,        channels_,
                      receive_path_,     receive_error_count,
                      kernel_drop_count, [this] { driver_.ArmScheduleTimer(); }};
  ScheduleDriver driver_{io_service, schedule_, channels_, reader_, stall_count};  // the cadence
  // Owner's thread: identifiers past the highest in use, and those given back below it.
  std::size_t slot_count_ = 0;
  std::vector<int> free_slots_;  // owner's thread: identifiers of removed targets
  // Owner's thread: the bounds of every target's delay histogram; null: none is kept.
  std::shared_ptr<const DelayHistogram::Bounds> histogram_bounds_;
  bool running = false;                                  // GUI thread only
  std::unique_ptr<boost::thread> worker_thread;          // runs Run from Start to Stop
  mutable std::mutex error_mutex_;                       // guards last_error_
  std::string last_error_;                               // what ended the worker thread
  boost::asio::steady_timer resolve_timer_{io_service};  // the next look-ups of names
  // Looks names up in the background and posts what it found to the worker. Last, so
  // that it stops before anything it posts to goes.
  LookupQueue lookups_{[this](std::vector<LookupQueue::Result> results) {
    io_service.post([this, results = std::move(results)] { ApplyLookups(results); });
  }};
};

#endif  // LUMORET_ENGINE_DELAY_TIME_MGR_H
