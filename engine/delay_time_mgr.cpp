#include "engine/delay_time_mgr.h"

#include <algorithm>
#include <boost/asio/placeholders.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>
#include <cstring>
#include <system_error>

#include "engine/target_list.h"
#include "platform/platform.h"

namespace {

// The target list, in the working directory.
constexpr char kConfigFile[] = "config.ini";
// Pause before receiving again after a failed receive.
constexpr auto kReceiveRetry = std::chrono::milliseconds(100);
// Waits and pauses due within one such step are run out in one wake-up of the worker:
// a request may leave up to 4 ms after its time, and the worker wakes, and re-arms the
// kernel's timer, a quarter as often as at a millisecond.
using ScheduleGrain = std::chrono::duration<std::int64_t, std::ratio<1, 250>>;
// A socket carrying this many targets sends, at one-second pauses, about a request every
// grain: the schedule wakes the worker that often anyway, so replies are read then (their
// kernel stamps keep the timing exact) rather than at one more wake-up each.
constexpr std::size_t kPolledFrom = std::chrono::seconds(1) / ScheduleGrain(1);
// A wake-up of the schedule this far past its time means that the process did not run
// meanwhile (stopped, or starved of the processor): a stall.
constexpr auto kStallAfter = std::chrono::seconds(1);
// Socket receive buffer: room for a burst of replies from about 10,000 targets.
constexpr int kReceiveBufferBytes = 16 << 20;

// An ICMP datagram socket with room for bursts. Throws platform::RightsError.
int OpenDatagramSocket(platform::IpFamily family) {
  const int socket = platform::OpenDatagramIcmpSocket(family);
  platform::EnlargeReceiveBuffer(socket, platform::kIcmpReceiveBufferBytes);
  return socket;
}

// A datagram socket for one more listing of an address. A host listed many times needs
// many, so the limit on descriptors (often 1,024) is raised as far as the system lets
// the process, before the socket is opened rather than after a failure.
int OpenExtraDatagramSocket(platform::IpFamily family) {
  platform::RaiseDescriptorLimit();
  try {
    return OpenDatagramSocket(family);
  } catch (const platform::RightsError& e) {
    // Not a matter of rights (the first one opened): most likely out of descriptors.
    throw std::system_error(e.code(),
                            "opening an ICMP datagram socket for an address listed "
                            "more than once");
  }
}

// The ICMP socket of an engine that tools and tests build on its own: neither kind
// raises boost::system::system_error, which they test for.
int OpenOwnSocket() {
  try {
    return DelayTimeMgr::OpenIcmpSocket();
  } catch (const platform::RightsError& e) {
    throw boost::system::system_error(e.code().value(), boost::system::generic_category(),
                                      e.what());
  }
}

}  // namespace

int DelayTimeMgr::OpenIcmpSocket(platform::IpFamily family, bool raw_first) {
  if (!raw_first) {
    return OpenDatagramSocket(family);
  }
  int socket = -1;
  try {
    socket = platform::OpenRawIcmpSocket(family);
  } catch (const platform::RightsError& raw_error) {
    try {
      return OpenDatagramSocket(family);
    } catch (const platform::RightsError&) {
      throw raw_error;  // names the right; the message gives both remedies
    }
  }
  platform::EnlargeReceiveBuffer(socket, platform::kIcmpReceiveBufferBytes);
  return socket;
}

DelayTimeMgr& DelayTimeMgr::GetInstance(int icmp_socket, const AwaitNames& await_names,
                                        int icmpv6_socket) {
  // A constructor that throws leaves the static unconstructed, so the next call
  // tries again from the start.
  static DelayTimeMgr instance(icmp_socket, await_names, icmpv6_socket);
  return instance;
}

platform::AddressBytes AddressBytesOf(const boost::asio::ip::address& address) {
  return address.is_v6()
             ? address.to_v6().to_bytes()
             : boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, address.to_v4())
                   .to_bytes();
}

ClockPair ClockPair::Now() {
  ClockPair clocks;
  clocks.steady = std::chrono::steady_clock::now();
  clocks.wall_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return clocks;
}

