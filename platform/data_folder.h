#ifndef LUMORET_PLATFORM_DATA_FOLDER_H
#define LUMORET_PLATFORM_DATA_FOLDER_H

#include <filesystem>
#include <string>

namespace platform {

// The folder of the user's own Lumoret data: $XDG_DATA_HOME/lumoret, else
// ~/.local/share/lumoret on Linux; %LOCALAPPDATA%\Lumoret on Windows. Empty when the
// system names no home for the user. Not created here.
std::string UserDataFolder();

// The folder of the user's Lumoret settings: $XDG_CONFIG_HOME/lumoret, else
// ~/.config/lumoret on Linux; %APPDATA%\Lumoret on Windows, which holds config.ini only
// (the window's settings live in the registry key HKCU\Software\Lumoret there). Empty
// when the system names no home for the user. Not created here.
std::string UserConfigFolder();

// A start in a working folder without config.ini moves to folder, creating it (and its
// parents); when folder has no config.ini either, it gets a copy of sample (text), so that
// the user starts from the hosts and notes of the sample installed beside the program. A
// config.ini of the user's is never replaced; without a readable sample the engine writes
// its default one. True when it moved; false, leaving the working folder as it was, when
// the working folder has a config.ini or folder cannot be made or entered.
bool MoveToConfigFolder(const std::filesystem::path& folder, const std::filesystem::path& sample);

}  // namespace platform

#endif  // LUMORET_PLATFORM_DATA_FOLDER_H
