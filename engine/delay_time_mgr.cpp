#include "engine/delay_time_mgr.h"

#include <boost/asio/placeholders.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>

#include "engine/target_list.h"
#include "platform/platform.h"

namespace {

// The target list, in the working directory.
constexpr char kConfigFile[] = "config.ini";
// Pause before receiving again after a failed receive.
constexpr auto kReceiveRetry = std::chrono::milliseconds(100);
// Batches read in one go before the timers get their turn, under a flood.
constexpr int kBatchesPerTurn = 16;
// An arrival stamp older than this is taken for a step of the wall clock.
constexpr auto kMaxStampAge = std::chrono::seconds(60);
// Socket receive buffer: room for a burst of replies from about 10,000 targets.
constexpr int kReceiveBufferBytes = 16 << 20;

// A raw ICMP socket opened through Asio, for tools and tests that build the engine on
// their own: a missing right raises boost::system::system_error.
int OpenOwnSocket() {
  boost::asio::io_service io_service;
  boost::asio::ip::icmp::socket socket(io_service, boost::asio::ip::icmp::v4());
  platform::EnlargeReceiveBuffer(static_cast<int>(socket.native_handle()), kReceiveBufferBytes);
  return static_cast<int>(socket.release());
}

}  // namespace

int DelayTimeMgr::OpenRawSocket() {
  const int socket = platform::OpenRawIcmpSocket();
  platform::EnlargeReceiveBuffer(socket, kReceiveBufferBytes);
  return socket;
}

DelayTimeMgr& DelayTimeMgr::GetInstance(int raw_socket, const AwaitNames& await_names) {
  // A constructor that throws leaves the static unconstructed, so the next call
  // tries again from the start.
  static DelayTimeMgr instance(raw_socket, await_names);
  return instance;
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
  if (!stamp_ns) {
    return clocks.steady;
  }
  const std::chrono::nanoseconds age(clocks.wall_ns - *stamp_ns);
  if (age.count() < 0 || age > kMaxStampAge) {
    return clocks.steady;
  }
  return clocks.steady - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
}

void DelayTimeMgr::ByteSource::Reset(const unsigned char* data, std::size_t length) {
  // The get area is only read from; std::streambuf just wants it writable in type.
  char* begin = reinterpret_cast<char*>(const_cast<unsigned char*>(data));
  setg(begin, begin, begin + length);
}

DelayTimeMgr::DelayTimeMgr(int raw_socket, const AwaitNames& await_names)
    : icmp_socket(io_service, boost::asio::ip::icmp::v4(), raw_socket),
      reply_buffer(platform::kMaxReceiveBatch * kSlotSize),
      received(platform::kMaxReceiveBatch),
      receive_retry_timer(io_service),
      schedule_timer(io_service),
      schedule_wake(std::chrono::steady_clock::time_point::max()) {
  LoadTargets(await_names);
}

DelayTimeMgr::DelayTimeMgr() : DelayTimeMgr(OpenOwnSocket()) {}

void DelayTimeMgr::LoadTargets(const AwaitNames& await_names) {
  const int socket = static_cast<int>(icmp_socket.native_handle());
  platform::EnableReceiveTimestamps(socket);
  // Requests are sent and replies read straight from the worker's handlers.
  icmp_socket.non_blocking(true);
  const std::vector<std::string> hosts = LoadTargetList(kConfigFile);
  NameResolver names(hosts);
  if (await_names) {
    await_names(names);
  }
  while (!names.Wait(std::chrono::hours(1))) {
  }
  const std::vector<std::optional<NameResolver::Address>> addresses = names.Results();
  targets.reserve(hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    targets.push_back(std::make_unique<DelayTarget>(
        schedule, icmp_socket, hosts[i], static_cast<int>(i), addresses[i], send_error_count));
  }
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
    StartReceive();
    io_service.run();
  } catch (const std::exception& e) {
    // Nothing above the worker thread could catch it; the window shows it instead.
    std::lock_guard<std::mutex> lock(error_mutex_);
    last_error_ = e.what();
  }
}

void DelayTimeMgr::StartReceive() {
  icmp_socket.async_wait(
      boost::asio::socket_base::wait_read,
      boost::bind(&DelayTimeMgr::HandleReceive, this, boost::asio::placeholders::error));
}

