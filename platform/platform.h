#ifndef LUMORET_PLATFORM_PLATFORM_H
#define LUMORET_PLATFORM_PLATFORM_H

// Every call Lumoret makes into the operating system goes through the platform layer, so
// that no other file includes an OS header. Each concern has a header of its own, with
// its POSIX half in posix/ and its Windows half in win/; this one brings them all.
#include "platform/desktop.h"
#include "platform/file_write.h"
#include "platform/icmp_helper_launch.h"
#include "platform/icmp_socket.h"
#include "platform/instance_lock.h"
#include "platform/memory.h"
#include "platform/privileges.h"
#include "platform/rights_error.h"
#include "platform/signals.h"

#endif  // LUMORET_PLATFORM_PLATFORM_H
