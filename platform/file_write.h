#ifndef LUMORET_PLATFORM_FILE_WRITE_H
#define LUMORET_PLATFORM_FILE_WRITE_H

#include <string>
#include <system_error>

// Writing a file so that a crash or a full disk never leaves half of it.
namespace platform {

// Writes text to a new file with a short name in path's folder and renames it into
// place, so that path is either left as it was or holds the whole text; nothing else is
// left behind. A symbolic link is written through to the file it names; an existing
// file keeps its permissions (and its owner, where the process may keep it). Line feeds
// become the platform's line ends. Returns the system's error.
std::error_code WriteFileReplacing(const std::string& path, const std::string& text);

}  // namespace platform

#endif  // LUMORET_PLATFORM_FILE_WRITE_H
