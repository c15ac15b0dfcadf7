#include "engine/delay_time_mgr.h"

#include <boost/bind/bind.hpp>
#include <exception>

#include "engine/icmp_socket_opener.h"
#include "engine/target_list.h"

namespace {

// The target list, in the working directory.
constexpr char kConfigFile[] = "config.ini";

}  // namespace

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
    targets.push_back(std::make_unique<DelayTarget>(schedule_, channel->descriptor, hosts[i],
                                                    static_cast<int>(i), destination,
                                                    send_error_count));
  }
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
