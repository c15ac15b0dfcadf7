#include "engine/config_file.h"

// Stand-ins until the line model is written.
ConfigFile ConfigFile::Load(const std::string& /*path*/) {
  return ConfigFile();
}
ConfigFile ConfigFile::Parse(const std::string& /*text*/, const std::string& /*file*/) {
  return ConfigFile();
}
std::vector<std::string> ConfigFile::Hosts() const {
  return {};
}
std::size_t ConfigFile::size() const {
  return 0;
}
void ConfigFile::Insert(std::size_t /*position*/, const std::vector<std::string>& /*hosts*/) {}
void ConfigFile::Remove(const std::vector<std::size_t>& /*positions*/) {}
void ConfigFile::Replace(std::size_t /*position*/, const std::string& /*host*/) {}
std::string ConfigFile::Text() const {
  return {};
}
std::error_code ConfigFile::Save(const std::string& /*path*/) const {
  return {};
}
HostInput ReadHostInput(const std::string& /*text*/, const std::vector<std::string>& /*existing*/) {
  return {};
}
