// icmp_responder: answers ICMP echo requests for a whole address range by per-address
// rules and writes down what it received and sent. Runs in the peer namespace of netbench.
#include <arpa/inet.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "platform/signals.h"
#include "tools/icmp_responder/echo_responder.h"
#include "tools/icmp_responder/responder_rules.h"

namespace {

int Usage() {
  std::cerr << "usage: icmp_responder [--rules FILE] [--record FILE] [--ready FILE]\n"
               "         [--flood RATE --flood-to ADDRESS --flood-from ADDRESS]\n"
               "         [--seed N] [--max-seconds S]\n"
               "Stops on SIGTERM, SIGINT or SIGHUP, then writes its record (default: stdout).\n"
               "Reads the rules file again on SIGUSR1; a bad one leaves the rules in force.\n"
               "Answers ICMP and ICMPv6 echo; the flood is IPv4.\n"
               "Rules, one a line, the first whose range holds the address applies:\n"
               "  ADDRESS[/PREFIX] [delay=MS] [jitter=MS] [loss=PERCENT] [kind=KIND]"
               " [dup_after=MS]\n"
               "ADDRESS: IPv4 or IPv6. KIND: reply dup wrong-id wrong-seq wrong-src data cut\n"
               "      unreachable, and for IPv4 only bad-checksum options bad-version\n"
               "      (see tools/README.md)\n";
  return 2;
}

// Set by SIGUSR1's handler: the rules file is to be read again. Lock-free, as a handler
// needs.
std::atomic<bool> reread_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler needs a lock-free flag");

// From now on SIGUSR1 only asks for the rules again; a wait in ppoll returns early, so the
// loop sees it at once. Installed before the responder says it is ready, so that a signal
// never finds the default action, which would end it.
void CatchRereadSignal() {
  struct sigaction action {};
  action.sa_handler = [](int) { reread_requested.store(true); };
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);
}

// The rules in a file; throws std::runtime_error naming the file or the bad line.
ResponderRules ReadRules(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  ResponderRules rules;
  rules.Read(in);
  return rules;
}

// Replaces the responder's rules with the file's as it is now; a file that cannot be read
// keeps the rules in force, so a run goes on as it was.
void Reread(const std::string& path, EchoResponder& responder) {
  try {
    responder.SetRules(ReadRules(path));
    std::cerr << "icmp_responder: rules read again from " << path << "\n";
  } catch (const std::exception& e) {
    std::cerr << "icmp_responder: " << e.what() << "; the rules in force stay\n";
  }
}

bool ParseAddress(const char* text, std::uint32_t& address) {
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) {
    return false;
  }
  address = ntohl(a.s_addr);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string rules_path, record_path, ready_path;
  EchoResponder::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || i + 1 >= argc) {
      return Usage();
    }
    const char* value = argv[++i];
    if (arg == "--rules") {
      rules_path = value;
    } else if (arg == "--record") {
      record_path = value;
    } else if (arg == "--ready") {
      ready_path = value;
    } else if (arg == "--flood") {
      options.flood_rate = std::atof(value);
    } else if (arg == "--flood-to") {
      if (!ParseAddress(value, options.flood_to)) {
        return Usage();
      }
    } else if (arg == "--flood-from") {
      if (!ParseAddress(value, options.flood_from)) {
        return Usage();
      }
    } else if (arg == "--seed") {
      options.seed = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    } else if (arg == "--max-seconds") {
      options.max_seconds = std::atof(value);
    } else {
      return Usage();
    }
  }
  if (options.flood_rate > 0 && (options.flood_to == 0 || options.flood_from == 0)) {
    return Usage();
  }

  try {
    ResponderRules rules;
    if (!rules_path.empty()) {
      // Absolute, so that reading it again does not depend on the working directory.
      rules_path = std::filesystem::absolute(rules_path).string();
      rules = ReadRules(rules_path);
    }
    EchoResponder responder(rules, options);

    platform::CatchQuitSignals();
    CatchRereadSignal();
    if (!ready_path.empty()) {
      std::ofstream(ready_path) << "ready\n";
    }
    responder.Run(&platform::QuitRequested, [&] {
      if (reread_requested.exchange(false) && !rules_path.empty()) {
        Reread(rules_path, responder);
      }
    });

    if (record_path.empty()) {
      responder.WriteRecord(std::cout);
    } else {
      std::ofstream out(record_path);
      responder.WriteRecord(out);
      if (!out) {
        std::cerr << "icmp_responder: cannot write " << record_path << "\n";
        return 1;
      }
    }
  } catch (const std::exception& e) {
    std::cerr << "icmp_responder: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
