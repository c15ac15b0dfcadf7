#include "engine/config_file.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <unordered_set>

#include "engine/config_error.h"
#include "engine/target_list.h"
#include "engine/user_text.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

// A space the window trims around a host: ASCII, and the ideographic one Chinese input
// methods type.
constexpr char kIdeographicSpace[] = "\xE3\x80\x80";

// Finds the line that starts at begin: sets *content_end to where its text ends, before
// its line end (LF, or CR LF, which ReadTargetList reads as LF), and returns where the
// next line starts.
std::size_t EndOfLine(const std::string& text, std::size_t begin, std::size_t* content_end) {
  const std::size_t lf = text.find('\n', begin);
  if (lf == std::string::npos) {
    *content_end = text.size();
    return text.size();
  }
  *content_end = lf > begin && text[lf - 1] == '\r' ? lf - 1 : lf;
  return lf + 1;
}

// The length of the host text of the line text[begin, end): up to the first '#' or NUL,
// as ReadTargetList takes it; 0 for a line that defines no host.
std::size_t HostLength(const std::string& text, std::size_t begin, std::size_t end) {
  const auto first = text.begin() + static_cast<std::ptrdiff_t>(begin);
  const auto stop = std::find_if(first, text.begin() + static_cast<std::ptrdiff_t>(end),
                                 [](char c) { return c == '#' || c == '\0'; });
  return static_cast<std::size_t>(stop - first);
}

// Whether text holds space at position at (ASCII or ideographic); its length, or 0.
std::size_t SpaceAt(const std::string& text, std::size_t at) {
  if (text[at] == ' ') {
    return 1;
  }
  return text.compare(at, sizeof kIdeographicSpace - 1, kIdeographicSpace) == 0
             ? sizeof kIdeographicSpace - 1
             : 0;
}

// text without the spaces around it.
std::string Trimmed(const std::string& text) {
  std::size_t begin = 0;
  for (std::size_t n; begin < text.size() && (n = SpaceAt(text, begin)) != 0;) {
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    if (text[end - 1] == ' ') {
      --end;
    } else if (end - begin >= 3 && SpaceAt(text, end - 3) == 3) {
      end -= 3;
    } else {
      break;
    }
  }
  return text.substr(begin, end - begin);
}

// Why a trimmed host text typed into the window cannot be a host; empty when it can.
std::string HostProblem(const std::string& host) {
  if (host.empty()) {
    return Tr("只有空格，没有地址或域名");
  }
  if (std::any_of(host.begin(), host.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
    return Tr("含有控制字符（如制表符），不是地址或域名");
  }
  if (host.size() > kMaxHostLength) {
    return Fill(Tr("长于 %s 个字节，比最长的域名还长"), {std::to_string(kMaxHostLength)});
  }
  return {};
}

#ifdef _WIN32
// The Windows writer stores every LF as CR LF (a text-mode stream): a CR LF kept from the
// file goes to it as LF, or it would come back as CR CR LF.
std::string ForWriter(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
      out.push_back(text[i]);
    }
  }
  return out;
}
#else
// The POSIX writer stores the bytes as they are: every line keeps its own line end.
const std::string& ForWriter(const std::string& text) {
  return text;
}
#endif

}  // namespace

ConfigFile ConfigFile::Load(const std::string& path) {
  std::error_code ignored;
  if (fs::symlink_status(path, ignored).type() == fs::file_type::not_found) {
    throw ConfigError(ConfigError::Kind::kCannotRead, "cannot read " + path,
                      std::make_error_code(std::errc::no_such_file_or_directory));
  }
  // The file exists, so LoadTargetList creates nothing: it refuses what is no regular file
  // before opening it (a FIFO would block, a device never end), refuses a line too long or
  // a target too many as it goes, with bounded memory, and stops at a quit. Only a file
  // removed at this very moment is written with the sample targets, as at a start.
  LoadTargetList(path);
  if (platform::QuitRequested()) {
    throw ConfigError(ConfigError::Kind::kCannotRead,
                      "reading " + path + " was stopped: the program is ending");
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) {
    throw ConfigError(ConfigError::Kind::kCannotRead, "cannot read " + path,
                      std::error_code(errno != 0 ? errno : EIO, std::generic_category()));
  }
  return Parse(text, path);
}

