// Any bytes as a message on a relay, from either end: the decoder must not read past
// them, and what it accepts must be exactly one message's encoding, of a known kind, an
// echo request only to a unicast address of the relay's family.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/relay_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using platform::RelayMessage;
  for (const platform::IpFamily family : {platform::IpFamily::kV4, platform::IpFamily::kV6}) {
    const auto message = RelayMessage::Decode(data, size, family);
    if (!message) {
      continue;
    }
    unsigned char again[RelayMessage::kMaxSize];
    const std::size_t length = message->Encode(again);
    if (length != size || std::memcmp(again, data, size) != 0) {
      __builtin_trap();
    }
    if (message->kind == RelayMessage::Kind::kEchoRequest &&
        !RelayMessage::IsUnicast(message->address, family)) {
      __builtin_trap();
    }
  }
  return 0;
}