std::chrono::steady_clock::time_point ArrivalTime(const std::optional<std::int64_t>& stamp_ns,
                                                  const ClockPair& clocks) {
  if (!stamp_ns || *stamp_ns > clocks.wall_ns) {
    return clocks.steady;
  }
  // However old: a process that was stopped for a while still dates what came meanwhile
  // by when it came.
  const std::chrono::nanoseconds age(clocks.wall_ns - *stamp_ns);
  return clocks.steady - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
}

void DelayTimeMgr::ByteSource::Reset(const unsigned char* data, std::size_t length) {
  // The get area is only read from; std::streambuf just wants it writable in type.
  char* begin = reinterpret_cast<char*>(const_cast<unsigned char*>(data));
  setg(begin, begin, begin + length);
}

std::size_t DelayTimeMgr::AddressHash::operator()(const platform::AddressBytes& address) const {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  std::memcpy(&high, address.data(), sizeof high);
  std::memcpy(&low, address.data() + sizeof high, sizeof low);
  return static_cast<std::size_t>((high * 0x9E3779B97F4A7C15u) ^ low);
}

DelayTimeMgr::Channel::Channel(boost::asio::io_service& io_service, int descriptor,
                               platform::IpFamily family)
    : descriptor(descriptor),
      family(family),
      kind(platform::GetSocketKind(descriptor)),
      receive_retry_timer(io_service) {
  platform::EnableReceiveTimestamps(descriptor);
  platform::EnableDropCounts(descriptor);
}

DelayTimeMgr::Channel::~Channel() {
  if (!waiter) {
    platform::CloseSocket(descriptor);
  }
}

DelayTimeMgr::DelayTimeMgr(int icmp_socket, const AwaitNames& await_names, int icmpv6_socket)
    : socket_kind(platform::GetSocketKind(icmp_socket)),
      reply_buffer(platform::kMaxReceiveBatch * kSlotSize),
      received(platform::kMaxReceiveBatch),
      schedule_timer(io_service),
      schedule_wake(std::chrono::steady_clock::time_point::max()) {
  AddChannel(icmp_socket, platform::IpFamily::kV4);
  if (icmpv6_socket >= 0) {
    AddChannel(icmpv6_socket, platform::IpFamily::kV6);
  }
  LoadTargets(await_names);
  for (const auto& channel : channels) {
    if (channel->kind == platform::SocketKind::kRaw) {
      // A raw socket sees every program's ICMP: only replies to our identifiers get through.
      platform::AcceptOnlyEchoReplies(channel->descriptor,
                                      IdentifierForIndex(platform::GetPid(), 0),
                                      static_cast<std::uint32_t>(targets.size()));
    }
  }
  WatchArrivals();
}

std::size_t DelayTimeMgr::AddChannel(int descriptor, platform::IpFamily family) {
  try {
    channels.push_back(std::make_unique<Channel>(io_service, descriptor, family));
  } catch (...) {
    platform::CloseSocket(descriptor);
    throw;
  }
  return channels.size() - 1;
}

void DelayTimeMgr::WatchArrivals() {
  for (const auto& channel : channels) {
    // Without kernel stamps a reply must be read at once to be timed right; and a socket
    // with few targets would otherwise wake the worker every grain while it waits.
    if (platform::kKernelReceiveStamps && channel->target_count >= kPolledFrom) {
      polling = true;
      continue;
    }
    channel->waiter = std::make_unique<boost::asio::ip::icmp::socket>(
        io_service,
        channel->family == platform::IpFamily::kV6 ? boost::asio::ip::icmp::v6()
                                                   : boost::asio::ip::icmp::v4(),
        channel->descriptor);
    // Requests are sent and replies read straight from the worker's handlers.
    channel->waiter->non_blocking(true);
  }
}

DelayTimeMgr::DelayTimeMgr() : DelayTimeMgr(OpenOwnSocket()) {}

