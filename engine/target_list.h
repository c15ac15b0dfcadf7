#ifndef LUMORET_ENGINE_TARGET_LIST_H
#define LUMORET_ENGINE_TARGET_LIST_H

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

// The most targets one process can probe: a reply finds its target through the 16-bit
// ICMP identifier.
constexpr std::size_t kMaxTargets = 65536;

// The host texts of a target list, one per line that defines a target, in file order:
// the text before the first '#' or NUL, untrimmed; CR LF reads as LF; a line longer
// than 65,535 characters defines nothing and reading goes on with the next one.
std::vector<std::string> ReadTargetList(std::istream& in);

// The host texts of the target list file, which is written with two sample targets
// first when it does not exist. Throws ConfigError when the file is not a regular file
// (nor a link to one), cannot be read or created, or lists more than kMaxTargets.
std::vector<std::string> LoadTargetList(const std::string& file);

#endif  // LUMORET_ENGINE_TARGET_LIST_H
