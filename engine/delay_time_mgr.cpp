#include "engine/delay_time_mgr.h"

#include <algorithm>
#include <boost/bind/bind.hpp>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "engine/config_error.h"
#include "engine/icmp_socket_opener.h"
#include "engine/target_list.h"
#include "platform/memory.h"

// Throws ConfigError (kTooManyTargets) for a list of size hosts that no engine can probe.
static void CheckListSize(std::size_t size) {
  if (size > kMaxTargets) {
    throw ConfigError(ConfigError::Kind::kTooManyTargets,
                      "The list would have " + std::to_string(size) +
                          " hosts; Lumoret probes at most " + std::to_string(kMaxTargets));
  }
}

int DelayTimeMgr::OpenIcmpSocket(platform::IpFamily family, bool raw_first) {
  return IcmpSocketOpener::Open(family, raw_first);
}

DelayTimeMgr& DelayTimeMgr::GetInstance(int icmp_socket, const AwaitNames& await_names,
                                        int icmpv6_socket) {
  // A constructor that throws leaves the static unconstructed, so the next call
  // tries again from the start.
  static DelayTimeMgr instance(icmp_socket, await_names, icmpv6_socket);
  return instance;
}

DelayTimeMgr::DelayTimeMgr(int icmp_socket, const AwaitNames& await_names, int icmpv6_socket,
                           std::optional<std::vector<std::string>> hosts)
    : socket_kind(platform::GetSocketKind(icmp_socket)) {
  channels_.Add(icmp_socket, platform::IpFamily::kV4);
  if (icmpv6_socket >= 0) {
    channels_.Add(icmpv6_socket, platform::IpFamily::kV6);
  }
  LoadTargets(await_names, std::move(hosts));
  channels_.AcceptOnlyEchoReplies(filter_count_);
  driver_.WatchArrivals();
}

DelayTimeMgr::DelayTimeMgr() : DelayTimeMgr(IcmpSocketOpener::OpenOwn()) {}

void DelayTimeMgr::LoadTargets(const AwaitNames& await_names,
                               std::optional<std::vector<std::string>> given) {
  const std::vector<std::string> hosts = given ? std::move(*given) : LoadTargetList(kConfigFile);
  CheckListSize(hosts.size());
  NameResolver names(hosts);
  if (await_names) {
    await_names(names);
  }
  while (!names.Wait(std::chrono::hours(1))) {
  }
  const std::vector<std::optional<NameResolver::Address>> addresses = names.Results();
  targets.reserve(hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    std::optional<NameResolver::Address> destination = addresses[i];
    std::uint16_t unused_sequence = 0;  // no target had these identifiers before
    SocketChannel* channel =
        destination ? channels_.ChannelFor(i, *destination, &unused_sequence) : nullptr;
    if (channel == nullptr) {
      destination.reset();  // never sent to: its requests would have no socket
      channel = &channels_[0];
    }
    targets.push_back(std::make_shared<DelayTarget>(schedule_, channel->descriptor, hosts[i],
                                                    static_cast<int>(i), destination,
                                                    send_error_count));
  }
  slot_count_ = targets.size();
  slots_ = targets;
  slot_sequences_.assign(slots_.size(), 0);
  filter_count_ = static_cast<std::uint32_t>(slots_.size());
  socket_kind_v6 = channels_.kind_v6();
  icmpv6_error = channels_.icmpv6_error();
}

DelayTimeMgr::~DelayTimeMgr() {
  Stop();
  // The targets' schedule entries point into the schedule, so the targets go first.
  targets.clear();
  slots_.clear();
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
  lookups_.Stop();
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
    TargetList failed;
    for (const auto& target : slots_) {
      if (target == nullptr) {
        continue;
      }
      if (target->resolved) {
        target->StartSend();
      } else if (target->lookup == DelayTarget::Lookup::kFailed) {
        failed.push_back(target);
      }
    }
    driver_.ArmScheduleTimer();
    // A name that failed, or whose look-up was given up at start, is tried again at once.
    lookups_.Add(failed);
    next_full_resolve_ = std::chrono::steady_clock::now() + resolve_interval_;
    ArmResolveTimer();
    for (std::size_t channel = 0; channel < channels_.size(); ++channel) {
      if (channels_[channel].waiter) {
        reader_.StartReceive(channel);
      }
    }
    io_service.run();
  } catch (const std::exception& e) {
    // Nothing above the worker thread could catch it; the window shows it instead.
    std::lock_guard<std::mutex> lock(error_mutex_);
    last_error_ = e.what();
  }
}

