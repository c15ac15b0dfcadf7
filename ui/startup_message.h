#ifndef LUMORET_UI_STARTUP_MESSAGE_H
#define LUMORET_UI_STARTUP_MESSAGE_H

#include <exception>
#include <string>

// What keeps the program from starting and what the user can do about it, chosen by
// the kind of error: folder is the working directory that holds config.ini, helper the
// ICMP helper's path (for the capability remedy).
std::string StartupMessage(const std::exception_ptr& error, const std::string& folder,
                           const std::string& helper);

#endif  // LUMORET_UI_STARTUP_MESSAGE_H
