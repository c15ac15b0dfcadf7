#include "engine/address_hash.h"

#include <cstdint>
#include <cstring>

platform::AddressBytes AddressBytesOf(const boost::asio::ip::address& address) {
  return address.is_v6()
             ? address.to_v6().to_bytes()
             : boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, address.to_v4())
                   .to_bytes();
}

std::size_t AddressHash::operator()(const platform::AddressBytes& address) const {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  std::memcpy(&high, address.data(), sizeof high);
  std::memcpy(&low, address.data() + sizeof high, sizeof low);
  return static_cast<std::size_t>((high * 0x9E3779B97F4A7C15u) ^ low);
}
