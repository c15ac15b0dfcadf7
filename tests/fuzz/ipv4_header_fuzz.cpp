// Any bytes through the IPv4 header decoder: it must stop at the stream's end, never read
// past it, and fail the stream on a header it cannot take.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "engine/ipv4_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  Ipv4Header header;
  if (in >> header) {
    // A header that decoded is version 4 with a length the bytes held.
    if (header.version() != 4 || header.header_length() < 20 || header.header_length() > size) {
      __builtin_trap();
    }
  }
  return 0;
}
