#ifndef LUMORET_PLATFORM_PRIVILEGES_H
#define LUMORET_PLATFORM_PRIVILEGES_H

#include "platform/rights_error.h"

// The rights the raw socket needs, and giving them up once it is open.
namespace platform {

// Which rights DropPrivileges gives up besides a sudo start's root: the raw socket's
// (CAP_NET_RAW), or every capability.
enum class Rights { kRawSocket, kAll };
// Gives up, for the whole process, every right the raw socket needed: a root process
// started through sudo becomes the user who ran it (uid, gid, supplementary groups,
// HOME, USER, LOGNAME), and CAP_NET_RAW (with kAll, every capability) leaves every set
// (effective, permitted, inheritable, ambient, and the bounding set where the process
// may change it). Capabilities and the environment belong to the threads that exist
// when they change, so this must run before any other thread is started. Throws
// RightsError.
void DropPrivileges(Rights rights = Rights::kRawSocket);

// True where this process opens raw sockets itself: a plain root start (neither sudo
// nor a file capability), and Windows.
bool RawSocketsInProcess();

}  // namespace platform

#endif  // LUMORET_PLATFORM_PRIVILEGES_H