void DelayTimeMgr::LoadTargets(const AwaitNames& await_names) {
  const std::vector<std::string> hosts = LoadTargetList(kConfigFile);
  NameResolver names(hosts);
  if (await_names) {
    await_names(names);
  }
  while (!names.Wait(std::chrono::hours(1))) {
  }
  const std::vector<std::optional<NameResolver::Address>> addresses = names.Results();
  targets.reserve(hosts.size());
  ChannelPlan plan;
  for (std::size_t channel = 0; channel < channels.size(); ++channel) {
    plan.by_listing[channels[channel]->family == platform::IpFamily::kV6 ? 1 : 0].push_back(
        channel);
  }
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    std::optional<NameResolver::Address> destination = addresses[i];
    Channel* channel = destination ? ChannelFor(i, *destination, plan) : nullptr;
    if (channel == nullptr) {
      destination.reset();  // never sent to: its requests would have no socket
      channel = channels.front().get();
    } else {
      ++channel->target_count;
    }
    targets.push_back(std::make_unique<DelayTarget>(schedule, channel->descriptor, hosts[i],
                                                    static_cast<int>(i), destination,
                                                    send_error_count));
  }
  // The ICMPv6 socket handed over, unless some target needs it.
  if (channels.size() > 1 && channels[1]->family == platform::IpFamily::kV6 &&
      channels[1]->target_count == 0) {
    channels.erase(channels.begin() + 1);
  }
}

DelayTimeMgr::Channel* DelayTimeMgr::ChannelFor(std::size_t index,
                                                const boost::asio::ip::icmp::endpoint& destination,
                                                ChannelPlan& plan) {
  const bool v6 = destination.address().is_v6();
  const platform::IpFamily family = v6 ? platform::IpFamily::kV6 : platform::IpFamily::kV4;
  std::vector<std::size_t>& sockets = plan.by_listing[v6 ? 1 : 0];
  if (sockets.empty()) {  // the first IPv6 target, and no socket for it handed over
    if (!icmpv6_error.empty()) {
      return nullptr;
    }
    try {
      sockets.push_back(AddChannel(OpenIcmpSocket(family), family));
    } catch (const platform::RightsError& e) {
      icmpv6_error = e.what();
      return nullptr;
    }
  }
  Channel& first = *channels[sockets.front()];
  if (v6) {
    socket_kind_v6 = first.kind;
  }
  if (first.kind == platform::SocketKind::kRaw) {
    return &first;
  }
  const platform::AddressBytes address = AddressBytesOf(destination.address());
  const std::size_t listing = plan.listings[address]++;
  if (listing == sockets.size()) {
    sockets.push_back(AddChannel(OpenExtraDatagramSocket(family), family));
  }
  Channel& channel = *channels[sockets[listing]];
  channel.targets.emplace(address, index);
  return &channel;
}

DelayTimeMgr::~DelayTimeMgr() {
  Stop();
  // The targets' schedule entries point into the schedule, so the targets go first.
  targets.clear();
}

bool DelayTimeMgr::Start() {
  if (running || worker_thread) {
    return false;
  }
  running = true;
  worker_thread = std::make_unique<boost::thread>(boost::bind(&DelayTimeMgr::Run, this));
  return true;
}

void DelayTimeMgr::Stop() {
  if (!running && !worker_thread) {
    return;
  }
  running = false;
  io_service.stop();
  if (worker_thread) {
    worker_thread->join();
    worker_thread.reset();
  }
}

std::string DelayTimeMgr::LastError() const {
  std::lock_guard<std::mutex> lock(error_mutex_);
  return last_error_;
}

void DelayTimeMgr::Run() {
  try {
    for (const auto& target : targets) {
      if (target->resolved) {
        target->StartSend();
      }
    }
    ArmScheduleTimer();
    for (std::size_t channel = 0; channel < channels.size(); ++channel) {
      if (channels[channel]->waiter) {
        StartReceive(channel);
      }
    }
    io_service.run();
  } catch (const std::exception& e) {
    // Nothing above the worker thread could catch it; the window shows it instead.
    std::lock_guard<std::mutex> lock(error_mutex_);
    last_error_ = e.what();
  }
}

void DelayTimeMgr::StartReceive(std::size_t channel) {
  channels[channel]->waiter->async_wait(
      boost::asio::socket_base::wait_read,
      boost::bind(&DelayTimeMgr::HandleReceive, this, channel, boost::asio::placeholders::error));
}

