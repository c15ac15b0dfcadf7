#ifndef LUMORET_ENGINE_CONFIG_ERROR_H
#define LUMORET_ENGINE_CONFIG_ERROR_H

#include <cstddef>
#include <stdexcept>
#include <string>
#include <system_error>

// Why the target list could not be taken from its file. The kind tells the program what
// to suggest; what() says what happened, ending with the system's cause where there is
// one.
class ConfigError : public std::runtime_error {
 public:
  enum class Kind {
    kNotRegularFile,  // a directory, device, FIFO, socket or dangling link
    kCannotRead,      // a regular file that could not be opened
    kCannotCreate,    // the missing file could not be written
    kTooManyTargets,  // more targets than identifiers can tell apart
    kLineTooLong,     // a line longer than any host text can be
  };

  // what gets ": " and the message of code appended when code is set.
  ConfigError(Kind kind, const std::string& what, std::error_code code = {});

  Kind kind;             // what went wrong, for the program to choose its advice
  std::error_code code;  // the system's cause; empty when there is none
  std::size_t line = 0;  // the line too long (kLineTooLong); 0 for other kinds
};

#endif  // LUMORET_ENGINE_CONFIG_ERROR_H
