#include "engine/reply_reader.h"

#include <boost/asio/placeholders.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <utility>

namespace {

// Pause before receiving again after a failed receive.
constexpr auto kReceiveRetry = std::chrono::milliseconds(100);

}  // namespace

ReplyReader::ReplyReader(boost::asio::io_service& io_service, ChannelTable& channels,
                         ReceivePath& receive_path, std::atomic<std::uint32_t>& receive_errors,
                         std::atomic<std::uint32_t>& kernel_drops, std::function<void()> after_read,
                         ReceiveFunction receive)
    : io_service_(io_service),
      channels_(channels),
      receive_path_(receive_path),
      receive_errors_(receive_errors),
      kernel_drops_(kernel_drops),
      after_read_(std::move(after_read)),
      receive_(receive),
      reply_buffer_(platform::kMaxReceiveBatch * kSlotSize),
      received_(platform::kMaxReceiveBatch) {}

void ReplyReader::StartReceive(std::size_t channel) {
  if (!channels_[channel].waiter) {
    return;  // nothing can wait on it: it is read at the schedule's wake-ups
  }
  channels_[channel].waiter->async_wait(
      boost::asio::socket_base::wait_read,
      boost::bind(&ReplyReader::HandleReceive, this, channel, boost::asio::placeholders::error));
}

void ReplyReader::HandleReceive(std::size_t channel, const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) {
    return;  // shutting down
  }
  const DrainResult result =
      error ? DrainResult::kFailed : DrainSocket(channel, std::chrono::steady_clock::now());
  after_read_();
  switch (result) {
    case DrainResult::kEmpty:
      StartReceive(channel);
      return;
    case DrainResult::kMore:
      // Read on after the handlers waiting meanwhile (the timers) have had their turn.
      boost::asio::post(io_service_,
                        [this, channel] { HandleReceive(channel, boost::system::error_code()); });
      return;
    case DrainResult::kFailed: {
      Increment(receive_errors_);
      // Try again after a pause instead of giving up on every reply for good; waiting
      // for the socket would report the failure again at once.
      boost::asio::steady_timer& retry = channels_[channel].receive_retry_timer;
      retry.expires_after(kReceiveRetry);
      retry.async_wait(boost::bind(&ReplyReader::HandleReceive, this, channel,
                                   boost::asio::placeholders::error));
      return;
    }
  }
}

ReplyReader::DrainResult ReplyReader::DrainSocket(std::size_t channel,
                                                  std::chrono::steady_clock::time_point until) {
  SocketChannel& from = channels_[channel];
  for (;;) {
    std::error_code error;
    const int count = receive_(from.descriptor, reply_buffer_.data(), kSlotSize, received_.data(),
                               platform::kMaxReceiveBatch, error);
    if (count <= 0) {
      return count < 0 ? DrainResult::kFailed : DrainResult::kEmpty;
    }
    const ClockPair clocks = ClockPair::Now();
    for (int i = 0; i < count; ++i) {
      receive_path_.HandleDatagram(channel, &reply_buffer_[static_cast<std::size_t>(i) * kSlotSize],
                                   received_[i].length, received_[i].source,
                                   received_[i].wall_stamp_ns, clocks);
    }
    const platform::ReceivedDatagram& last = received_[static_cast<std::size_t>(count) - 1];
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

void ReplyReader::NoteDrops(SocketChannel& channel, std::uint32_t latest) {
  // 0 is also what a datagram brings where the system tells nothing.
  if (latest == 0 || latest == channel.socket_drops) {
    return;
  }
  // The system's count only grows (modulo 2^32), and the total by as much.
  kernel_drops_.store(
      kernel_drops_.load(std::memory_order_relaxed) + (latest - channel.socket_drops),
      std::memory_order_relaxed);
  channel.socket_drops = latest;
}

void ReplyReader::ReadQueued(bool due_waits, std::chrono::steady_clock::time_point until) {
  for (std::size_t channel = 0; channel < channels_.size(); ++channel) {
    SocketChannel& from = channels_[channel];
    // A socket with a waiter is read when its datagrams arrive; but a reply that came
    // within its wait may still be queued when the wait is due: it counts, not a timeout.
    if (from.waiter && !due_waits) {
      continue;
    }
    // The next wake-up reads on after a failure, or what came after until.
    if (DrainSocket(channel, until) == DrainResult::kFailed && !from.waiter) {
      Increment(receive_errors_);
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
