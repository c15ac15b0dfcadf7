#ifndef LUMORET_ENGINE_ADDRESS_HASH_H
#define LUMORET_ENGINE_ADDRESS_HASH_H

#include <boost/asio/ip/address.hpp>
#include <cstddef>

#include "platform/platform.h"

// An address as the receive path names senders: IPv6 bytes, IPv4 mapped into them.
platform::AddressBytes AddressBytesOf(const boost::asio::ip::address& address);

// Hashes an address for the tables that find a datagram socket's target by its sender.
struct AddressHash {
  std::size_t operator()(const platform::AddressBytes& address) const;
};

#endif  // LUMORET_ENGINE_ADDRESS_HASH_H
