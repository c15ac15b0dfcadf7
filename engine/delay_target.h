#ifndef LUMORET_ENGINE_DELAY_TARGET_H
#define LUMORET_ENGINE_DELAY_TARGET_H

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/icmp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// The ICMP identifier of a target's requests: process id plus the target's index,
// modulo 65536.
std::uint16_t IdentifierForIndex(unsigned long pid, int identifier_offset);
// The inverse: which index a reply's identifier names (0 to 65535; the caller checks
// it against the number of targets).
std::size_t IndexForIdentifier(std::uint16_t identifier, unsigned long pid);

// One probed host and its running statistics. Every handler runs on the engine's
// worker thread; the GUI thread only reads the atomic statistics.
class DelayTarget {
 public:
  using Clock = std::chrono::steady_clock;
  // Delay value meaning "none yet"; shown as "-".
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  // A target whose host resolved to destination; without one it stays unresolved.
  DelayTarget(boost::asio::io_service& io_service, boost::asio::ip::icmp::socket& icmp_socket,
              const std::string& host, int identifier_offset,
              const std::optional<boost::asio::ip::icmp::endpoint>& destination);
  DelayTarget(const DelayTarget&) = delete;
  DelayTarget& operator=(const DelayTarget&) = delete;

  // Sends the next echo request and arms the 5-second reply wait.
  void StartSend();
  void HandleSend(const boost::system::error_code& error);
  // Completion of the reply wait: a timeout when it ran out with the request still open,
  // otherwise the start of the pause before the next request.
  void HandleTimeout(const boost::system::error_code& error);
  // A reply that carries this target's current sequence number, received at now.
  void HandleReply(const Clock::time_point& now);

  boost::asio::ip::icmp::socket& icmp_socket;   // shared by all targets
  boost::asio::ip::icmp::endpoint destination;  // first address the host resolved to
  boost::asio::steady_timer reply_timer;        // runs the reply wait and the pause
  Clock::time_point time_sent;                  // when the latest request left
  Clock::time_point time_replied;               // when the latest reply arrived
  std::int32_t identifier_offset;               // index in the manager's list
  std::string host;                             // as written in config.ini

  // Written by the worker thread only, read whole by the GUI thread.
  std::atomic<std::uint64_t> total_delay_ms{0};  // sum of accounted delays
  std::atomic<std::uint32_t> timeout_count{0};   // requests whose wait ran out
  std::atomic<std::uint32_t> reply_count{0};     // accounted replies
  std::atomic<std::uint32_t> max_delay_ms{kNone};
  std::atomic<std::uint32_t> min_delay_ms{kNone};
  std::atomic<std::uint32_t> last_delay_ms{kNone};  // none again after every timeout

  std::uint16_t sequence_number = 0;  // of the latest request; 65535 is followed by 0
  bool resolved = false;

  // Whether the latest request still waits to be accounted, as a reply or a timeout.
  // Keeps a duplicate or late reply from counting one request twice.
  bool request_open = false;
  // Holds the 8 request bytes until the send completes; its storage is reused.
  boost::asio::streambuf request_buffer;
};

#endif  // LUMORET_ENGINE_DELAY_TARGET_H
