#include "engine/target_list.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "engine/config_error.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

// Written when the file does not exist: one address literal, one domain name.
constexpr char kDefaultConfig[] = "#IP Check\n8.8.8.8\n\n#Domain Name Check\nwww.example.com";
// The longest line that can define a target.
constexpr std::size_t kMaxLineLength = 65535;
// Characters read between two questions whether to stop: a few milliseconds' worth.
constexpr std::size_t kStopAskedEvery = 1 << 20;

ConfigError LineTooLong(const std::string& file, std::size_t line_number) {
  ConfigError error(ConfigError::Kind::kLineTooLong,
                    "line " + std::to_string(line_number) + " of " + file + " is longer than " +
                        std::to_string(kMaxLineLength) + " characters");
  error.line = line_number;
  return error;
}

// What a file that is not a regular one is, for the message.
std::string DescribeType(fs::file_type type) {
  switch (type) {
    case fs::file_type::directory:
      return "a directory";
    case fs::file_type::fifo:
      return "a FIFO (named pipe)";
    case fs::file_type::character:
      return "a character device";
    case fs::file_type::block:
      return "a block device";
    case fs::file_type::socket:
      return "a socket";
    default:
      return "of an unknown type";
  }
}

// What a link that does not lead to a regular file leads to, for the message.
std::string DescribeLink(const std::string& file, fs::file_type target) {
  std::error_code ignored;
  const std::string to = " (" + fs::read_symlink(file, ignored).string() + ")";
  switch (target) {
    case fs::file_type::not_found:
      return "a link to a file that does not exist" + to;
    case fs::file_type::none:
    case fs::file_type::unknown:
      return "a link that cannot be followed" + to;
    default:
      return "a link to " + DescribeType(target);
  }
}

// Refuses anything but a regular file, before opening it: a FIFO would block the open,
// and a device such as /dev/zero would never end.
void CheckType(const std::string& file, const fs::file_status& link) {
  std::error_code ignored;
  const fs::file_type target = fs::status(file, ignored).type();
  if (target == fs::file_type::regular) {
    return;
  }
  const std::string what = fs::is_symlink(link) ? DescribeLink(file, target) : DescribeType(target);
  throw ConfigError(ConfigError::Kind::kNotRegularFile,
                    file + " is " + what + ", not a regular file");
}

// Opens file for reading, creating it with the default content when it does not exist.
// One that exists but cannot be read is left alone: overwriting it would lose the
// user's list.
std::ifstream OpenConfig(const std::string& file) {
  std::error_code status_error;
  const fs::file_status link = fs::symlink_status(file, status_error);
  if (link.type() == fs::file_type::not_found) {
    const std::error_code written = platform::WriteFileReplacing(file, kDefaultConfig);
    if (written) {
      throw ConfigError(ConfigError::Kind::kCannotCreate, "cannot create " + file, written);
    }
  } else if (!status_error) {
    CheckType(file, link);
  }  // else opening it reports the cause
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open()) {
    throw ConfigError(ConfigError::Kind::kCannotRead, "cannot read " + file,
                      std::error_code(errno != 0 ? errno : EIO, std::generic_category()));
  }
  return in;
}

}  // namespace

std::vector<std::string> ReadTargetList(std::istream& in, const std::string& file,
                                        const std::function<bool()>& stop) {
  std::vector<std::string> hosts;
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) {
    return hosts;
  }
  std::string line;
  std::size_t line_number = 0;
  std::size_t until_asked = kStopAskedEvery;
  for (int c = 0; c != std::char_traits<char>::eof();) {
    line.clear();
    ++line_number;
    while ((c = buffer->sbumpc()) != std::char_traits<char>::eof()) {
      if (--until_asked == 0) {
        if (stop && stop()) {
          return {};
        }
        until_asked = kStopAskedEvery;
      }
      if (c == '\n') {
        break;
      }
      // Room for one character more than the longest line: the CR before its LF.
      if (line.size() > kMaxLineLength) {
        throw LineTooLong(file, line_number);
      }
      line.push_back(static_cast<char>(c));
    }
    if (c == '\n' && !line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.size() > kMaxLineLength) {
      throw LineTooLong(file, line_number);
    }
    // The text ends at the first '#' or NUL; nothing is trimmed.
    const auto end =
        std::find_if(line.begin(), line.end(), [](char ch) { return ch == '#' || ch == '\0'; });
    if (end == line.begin()) {
      continue;
    }
    if (hosts.size() == kMaxTargets) {
      throw ConfigError(ConfigError::Kind::kTooManyTargets,
                        file + " lists more than " + std::to_string(kMaxTargets) +
                            " targets (the next one is on line " + std::to_string(line_number) +
                            "); at most " + std::to_string(kMaxTargets) + " can be probed at once");
    }
    hosts.emplace_back(line.begin(), end);
  }
  return hosts;
}

std::vector<std::string> LoadTargetList(const std::string& file) {
  std::ifstream in = OpenConfig(file);
  // A huge file takes a while: a quit signal ends the reading, and the program.
  return ReadTargetList(in, file, &platform::QuitRequested);
}
