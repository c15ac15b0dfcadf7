#ifndef LUMORET_TESTS_NET_BENCH_RUN_H
#define LUMORET_TESTS_NET_BENCH_RUN_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What engine_run printed for one target.
struct EngineTarget {
  int index = 0;
  std::string host;
  bool resolved = false;
  std::uint32_t sent = 0, replies = 0, timeouts = 0;  // requests, accounted replies, timeouts
  std::optional<std::uint32_t> last, min, max;        // empty for none
  std::optional<double> average;
  bool open = false;  // a request was outstanding when the engine stopped
  // Further copies of answered requests, and replies after their wait ran out.
  std::uint32_t duplicates = 0, late = 0;
};

// What the responder wrote down for one prober (address and identifier), in the order
// of its record's columns.
struct ProberRecord {
  std::string address;
  std::uint32_t identifier = 0;
  std::string rule;
  std::uint64_t requests = 0, replies = 0;
  bool first_answered = false, last_answered = false;
  std::uint64_t lost = 0, late = 0, faulty = 0, bad_requests = 0;
  std::uint64_t on_schedule = 0, behind = 0;
  double max_behind_ms = 0, max_early_ms = 0;
};

// How a BenchRun runs the engine, beyond its targets and the responder's rules.
struct BenchOptions {
  double flood_rate = 0;  // foreign echo replies a second towards the engine; none at 0
  // engine_run runs as nobody without capabilities, where the client namespace's
  // ping_group_range admits every group: on ICMP datagram sockets.
  bool unprivileged = false;
  double stop_at = 0;      // seconds into the run when the engine is stopped (SIGSTOP)
  double stop_for = 0;     // and for how long before it goes on; 0: never stopped
  int receive_buffer = 0;  // bytes of the engine's receive buffer; 0: its own choice
  // Seconds into the run, each with the rules file's new text: the file is replaced then,
  // and the responder told to read it again (SIGUSR1). In the order of their times.
  std::vector<std::pair<double, std::string>> rule_changes;
  // Seconds into the run, each with the target list's lines then (engine_run --change-at).
  std::vector<std::pair<double, std::vector<std::string>>> list_changes;
};

// One engine run on the test network: writes config.ini and the responder's rules into a
// fresh directory, runs engine_run there through netbench, and reads both sides' records.
class BenchRun {
 public:
  BenchRun(const std::vector<std::string>& config_lines, const std::string& rules, double seconds,
           const BenchOptions& options = BenchOptions());

  // The responder's record of the prober that is this target. On a raw socket: its
  // address and the identifier the engine should use for it (process id + index). On
  // datagram sockets the system picks identifiers, in ascending order as the sockets
  // first send: the n-th listing of an address is the n-th lowest identifier there.
  const ProberRecord* RecordFor(const EngineTarget& target) const;
  const EngineTarget& Target(const std::string& host) const;

  // Every request is one reply or one timeout, exactly as the responder's record says:
  // nothing counted twice, nothing lost, the first request's reply not accounted.
  static ::testing::AssertionResult CountsMatch(const EngineTarget& target,
                                                const ProberRecord& record);

  int status = -1;     // netbench's exit status
  std::string output;  // engine_run's standard output and everything on standard error
  std::string mode;    // the sockets engine_run reported: "raw" or "datagram"
  std::string mode6;   // the same for IPv6 targets, or "none" or "unavailable"
  std::vector<EngineTarget> targets;
  std::vector<ProberRecord> records;
  std::map<std::string, double> engine_summary;
  std::map<std::string, double> responder_summary;
  // engine_run's #change lines, each as its key and value pairs.
  std::vector<std::map<std::string, std::string>> changes;
};

// Runs the suite as root; without root (network namespaces and raw sockets) it says so
// and returns 77, which tells CTest the suite was skipped.
int RunIfRoot(int argc, char** argv);

#endif  // LUMORET_TESTS_NET_BENCH_RUN_H
