#include "engine/delay_time_mgr.h"

#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>

#include "engine/target_list.h"
#include "platform/platform.h"

namespace {

// The target list, in the working directory.
constexpr char kConfigFile[] = "config.ini";
// Pause before receiving again after a failed receive.
constexpr auto kReceiveRetry = std::chrono::milliseconds(100);
// Room for the largest IPv4 datagram the socket can deliver.
constexpr std::size_t kReceiveSpace = 65536;
// Socket receive buffer: room for a burst of replies from about 10,000 targets.
constexpr int kReceiveBufferBytes = 16 << 20;

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

DelayTimeMgr::DelayTimeMgr(int raw_socket, const AwaitNames& await_names)
    : icmp_socket(io_service, boost::asio::ip::icmp::v4(), raw_socket),
      receive_retry_timer(io_service) {
  LoadTargets(await_names);
}

DelayTimeMgr::DelayTimeMgr()
    : icmp_socket(io_service, boost::asio::ip::icmp::v4()), receive_retry_timer(io_service) {
  platform::EnlargeReceiveBuffer(static_cast<int>(icmp_socket.native_handle()),
                                 kReceiveBufferBytes);
  LoadTargets(nullptr);
}

void DelayTimeMgr::LoadTargets(const AwaitNames& await_names) {
  platform::EnableReceiveTimestamps(static_cast<int>(icmp_socket.native_handle()));
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
    targets.push_back(std::make_unique<DelayTarget>(io_service, icmp_socket, hosts[i],
                                                    static_cast<int>(i), addresses[i]));
  }
}

DelayTimeMgr::~DelayTimeMgr() {
  Stop();
  // The targets' timers belong to io_service, so they go first.
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
    StartReceive();
    io_service.run();
  } catch (const std::exception& e) {
    // Nothing above the worker thread could catch it; the window shows it instead.
    std::lock_guard<std::mutex> lock(error_mutex_);
    last_error_ = e.what();
  }
}

void DelayTimeMgr::StartReceive() {
  reply_buffer.consume(reply_buffer.size());
  icmp_socket.async_receive(
      reply_buffer.prepare(kReceiveSpace),
      boost::bind(&DelayTimeMgr::HandleReceive, this, boost::asio::placeholders::error,
                  boost::asio::placeholders::bytes_transferred));
}

void DelayTimeMgr::HandleReceive(const boost::system::error_code& error, std::size_t length) {
  if (error == boost::asio::error::operation_aborted) {
    return;  // shutting down
  }
  if (error) {
    // Try again after a pause instead of giving up on every reply for good.
    receive_retry_timer.expires_after(kReceiveRetry);
    receive_retry_timer.async_wait(boost::bind(&DelayTimeMgr::StartReceive, this));
    return;
  }
  reply_buffer.commit(length);
  HandleDatagram();
  StartReceive();
}

void DelayTimeMgr::HandleDatagram() {
  reply_stream.clear();
  reply_stream >> reply_ipv4_header >> reply_icmp_header;
  const DelayTarget::Clock::time_point now = DelayTarget::Clock::now();
  if (!reply_stream || reply_icmp_header.type() != IcmpHeader::kEchoReply) {
    return;
  }
  const std::size_t index = IndexForIdentifier(reply_icmp_header.identifier(), platform::GetPid());
  if (index >= targets.size()) {
    return;
  }
  DelayTarget& target = *targets[index];
  if (reply_icmp_header.sequence_number() != target.sequence_number) {
    return;
  }
  // An echo reply comes from the address its request went to (RFC 1122, 3.2.2.6); one
  // from elsewhere answers another program's request that happens to share our identifier.
  if (reply_ipv4_header.source_address() != target.destination.address().to_v4()) {
    return;
  }
  // The kernel's receive stamp keeps the time the reply waited in the socket's queue
  // (a burst from thousands of targets) out of the measured delay. Its age is taken
  // against the wall clock, so the monotonic clock is read right after it.
  const long long age = platform::LastReceiveAge(static_cast<int>(icmp_socket.native_handle()));
  target.HandleReply(age > 0 ? DelayTarget::Clock::now() - std::chrono::nanoseconds(age) : now);
}
