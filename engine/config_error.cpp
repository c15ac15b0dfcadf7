#include "engine/config_error.h"

ConfigError::ConfigError(Kind kind, const std::string& what, std::error_code code)
    : std::runtime_error(code ? what + ": " + code.message() : what), kind(kind), code(code) {}
