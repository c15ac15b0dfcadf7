#include "engine/schedule_driver.h"

#include <algorithm>
#include <boost/asio/ip/icmp.hpp>
#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>
#include <memory>

#include "engine/delay_target.h"

namespace {

// A wake-up of the schedule this far past its time means that the process did not run
// meanwhile (stopped, or starved of the processor): a stall.
constexpr auto kStallAfter = std::chrono::seconds(1);

}  // namespace

ScheduleDriver::ScheduleDriver(boost::asio::io_service& io_service, ProbeSchedule& schedule,
                               ChannelTable& channels, ReplyReader& reader,
                               std::atomic<std::uint32_t>& stall_count)
    : io_service_(io_service),
      schedule_(schedule),
      channels_(channels),
      reader_(reader),
      stall_count_(stall_count),
      schedule_timer_(io_service) {}

void ScheduleDriver::WatchArrivals() {
  for (std::size_t i = 0; i < channels_.size(); ++i) {
    // Without kernel stamps a reply must be read at once to be timed right; and a socket
    // with few targets would otherwise wake the worker every grain while it waits.
    if (platform::kKernelReceiveStamps && channels_[i].target_count >= kPolledFrom) {
      polling_ = true;
      continue;
    }
    Watch(i);
  }
}

void ScheduleDriver::Watch(std::size_t number) {
  SocketChannel& channel = channels_[number];
  if (channel.waiter) {
    return;
  }
  if (!platform::CanWatch(channel.descriptor)) {
    // Read at every wake-up instead (Windows' echo service: its replies, stamped from
    // their round trips, are handed over only when asked for).
    polling_ = true;
    return;
  }
  channel.waiter = std::make_unique<boost::asio::ip::icmp::socket>(
      io_service_,
      channel.family == platform::IpFamily::kV6 ? boost::asio::ip::icmp::v6()
                                                : boost::asio::ip::icmp::v4(),
      channel.descriptor);
  // Requests are sent and replies read straight from the worker's handlers.
  channel.waiter->non_blocking(true);
}

void ScheduleDriver::ArmScheduleTimer() {
  auto earliest = schedule_.Earliest();
  if (polling_ && schedule_.Earliest(ProbeSchedule::Kind::kWait)) {
    // Replies are awaited on a socket that is only read at wake-ups: one every grain.
    const std::chrono::steady_clock::time_point next_grain(
        std::chrono::floor<Grain>(std::chrono::steady_clock::now().time_since_epoch()) + Grain(1));
    earliest = std::min(*earliest, next_grain);
  }
  if (!earliest) {
    return;
  }
  // Rounded up to the grain, so that everything due within one shares a wake-up.
  const std::chrono::steady_clock::time_point wake(
      std::chrono::ceil<Grain>(earliest->time_since_epoch()));
  if (wake >= schedule_wake_) {
    return;  // armed early enough already
  }
  schedule_wake_ = wake;
  // Re-arming cancels the wait that was armed for later; its handler sees the abort.
  schedule_timer_.expires_at(wake);
  schedule_timer_.async_wait(
      boost::bind(&ScheduleDriver::HandleScheduleTimer, this, boost::asio::placeholders::error));
}

void ScheduleDriver::HandleScheduleTimer(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) {
    return;  // re-armed for earlier, or shutting down
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - schedule_wake_ > kStallAfter) {
    Increment(stall_count_);
  }
  schedule_wake_ = std::chrono::steady_clock::time_point::max();
  const auto first_wait = schedule_.Earliest(ProbeSchedule::Kind::kWait);
  const bool due_waits = first_wait && *first_wait <= now;
  if (polling_ || due_waits) {
    // Everything that came by now is read before any wait due by now runs out; a wait
    // that falls due meanwhile waits for the next wake-up, and so does its reply.
    reader_.ReadQueued(due_waits, now);
  }
  ProbeSchedule::Kind kind = ProbeSchedule::Kind::kNone;
  // Each entry taken sends a request, whose new wait is due seconds from now: the loop
  // ends with the entries that are due.
  while (ProbeSchedule::Entry* entry = schedule_.TakeDue(now, &kind)) {
    if (kind == ProbeSchedule::Kind::kWait) {
      entry->owner->HandleTimeout();
    } else {
      entry->owner->StartSend();
    }
  }
  ArmScheduleTimer();
}
