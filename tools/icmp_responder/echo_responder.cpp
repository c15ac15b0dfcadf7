#include "tools/icmp_responder/echo_responder.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <system_error>

namespace {

using Ms = std::chrono::duration<double, std::milli>;

// The prober's schedule that the record checks requests against.
constexpr auto kPauseAfterReply = std::chrono::seconds(1);
constexpr auto kReplyWait = std::chrono::seconds(5);
constexpr auto kScheduleSlack = std::chrono::milliseconds(20);
// A request this much before its time is early (clocks and queues are not exact).
constexpr auto kEarlySlack = std::chrono::milliseconds(2);
// The longest the loop sleeps, so a stop request is seen soon.
constexpr auto kMaxSleep = std::chrono::milliseconds(50);
// Work per loop turn, so neither receiving nor sending starves the other.
constexpr int kBatch = 256;

// Room for the receive stamp and the IPv6 destination of a request.
constexpr std::size_t kControlSpace =
    CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(in6_pktinfo));

int OpenRaw(int family, int protocol, const char* what) {
  const int fd = socket(family, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), what);
  }
  return fd;
}

// The raw ICMPv6 socket, set up to see echo requests only and to say where each went; -1
// where the system has no IPv6.
int OpenRaw6() {
  const int fd = socket(AF_INET6, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMPV6);
  if (fd < 0 && errno == EAFNOSUPPORT) {
    return -1;
  }
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "raw ICMPv6 socket");
  }
  icmp6_filter filter{};
  ICMP6_FILTER_SETBLOCKALL(&filter);
  ICMP6_FILTER_SETPASS(packet::kEchoRequest6, &filter);
  setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
  const int on = 1;
  setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
  // The range is routed to this host, not assigned to it: replies may leave from any of its
  // addresses only with this.
  if (setsockopt(fd, IPPROTO_IPV6, IPV6_FREEBIND, &on, sizeof on) < 0) {
    const int error = errno;
    close(fd);
    throw std::system_error(error, std::generic_category(), "IPV6_FREEBIND");
  }
  return fd;
}

// A message header over one buffer, with an address and control data.
msghdr Message(sockaddr_in6* address, socklen_t address_length, iovec& data, char* control,
               std::size_t control_length) {
  msghdr message{};
  message.msg_name = address;
  message.msg_namelen = address_length;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = control_length;
  return message;
}

// The destination of an IPv6 request, from its IPV6_PKTINFO.
bool Destination6(const msghdr& message, packet::Address& destination) {
  for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      std::memcpy(destination.data(), &info.ipi6_addr, destination.size());
      return true;
    }
  }
  return false;
}

}  // namespace

