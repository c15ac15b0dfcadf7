#include "engine/socket_channel.h"

SocketChannel::SocketChannel(boost::asio::io_service& io_service, int descriptor,
                             platform::IpFamily family)
    : descriptor(descriptor),
      family(family),
      kind(platform::GetSocketKind(descriptor)),
      receive_retry_timer(io_service) {
  platform::EnableReceiveTimestamps(descriptor);
  platform::EnableDropCounts(descriptor);
}

SocketChannel::~SocketChannel() {
  if (!waiter) {
    platform::CloseSocket(descriptor);
  }
}