ConfigFile ConfigFile::Parse(const std::string& text, const std::string& file) {
  // The target list reader has the last word: its limits and errors, and the hosts.
  std::istringstream in(text);
  const std::vector<std::string> read = ReadTargetList(in, file);
  ConfigFile config;
  config.file_ = file;
  config.host_lines_.reserve(read.size());
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t content_end = 0;
    const std::size_t next = EndOfLine(text, begin, &content_end);
    const std::size_t host = HostLength(text, begin, content_end);
    if (begin == 0 && next > content_end) {
      config.line_end_ = text.substr(content_end, next - content_end);
    }
    if (host == 0) {
      config.LastGap().append(text, begin, next - begin);
    } else {
      config.host_lines_.push_back({text.substr(begin, host),
                                    text.substr(begin + host, content_end - begin - host),
                                    text.substr(content_end, next - content_end),
                                    {}});
    }
    begin = next;
  }
  if (config.Hosts() != read) {
    throw std::logic_error("the lines of " + file + " define other hosts than it lists");
  }
  return config;
}

std::vector<std::string> ConfigFile::Hosts() const {
  std::vector<std::string> hosts;
  hosts.reserve(host_lines_.size());
  for (const HostLine& line : host_lines_) {
    hosts.push_back(line.host);
  }
  return hosts;
}

std::size_t ConfigFile::size() const {
  return host_lines_.size();
}

void ConfigFile::Insert(std::size_t position, const std::vector<std::string>& hosts) {
  if (position > size()) {
    throw std::out_of_range("no host at position " + std::to_string(position));
  }
  if (hosts.size() > kMaxTargets - size()) {
    throw ConfigError(ConfigError::Kind::kTooManyTargets,
                      file_ + " would list " + std::to_string(size() + hosts.size()) +
                          " targets; at most " + std::to_string(kMaxTargets) +
                          " can be probed at once");
  }
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    CheckHost(hosts[i]);
    CheckLength(hosts[i], position, i);
  }
  if (hosts.empty()) {
    return;
  }
  if (position == size()) {
    EndLastLine();
  }
  std::vector<HostLine> lines;
  lines.reserve(hosts.size());
  for (const std::string& host : hosts) {
    lines.push_back({host, {}, line_end_, {}});
  }
  host_lines_.insert(host_lines_.begin() + static_cast<std::ptrdiff_t>(position),
                     std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
}

void ConfigFile::Remove(const std::vector<std::size_t>& positions) {
  std::vector<bool> removed(size());
  for (const std::size_t position : positions) {
    if (position >= size()) {
      throw std::out_of_range("no host at position " + std::to_string(position));
    }
    if (removed[position]) {
      throw std::invalid_argument("host " + std::to_string(position) + " is removed twice");
    }
    removed[position] = true;
  }
  std::vector<HostLine> kept;
  kept.reserve(size() - positions.size());
  for (std::size_t i = 0; i < size(); ++i) {
    if (removed[i]) {
      // The lines without a host after it now follow the host before it.
      (kept.empty() ? before_ : kept.back().after) += host_lines_[i].after;
    } else {
      kept.push_back(std::move(host_lines_[i]));
    }
  }
  host_lines_ = std::move(kept);
}

void ConfigFile::Replace(std::size_t position, const std::string& host) {
  if (position >= size()) {
    throw std::out_of_range("no host at position " + std::to_string(position));
  }
  CheckHost(host);
  HostLine& line = host_lines_[position];
  CheckLength(host + line.rest, position);
  line.host = host;
}

