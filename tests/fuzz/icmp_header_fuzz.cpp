// Any bytes through the ICMP header decoder, and what decoded back out unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "engine/icmp_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  IcmpHeader header;
  if (!(in >> header)) {
    return 0;
  }
  std::ostringstream out;
  out << header;
  if (size < IcmpHeader::kSize ||
      out.str() != std::string(reinterpret_cast<const char*>(data), IcmpHeader::kSize)) {
    __builtin_trap();
  }
  return 0;
}
