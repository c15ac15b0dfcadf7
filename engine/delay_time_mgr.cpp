#include "engine/delay_time_mgr.h"

#include <algorithm>
#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"

namespace {

constexpr char kConfigFile[] = "config.ini";
// Written when config.ini does not exist: one address literal, one domain name.
constexpr char kDefaultConfig[] = "#IP Check\n8.8.8.8\n\n#Domain Name Check\nwww.example.com";
// The longest line that can define a target.
constexpr std::size_t kMaxLineLength = 65535;
// Pause before receiving again after a failed receive.
constexpr auto kReceiveRetry = std::chrono::milliseconds(100);
// Room for the largest IPv4 datagram the socket can deliver.
constexpr std::size_t kReceiveSpace = 65536;
// Socket receive buffer: room for a burst of replies from about 10,000 targets.
constexpr int kReceiveBufferBytes = 16 << 20;

[[noreturn]] void ThrowConfigError(int error, const char* what) {
  throw boost::system::system_error(error, boost::system::generic_category(),
                                    std::string(what) + " " + kConfigFile);
}

// Opens config.ini for reading, creating it with the default content when it does not
// exist. One that exists but cannot be read is left alone: overwriting it would lose
// the user's list.
std::ifstream OpenConfig() {
  std::error_code status_error;
  const auto status = std::filesystem::status(kConfigFile, status_error);
  if (std::filesystem::is_directory(status)) {
    ThrowConfigError(EISDIR, "cannot read");
  }
  std::ifstream in(kConfigFile, std::ios::binary);
  if (in.is_open()) {
    return in;
  }
  if (std::filesystem::exists(status)) {
    ThrowConfigError(EACCES, "cannot read");
  }
  {
    std::ofstream out(kConfigFile);
    out << kDefaultConfig;
    out.close();
    if (!out) {
      ThrowConfigError(errno ? errno : EIO, "cannot read or create");
    }
  }
  in.open(kConfigFile, std::ios::binary);
  if (!in.is_open()) {
    ThrowConfigError(errno ? errno : EIO, "cannot read");
  }
  return in;
}

}  // namespace

void (*DelayTimeMgr::on_socket_open)() = nullptr;

std::vector<std::string> ReadTargetList(std::istream& in) {
  std::vector<std::string> hosts;
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) {
    return hosts;
  }
  std::string line;
  int c = 0;
  while (c != std::char_traits<char>::eof()) {
    line.clear();
    bool too_long = false;
    // Keep one character more than the longest line, for a CR before the LF.
    while ((c = buffer->sbumpc()) != std::char_traits<char>::eof() && c != '\n') {
      if (line.size() <= kMaxLineLength) {
        line.push_back(static_cast<char>(c));
      } else {
        too_long = true;
      }
    }
    if (c == '\n' && !line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (too_long || line.size() > kMaxLineLength) {
      continue;
    }
    // The text ends at the first '#' or NUL; nothing is trimmed.
    const auto end =
        std::find_if(line.begin(), line.end(), [](char ch) { return ch == '#' || ch == '\0'; });
    if (end != line.begin()) {
      hosts.emplace_back(line.begin(), end);
    }
  }
  return hosts;
}

DelayTimeMgr& DelayTimeMgr::GetInstance() {
  // A constructor that throws leaves the static unconstructed, so the next call
  // tries again from the start.
  static DelayTimeMgr instance;
  return instance;
}

DelayTimeMgr::DelayTimeMgr()
    : icmp_socket(io_service, boost::asio::ip::icmp::v4()),
      resolver(io_service),
      receive_retry_timer(io_service) {
  const int socket = static_cast<int>(icmp_socket.native_handle());
  platform::EnlargeReceiveBuffer(socket, kReceiveBufferBytes);
  platform::EnableReceiveTimestamps(socket);
  if (on_socket_open != nullptr) {
    on_socket_open();
  }
  std::ifstream file = OpenConfig();
  const std::vector<std::string> hosts = ReadTargetList(file);
  targets.reserve(hosts.size());
  for (const std::string& host : hosts) {
    targets.push_back(std::make_unique<DelayTarget>(io_service, icmp_socket, resolver, host,
                                                    static_cast<int>(targets.size())));
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
