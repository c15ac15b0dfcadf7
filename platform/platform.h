#ifndef LUMORET_PLATFORM_PLATFORM_H
#define LUMORET_PLATFORM_PLATFORM_H

// Every call Lumoret makes into the operating system goes through here, so that no
// other file includes an OS header. platform_posix.cpp and platform_win.cpp hold
// the two halves.
namespace platform {

// The process id, as it goes into the ICMP identifier.
unsigned long GetPid();

// Asks for a socket receive buffer of the given size, beyond the system's usual cap
// where the process may (replies to thousands of targets arrive in bursts). Best effort.
void EnlargeReceiveBuffer(int socket, int bytes);

}  // namespace platform

#endif  // LUMORET_PLATFORM_PLATFORM_H
