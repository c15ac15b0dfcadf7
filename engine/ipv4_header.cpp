#include "engine/ipv4_header.h"

std::istream& operator>>(std::istream& is, Ipv4Header& header) {
  is.read(reinterpret_cast<char*>(header.rep_), Ipv4Header::kFixedSize);
  if (header.version() != 4) {
    is.setstate(std::ios::failbit);
  }
  const std::streamsize options_length = static_cast<std::streamsize>(header.header_length()) -
                                         static_cast<std::streamsize>(Ipv4Header::kFixedSize);
  if (options_length < 0 || options_length > static_cast<std::streamsize>(Ipv4Header::kMaxSize -
                                                                          Ipv4Header::kFixedSize)) {
    is.setstate(std::ios::failbit);
  } else {
    is.read(reinterpret_cast<char*>(header.rep_) + Ipv4Header::kFixedSize, options_length);
  }
  return is;
}
