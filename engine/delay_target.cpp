#include "engine/delay_target.h"

#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>
#include <ostream>

#include "engine/icmp_header.h"
#include "platform/platform.h"

namespace {

// How long a request waits for its reply before it counts as a timeout.
constexpr auto kReplyWait = std::chrono::seconds(5);
// Requests to one host leave no less than one second after the previous reply.
constexpr auto kPause = std::chrono::seconds(1);

}  // namespace

std::uint16_t IdentifierForIndex(unsigned long pid, int identifier_offset) {
  // Unsigned wrap-around is the modulo 65536 of the identifier.
  return static_cast<std::uint16_t>(pid + static_cast<unsigned long>(identifier_offset));
}

std::size_t IndexForIdentifier(std::uint16_t identifier, unsigned long pid) {
  return static_cast<std::uint16_t>(identifier - pid);
}

DelayTarget::DelayTarget(boost::asio::io_service& io_service,
                         boost::asio::ip::icmp::socket& icmp_socket, const std::string& host,
                         int identifier_offset,
                         const std::optional<boost::asio::ip::icmp::endpoint>& destination)
    : icmp_socket(icmp_socket),
      reply_timer(io_service),
      identifier_offset(identifier_offset),
      host(host),
      resolved(destination.has_value()) {
  if (destination) {
    this->destination = *destination;
  }
}

void DelayTarget::StartSend() {
  IcmpHeader request;
  request.type(IcmpHeader::kEchoRequest);
  request.code(0);
  request.identifier(IdentifierForIndex(platform::GetPid(), identifier_offset));
  ++sequence_number;
  request.sequence_number(sequence_number);
  request.ComputeChecksum();

  request_buffer.consume(request_buffer.size());
  std::ostream os(&request_buffer);
  os << request;
  // Stamped before the send: on a busy machine the worker can lose the processor right
  // after handing the datagram over, and a later stamp would measure the delay short.
  time_sent = Clock::now();
  icmp_socket.async_send_to(
      request_buffer.data(), destination,
      boost::bind(&DelayTarget::HandleSend, this, boost::asio::placeholders::error));

  request_open = true;
  reply_timer.expires_after(kReplyWait);
  reply_timer.async_wait(
      boost::bind(&DelayTarget::HandleTimeout, this, boost::asio::placeholders::error));
}

void DelayTarget::HandleSend(const boost::system::error_code& /*error*/) {
  // A failed send shows as the timeout that follows.
}

void DelayTarget::HandleTimeout(const boost::system::error_code& error) {
  if (!error && request_open) {
    request_open = false;
    timeout_count.store(timeout_count.load(std::memory_order_relaxed) + 1,
                        std::memory_order_relaxed);
    last_delay_ms.store(kNone, std::memory_order_relaxed);
    // After a timeout the next request leaves at once.
    StartSend();
    return;
  }
  // Cancelled by a reply, or ran out just after a reply was accounted: pause, then send.
  // The pause counts from the reply's arrival, so a reply that waited in a busy queue
  // does not push the next request back.
  reply_timer.expires_at(time_replied + kPause);
  reply_timer.async_wait(boost::bind(&DelayTarget::StartSend, this));
}

void DelayTarget::HandleReply(const Clock::time_point& now) {
  // A duplicate or a reply to a request already timed out changes nothing and
  // must not cut the pause short.
  if (!request_open) {
    return;
  }
  request_open = false;
  time_replied = now;
  // The reply to the first request (and to requests 0 and 1 after a wrap) is not
  // accounted: it may carry the cost of resolving routes and neighbours.
  if (sequence_number > 1) {
    const std::int64_t elapsed_us =
        std::chrono::duration_cast<std::chrono::microseconds>(now - time_sent).count();
    // Truncated toward zero to whole milliseconds, then kept in 32 bits.
    const auto delay = static_cast<std::uint32_t>(elapsed_us / 1000);
    total_delay_ms.store(total_delay_ms.load(std::memory_order_relaxed) + delay,
                         std::memory_order_relaxed);
    reply_count.store(reply_count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    last_delay_ms.store(delay, std::memory_order_relaxed);
    const std::uint32_t max = max_delay_ms.load(std::memory_order_relaxed);
    if (max == kNone || max < delay) {
      max_delay_ms.store(delay, std::memory_order_relaxed);
    }
    const std::uint32_t min = min_delay_ms.load(std::memory_order_relaxed);
    if (min == kNone || min > delay) {
      min_delay_ms.store(delay, std::memory_order_relaxed);
    }
  }
  boost::system::error_code ignored;
  reply_timer.cancel(ignored);
}