std::vector<DelayTimeMgr::ListEntry> DelayTimeMgr::MatchHosts(
    const TargetList& current, const std::vector<std::string>& hosts) {
  // The earliest position of each text not taken yet, and from each position the next
  // one of the same text: no copy of a text, nothing allocated per host but the map's node.
  std::unordered_map<std::string_view, std::size_t> earliest;
  std::vector<std::size_t> next_same(current.size(), kAdded);
  for (std::size_t i = current.size(); i-- > 0;) {
    const auto [found, inserted] = earliest.emplace(current[i]->host, i);
    if (!inserted) {
      next_same[i] = found->second;
      found->second = i;
    }
  }
  std::vector<ListEntry> list(hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const auto found = earliest.find(hosts[i]);
    if (found != earliest.end() && found->second != kAdded) {
      list[i].kept = found->second;
      found->second = next_same[found->second];
    } else {
      list[i].host = hosts[i];
    }
  }
  return list;
}

std::vector<std::size_t> DelayTimeMgr::ChangeTargets(const std::vector<ListEntry>& list) {
  CheckListSize(list.size());
  std::vector<bool> kept(targets.size(), false);
  for (const ListEntry& entry : list) {
    if (entry.kept != kAdded && (entry.kept >= targets.size() || kept[entry.kept])) {
      throw std::invalid_argument("ChangeTargets: a target kept twice, or none at that position");
    }
    if (entry.kept != kAdded) {
      kept[entry.kept] = true;
    }
  }
  TargetList removed;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!kept[i]) {
      removed.push_back(targets[i]);
      free_slots_.push_back(targets[i]->identifier_offset);
    }
  }
  TargetList next;
  TargetList added;
  std::vector<std::size_t> previous;
  next.reserve(list.size());
  previous.reserve(list.size());
  for (const ListEntry& entry : list) {
    previous.push_back(entry.kept);
    if (entry.kept != kAdded) {
      next.push_back(targets[entry.kept]);
      continue;
    }
    int slot = static_cast<int>(slot_count_);
    if (!free_slots_.empty()) {
      slot = free_slots_.back();
      free_slots_.pop_back();
    } else {
      ++slot_count_;
    }
    added.push_back(std::make_shared<DelayTarget>(schedule_, channels_[0].descriptor, entry.host,
                                                  slot, std::nullopt, send_error_count,
                                                  /*pending=*/true));
    if (histogram_bounds_) {
      added.back()->EnableHistogram(histogram_bounds_);
    }
    next.push_back(added.back());
  }
  targets = std::move(next);
  if (!removed.empty() || !added.empty()) {
    io_service.post([this, removed = std::move(removed), added = std::move(added)] {
      ApplyChange(removed, added);
    });
  }
  return previous;
}

void DelayTimeMgr::ResolveAgain(const std::vector<std::size_t>& positions) {
  TargetList again;
  if (positions.empty()) {
    again = targets;
  }
  for (const std::size_t position : positions) {
    if (position < targets.size()) {
      again.push_back(targets[position]);
    }
  }
  // The results reach the worker after the change that added these targets.
  lookups_.Add(again);
}

void DelayTimeMgr::SetResolveInterval(std::chrono::seconds interval) {
  io_service.post([this, interval] {
    resolve_interval_ = interval;
    next_full_resolve_ = std::chrono::steady_clock::now() + interval;
    ArmResolveTimer();  // the wait under way may be longer than the new interval
  });
}

void DelayTimeMgr::EnableReplyHistograms(const DelayHistogram::Bounds& bounds) {
  DelayHistogram::Check(bounds);
  histogram_bounds_ = std::make_shared<const DelayHistogram::Bounds>(bounds);
  for (const std::shared_ptr<DelayTarget>& target : targets) {
    target->EnableHistogram(histogram_bounds_);
  }
}

void DelayTimeMgr::ApplyChange(const TargetList& removed, const TargetList& added) {
  for (const auto& target : removed) {
    Retire(*target);
  }
  for (const auto& target : added) {
    Install(target);
  }
  WidenFilter();
  lookups_.Add(added);
  if (!removed.empty()) {
    // The caller's references went with the list; these are the last but the window's.
    io_service.post([] { platform::ReleaseFreeMemory(); });
  }
}

