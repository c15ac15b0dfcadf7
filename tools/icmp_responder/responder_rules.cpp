#include "tools/icmp_responder/responder_rules.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace {

struct KindEntry {
  const char* name;
  ResponderRules::Kind kind;
  bool ipv4_only;  // needs the IPv4 header or checksum in the responder's hands
};

const KindEntry kKinds[] = {
    {"reply", ResponderRules::Kind::kReply, false},
    {"dup", ResponderRules::Kind::kDuplicate, false},
    {"wrong-id", ResponderRules::Kind::kWrongIdentifier, false},
    {"wrong-seq", ResponderRules::Kind::kWrongSequence, false},
    {"wrong-src", ResponderRules::Kind::kWrongSource, false},
    {"bad-checksum", ResponderRules::Kind::kBadChecksum, true},
    {"options", ResponderRules::Kind::kOptions, true},
    {"data", ResponderRules::Kind::kData, false},
    {"cut", ResponderRules::Kind::kCut, false},
    {"unreachable", ResponderRules::Kind::kUnreachable, false},
    {"bad-version", ResponderRules::Kind::kBadVersion, true},
};

constexpr int kIpv4MappedBits = 96;

// Whether the first bits of a and b agree.
bool SamePrefix(const packet::Address& a, const packet::Address& b, int bits) {
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    const int mask = bits >= 8 ? 0xFF : (0xFF << (8 - bits)) & 0xFF;
    if ((a[i] ^ b[i]) & mask) {
      return false;
    }
  }
  return true;
}

const KindEntry& FindKind(const std::string& name) {
  for (const KindEntry& k : kKinds) {
    if (name == k.name) {
      return k;
    }
  }
  throw std::runtime_error("unknown kind '" + name + "'");
}

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
  if (!packet::Parse(address, rule.network)) {
    throw std::runtime_error("bad address '" + address + "'");
  }
  const bool ipv4 = packet::IsIpv4(rule.network);
  const int bits = ipv4 ? 32 : 128;
  rule.prefix =
      (ipv4 ? kIpv4MappedBits : 0) +
      (slash == std::string::npos ? bits
                                  : static_cast<int>(Number(range.substr(slash + 1), 0, bits)));
  bool ipv4_only_kind = false;
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
      const KindEntry& kind = FindKind(value);
      rule.kind = kind.kind;
      ipv4_only_kind = kind.ipv4_only;
    } else {
      throw std::runtime_error("unknown setting '" + setting + "'");
    }
  }
  if (rule.jitter_ms > rule.delay_ms) {
    throw std::runtime_error("jitter larger than delay");
  }
  if (ipv4_only_kind && !ipv4) {
    throw std::runtime_error(std::string("kind=") + ResponderRules::KindName(rule.kind) +
                             " has no IPv6 form");
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

const ResponderRules::Rule& ResponderRules::For(const packet::Address& address) const {
  for (const Rule& rule : rules_) {
    if (packet::IsIpv4(address) == packet::IsIpv4(rule.network) &&
        SamePrefix(address, rule.network, rule.prefix)) {
      return rule;
    }
  }
  return default_rule_;
}

const char* ResponderRules::KindName(Kind kind) {
  for (const KindEntry& k : kKinds) {
    if (k.kind == kind) {
      return k.name;
    }
  }
  return "?";
}
