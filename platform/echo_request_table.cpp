#include "platform/echo_request_table.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

// ICMP message types of an echo request and its reply, for each family.
constexpr unsigned char kEchoRequestV4 = 8;
constexpr unsigned char kEchoReplyV4 = 0;
constexpr unsigned char kEchoRequestV6 = 128;
constexpr unsigned char kEchoReplyV6 = 129;
// An ICMP echo message's header: type, code, checksum, identifier, sequence number.
constexpr std::size_t kHeaderBytes = 8;
constexpr std::int64_t kNsPerMs = 1000000;

std::uint16_t ReadWord(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

void WriteWord(unsigned char* bytes, std::uint16_t value) {
  bytes[0] = static_cast<unsigned char>(value >> 8);
  bytes[1] = static_cast<unsigned char>(value & 0xff);
}

// Internet checksum (RFC 1071) of message, whose checksum word is zero.
std::uint16_t InternetChecksum(const std::vector<unsigned char>& message) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < message.size(); i += 2) {
    sum += static_cast<std::uint32_t>(message[i] << 8);
    if (i + 1 < message.size()) {
      sum += message[i + 1];
    }
  }
  while (sum >> 16) {
    sum = (sum & 0xffff) + (sum >> 16);
  }
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

EchoRequestTable::EchoRequestTable(IpFamily family, std::size_t capacity)
    : family_(family), capacity_(std::min(capacity, kMaxCapacity)) {}

std::optional<EchoRequestTable::Request> EchoRequestTable::ParseRequest(IpFamily family,
                                                                        const void* data,
                                                                        std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  const unsigned char type = family == IpFamily::kV6 ? kEchoRequestV6 : kEchoRequestV4;
  if (bytes == nullptr || length < kHeaderBytes || bytes[0] != type || bytes[1] != 0) {
    return std::nullopt;
  }
  Request request;
  request.identifier = ReadWord(bytes + 4);
  request.sequence = ReadWord(bytes + 6);
  request.payload = bytes + kHeaderBytes;
  request.payload_length = length - kHeaderBytes;
  return request;
}

std::optional<EchoRequestTable::Ticket> EchoRequestTable::Add(const Request& request,
                                                              const AddressBytes& target,
                                                              std::int64_t sent_ns) {
  std::size_t slot = 0;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else if (records_.size() < capacity_) {
    slot = records_.size();
    records_.emplace_back();
  } else {
    return std::nullopt;
  }
  Record& record = records_[slot];
  record.state = State::kPending;
  ++record.uses;
  record.identifier = request.identifier;
  record.sequence = request.sequence;
  record.target = target;
  record.sent_ns = sent_ns;
  ++pending_;
  return static_cast<Ticket>(record.uses) << 16 | static_cast<Ticket>(slot);
}

EchoRequestTable::Record* EchoRequestTable::Find(Ticket ticket, State state) {
  const std::size_t slot = ticket & 0xffff;
  if (slot >= records_.size()) {
    return nullptr;
  }
  Record& record = records_[slot];
  return record.state == state && record.uses == (ticket >> 16) ? &record : nullptr;
}

void EchoRequestTable::Free(std::size_t slot) {
  records_[slot].state = State::kFree;
  records_[slot].message.clear();
  free_.push_back(static_cast<std::uint16_t>(slot));
}

void EchoRequestTable::Cancel(Ticket ticket) {
  Complete(ticket, nullptr);
}

bool EchoRequestTable::Complete(Ticket ticket, const Reply* reply) {
  Record* record = Find(ticket, State::kPending);
  if (record == nullptr) {
    return false;
  }
  --pending_;
  const std::size_t slot = ticket & 0xffff;
  if (reply == nullptr) {
    Free(slot);
    return true;
  }
  // A service that does not tell the sender has the reply come from the target.
  record->source = reply->source == AddressBytes{} ? record->target : reply->source;
  record->earliest_ns =
      record->sent_ns + static_cast<std::int64_t>(reply->round_trip_ms) * kNsPerMs;
  // The round trip is cut to whole milliseconds: the arrival lies within the next one.
  record->latest_ns = record->earliest_ns + kNsPerMs - 1;
  Synthesize(*record, *reply);
  record->state = State::kReady;
  ready_.push_back(static_cast<std::uint16_t>(slot));
  return true;
}

void EchoRequestTable::Synthesize(Record& record, const Reply& reply) const {
  const bool v6 = family_ == IpFamily::kV6;
  const std::size_t kept = reply.data == nullptr ? 0 : std::min(reply.data_length, kKeptData);
  record.message.assign(kHeaderBytes, 0);
  record.message[0] = v6 ? kEchoReplyV6 : kEchoReplyV4;
  WriteWord(&record.message[4], record.identifier);
  WriteWord(&record.message[6], record.sequence);
  record.message.insert(record.message.end(), reply.data, reply.data + kept);
  // ICMPv6's checksum covers the IP addresses too; the system checked it on receipt and
  // nothing reads it afterwards, so only the IPv4 one is filled in.
  if (!v6) {
    WriteWord(&record.message[2], InternetChecksum(record.message));
  }
}

int EchoRequestTable::Take(unsigned char* slots, std::size_t slot_size, ReceivedDatagram* datagrams,
                           int count, std::int64_t read_ns) {
  int taken = 0;
  for (; taken < count && !ready_.empty(); ++taken) {
    const std::size_t slot = ready_.front();
    ready_.pop_front();
    const Record& record = records_[slot];
    const std::size_t length = std::min(record.message.size(), slot_size);
    std::memcpy(slots + static_cast<std::size_t>(taken) * slot_size, record.message.data(), length);
    ReceivedDatagram& datagram = datagrams[taken];
    datagram = ReceivedDatagram();
    datagram.length = length;
    // The read time is late by up to the reader's cadence, the round trip early by up to
    // a millisecond: the finer of the two.
    datagram.wall_stamp_ns = std::clamp(read_ns, record.earliest_ns, record.latest_ns);
    datagram.source = record.source;
    Free(slot);
  }
  return taken;
}

}  // namespace platform
