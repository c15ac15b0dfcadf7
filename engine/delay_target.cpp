#include "engine/delay_target.h"

#include "platform/platform.h"

namespace {

// How long a request waits for its reply before it counts as a timeout.
constexpr auto kReplyWait = std::chrono::seconds(5);
// Requests to one host leave no less than one second after the previous reply.
constexpr auto kPause = std::chrono::seconds(1);

std::int64_t SinceEpochNs(DelayTarget::Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

}  // namespace

std::uint16_t IdentifierForIndex(unsigned long pid, int identifier_offset) {
  // Unsigned wrap-around is the modulo 65536 of the identifier.
  return static_cast<std::uint16_t>(pid + static_cast<unsigned long>(identifier_offset));
}

std::size_t IndexForIdentifier(std::uint16_t identifier, unsigned long pid) {
  return static_cast<std::uint16_t>(identifier - pid);
}

DelayTarget::DelayTarget(ProbeSchedule& schedule, int icmp_socket, const std::string& host,
                         int identifier_offset,
                         const std::optional<boost::asio::ip::icmp::endpoint>& destination,
                         std::atomic<std::uint32_t>& send_errors, bool pending)
    : identifier_offset(identifier_offset),
      host(host),
      resolved(destination.has_value()),
      lookup(destination ? Lookup::kResolved
             : pending   ? Lookup::kPending
                         : Lookup::kFailed),
      schedule_(schedule),
      icmp_socket_(icmp_socket),
      send_errors_(send_errors) {
  if (destination) {
    this->destination = *destination;
    address_.address = *destination;
  }
}

void DelayTarget::MoveTo(const boost::asio::ip::icmp::endpoint& to, int icmp_socket,
                         std::int64_t changed_ms) {
  {
    std::lock_guard<std::mutex> lock(address_mutex_);
    if (resolved.load(std::memory_order_relaxed)) {
      address_.previous = address_.address;
      address_.changed_ms = changed_ms;
    }
    address_.address = to;
  }
  destination = to;
  icmp_socket_ = icmp_socket;
  resolved.store(true, std::memory_order_release);
  lookup.store(Lookup::kResolved, std::memory_order_release);
}

void DelayTarget::LookupFailed() {
  if (!resolved.load(std::memory_order_relaxed)) {
    lookup.store(Lookup::kFailed, std::memory_order_release);
  }
}

void DelayTarget::StopProbing() {
  schedule_.Cancel(schedule_entry_);
  request_open_ = false;
}

DelayTarget::AddressRecord DelayTarget::address() const {
  std::lock_guard<std::mutex> lock(address_mutex_);
  return address_;
}

void DelayTarget::StartSend() {
  request_ = IcmpHeader();
  request_.type(destination.protocol() == boost::asio::ip::icmp::v6() ? IcmpHeader::kEchoRequestV6
                                                                      : IcmpHeader::kEchoRequest);
  request_.code(0);
  request_.identifier(IdentifierForIndex(platform::GetPid(), identifier_offset));
  ++sequence_number_;
  request_.sequence_number(sequence_number_);
  request_.ComputeChecksum();

  // Stamped before the send: on a busy machine the worker can lose the processor right
  // after handing the datagram over, and a later stamp would measure the delay short.
  time_sent_ = Clock::now();
  // The socket does not block: a request the kernel cannot take at once is a failed send.
  CountSendResult(platform::SendDatagram(icmp_socket_, request_.data(), IcmpHeader::kSize,
                                         destination.data(), destination.size()));

  // One writer: a load and a store need no read-modify-write.
  requests_sent_.store(requests_sent() + 1, std::memory_order_relaxed);
  answered_ <<= 1;
  request_open_ = true;
  schedule_.Set(schedule_entry_, ProbeSchedule::Kind::kWait, time_sent_ + kReplyWait);
}

void DelayTarget::CountSendResult(const std::error_code& error) {
  if (error) {
    Increment(send_errors_);
  }
}

void DelayTarget::HandleTimeout() {
  request_open_ = false;
  Increment(timeout_count);
  last_delay_ms.store(kNone, std::memory_order_relaxed);
  history.Add(time_sent_, std::nullopt);
  EnterState(State::kDown, time_sent_);
  // After a timeout the next request leaves at once.
  StartSend();
}

bool DelayTarget::HandleReply(std::uint16_t sequence, Clock::time_point arrival) {
  // How many requests ago the answered one was sent; 16-bit arithmetic spans the wrap.
  const auto age = static_cast<std::uint16_t>(sequence_number_ - sequence);
  if (age >= requests_sent()) {
    return false;  // never sent by us
  }
  if (age >= kAnsweredHistory) {
    Increment(late_count);  // over a minute old: late, whatever else it may be
    return true;
  }
  const std::uint64_t bit = std::uint64_t{1} << age;
  const bool awaited = age == 0 && request_open_;
  if (!awaited) {
    // Only the first copy of a reply counts; its wait, if it ran out, was a timeout.
    Increment((answered_ & bit) != 0 ? duplicate_count : late_count);
    answered_ |= bit;
    return true;
  }
  answered_ |= bit;
  // A reply is never dated before its request left, whatever the clocks did.
  arrival = std::max(arrival, time_sent_);
  if (arrival - time_sent_ > kReplyWait) {
    // It came after the wait, however soon it was read: the request timed out.
    Increment(late_count);
    HandleTimeout();
    return true;
  }
  request_open_ = false;
  // The reply to the first request (and to requests 0 and 1 after a wrap) is not
  // accounted: it may carry the cost of resolving routes and neighbours. A target that
  // numbers on after an earlier one counts its own first request too.
  if (sequence_number_ > 1 && requests_sent() > 1) {
    const std::int64_t elapsed_us =
        std::chrono::duration_cast<std::chrono::microseconds>(arrival - time_sent_).count();
    // Truncated toward zero to whole milliseconds, then kept in 32 bits.
    const auto delay = static_cast<std::uint32_t>(elapsed_us / 1000);
    total_delay_ms.store(total_delay_ms.load(std::memory_order_relaxed) + delay,
                         std::memory_order_relaxed);
    Increment(reply_count);
    last_delay_ms.store(delay, std::memory_order_relaxed);
    const std::uint32_t max = max_delay_ms.load(std::memory_order_relaxed);
    if (max == kNone || max < delay) {
      max_delay_ms.store(delay, std::memory_order_relaxed);
    }
    const std::uint32_t min = min_delay_ms.load(std::memory_order_relaxed);
    if (min == kNone || min > delay) {
      min_delay_ms.store(delay, std::memory_order_relaxed);
    }
    history.Add(time_sent_, delay);
    if (histogram_) {
      histogram_->Observe(arrival - time_sent_);
    }
  }
  last_reply_ns.store(SinceEpochNs(arrival), std::memory_order_relaxed);
  EnterState(State::kUp, arrival);
  // The pause counts from the reply's arrival, so a reply that waited in a busy queue
  // does not push the next request back.
  schedule_.Set(schedule_entry_, ProbeSchedule::Kind::kPause, arrival + kPause);
  return true;
}

void DelayTarget::EnableHistogram(std::shared_ptr<const DelayHistogram::Bounds> bounds) {
  histogram_ = std::make_unique<DelayHistogram>(std::move(bounds));
}

void DelayTarget::EnterState(State entered, Clock::time_point at) {
  if (state.load(std::memory_order_relaxed) == entered) {
    return;
  }
  // The time first, so that a reader seeing the new state never pairs it with the old
  // state's start.
  state_since_ns.store(SinceEpochNs(at), std::memory_order_relaxed);
  state.store(entered, std::memory_order_release);
}
