#ifndef LUMORET_PLATFORM_POSIX_RELAY_SOCKET_H
#define LUMORET_PLATFORM_POSIX_RELAY_SOCKET_H

#include <cstddef>
#include <optional>
#include <system_error>

#include "platform/icmp_socket.h"
#include "platform/relay_message.h"

// The program's end of a relay to the ICMP helper, which the socket calls serve like an
// ICMP socket: every send and receive asks RelayFamily first, so a relay is told from a
// socket without a system call.
namespace platform {

// The family of the relay socket is, or nothing when it is no relay.
std::optional<IpFamily> RelayFamily(int socket);
// From now on socket is family's relay. Call before the worker thread starts.
void RegisterRelay(IpFamily family, int socket);
// socket is about to be closed: no relay any more.
void UnregisterRelay(int socket);
// Forgets a relay whose descriptor the system has just handed out again: it was closed
// without CloseSocket (as Asio closes a socket it was given), and the new socket is no
// relay.
void ForgetClosedRelay(int descriptor);

// Sends one message to the helper, waiting a little for room; the system's error, empty
// on success.
std::error_code SendToHelper(int relay, const RelayMessage& message);
// SendDatagram on a relay: the engine's 8 bytes of an echo request of the relay's family
// (code 0) to address, which the helper builds again from identifier and sequence.
std::error_code SendThroughRelay(int relay, IpFamily family, const void* data, std::size_t length,
                                 const void* address, std::size_t address_length);
// ReceiveDatagrams on a relay: the datagrams the helper passed on, in the same form.
int ReceiveThroughRelay(int relay, IpFamily family, unsigned char* slots, std::size_t slot_size,
                        ReceivedDatagram* datagrams, int count, std::error_code& error);

}  // namespace platform

#endif  // LUMORET_PLATFORM_POSIX_RELAY_SOCKET_H
