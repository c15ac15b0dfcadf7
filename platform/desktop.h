#ifndef LUMORET_PLATFORM_DESKTOP_H
#define LUMORET_PLATFORM_DESKTOP_H

#include <string>

// The desktop around the program: its help viewer, the folder a start from its menu
// works in, and (Windows) the executable's resources.
namespace platform {

// Opening the help file: the file given to the viewer, and how the opener fares.
enum class HelpState { kPending, kOpened, kFailed };
struct HelpOpener {
  std::string path;                       // the file handed to the viewer
  HelpState state = HelpState::kPending;  // kPending while the opener runs
  int status_fd = -1;                     // where the opener's exit status comes; -1 once known
};
// Starts opening file (relative to the working directory) with the desktop's text viewer;
// when the working directory has no such file, the copy installed with the program's
// documentation instead (on Windows, the one beside Lumoret.exe). Never waits for the viewer: the
// outcome comes through CheckHelpOpener. The viewer's output does not reach our terminal.
HelpOpener OpenHelpFile(const std::string& file);
// Brings opener.state up to date without waiting; kFailed when no viewer could be
// started or the opener said it failed.
void CheckHelpOpener(HelpOpener& opener);
// Stops watching an opener still pending (once started, a viewer may run for hours).
void ForgetHelpOpener(HelpOpener& opener);

// Where config.ini lives. A start from the desktop menu finds itself in the home folder
// (or /) with no config.ini there; it moves to $XDG_CONFIG_HOME/lumoret (by default
// ~/.config/lumoret), creating it. Any other working folder is kept, and so is one that
// cannot be made. On Windows every working folder without a config.ini (the Start menu's
// shortcut starts in Program Files, which a standard user cannot write) moves to
// %APPDATA%\Lumoret, where a missing config.ini is copied from config.sample.ini beside
// Lumoret.exe (MoveToConfigFolder). True when it moved. Call once the process runs as the
// user it is for (after DropPrivileges), before anything else looks at the working folder.
bool EnterWorkingFolder();

#ifdef _WIN32
// Entry id of the executable's string table, in UTF-8; empty when there is none.
std::string LoadResourceString(unsigned id);
#endif

}  // namespace platform

#endif  // LUMORET_PLATFORM_DESKTOP_H
