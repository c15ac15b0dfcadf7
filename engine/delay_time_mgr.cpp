#include "engine/delay_time_mgr.h"

#include <boost/bind/bind.hpp>
#include <deque>
#include <exception>
#include <stdexcept>
#include <unordered_map>

#include "engine/config_error.h"
#include "engine/icmp_socket_opener.h"
#include "engine/target_list.h"

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

DelayTimeMgr::DelayTimeMgr(int icmp_socket, const AwaitNames& await_names, int icmpv6_socket)
    : socket_kind(platform::GetSocketKind(icmp_socket)) {
  channels_.Add(icmp_socket, platform::IpFamily::kV4);
  if (icmpv6_socket >= 0) {
    channels_.Add(icmpv6_socket, platform::IpFamily::kV6);
  }
  LoadTargets(await_names);
  channels_.AcceptOnlyEchoReplies(static_cast<std::uint32_t>(targets.size()));
  driver_.WatchArrivals();
}

DelayTimeMgr::DelayTimeMgr() : DelayTimeMgr(IcmpSocketOpener::OpenOwn()) {}

void DelayTimeMgr::LoadTargets(const AwaitNames& await_names) {
  const std::vector<std::string> hosts = LoadTargetList(kConfigFile);
  NameResolver names(hosts);
  if (await_names) {
    await_names(names);
  }
  while (!names.Wait(std::chrono::hours(1))) {
  }
  const std::vector<std::optional<NameResolver::Address>> addresses = names.Results();
  targets.reserve(hosts.size());
  ChannelTable::Plan plan = channels_.NewPlan();
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    std::optional<NameResolver::Address> destination = addresses[i];
    SocketChannel* channel = destination ? channels_.ChannelFor(i, *destination, plan) : nullptr;
    if (channel == nullptr) {
      destination.reset();  // never sent to: its requests would have no socket
      channel = &channels_[0];
    } else {
      ++channel->target_count;
    }
    targets.push_back(std::make_shared<DelayTarget>(schedule_, channel->descriptor, hosts[i],
                                                    static_cast<int>(i), destination,
                                                    send_error_count));
  }
  slot_count_ = targets.size();
  channels_.DropUnusedV6();
  socket_kind_v6 = channels_.kind_v6();
  icmpv6_error = channels_.icmpv6_error();
}

DelayTimeMgr::~DelayTimeMgr() {
  Stop();
  // The targets' schedule entries point into the schedule, so the targets go first.
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
    driver_.ArmScheduleTimer();
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
  // Positions of each text in the current list, earliest first, taken one by one.
  std::unordered_map<std::string, std::deque<std::size_t>> positions;
  for (std::size_t i = 0; i < current.size(); ++i) {
    positions[current[i]->host].push_back(i);
  }
  std::vector<ListEntry> list(hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const auto found = positions.find(hosts[i]);
    if (found != positions.end() && !found->second.empty()) {
      list[i].kept = found->second.front();
      found->second.pop_front();
    } else {
      list[i].host = hosts[i];
    }
  }
  return list;
}

std::vector<std::size_t> DelayTimeMgr::ChangeTargets(const std::vector<ListEntry>& list) {
  if (list.size() > kMaxTargets) {
    throw ConfigError(ConfigError::Kind::kTooManyTargets,
                      "The list would have " + std::to_string(list.size()) +
                          " hosts; Lumoret probes at most " + std::to_string(kMaxTargets));
  }
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
    next.push_back(added.back());
  }
  targets = std::move(next);
  // TODO(worker side): hand removed and added to the worker, look the new names up.
  return previous;
}

void DelayTimeMgr::ResolveAgain(const std::vector<std::size_t>& /*positions*/) {}

void DelayTimeMgr::SetResolveInterval(std::chrono::seconds /*interval*/) {}
