#include "platform/file_write.h"

#include <windows.h>

#include <process.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

namespace platform {

std::error_code WriteFileReplacing(const std::string& path, const std::string& text) {
  // A short name in the same folder, so that it fits wherever the file's own name fits.
  const std::size_t slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string temporary = folder + "~lumoret" + std::to_string(::_getpid()) + ".tmp";
  {
    // Text mode: each line feed is stored as CR LF.
    std::ofstream out(temporary);
    out << text;
    out.close();
    if (!out) {
      const int error = errno != 0 ? errno : EIO;
      std::remove(temporary.c_str());
      return std::error_code(error, std::generic_category());
    }
  }
  if (!::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const DWORD error = ::GetLastError();
    std::remove(temporary.c_str());
    return std::error_code(static_cast<int>(error), std::system_category());
  }
  return std::error_code();
}

}  // namespace platform
