#ifndef LUMORET_ENGINE_PROBE_SCHEDULE_H
#define LUMORET_ENGINE_PROBE_SCHEDULE_H

#include <chrono>
#include <optional>

class DelayTarget;

// When each target's reply wait or pause runs out. One Asio timer per target would wake
// the worker, and re-arm the kernel's timer, once per probe; here every target due in
// the same grain of the engine's single timer (ScheduleDriver::Grain, 4 ms) is handled
// in one wake-up.
//
// Waits all last 5 s and pauses 1 s, so each kind comes due in the order it was set:
// two lists sorted by due time, appended at the tail, make setting and cancelling O(1)
// and allocate nothing, as the entries live inside the targets.
class ProbeSchedule {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Kind { kNone, kWait, kPause };

  // One target's place in the schedule.
  struct Entry {
    explicit Entry(DelayTarget* owner) : owner(owner) {}
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

    DelayTarget* const owner;  // whose wait or pause this is
    Clock::time_point due;     // when it runs out
    Kind kind = Kind::kNone;   // the list that holds it; kNone while it is in none
    Entry* earlier = nullptr;  // neighbour due before it in that list
    Entry* later = nullptr;    // neighbour due after it in that list
  };

  ProbeSchedule() = default;
  ProbeSchedule(const ProbeSchedule&) = delete;
  ProbeSchedule& operator=(const ProbeSchedule&) = delete;

  // Puts entry in the list of kind, due at due, taking it out of where it was.
  void Set(Entry& entry, Kind kind, Clock::time_point due);
  // Takes entry out of the schedule; nothing happens when it is in none.
  void Cancel(Entry& entry);
  // The earliest due time of all entries; empty when there are none.
  std::optional<Clock::time_point> Earliest() const;
  // The earliest due time of one kind's entries; empty when there are none.
  std::optional<Clock::time_point> Earliest(Kind kind) const;
  // Takes out and returns the earliest entry if it is due at now, else null; kind tells
  // what ran out.
  Entry* TakeDue(Clock::time_point now, Kind* kind);

 private:
  // One kind's entries, earliest first.
  struct List {
    Entry* first = nullptr;  // due soonest
    Entry* last = nullptr;   // due latest
  };
  List& ListOf(Kind kind) { return kind == Kind::kWait ? waits_ : pauses_; }
  const List& ListOf(Kind kind) const { return kind == Kind::kWait ? waits_ : pauses_; }
  void Unlink(Entry& entry);

  List waits_;   // reply waits
  List pauses_;  // pauses after a reply
};

#endif  // LUMORET_ENGINE_PROBE_SCHEDULE_H
