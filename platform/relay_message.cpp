#include "platform/relay_message.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace platform {
namespace {

// Each kind's length; a datagram's is kDatagramHeader plus its bytes.
constexpr std::size_t kReadySize = 5;
constexpr std::size_t kEchoRequestSize = 25;
constexpr std::size_t kFilterSize = 7;
constexpr std::size_t kDatagramHeader = 30;
static_assert(RelayMessage::kMaxSize == kDatagramHeader + RelayMessage::kMaxDatagramBytes,
              "the longest message is a datagram's");

// The flags of a datagram: which of its optional fields are there.
constexpr std::uint8_t kHasStamp = 1;
constexpr std::uint8_t kHasOverflow = 2;

// Identifiers are 16 bits: a filter lets at most all of them through.
constexpr std::uint32_t kIdentifiers = 65536;

// The first 12 bytes of an IPv4-mapped IPv6 address.
constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

void Put(unsigned char* out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out[i] = static_cast<unsigned char>(value & 0xFF);
    value >>= 8;
  }
}

std::uint64_t Get(const unsigned char* in, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value = (value << 8) | in[i];
  }
  return value;
}

bool IsMapped(const AddressBytes& address) {
  return std::equal(std::begin(kMappedPrefix), std::end(kMappedPrefix), address.begin());
}

std::optional<RelayMessage> DecodeReady(const unsigned char* data, std::size_t length) {
  if (length != kReadySize || Get(data + 1, 4) > INT_MAX) {
    return std::nullopt;
  }
  RelayMessage message;
  message.kind = RelayMessage::Kind::kReady;
  message.error = static_cast<int>(Get(data + 1, 4));
  return message;
}

std::optional<RelayMessage> DecodeEchoRequest(const unsigned char* data, std::size_t length,
                                              IpFamily family) {
  if (length != kEchoRequestSize) {
    return std::nullopt;
  }
  RelayMessage message;
  message.kind = RelayMessage::Kind::kEchoRequest;
  std::memcpy(message.address.data(), data + 1, message.address.size());
  message.scope_id = static_cast<std::uint32_t>(Get(data + 17, 4));
  message.identifier = static_cast<std::uint16_t>(Get(data + 21, 2));
  message.sequence = static_cast<std::uint16_t>(Get(data + 23, 2));
  // IPv4 addresses name no interface.
  if (!RelayMessage::IsUnicast(message.address, family) ||
      (family == IpFamily::kV4 && message.scope_id != 0)) {
    return std::nullopt;
  }
  return message;
}

std::optional<RelayMessage> DecodeFilter(const unsigned char* data, std::size_t length) {
  if (length != kFilterSize) {
    return std::nullopt;
  }
  RelayMessage message;
  message.kind = RelayMessage::Kind::kFilter;
  message.first_identifier = static_cast<std::uint16_t>(Get(data + 1, 2));
  message.identifier_count = static_cast<std::uint32_t>(Get(data + 3, 4));
  if (message.identifier_count > kIdentifiers) {
    return std::nullopt;
  }
  return message;
}

std::optional<RelayMessage> DecodeDatagram(const unsigned char* data, std::size_t length) {
  if (length < kDatagramHeader || length > RelayMessage::kMaxSize) {
    return std::nullopt;
  }
  const std::uint8_t flags = data[1];
  const std::uint64_t stamp = Get(data + 2, 8);
  const std::uint64_t overflow = Get(data + 10, 4);
  // One encoding per message: an absent field is zero.
  if ((flags & ~(kHasStamp | kHasOverflow)) != 0 || (!(flags & kHasStamp) && stamp != 0) ||
      (!(flags & kHasOverflow) && overflow != 0)) {
    return std::nullopt;
  }
  RelayMessage message;
  message.kind = RelayMessage::Kind::kDatagram;
  if (flags & kHasStamp) {
    message.wall_stamp_ns = static_cast<std::int64_t>(stamp);
  }
  if (flags & kHasOverflow) {
    message.overflow_count = static_cast<std::uint32_t>(overflow);
  }
  std::memcpy(message.address.data(), data + 14, message.address.size());
  message.bytes = data + kDatagramHeader;
  message.length = length - kDatagramHeader;
  return message;
}

}  // namespace

std::size_t RelayMessage::Encode(unsigned char* out) const {
  out[0] = static_cast<unsigned char>(kind);
  switch (kind) {
    case Kind::kReady:
      Put(out + 1, static_cast<std::uint32_t>(error), 4);
      return kReadySize;
    case Kind::kEchoRequest:
      std::memcpy(out + 1, address.data(), address.size());
      Put(out + 17, scope_id, 4);
      Put(out + 21, identifier, 2);
      Put(out + 23, sequence, 2);
      return kEchoRequestSize;
    case Kind::kFilter:
      Put(out + 1, first_identifier, 2);
      Put(out + 3, identifier_count, 4);
      return kFilterSize;
    case Kind::kDatagram: {
      out[1] = static_cast<unsigned char>((wall_stamp_ns ? kHasStamp : 0) |
                                          (overflow_count ? kHasOverflow : 0));
      Put(out + 2, wall_stamp_ns ? static_cast<std::uint64_t>(*wall_stamp_ns) : 0, 8);
      Put(out + 10, overflow_count ? *overflow_count : 0, 4);
      std::memcpy(out + 14, address.data(), address.size());
      const std::size_t kept = std::min(length, kMaxDatagramBytes);
      if (kept > 0) {
        std::memcpy(out + kDatagramHeader, bytes, kept);
      }
      return kDatagramHeader + kept;
    }
  }
  return 0;
}

std::optional<RelayMessage> RelayMessage::Decode(const unsigned char* data, std::size_t length,
                                                 IpFamily family) {
  if (length == 0) {
    return std::nullopt;
  }
  switch (static_cast<Kind>(data[0])) {
    case Kind::kReady:
      return DecodeReady(data, length);
    case Kind::kEchoRequest:
      return DecodeEchoRequest(data, length, family);
    case Kind::kFilter:
      return DecodeFilter(data, length);
    case Kind::kDatagram:
      return DecodeDatagram(data, length);
  }
  return std::nullopt;
}

bool RelayMessage::IsUnicast(const AddressBytes& address, IpFamily family) {
  if (family == IpFamily::kV4) {
    // Not "this network" (0/8), nor multicast (224/4), nor reserved or broadcast (240/4).
    const unsigned first = address[12];
    return IsMapped(address) && first != 0 && first < 224;
  }
  // Not unspecified (::), nor multicast (ff00::/8), nor an IPv4 address in disguise.
  const bool unspecified =
      std::all_of(address.begin(), address.end(), [](unsigned char b) { return b == 0; });
  return !unspecified && address[0] != 0xFF && !IsMapped(address);
}

}  // namespace platform