void DelayTimeMgr::HandleReceive(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) {
    return;  // shutting down
  }
  const DrainResult result = error ? DrainResult::kFailed : DrainSocket();
  ArmScheduleTimer();
  switch (result) {
    case DrainResult::kEmpty:
      StartReceive();
      return;
    case DrainResult::kMore:
      // Read on after the handlers waiting meanwhile (the timers) have had their turn.
      boost::asio::post(io_service, [this] { HandleReceive(boost::system::error_code()); });
      return;
    case DrainResult::kFailed:
      Increment(receive_error_count);
      // Try again after a pause instead of giving up on every reply for good; waiting
      // for the socket would report the failure again at once.
      receive_retry_timer.expires_after(kReceiveRetry);
      receive_retry_timer.async_wait(
          boost::bind(&DelayTimeMgr::HandleReceive, this, boost::asio::placeholders::error));
      return;
  }
}

DelayTimeMgr::DrainResult DelayTimeMgr::DrainSocket() {
  const int socket = static_cast<int>(icmp_socket.native_handle());
  for (int batch = 0; batch < kBatchesPerTurn; ++batch) {
    std::error_code error;
    const int count = platform::ReceiveDatagrams(
        socket, reply_buffer.data(), kSlotSize, received.data(), platform::kMaxReceiveBatch, error);
    if (count < 0) {
      return DrainResult::kFailed;
    }
    const ClockPair clocks = ClockPair::Now();
    for (int i = 0; i < count; ++i) {
      HandleDatagram(&reply_buffer[static_cast<std::size_t>(i) * kSlotSize], received[i].length,
                     received[i].wall_stamp_ns, clocks);
    }
    if (count < platform::kMaxReceiveBatch) {
      return DrainResult::kEmpty;
    }
  }
  return DrainResult::kMore;
}

void DelayTimeMgr::HandleDatagram(const unsigned char* data, std::size_t length,
                                  const std::optional<std::int64_t>& stamp_ns,
                                  const ClockPair& clocks) {
  reply_bytes.Reset(data, length);
  reply_stream.clear();
  reply_stream >> reply_ipv4_header >> reply_icmp_header;
  if (!reply_stream) {
    Increment(malformed_count);
    return;
  }
  if (reply_icmp_header.type() != IcmpHeader::kEchoReply) {
    Increment(foreign_count);
    return;
  }
  const std::size_t index = IndexForIdentifier(reply_icmp_header.identifier(), platform::GetPid());
  // An echo reply comes from the address its request went to (RFC 1122, 3.2.2.6); one
  // from elsewhere answers another program's request that happens to share our identifier.
  if (index >= targets.size() ||
      reply_ipv4_header.source_address() != targets[index]->destination.address().to_v4() ||
      !targets[index]->HandleReply(reply_icmp_header.sequence_number(),
                                   ArrivalTime(stamp_ns, clocks))) {
    Increment(foreign_count);
  }
}

void DelayTimeMgr::ArmScheduleTimer() {
  const auto earliest = schedule.Earliest();
  if (!earliest) {
    return;
  }
  // Rounded up to the millisecond, so that everything due within one shares a wake-up.
  const std::chrono::steady_clock::time_point wake(
      std::chrono::ceil<std::chrono::milliseconds>(earliest->time_since_epoch()));
  if (wake >= schedule_wake) {
    return;  // armed early enough already
  }
  schedule_wake = wake;
  // Re-arming cancels the wait that was armed for later; its handler sees the abort.
  schedule_timer.expires_at(wake);
  schedule_timer.async_wait(
      boost::bind(&DelayTimeMgr::HandleScheduleTimer, this, boost::asio::placeholders::error));
}

void DelayTimeMgr::HandleScheduleTimer(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) {
    return;  // re-armed for earlier, or shutting down
  }
  schedule_wake = std::chrono::steady_clock::time_point::max();
  auto now = std::chrono::steady_clock::now();
  const auto first_wait = schedule.Earliest(ProbeSchedule::Kind::kWait);
  if (first_wait && *first_wait <= now) {
    // A reply that came within its wait may still be queued: it counts, not a timeout.
    DrainSocket();
    now = std::chrono::steady_clock::now();
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