EchoResponder::EchoResponder(const ResponderRules& rules, const Options& options)
    : rules_(rules), options_(options), random_(options.seed), buffer_(65536) {
  receive_socket_ = OpenRaw(AF_INET, IPPROTO_ICMP, "raw ICMP socket");
  // IPPROTO_RAW implies IP_HDRINCL: the responder writes every IPv4 header itself, so a
  // reply can come from any address of the range, or carry options or a bad version.
  send_socket_ = OpenRaw(AF_INET, IPPROTO_RAW, "raw IP socket");
  socket6_ = OpenRaw6();
  // Only echo requests reach the receive socket.
  icmp_filter filter{~(1u << ICMP_ECHO)};
  setsockopt(receive_socket_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  // Thousands of requests can arrive in one burst; keep them rather than drop them.
  const int size = 32 << 20;
  setsockopt(receive_socket_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  setsockopt(send_socket_, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
  const int on = 1;
  setsockopt(receive_socket_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  if (socket6_ >= 0) {
    setsockopt(socket6_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    setsockopt(socket6_, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    setsockopt(socket6_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  }
}

EchoResponder::~EchoResponder() {
  close(receive_socket_);
  close(send_socket_);
  if (socket6_ >= 0) {
    close(socket6_);
  }
}

std::size_t EchoResponder::ProberKeyHash::operator()(const ProberKey& key) const {
  // FNV-1a: cheap, and enough to spread the addresses of one range.
  std::uint64_t hash = 1469598103934665603ull;
  for (const std::uint8_t byte : key.address) {
    hash = (hash ^ byte) * 1099511628211ull;
  }
  return static_cast<std::size_t>((hash ^ key.identifier) * 1099511628211ull);
}

void EchoResponder::SetRules(const ResponderRules& rules) {
  rules_ = rules;
  for (auto& [key, prober] : probers_) {
    prober.rule = &rules_.For(key.address);
  }
}

void EchoResponder::Run(bool (*stop_requested)(), const std::function<void()>& each_turn) {
  started_ = Clock::now();
  const auto end = started_ + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(options_.max_seconds));
  // Flood datagrams go out in small bursts at most once a millisecond.
  const auto flood_step = std::chrono::milliseconds(1);
  while (!stop_requested()) {
    if (each_turn) {
      each_turn();
    }
    auto now = Clock::now();
    if (now >= end) {
      break;
    }
    SendDue(now);
    if (options_.flood_rate > 0) {
      SendFlood(now);
    }
    Receive();
    now = Clock::now();
    auto wake = now + kMaxSleep;
    if (!pending_.empty()) {
      wake = std::min(wake, pending_.top().due);
    }
    if (options_.flood_rate > 0) {
      wake = std::min(wake, now + flood_step);
    }
    const auto wait = std::max(Clock::duration::zero(), wake - now);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd fds[] = {{receive_socket_, POLLIN, 0}, {socket6_, POLLIN, 0}};
    ppoll(fds, socket6_ >= 0 ? 2 : 1, &timeout, nullptr);  // EINTR: the loop asks again
  }
  // A request sent just before the prober stopped may still be queued: it counts too.
  Receive();
}

void EchoResponder::Receive() {
  ReceiveFrom(receive_socket_);
  if (socket6_ >= 0) {
    ReceiveFrom(socket6_);
  }
}

void EchoResponder::ReceiveFrom(int fd) {
  for (int i = 0; i < kBatch; ++i) {
    iovec data{buffer_.data(), buffer_.size()};
    alignas(cmsghdr) char control[kControlSpace];
    sockaddr_in6 peer{};
    msghdr message = Message(&peer, sizeof peer, data, control, sizeof control);
    const ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT);
    if (n < 0) {
      return;  // EAGAIN: drained
    }
    ++received_;
    const Clock::time_point arrival = ArrivalTime(message);
    const auto length = static_cast<std::size_t>(n);
    packet::EchoRequest request;
    bool parsed = false;
    if (fd == socket6_) {
      // No IPv6 header comes with the message: the source is the sender's address, the
      // destination the packet information.
      packet::Address source, destination;
      std::memcpy(source.data(), &peer.sin6_addr, source.size());
      parsed = peer.sin6_family == AF_INET6 && Destination6(message, destination) &&
               packet::ParseEcho6Request(buffer_.data(), length, source, destination, request);
    } else {
      parsed = packet::ParseEchoRequest(buffer_.data(), length, request);
    }
    if (parsed) {
      HandleRequest(request, arrival);
    } else {
      ++not_requests_;
    }
  }
}

EchoResponder::Clock::time_point EchoResponder::ArrivalTime(const msghdr& message) const {
  // The kernel's receive stamp, so a responder that is slow to read does not shift the
  // delays it applies or the schedule it checks. The stamp is on the wall clock: its age
  // is taken against a wall clock reading made next to a monotonic one. A pair split by
  // preemption would date the arrival too early and send the reply too soon, so such a
  // pair is read again.
  Clock::time_point now = Clock::now();
  timespec wall{};
  for (int attempt = 0; attempt < 5; ++attempt) {
    timespec before{};
    clock_gettime(CLOCK_REALTIME, &before);
    now = Clock::now();
    clock_gettime(CLOCK_REALTIME, &wall);
    const auto gap = std::chrono::seconds(wall.tv_sec - before.tv_sec) +
                     std::chrono::nanoseconds(wall.tv_nsec - before.tv_nsec);
    if (gap < std::chrono::microseconds(20)) {
      break;
    }
  }
  for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec stamp{};
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      const auto age = std::chrono::seconds(wall.tv_sec - stamp.tv_sec) +
                       std::chrono::nanoseconds(wall.tv_nsec - stamp.tv_nsec);
      if (age >= Clock::duration::zero() && age < std::chrono::seconds(1)) {
        return now - std::chrono::duration_cast<Clock::duration>(age);
      }
    }
  }
  return now;
}

void EchoResponder::HandleRequest(const packet::EchoRequest& request, Clock::time_point now) {
  const ProberKey key{request.destination, request.identifier};
  Prober& prober = probers_[key];
  if (prober.requests == 0) {
    prober.rule = &rules_.For(request.destination);
    prober.first_sequence = request.sequence;
  } else {
    CheckSchedule(prober, now);
  }
  ++prober.requests;
  if (!request.checksum_ok || request.code != 0) {
    ++prober.bad_requests;
  }
  prober.last_sequence = request.sequence;
  prober.last_request = now;
  prober.last_answered = false;

  const ResponderRules::Rule& rule = *prober.rule;
  if (rule.loss_percent > 0 &&
      std::uniform_real_distribution<double>(0, 100)(random_) < rule.loss_percent) {
    ++prober.lost;
    return;
  }
  double delay_ms = rule.delay_ms;
  if (rule.jitter_ms > 0) {
    delay_ms += std::uniform_real_distribution<double>(-rule.jitter_ms, rule.jitter_ms)(random_);
  }
  const auto due = now + std::chrono::duration_cast<Clock::duration>(Ms(delay_ms));
  const bool late = delay_ms >= 5000;

  using Kind = ResponderRules::Kind;
  const bool ipv6 = !packet::IsIpv4(request.destination);
  packet::Address source = request.destination;
  std::uint16_t identifier = request.identifier;
  std::uint16_t sequence = request.sequence;
  std::vector<std::uint8_t> body = request.data;
  std::size_t options = 0;
  std::uint8_t version = 4;
  Sent sent = late ? Sent::kLate : Sent::kReply;
  switch (rule.kind) {
    case Kind::kWrongIdentifier:
      ++identifier;
      sent = Sent::kFaulty;
      break;
    case Kind::kWrongSequence:
      --sequence;
      sent = Sent::kFaulty;
      break;
    case Kind::kWrongSource:
      source = packet::Next(source);
      sent = Sent::kFaulty;
      break;
    case Kind::kBadVersion:
      version = 6;
      sent = Sent::kFaulty;
      break;
    case Kind::kOptions:
      options = 40;
      break;
    case Kind::kData:
      body.resize(body.size() + 56, 0xA5);
      break;
    default:
      break;
  }
  // ICMPv6 checksums are the kernel's: it writes them over whatever these carry.
  std::vector<std::uint8_t> icmp;
  if (rule.kind == Kind::kUnreachable) {
    icmp = ipv6 ? packet::IcmpMessage(packet::kUnreachable6, packet::kAddressUnreachable6, 0, 0,
                                      request.original)
                : packet::IcmpMessage(packet::kUnreachable, 1, 0, 0, request.original);
    sent = Sent::kFaulty;
  } else {
    icmp = packet::IcmpMessage(ipv6 ? packet::kEchoReply6 : packet::kEchoReply, 0, identifier,
                               sequence, body, rule.kind == Kind::kBadChecksum);
  }
  if (rule.kind == Kind::kCut) {
    icmp.resize(7);
    sent = Sent::kFaulty;
  }
  auto datagram = ipv6
                      ? std::move(icmp)
                      : packet::Ipv4Datagram(packet::ToIpv4(source), packet::ToIpv4(request.source),
                                             icmp, options, version);
  const packet::Address& to = request.source;
  if (rule.kind == Kind::kDuplicate) {
    // Same time, scheduled later: the copy leaves right behind the reply.
    const auto again = due + std::chrono::duration_cast<Clock::duration>(Ms(rule.dup_after_ms));
    Schedule(due, key, request.sequence, sent, source, to, datagram);
    Schedule(due, key, request.sequence, Sent::kDuplicate, source, to, datagram);
    Schedule(again, key, request.sequence, Sent::kDuplicate, source, to, std::move(datagram));
    return;
  }
  Schedule(due, key, request.sequence, sent, source, to, std::move(datagram));
}

void EchoResponder::CheckSchedule(Prober& prober, Clock::time_point now) {
  const Clock::time_point due = prober.last_answered ? prober.last_reply + kPauseAfterReply
                                                     : prober.last_request + kReplyWait;
  const auto off = now - due;
  if (off < -kEarlySlack) {
    ++prober.early;
  } else if (off <= kScheduleSlack) {
    ++prober.on_schedule;
  } else {
    ++prober.behind;
  }
  prober.max_behind_ms = std::max(prober.max_behind_ms, Ms(off).count());
  prober.max_early_ms = std::max(prober.max_early_ms, -Ms(off).count());
}

void EchoResponder::Schedule(Clock::time_point due, const ProberKey& key, std::uint16_t sequence,
                             Sent sent, const packet::Address& from, const packet::Address& to,
                             std::vector<std::uint8_t> datagram) {
  pending_.push(Pending{due, order_++, key, sequence, sent, from, to, std::move(datagram)});
}

void EchoResponder::SendDue(Clock::time_point now) {
  for (int i = 0; i < kBatch && !pending_.empty() && pending_.top().due <= now; ++i) {
    const Pending& p = pending_.top();
    const Clock::time_point leaving = Clock::now();
    Send(p);
    const double lag = Ms(Clock::now() - p.due).count();
    max_lag_ms_ = std::max(max_lag_ms_, lag);
    if (lag > 1) {
      ++late_sends_;
    }
    Prober& prober = probers_[p.key];
    switch (p.sent) {
      case Sent::kReply:
        ++prober.replies;
        if (p.sequence == prober.last_sequence) {
          prober.last_answered = true;
          prober.last_reply = leaving;
        }
        if (p.sequence == prober.first_sequence) {
          prober.first_answered = true;
        }
        break;
      case Sent::kDuplicate:
        ++prober.duplicates;
        break;
      case Sent::kLate:
        ++prober.late;
        break;
      case Sent::kFaulty:
        ++prober.faulty;
        break;
    }
    pending_.pop();
  }
}

void EchoResponder::SendFlood(Clock::time_point now) {
  const double elapsed = std::chrono::duration<double>(now - started_).count();
  const auto target = static_cast<std::uint64_t>(elapsed * options_.flood_rate);
  for (int i = 0; i < kBatch && flood_sent_ < target; ++i) {
    // Foreign replies: identifiers and sequence numbers of nobody's requests, from an
    // address nobody probes.
    const auto word = random_();
    const auto icmp = packet::IcmpMessage(packet::kEchoReply, 0, static_cast<std::uint16_t>(word),
                                          static_cast<std::uint16_t>(word >> 16), {});
    Send4(packet::Ipv4Datagram(options_.flood_from, options_.flood_to, icmp), options_.flood_to);
    ++flood_sent_;
  }
}

void EchoResponder::Send(const Pending& pending) {
  if (packet::IsIpv4(pending.to)) {
    Send4(pending.datagram, packet::ToIpv4(pending.to));
  } else {
    Send6(pending.datagram, pending.from, pending.to);
  }
}

void EchoResponder::Send6(const std::vector<std::uint8_t>& message, const packet::Address& from,
                          const packet::Address& to) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  std::memcpy(&address.sin6_addr, to.data(), to.size());
  // The source is the packet information's: the probed address, or another on purpose.
  in6_pktinfo info{};
  std::memcpy(&info.ipi6_addr, from.data(), from.size());
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof info)] = {};
  iovec data{const_cast<std::uint8_t*>(message.data()), message.size()};
  msghdr header = Message(&address, sizeof address, data, control, sizeof control);
  cmsghdr* c = CMSG_FIRSTHDR(&header);
  c->cmsg_level = IPPROTO_IPV6;
  c->cmsg_type = IPV6_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof info);
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  if (socket6_ < 0 || sendmsg(socket6_, &header, 0) < 0) {
    ++send_errors_;
  }
}

