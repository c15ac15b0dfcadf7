#ifndef LUMORET_ENGINE_SCHEDULE_DRIVER_H
#define LUMORET_ENGINE_SCHEDULE_DRIVER_H

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ratio>

#include "engine/channel_table.h"
#include "engine/probe_schedule.h"
#include "engine/reply_reader.h"

// Wakes the worker on one timer for every wait and pause of the schedule, rounded to a
// grain, and reads at those wake-ups the sockets that carry too many targets to be worth
// a wake-up per datagram.
class ScheduleDriver {
 public:
  // Waits and pauses due within one such step are run out in one wake-up of the worker:
  // a request may leave up to 4 ms after its time, and the worker wakes, and re-arms the
  // kernel's timer, a quarter as often as at a millisecond.
  using Grain = std::chrono::duration<std::int64_t, std::ratio<1, 250>>;
  // A socket carrying this many targets sends, at one-second pauses, about a request every
  // grain: the schedule wakes the worker that often anyway, so replies are read then (their
  // kernel stamps keep the timing exact) rather than at one more wake-up each.
  static constexpr std::size_t kPolledFrom = std::chrono::seconds(1) / Grain(1);

  // Runs schedule on io_service, reading channels through reader; counts the wake-ups
  // that came over a second late in stall_count.
  ScheduleDriver(boost::asio::io_service& io_service, ProbeSchedule& schedule,
                 ChannelTable& channels, ReplyReader& reader,
                 std::atomic<std::uint32_t>& stall_count);
  ScheduleDriver(const ScheduleDriver&) = delete;
  ScheduleDriver& operator=(const ScheduleDriver&) = delete;

  // Gives a waiter to each socket that is better read as datagrams arrive than on the
  // schedule's cadence. Call once, with the channels' first target counts.
  void WatchArrivals();
  // Gives a waiter to channel, a socket opened since, unless it has one or none can
  // watch it (platform::CanWatch): that one is read at the schedule's wake-ups.
  void Watch(std::size_t channel);
  // Arms the timer for the earliest wait or pause (and, while replies are awaited on a
  // socket without waiter, for the next grain), unless it is armed early enough.
  void ArmScheduleTimer();

 private:
  // Runs out every wait and pause that is due.
  void HandleScheduleTimer(const boost::system::error_code& error);

  boost::asio::io_service& io_service_;       // runs the timer's handler
  ProbeSchedule& schedule_;                   // every target's wait or pause
  ChannelTable& channels_;                    // the sockets watched or read at wake-ups
  ReplyReader& reader_;                       // reads them
  std::atomic<std::uint32_t>& stall_count_;   // wake-ups over a second late
  bool polling_ = false;                      // some socket has no waiter
  boost::asio::steady_timer schedule_timer_;  // wakes the worker for the earliest entry
  // When schedule_timer_ is armed to expire; time_point::max() while it is not armed.
  std::chrono::steady_clock::time_point schedule_wake_ =
      std::chrono::steady_clock::time_point::max();
};

#endif  // LUMORET_ENGINE_SCHEDULE_DRIVER_H
