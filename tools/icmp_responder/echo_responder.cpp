#include "tools/icmp_responder/echo_responder.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/icmp.h>
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

std::uint64_t Key(std::uint32_t address, std::uint16_t identifier) {
  return (std::uint64_t{address} << 16) | identifier;
}

std::string AddressText(std::uint32_t address) {
  char text[INET_ADDRSTRLEN];
  const in_addr a{htonl(address)};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

int OpenRaw(int protocol, const char* what) {
  const int fd = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), what);
  }
  return fd;
}

}  // namespace

EchoResponder::EchoResponder(const ResponderRules& rules, const Options& options)
    : rules_(rules), options_(options), random_(options.seed), buffer_(65536) {
  receive_socket_ = OpenRaw(IPPROTO_ICMP, "raw ICMP socket");
  // IPPROTO_RAW implies IP_HDRINCL: the responder writes every IPv4 header itself, so a
  // reply can come from any address of the range, or carry options or a bad version.
  send_socket_ = OpenRaw(IPPROTO_RAW, "raw IP socket");
  // Only echo requests reach the receive socket.
  icmp_filter filter{~(1u << ICMP_ECHO)};
  setsockopt(receive_socket_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  // Thousands of requests can arrive in one burst; keep them rather than drop them.
  const int size = 32 << 20;
  setsockopt(receive_socket_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  setsockopt(send_socket_, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
  const int on = 1;
  setsockopt(receive_socket_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

EchoResponder::~EchoResponder() {
  close(receive_socket_);
  close(send_socket_);
}

void EchoResponder::Run(const volatile std::sig_atomic_t& stop) {
  started_ = Clock::now();
  const auto end = started_ + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(options_.max_seconds));
  // Flood datagrams go out in small bursts at most once a millisecond.
  const auto flood_step = std::chrono::milliseconds(1);
  while (!stop) {
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
    pollfd fd{receive_socket_, POLLIN, 0};
    ppoll(&fd, 1, &timeout, nullptr);  // EINTR: the loop looks at stop
  }
  // A request sent just before the prober stopped may still be queued: it counts too.
  Receive();
}

void EchoResponder::Receive() {
  for (int i = 0; i < kBatch; ++i) {
    iovec data{buffer_.data(), buffer_.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(receive_socket_, &message, MSG_DONTWAIT);
    if (n < 0) {
      return;  // EAGAIN: drained
    }
    ++received_;
    const Clock::time_point arrival = ArrivalTime(message);
    packet::EchoRequest request;
    if (packet::ParseEchoRequest(buffer_.data(), static_cast<std::size_t>(n), request)) {
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
  const std::uint64_t key = Key(request.destination, request.identifier);
  Prober& prober = probers_[key];
  if (prober.requests == 0) {
    prober.address = request.destination;
    prober.identifier = request.identifier;
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
  std::uint32_t source = request.destination;
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
      ++source;
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
  std::vector<std::uint8_t> icmp;
  if (rule.kind == Kind::kUnreachable) {
    icmp = packet::IcmpMessage(packet::kUnreachable, 1, 0, 0, request.original);
    sent = Sent::kFaulty;
  } else {
    icmp = packet::IcmpMessage(packet::kEchoReply, 0, identifier, sequence, body,
                               rule.kind == Kind::kBadChecksum);
  }
  if (rule.kind == Kind::kCut) {
    icmp.resize(7);
    sent = Sent::kFaulty;
  }
  auto datagram = packet::Ipv4Datagram(source, request.source, icmp, options, version);
  if (rule.kind == Kind::kDuplicate) {
    // Same time, scheduled later: the copy leaves right behind the reply.
    const auto again = due + std::chrono::duration_cast<Clock::duration>(Ms(rule.dup_after_ms));
    Schedule(due, key, request.sequence, sent, request.source, datagram);
    Schedule(due, key, request.sequence, Sent::kDuplicate, request.source, datagram);
    Schedule(again, key, request.sequence, Sent::kDuplicate, request.source, std::move(datagram));
    return;
  }
  Schedule(due, key, request.sequence, sent, request.source, std::move(datagram));
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

void EchoResponder::Schedule(Clock::time_point due, std::uint64_t key, std::uint16_t sequence,
                             Sent sent, std::uint32_t to, std::vector<std::uint8_t> datagram) {
  pending_.push(Pending{due, order_++, key, sequence, sent, to, std::move(datagram)});
}

void EchoResponder::SendDue(Clock::time_point now) {
  for (int i = 0; i < kBatch && !pending_.empty() && pending_.top().due <= now; ++i) {
    const Pending& p = pending_.top();
    const Clock::time_point leaving = Clock::now();
    Send(p.datagram, p.to);
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
    Send(packet::Ipv4Datagram(options_.flood_from, options_.flood_to, icmp), options_.flood_to);
    ++flood_sent_;
  }
}

void EchoResponder::Send(const std::vector<std::uint8_t>& datagram, std::uint32_t to) {
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
  std::map<std::uint64_t, const Prober*> sorted;
  for (const auto& [key, prober] : probers_) {
    sorted.emplace(key, &prober);
  }
  char line[256];
  for (const auto& [key, p] : sorted) {
    std::snprintf(
        line, sizeof line,
        "%s,%u,%s,%llu,%u,%llu,%d,%d,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%.1f,%.1f\n",
        AddressText(p->address).c_str(), p->identifier, ResponderRules::KindName(p->rule->kind),
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
