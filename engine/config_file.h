#ifndef LUMORET_ENGINE_CONFIG_FILE_H
#define LUMORET_ENGINE_CONFIG_FILE_H

#include <cstddef>
#include <string>
#include <system_error>
#include <vector>

// config.ini as its lines: the hosts it lists and everything else the user wrote there
// (comments, blank lines, their order, the line ends), so that the window can change the
// hosts and write the file back with the rest as it was.
class ConfigFile {
 public:
  // Reads path as LoadTargetList does, with the same ConfigError for a file that cannot
  // be used, except that a missing file is an error here too (nothing is created).
  static ConfigFile Load(const std::string& path);
  // The same from text; file names the file in messages.
  static ConfigFile Parse(const std::string& text, const std::string& file);

  // The host texts, exactly as ReadTargetList reads them from Text().
  std::vector<std::string> Hosts() const;
  // How many hosts there are.
  std::size_t size() const;
  // Puts hosts, a line each, before the host at position (size(): after the last line).
  void Insert(std::size_t position, const std::vector<std::string>& hosts);
  // Takes out the lines of the hosts at positions (each at most once, any order).
  void Remove(const std::vector<std::size_t>& positions);
  // Gives the host at position the text host, keeping the comment after it on its line.
  void Replace(std::size_t position, const std::string& host);
  // The whole file as it would be written.
  std::string Text() const;
  // Writes Text() to path, atomically (platform::WriteFileReplacing); the system's error.
  std::error_code Save(const std::string& path) const;

 private:
  ConfigFile() = default;
  // ... the line model is the implementer's choice
};

// Hosts typed or pasted into the window, checked before anything is changed: one a line
// in config.ini's syntax (comments and blank lines allowed).
struct HostInput {
  std::vector<std::string> hosts;       // the hosts to add, in order
  std::vector<std::string> problems;    // lines refused, each with its number and why; none: ok
  std::vector<std::string> duplicates;  // hosts listed already or twice here: allowed, but said
};
// Checks text for adding to a list that holds existing: a line with control characters
// or longer than a host name can be is a problem.
HostInput ReadHostInput(const std::string& text, const std::vector<std::string>& existing);

#endif  // LUMORET_ENGINE_CONFIG_FILE_H
