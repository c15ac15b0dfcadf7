#include "engine/icmp_header.h"

void IcmpHeader::ComputeChecksum() {
  std::uint32_t sum =
      (static_cast<std::uint32_t>(type()) << 8) + code() + identifier() + sequence_number();
  sum = (sum & 0xFFFF) + (sum >> 16);
  // Three 16-bit words sum to at most 0x207FE, so a second fold always suffices.
  sum += sum >> 16;
  checksum(static_cast<std::uint16_t>(~sum));
}

std::istream& operator>>(std::istream& is, IcmpHeader& header) {
  return is.read(reinterpret_cast<char*>(header.rep_), IcmpHeader::kSize);
}

std::ostream& operator<<(std::ostream& os, const IcmpHeader& header) {
  return os.write(reinterpret_cast<const char*>(header.rep_), IcmpHeader::kSize);
}
