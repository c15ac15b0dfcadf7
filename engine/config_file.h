#ifndef LUMORET_ENGINE_CONFIG_FILE_H
#define LUMORET_ENGINE_CONFIG_FILE_H

#include <cstddef>
#include <string>
#include <system_error>
#include <vector>

// config.ini as its lines: the hosts it lists and everything else the user wrote there
// (comments, blank lines, their order, the line ends), so that the window can change the
// hosts and write the file back with the rest as it was. A host line is held as its host
// text (what ReadTargetList reads from it) and the rest of the line after it; the lines
// without a host between two host lines are held as they are, byte for byte.
class ConfigFile {
 public:
  // Reads path as LoadTargetList does, with the same ConfigError for a file that cannot
  // be used, except that a missing file is an error here too (kCannotRead; nothing is
  // created). A quit requested while a huge file is read is kCannotRead too, never an
  // empty list that could be saved over the user's.
  static ConfigFile Load(const std::string& path);
  // The same from text; file names the file in messages. Throws ConfigError as
  // ReadTargetList does (a line too long, more than kMaxTargets hosts).
  static ConfigFile Parse(const std::string& text, const std::string& file);

  // The host texts, exactly as ReadTargetList reads them from Text().
  std::vector<std::string> Hosts() const;
  // How many hosts there are.
  std::size_t size() const;
  // Puts hosts, a line each, before the host at position (size(): after the last line,
  // which gets a line end first if it has none). New lines end as the file's first line
  // does (LF in a file without one). Throws std::invalid_argument for a host that is
  // empty or holds '#', NUL, CR or LF (it would read back as something else),
  // std::out_of_range for a position past size(), ConfigError for a line too long or more
  // than kMaxTargets hosts in all; nothing is changed then.
  void Insert(std::size_t position, const std::vector<std::string>& hosts);
  // Takes out the whole lines of the hosts at positions (each at most once, any order);
  // the lines without a host around them stay. std::out_of_range or
  // std::invalid_argument (a position twice) change nothing.
  void Remove(const std::vector<std::size_t>& positions);
  // Gives the host at position the text host, exactly (the spaces before a '#' were the
  // old text's), keeping the rest of its line (the '#' comment) and its line end. Refuses
  // as Insert does.
  void Replace(std::size_t position, const std::string& host);
  // The whole file as it would be written: the text read, with the changes made.
  std::string Text() const;
  // Writes Text() to path, atomically (platform::WriteFileReplacing: permissions kept,
  // symbolic links written through); the system's error. Every line keeps its line end on
  // POSIX systems; on Windows, whose writer stores each LF as CR LF, every line ends in
  // CR LF.
  std::error_code Save(const std::string& path) const;

 private:
  // One line that defines a host, with the lines without a host that follow it.
  struct HostLine {
    std::string host;   // the host text: the line up to its first '#' or NUL, untrimmed
    std::string rest;   // the rest of the line from that '#' or NUL, as it was
    std::string end;    // its line end: LF, CR LF, or none for a last line without one
    std::string after;  // the lines without a host up to the next host line, verbatim
  };

  ConfigFile() = default;
  // Throws std::invalid_argument for a host text that would not read back as itself.
  static void CheckHost(const std::string& host);
  // Throws ConfigError(kLineTooLong) when line, the new line of a host that would stand
  // at position (later lines after it, for the message), is too long for ReadTargetList.
  void CheckLength(const std::string& line, std::size_t position, std::size_t later = 0) const;
  // The number (from 1) of the line of the host at position; size(): of a line added last.
  std::size_t LineNumber(std::size_t position) const;
  // The lines without a host at the end of the file (before the first host if none).
  std::string& LastGap();
  // Gives the file's last line a line end if it has none, so that a line can follow.
  void EndLastLine();

  std::string file_;                  // the file's name, for messages
  std::string line_end_ = "\n";       // how new lines end: as the file's first line
  std::string before_;                // the lines without a host before the first host
  std::vector<HostLine> host_lines_;  // the host lines in file order, each with what follows
};

// The longest host text the window accepts: the longest DNS name.
constexpr std::size_t kMaxHostLength = 253;

// Hosts typed or pasted into the window, checked before anything is changed: one a line
// in config.ini's syntax (comments and blank lines allowed).
struct HostInput {
  std::vector<std::string> hosts;       // the hosts to add, in order
  std::vector<std::string> problems;    // lines refused, each with its number and why; none: ok
  std::vector<std::string> duplicates;  // hosts listed already or twice here: allowed, but said
};
// Checks text for adding to a list that holds existing. Each line's host text is taken
// as ReadTargetList takes it (up to '#' or NUL; comment and blank lines skipped), then
// trimmed of surrounding spaces (ASCII and ideographic): a pasted "  example.org " means
// the name. A line is a problem ("第 3 行：…") when that text is spaces only, holds a
// control character (tab included), is longer than kMaxHostLength, or would be host
// number kMaxTargets + 1 (reading stops there). Duplicates are hosts, each named once.
HostInput ReadHostInput(const std::string& text, const std::vector<std::string>& existing);

#endif  // LUMORET_ENGINE_CONFIG_FILE_H
