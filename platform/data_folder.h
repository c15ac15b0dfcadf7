#ifndef LUMORET_PLATFORM_DATA_FOLDER_H
#define LUMORET_PLATFORM_DATA_FOLDER_H

#include <string>

namespace platform {

// The folder of the user's own Lumoret data: $XDG_DATA_HOME/lumoret, else
// ~/.local/share/lumoret on Linux; %LOCALAPPDATA%\Lumoret on Windows. Empty when the
// system names no home for the user. Not created here.
std::string UserDataFolder();

// The folder of the user's Lumoret settings: $XDG_CONFIG_HOME/lumoret, else
// ~/.config/lumoret on Linux. Empty on Windows, whose settings live in the registry key
// HKCU\Software\Lumoret, and when the system names no home for the user. Not created here.
std::string UserConfigFolder();

}  // namespace platform

#endif  // LUMORET_PLATFORM_DATA_FOLDER_H