void DelayTimeMgr::HandleReceive(std::size_t channel, const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) {
    return;  // shutting down
  }
  const DrainResult result =
      error ? DrainResult::kFailed : DrainSocket(channel, std::chrono::steady_clock::now());
  ArmScheduleTimer();
  switch (result) {
    case DrainResult::kEmpty:
      StartReceive(channel);
      return;
    case DrainResult::kMore:
      // Read on after the handlers waiting meanwhile (the timers) have had their turn.
      boost::asio::post(io_service,
                        [this, channel] { HandleReceive(channel, boost::system::error_code()); });
      return;
    case DrainResult::kFailed: {
      Increment(receive_error_count);
      // Try again after a pause instead of giving up on every reply for good; waiting
      // for the socket would report the failure again at once.
      boost::asio::steady_timer& retry = channels[channel]->receive_retry_timer;
      retry.expires_after(kReceiveRetry);
      retry.async_wait(boost::bind(&DelayTimeMgr::HandleReceive, this, channel,
                                   boost::asio::placeholders::error));
      return;
    }
  }
}

DelayTimeMgr::DrainResult DelayTimeMgr::DrainSocket(std::size_t channel,
                                                    std::chrono::steady_clock::time_point until) {
  Channel& from = *channels[channel];
  for (;;) {
    std::error_code error;
    const int count =
        platform::ReceiveDatagrams(from.descriptor, reply_buffer.data(), kSlotSize, received.data(),
                                   platform::kMaxReceiveBatch, error);
    if (count <= 0) {
      return count < 0 ? DrainResult::kFailed : DrainResult::kEmpty;
    }
    const ClockPair clocks = ClockPair::Now();
    for (int i = 0; i < count; ++i) {
      HandleDatagram(channel, &reply_buffer[static_cast<std::size_t>(i) * kSlotSize],
                     received[i].length, received[i].source, received[i].wall_stamp_ns, clocks);
    }
    const platform::ReceivedDatagram& last = received[static_cast<std::size_t>(count) - 1];
    NoteDrops(from, last.socket_drops);
    if (count < platform::kMaxReceiveBatch) {
      return DrainResult::kEmpty;
    }
    // Datagrams come in the order they arrived: once one came after until, so did all
    // behind it. Reading stops there, so a flood cannot hold the worker.
    if (ArrivalTime(last.wall_stamp_ns, clocks) > until) {
      return DrainResult::kMore;
    }
  }
}

void DelayTimeMgr::NoteDrops(Channel& channel, std::uint32_t latest) {
  // 0 is also what a datagram brings where the system tells nothing.
  if (latest == 0 || latest == channel.socket_drops) {
    return;
  }
  // The system's count only grows (modulo 2^32), and the total by as much.
  kernel_drop_count.store(
      kernel_drop_count.load(std::memory_order_relaxed) + (latest - channel.socket_drops),
      std::memory_order_relaxed);
  channel.socket_drops = latest;
}

void DelayTimeMgr::HandleDatagram(std::size_t channel, const unsigned char* data,
                                  std::size_t length, const platform::AddressBytes& source,
                                  const std::optional<std::int64_t>& stamp_ns,
                                  const ClockPair& clocks) {
  if (channel >= channels.size()) {
    Increment(foreign_count);  // no socket of ours
    return;
  }
  const Channel& from = *channels[channel];
  const bool v6 = from.family == platform::IpFamily::kV6;
  reply_bytes.Reset(data, length);
  reply_stream.clear();
  // Only a raw IPv4 socket hands over the IP header; the others the ICMP message alone.
  if (from.kind == platform::SocketKind::kRaw && !v6) {
    reply_stream >> reply_ipv4_header;
  }
  reply_stream >> reply_icmp_header;
  if (!reply_stream) {
    Increment(malformed_count);
    return;
  }
  const std::uint8_t echo_reply = v6 ? IcmpHeader::kEchoReplyV6 : IcmpHeader::kEchoReply;
  DelayTarget* target =
      reply_icmp_header.type() == echo_reply ? ReplyTarget(channel, source) : nullptr;
  if (target == nullptr ||
      !target->HandleReply(reply_icmp_header.sequence_number(), ArrivalTime(stamp_ns, clocks))) {
    Increment(foreign_count);
  }
}

