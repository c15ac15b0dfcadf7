#ifndef LUMORET_ENGINE_TARGET_LIST_H
#define LUMORET_ENGINE_TARGET_LIST_H

#include <cstddef>
#include <functional>
#include <istream>
#include <string>
#include <vector>

// The most targets one process can probe: a reply finds its target through the 16-bit
// ICMP identifier.
constexpr std::size_t kMaxTargets = 65536;
// The target list's file, in the working directory.
constexpr char kConfigFile[] = "config.ini";

// The host texts of the target list file read from in, one per line that defines a
// target, in file order: the text before the first '#' or NUL, untrimmed; CR LF reads as
// LF. Throws ConfigError naming file and the line at fault for a line longer than 65,535
// characters (kLineTooLong) and at the first target past kMaxTargets (kTooManyTargets),
// so that no more than that is ever held. stop, when given, is asked after every
// megabyte or so: once it says so, reading gives up and the list is empty (the program is
// ending).
std::vector<std::string> ReadTargetList(std::istream& in, const std::string& file = "config.ini",
                                        const std::function<bool()>& stop = nullptr);

// The host texts of the target list file, which is written with two sample targets
// first when it does not exist; empty when a quit is requested while it is read. Throws
// ConfigError when the file is not a regular file (nor a link to one), cannot be read or
// created, has a line too long, or lists more than kMaxTargets.
std::vector<std::string> LoadTargetList(const std::string& file);

#endif  // LUMORET_ENGINE_TARGET_LIST_H