std::string ConfigFile::Text() const {
  std::size_t length = before_.size();
  for (const HostLine& line : host_lines_) {
    length += line.host.size() + line.rest.size() + line.end.size() + line.after.size();
  }
  std::string text;
  text.reserve(length);
  text += before_;
  for (const HostLine& line : host_lines_) {
    text.append(line.host).append(line.rest).append(line.end).append(line.after);
  }
  return text;
}

std::error_code ConfigFile::Save(const std::string& path) const {
  return platform::WriteFileReplacing(path, ForWriter(Text()));
}

void ConfigFile::CheckHost(const std::string& host) {
  if (host.empty()) {
    throw std::invalid_argument("an empty host text would define no host");
  }
  if (host.find_first_of(std::string("#\0\r\n", 4)) != std::string::npos) {
    throw std::invalid_argument(
        "a host text with '#', NUL, CR or LF would not read back as the same host");
  }
}

void ConfigFile::CheckLength(const std::string& line, std::size_t position,
                             std::size_t later) const {
  std::istringstream in(line + "\n");
  try {
    ReadTargetList(in, file_);
  } catch (const ConfigError&) {
    // Read again where the line would stand, so that the reader's own message names it.
    std::istringstream numbered(std::string(LineNumber(position) + later - 1, '\n') + line + "\n");
    ReadTargetList(numbered, file_);
    throw;
  }
}

std::size_t ConfigFile::LineNumber(std::size_t position) const {
  const auto line_ends_in = [](const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  };
  std::size_t line_ends = line_ends_in(before_);
  for (std::size_t i = 0; i < position && i < size(); ++i) {
    line_ends += line_ends_in(host_lines_[i].end) + line_ends_in(host_lines_[i].after);
  }
  if (position == size()) {
    const std::string text = Text();
    return line_ends + (!text.empty() && text.back() != '\n' ? 2 : 1);
  }
  return line_ends + 1;
}

std::string& ConfigFile::LastGap() {
  return host_lines_.empty() ? before_ : host_lines_.back().after;
}

void ConfigFile::EndLastLine() {
  // A CR that ends the line stays its text only when a CR LF follows: an LF alone would
  // make it part of the line end.
  const auto end_for = [this](const std::string& line) {
    return !line.empty() && line.back() == '\r' ? std::string("\r\n") : line_end_;
  };
  std::string& gap = LastGap();
  if (!gap.empty()) {
    if (gap.back() != '\n') {
      gap += end_for(gap);
    }
  } else if (!host_lines_.empty() && host_lines_.back().end.empty()) {
    HostLine& line = host_lines_.back();
    line.end = end_for(line.host + line.rest);
  }
}

HostInput ReadHostInput(const std::string& text, const std::vector<std::string>& existing) {
  HostInput input;
  std::unordered_set<std::string> listed(existing.begin(), existing.end());
  std::unordered_set<std::string> told;  // the duplicates named already
  std::size_t line_number = 0;
  for (std::size_t begin = 0; begin < text.size();) {
    ++line_number;
    std::size_t content_end = 0;
    const std::size_t next = EndOfLine(text, begin, &content_end);
    const std::size_t length = HostLength(text, begin, content_end);
    const std::string host = Trimmed(text.substr(begin, length));
    begin = next;
    if (length == 0) {
      continue;  // a comment or a blank line
    }
    const std::string number = Fill(Tr("第 %s 行："), {std::to_string(line_number)});
    const std::string problem = HostProblem(host);
    if (!problem.empty()) {
      input.problems.push_back(number + problem);
      continue;
    }
    if (existing.size() + input.hosts.size() >= kMaxTargets) {
      input.problems.push_back(number + Fill(Tr("主机将多于 %s 个，一次最多能探测这么多"),
                                             {std::to_string(kMaxTargets)}));
      break;
    }
    if (!listed.insert(host).second && told.insert(host).second) {
      input.duplicates.push_back(host);
    }
    input.hosts.push_back(host);
  }
  return input;
}