void EchoResponder::Send4(const std::vector<std::uint8_t>& datagram, std::uint32_t to) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(to);
  if (sendto(send_socket_, datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    ++send_errors_;
  }
}

void EchoResponder::WriteRecord(std::ostream& out) const {
  out << "address,identifier,rule,requests,first_sequence,replies,first_answered,last_answered,"
         "lost,duplicates,late,faulty,bad_requests,on_schedule,early,behind,max_behind_ms,"
         "max_early_ms\n";
  std::map<ProberKey, const Prober*> sorted;
  for (const auto& [key, prober] : probers_) {
    sorted.emplace(key, &prober);
  }
  char line[320];  // an IPv6 address and 17 numbers
  for (const auto& [key, p] : sorted) {
    std::snprintf(
        line, sizeof line,
        "%s,%u,%s,%llu,%u,%llu,%d,%d,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%.1f,%.1f\n",
        packet::Text(key.address).c_str(), key.identifier, ResponderRules::KindName(p->rule->kind),
        static_cast<unsigned long long>(p->requests), p->first_sequence,
        static_cast<unsigned long long>(p->replies), p->first_answered ? 1 : 0,
        p->last_answered ? 1 : 0, static_cast<unsigned long long>(p->lost),
        static_cast<unsigned long long>(p->duplicates), static_cast<unsigned long long>(p->late),
        static_cast<unsigned long long>(p->faulty),
        static_cast<unsigned long long>(p->bad_requests),
        static_cast<unsigned long long>(p->on_schedule), static_cast<unsigned long long>(p->early),
        static_cast<unsigned long long>(p->behind), p->max_behind_ms, p->max_early_ms);
    out << line;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::snprintf(
      line, sizeof line,
      "#summary,received,%llu,not_requests,%llu,flood_sent,%llu,send_errors,%llu,"
      "unsent,%zu,late_sends,%llu,max_lag_ms,%.3f,cpu_seconds,%.3f\n",
      static_cast<unsigned long long>(received_), static_cast<unsigned long long>(not_requests_),
      static_cast<unsigned long long>(flood_sent_), static_cast<unsigned long long>(send_errors_),
      pending_.size(), static_cast<unsigned long long>(late_sends_), max_lag_ms_, cpu);
  out << line;
}