DelayTarget* DelayTimeMgr::ReplyTarget(std::size_t channel, const platform::AddressBytes& source) {
  const Channel& from = *channels[channel];
  if (from.kind == platform::SocketKind::kDatagram) {
    // The system delivers only replies carrying the socket's identifier, so the sender
    // and the socket name the target.
    const auto found = from.targets.find(source);
    return found == from.targets.end() ? nullptr : targets[found->second].get();
  }
  const std::size_t index = IndexForIdentifier(reply_icmp_header.identifier(), platform::GetPid());
  if (index >= targets.size()) {
    return nullptr;
  }
  // An echo reply comes from the address its request went to (RFC 1122, 3.2.2.6); one
  // from elsewhere answers another program's request that happens to share our identifier.
  const boost::asio::ip::address& sent_to = targets[index]->destination.address();
  const bool from_destination =
      from.family == platform::IpFamily::kV6
          ? sent_to.is_v6() && sent_to.to_v6().to_bytes() == source
          : sent_to == boost::asio::ip::address(reply_ipv4_header.source_address());
  return from_destination ? targets[index].get() : nullptr;
}

void DelayTimeMgr::ArmScheduleTimer() {
  auto earliest = schedule.Earliest();
  if (polling && schedule.Earliest(ProbeSchedule::Kind::kWait)) {
    // Replies are awaited on a socket that is only read at wake-ups: one every grain.
    const std::chrono::steady_clock::time_point next_grain(
        std::chrono::floor<ScheduleGrain>(std::chrono::steady_clock::now().time_since_epoch()) +
        ScheduleGrain(1));
    earliest = std::min(*earliest, next_grain);
  }
  if (!earliest) {
    return;
  }
  // Rounded up to the grain, so that everything due within one shares a wake-up.
  const std::chrono::steady_clock::time_point wake(
      std::chrono::ceil<ScheduleGrain>(earliest->time_since_epoch()));
  if (wake >= schedule_wake) {
    return;  // armed early enough already
  }
  schedule_wake = wake;
  // Re-arming cancels the wait that was armed for later; its handler sees the abort.
  schedule_timer.expires_at(wake);
  schedule_timer.async_wait(
      boost::bind(&DelayTimeMgr::HandleScheduleTimer, this, boost::asio::placeholders::error));
}

void DelayTimeMgr::ReadQueuedReplies(bool due_waits, std::chrono::steady_clock::time_point until) {
  for (std::size_t channel = 0; channel < channels.size(); ++channel) {
    Channel& from = *channels[channel];
    // A socket with a waiter is read when its datagrams arrive; but a reply that came
    // within its wait may still be queued when the wait is due: it counts, not a timeout.
    if (from.waiter && !due_waits) {
      continue;
    }
    // The next wake-up reads on after a failure, or what came after until.
    if (DrainSocket(channel, until) == DrainResult::kFailed && !from.waiter) {
      Increment(receive_error_count);
    }
    // Datagram sockets bring no drop count with their datagrams (Linux tells it on raw
    // sockets only). A drop shows as a timeout, so the count is asked for when waits are due.
    if (due_waits && from.kind == platform::SocketKind::kDatagram) {
      if (const std::optional<std::uint32_t> drops = platform::ReadDropCount(from.descriptor)) {
        NoteDrops(from, *drops);
      }
    }
  }
}

void DelayTimeMgr::HandleScheduleTimer(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) {
    return;  // re-armed for earlier, or shutting down
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - schedule_wake > kStallAfter) {
    Increment(stall_count);
  }
  schedule_wake = std::chrono::steady_clock::time_point::max();
  const auto first_wait = schedule.Earliest(ProbeSchedule::Kind::kWait);
  const bool due_waits = first_wait && *first_wait <= now;
  if (polling || due_waits) {
    // Everything that came by now is read before any wait due by now runs out; a wait
    // that falls due meanwhile waits for the next wake-up, and so does its reply.
    ReadQueuedReplies(due_waits, now);
  }
  ProbeSchedule::Kind kind = ProbeSchedule::Kind::kNone;
  // Each entry taken sends a request, whose new wait is due seconds from now: the loop
  // ends with the entries that are due.
  while (ProbeSchedule::Entry* entry = schedule.TakeDue(now, &kind)) {
    if (kind == ProbeSchedule::Kind::kWait) {
      entry->owner->HandleTimeout();
    } else {
      entry->owner->StartSend();
    }
  }
  ArmScheduleTimer();
}
