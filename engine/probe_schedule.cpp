#include "engine/probe_schedule.h"

#include <algorithm>

void ProbeSchedule::Set(Entry& entry, Kind kind, Clock::time_point due) {
  Cancel(entry);
  entry.kind = kind;
  entry.due = due;
  List& list = ListOf(kind);
  // Almost always due last; a reply stamped a little before the one handled before it
  // moves back a step or two.
  Entry* before = list.last;
  while (before != nullptr && before->due > due) {
    before = before->earlier;
  }
  entry.earlier = before;
  entry.later = before != nullptr ? before->later : list.first;
  (before != nullptr ? before->later : list.first) = &entry;
  (entry.later != nullptr ? entry.later->earlier : list.last) = &entry;
}

void ProbeSchedule::Cancel(Entry& entry) {
  if (entry.kind == Kind::kNone) {
    return;
  }
  Unlink(entry);
  entry.kind = Kind::kNone;
}

void ProbeSchedule::Unlink(Entry& entry) {
  List& list = ListOf(entry.kind);
  (entry.earlier != nullptr ? entry.earlier->later : list.first) = entry.later;
  (entry.later != nullptr ? entry.later->earlier : list.last) = entry.earlier;
  entry.earlier = entry.later = nullptr;
}

std::optional<ProbeSchedule::Clock::time_point> ProbeSchedule::Earliest() const {
  if (waits_.first == nullptr && pauses_.first == nullptr) {
    return std::nullopt;
  }
  if (waits_.first == nullptr) {
    return pauses_.first->due;
  }
  if (pauses_.first == nullptr) {
    return waits_.first->due;
  }
  return std::min(waits_.first->due, pauses_.first->due);
}

std::optional<ProbeSchedule::Clock::time_point> ProbeSchedule::Earliest(Kind kind) const {
  const Entry* first = ListOf(kind).first;
  return first != nullptr ? std::optional<Clock::time_point>(first->due) : std::nullopt;
}

ProbeSchedule::Entry* ProbeSchedule::TakeDue(Clock::time_point now, Kind* kind) {
  Entry* wait = waits_.first;
  Entry* pause = pauses_.first;
  Entry* entry = wait == nullptr || (pause != nullptr && pause->due < wait->due) ? pause : wait;
  if (entry == nullptr || entry->due > now) {
    return nullptr;
  }
  *kind = entry->kind;
  Cancel(*entry);
  return entry;
}
