#include "tools/icmp_responder/responder_rules.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace {

const std::pair<const char*, ResponderRules::Kind> kKinds[] = {
    {"reply", ResponderRules::Kind::kReply},
    {"dup", ResponderRules::Kind::kDuplicate},
    {"wrong-id", ResponderRules::Kind::kWrongIdentifier},
    {"wrong-seq", ResponderRules::Kind::kWrongSequence},
    {"wrong-src", ResponderRules::Kind::kWrongSource},
    {"bad-checksum", ResponderRules::Kind::kBadChecksum},
    {"options", ResponderRules::Kind::kOptions},
    {"data", ResponderRules::Kind::kData},
    {"cut", ResponderRules::Kind::kCut},
    {"unreachable", ResponderRules::Kind::kUnreachable},
    {"bad-version", ResponderRules::Kind::kBadVersion},
};

double Number(const std::string& text, double low, double high) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= low && value <= high)) {
    throw std::runtime_error("bad number '" + text + "'");
  }
  return value;
}

ResponderRules::Rule ParseRule(const std::string& line) {
  std::istringstream words(line);
  std::string range;
  words >> range;
  ResponderRules::Rule rule;
  const std::size_t slash = range.find('/');
  const std::string address = range.substr(0, slash);
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
    throw std::runtime_error("bad address '" + address + "'");
  }
  const int prefix =
      slash == std::string::npos ? 32 : static_cast<int>(Number(range.substr(slash + 1), 0, 32));
  rule.mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  rule.network = ntohl(parsed.s_addr) & rule.mask;
  std::string setting;
  while (words >> setting) {
    const std::size_t eq = setting.find('=');
    const std::string key = setting.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : setting.substr(eq + 1);
    if (key == "delay") {
      rule.delay_ms = Number(value, 0, 600000);
    } else if (key == "jitter") {
      rule.jitter_ms = Number(value, 0, 600000);
    } else if (key == "loss") {
      rule.loss_percent = Number(value, 0, 100);
    } else if (key == "dup_after") {
      rule.dup_after_ms = Number(value, 0, 600000);
    } else if (key == "kind") {
      bool known = false;
      for (const auto& [name, kind] : kKinds) {
        if (value == name) {
          rule.kind = kind;
          known = true;
        }
      }
      if (!known) {
        throw std::runtime_error("unknown kind '" + value + "'");
      }
    } else {
      throw std::runtime_error("unknown setting '" + setting + "'");
    }
  }
  if (rule.jitter_ms > rule.delay_ms) {
    throw std::runtime_error("jitter larger than delay");
  }
  return rule;
}

}  // namespace

void ResponderRules::Read(std::istream& in) {
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = line.substr(0, line.find('#'));
    if (line.find_first_not_of(" \t\r") == std::string::npos) {
      continue;
    }
    try {
      rules_.push_back(ParseRule(line));
    } catch (const std::runtime_error& e) {
      throw std::runtime_error("rules line " + std::to_string(number) + ": " + e.what());
    }
  }
}

const ResponderRules::Rule& ResponderRules::For(std::uint32_t address) const {
  for (const Rule& rule : rules_) {
    if ((address & rule.mask) == rule.network) {
      return rule;
    }
  }
  return default_rule_;
}

const char* ResponderRules::KindName(Kind kind) {
  for (const auto& [name, k] : kKinds) {
    if (k == kind) {
      return name;
    }
  }
  return "?";
}