void DelayTimeMgr::Retire(DelayTarget& target) {
  target.StopProbing();
  const auto slot = static_cast<std::size_t>(target.identifier_offset);
  if (target.resolved) {
    channels_.Release(slot, target.destination, target.sequence_number());
  }
  slot_sequences_[slot] = target.sequence_number();
  slots_[slot] = nullptr;
}

void DelayTimeMgr::Install(const std::shared_ptr<DelayTarget>& target) {
  const auto slot = static_cast<std::size_t>(target->identifier_offset);
  if (slot >= slots_.size()) {
    slots_.resize(slot + 1);
    slot_sequences_.resize(slot + 1, 0);
  }
  slots_[slot] = target;
  // Late replies to the identifier's previous target carry numbers up to this one.
  target->ContinueSequenceFrom(slot_sequences_[slot]);
}

void DelayTimeMgr::WidenFilter() {
  // In steps, so that adding hosts one by one does not replace the filter each time.
  constexpr std::uint32_t kStep = 256;
  const auto needed = static_cast<std::uint32_t>(slots_.size());
  if (needed <= filter_count_) {
    return;
  }
  filter_count_ = std::min<std::uint32_t>((needed + kStep - 1) / kStep * kStep,
                                          static_cast<std::uint32_t>(kMaxTargets));
  channels_.AcceptOnlyEchoReplies(filter_count_);
}

void DelayTimeMgr::ApplyLookups(const std::vector<LookupQueue::Result>& results) {
  for (const LookupQueue::Result& result : results) {
    DelayTarget& target = *result.target;
    const auto slot = static_cast<std::size_t>(target.identifier_offset);
    if (slot >= slots_.size() || slots_[slot] != result.target) {
      continue;  // removed meanwhile
    }
    if (!result.address) {
      target.LookupFailed();
    } else if (!target.resolved || target.destination != *result.address) {
      MoveTarget(target, *result.address);
    }
  }
  driver_.ArmScheduleTimer();
}

void DelayTimeMgr::MoveTarget(DelayTarget& target, const NameResolver::Address& address) {
  const auto slot = static_cast<std::size_t>(target.identifier_offset);
  const bool first = !target.resolved;
  const std::size_t channels_before = channels_.size();
  std::uint16_t listing_sequence = 0;
  SocketChannel* channel = channels_.ChannelFor(slot, address, &listing_sequence);
  if (channel == nullptr) {
    target.LookupFailed();  // no socket of that family: it stays where it is, or unprobed
    return;
  }
  for (std::size_t opened = channels_before; opened < channels_.size(); ++opened) {
    driver_.Watch(opened);
    reader_.StartReceive(opened);
  }
  if (!first) {
    channels_.Release(slot, target.destination, target.sequence_number());
  } else if (channel->kind == platform::SocketKind::kDatagram) {
    // On a datagram socket the listing, not the identifier offset, tells replies apart.
    target.ContinueSequenceFrom(listing_sequence);
  }
  target.MoveTo(address, channel->descriptor, first ? 0 : ClockPair::Now().wall_ns / 1000000);
  if (first) {
    target.StartSend();
  }
}

void DelayTimeMgr::ArmResolveTimer() {
  // Setting the expiry cancels the wait under way, whose handler then sees the abort.
  resolve_timer_.expires_after(resolve_interval_.count() > 0
                                   ? std::min(resolve_interval_, kRetryFailedAfter)
                                   : kRetryFailedAfter);
  resolve_timer_.async_wait(
      [this](const boost::system::error_code& error) { HandleResolveTimer(error); });
}

void DelayTimeMgr::HandleResolveTimer(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const bool every_name = resolve_interval_.count() > 0 && now >= next_full_resolve_;
  if (every_name) {
    next_full_resolve_ = now + resolve_interval_;
  }
  TargetList due;
  for (const auto& target : slots_) {
    if (target == nullptr) {
      continue;
    }
    // A literal names its address for good; only a failed one (no socket) is retried.
    const bool failed = target->lookup == DelayTarget::Lookup::kFailed;
    if (failed || (every_name && !NameResolver::IsLiteral(target->host))) {
      due.push_back(target);
    }
  }
  lookups_.Add(due);
  ArmResolveTimer();
}
