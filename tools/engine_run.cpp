// engine_run: runs the delay engine on the config.ini of the current directory for a given
// time, stops it, and prints what every target counted, as CSV, plus the engine's counts of
// datagrams that were not replies, of failed sends and reads, of stalls and of replies the
// system dropped, the process's CPU time and peak memory, and which kind of socket carried the
// probes. On request it changes the list in the middle of the run, as a reload of config.ini
// would, and reads its memory at given times. A test and benchmark tool; the window program
// does not use it.
#ifdef _WIN32
// winsock2.h before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>
// (kept apart so include sorting cannot reorder them)
#include <windows.h>
// (after windows.h, on which it builds)
#include <psapi.h>
#else
#include <sys/resource.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/config_error.h"
#include "engine/csv_field.h"
#include "engine/delay_time_mgr.h"
#include "engine/target_list.h"
#include "platform/icmp_socket.h"
#include "platform/signals.h"

namespace {

#ifdef _WIN32
double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    return 0;
  }
  // FILETIMEs count 100 ns.
  const auto Seconds = [](const FILETIME& t) {
    return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return Seconds(kernel) + Seconds(user);
}

// The process's working set: its peak, or now; KiB, -1 when Windows cannot tell.
long WorkingSetKib(bool peak) {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
    return -1;
  }
  return static_cast<long>((peak ? counters.PeakWorkingSetSize : counters.WorkingSetSize) / 1024);
}

long PeakRssKib() {
  return WorkingSetKib(true);
}

long RssKib() {
  return WorkingSetKib(false);
}
#else
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakRssKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The process's resident memory now (VmRSS), KiB; -1 when /proc cannot tell.
long RssKib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long kib = -1;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> kib;
      break;
    }
    status.ignore(4096, '\n');
  }
  return kib;
}
#endif

std::string Delay(std::uint32_t ms) {
  return ms == DelayTarget::kNone ? "-" : std::to_string(ms);
}

void PrintTargets(const DelayTimeMgr& manager) {
  std::printf(
      "index,host,resolved,sent,replies,timeouts,last,min,max,average,loss,open,duplicates,"
      "late\n");
  for (const auto& t : manager.targets) {
    const std::uint32_t replies = t->reply_count;
    const std::uint32_t timeouts = t->timeout_count;
    const std::uint64_t probes = std::uint64_t{replies} + timeouts;
    char average[32] = "-";
    if (replies > 0) {
      std::snprintf(average, sizeof average, "%.3f",
                    static_cast<double>(t->total_delay_ms) / replies);
    }
    const std::string loss = probes == 0 ? "-" : std::to_string(timeouts * 100 / probes);
    // Not the sequence number: a target on a removed one's identifier numbers on after it.
    std::printf("%d,%s,%d,%llu,%u,%u,%s,%s,%s,%s,%s,%d,%u,%u\n", t->identifier_offset,
                CsvField(t->host).c_str(), t->resolved ? 1 : 0,
                static_cast<unsigned long long>(t->requests_sent()), replies, timeouts,
                Delay(t->last_delay_ms).c_str(), Delay(t->min_delay_ms).c_str(),
                Delay(t->max_delay_ms).c_str(), average, loss.c_str(), t->awaiting_reply() ? 1 : 0,
                t->duplicate_count.load(), t->late_count.load());
  }
}

const char* KindName(platform::SocketKind kind) {
  return kind == platform::SocketKind::kRaw ? "raw" : "datagram";
}

// The engine on a socket of its own; with a receive buffer size, on the socket it would
// open itself, but with a buffer of that size (tests make the system drop replies); with
// datagram, on a datagram socket even where a raw one would open (Wine lends one to a
// user without the right, which the echo-mode tests must not take).
std::unique_ptr<DelayTimeMgr> MakeManager(int receive_buffer, bool datagram) {
  if (receive_buffer == 0 && !datagram) {
    return std::make_unique<DelayTimeMgr>();
  }
  const int socket = DelayTimeMgr::OpenIcmpSocket(platform::IpFamily::kV4, !datagram);
  // Winsock takes the value as char*; POSIX takes any pointer.
  if (receive_buffer != 0 &&
      ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer),
                   sizeof receive_buffer) != 0) {
    const int error = errno;
    platform::CloseSocket(socket);
    throw std::system_error(error, std::generic_category(), "setting the receive buffer");
  }
  return std::make_unique<DelayTimeMgr>(socket);
}

// What the command line asks for.
struct Options {
  double seconds = 0;      // how long the engine runs
  int receive_buffer = 0;  // bytes of the IPv4 socket's receive buffer; 0: the engine's own
  bool datagram = false;   // a datagram socket even where a raw one would open
  // A list change: at this many seconds into the run, the list becomes file's.
  struct Change {
    double at = 0;     // seconds after the start
    std::string file;  // a list in config.ini's syntax
  };
  std::vector<Change> changes;  // in the order given
  std::vector<double> rss_at;   // seconds into the run at which to print the RSS
  double settle = 30;           // the RSS is read again this long after each change
};

// Seconds from 0 to a day; false for anything else.
bool ParseSeconds(const char* text, double* seconds) {
  char* end = nullptr;
  *seconds = std::strtod(text, &end);
  return end != text && *end == '\0' && *seconds >= 0 && *seconds <= 86400;
}

// "SECONDS=FILE"; false when malformed or FILE is no regular file: reading a missing one
// as config.ini would write the default list of public hosts there.
bool ParseChange(const std::string& text, Options::Change* change) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos || !ParseSeconds(text.substr(0, equals).c_str(), &change->at)) {
    return false;
  }
  change->file = text.substr(equals + 1);
  if (!std::filesystem::is_regular_file(change->file)) {
    std::fprintf(stderr, "engine_run: %s is no regular file\n", change->file.c_str());
    return false;
  }
  return true;
}

// One option with its value; false on an unknown option or a bad value.
bool ParseOption(const std::string& name, const char* value, Options* options) {
  char* end = nullptr;
  if (name == "--socket") {
    options->datagram = std::string(value) == "datagram";
    return options->datagram || std::string(value) == "raw";
  }
  if (name == "--receive-buffer") {
    const long bytes = std::strtol(value, &end, 10);
    options->receive_buffer = static_cast<int>(bytes);
    return end != value && *end == '\0' && bytes >= 1 && bytes <= (1L << 30);
  }
  if (name == "--change-at") {
    options->changes.emplace_back();
    return ParseChange(value, &options->changes.back());
  }
  if (name == "--rss-at") {
    options->rss_at.push_back(0);
    return ParseSeconds(value, &options->rss_at.back());
  }
  return name == "--settle" && ParseSeconds(value, &options->settle);
}

// Parses "[OPTION VALUE]... SECONDS"; false on anything else.
bool ParseArguments(int argc, char** argv, Options* options) {
  int next = 1;
  for (; next + 1 < argc; next += 2) {
    if (!ParseOption(argv[next], argv[next + 1], options)) {
      return false;
    }
  }
  return next == argc - 1 && ParseSeconds(argv[next], &options->seconds);
}

// Something engine_run does at a time of the run: a change of the list, or a reading of
// its memory.
struct Event {
  double at = 0;                            // seconds after the start
  const Options::Change* change = nullptr;  // the change to make; null: print the RSS
};

// Every event of the run, earliest first; those at one time in the order given.
std::vector<Event> Timeline(const Options& options) {
  std::vector<Event> events;
  for (const Options::Change& change : options.changes) {
    events.push_back({change.at, &change});
    events.push_back({change.at + options.settle, nullptr});
  }
  for (double at : options.rss_at) {
    events.push_back({at, nullptr});
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const Event& a, const Event& b) { return a.at < b.at; });
  return events;
}

// Makes the manager's list the one in change's file, as a reload of config.ini does, and
// prints how long that took and the memory around it. False when the file cannot be used
// (the list stays as it was, and stderr says why).
bool ApplyChange(DelayTimeMgr& manager, const Options::Change& change, double now) {
  using Clock = std::chrono::steady_clock;
  const long rss_before = RssKib();
  const auto reading = Clock::now();
  try {
    // Opened here, not through LoadTargetList: a file gone since the start must not be
    // written with the default list.
    std::ifstream in(change.file);
    if (!in) {
      throw std::runtime_error("cannot open " + change.file);
    }
    const std::vector<std::string> hosts = ReadTargetList(in, change.file);
    const auto changing = Clock::now();
    const std::vector<DelayTimeMgr::ListEntry> list =
        DelayTimeMgr::MatchHosts(manager.targets, hosts);
    const std::size_t before = manager.targets.size();
    const std::vector<std::size_t> previous = manager.ChangeTargets(list);
    const auto changed = Clock::now();
    const auto added = static_cast<std::size_t>(
        std::count(previous.begin(), previous.end(), DelayTimeMgr::kAdded));
    std::printf(
        "#change,at,%.3f,file,%s,targets,%zu,kept,%zu,added,%zu,removed,%zu,read_seconds,%.6f,"
        "change_seconds,%.6f,rss_before_kib,%ld,rss_after_kib,%ld\n",
        now, CsvField(change.file).c_str(), previous.size(), previous.size() - added, added,
        before - (previous.size() - added),
        std::chrono::duration<double>(changing - reading).count(),
        std::chrono::duration<double>(changed - changing).count(), rss_before, RssKib());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "engine_run: the change at %.3f s kept the list: %s\n", now, e.what());
    return false;
  }
  std::fflush(stdout);
  return true;
}

// Runs the engine until the deadline or a quit signal, making the changes and reading the
// memory when their times come. False when a change failed.
bool RunFor(DelayTimeMgr& manager, const Options& options,
            std::chrono::steady_clock::time_point start) {
  using Clock = std::chrono::steady_clock;
  const auto At = [start](double seconds) {
    return start +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  };
  const auto deadline = At(options.seconds);
  const std::vector<Event> events = Timeline(options);
  bool all_applied = true;
  auto next = events.begin();
  while (!platform::QuitRequested() && Clock::now() < deadline) {
    for (; next != events.end() && At(next->at) <= Clock::now(); ++next) {
      const double now = std::chrono::duration<double>(Clock::now() - start).count();
      if (next->change != nullptr) {
        all_applied = ApplyChange(manager, *next->change, now) && all_applied;
      } else {
        std::printf("#rss,at,%.3f,rss_kib,%ld\n", now, RssKib());
        std::fflush(stdout);
      }
    }
    auto wake = std::min<Clock::time_point>(deadline, Clock::now() + std::chrono::milliseconds(50));
    if (next != events.end()) {
      wake = std::min(wake, At(next->at));
    }
    std::this_thread::sleep_until(wake);
  }
  return all_applied;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArguments(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: engine_run [--socket raw|datagram] [--receive-buffer BYTES]\n"
                 "                  [--change-at SECONDS=FILE]...\n"
                 "                  [--settle SECONDS] [--rss-at SECONDS]... SECONDS\n"
                 "Runs the engine on ./config.ini for SECONDS, then prints one CSV line per\n"
                 "target, a #summary line, a #mode line (raw or datagram sockets) and a #mode6\n"
                 "line (the same for IPv6 targets, none, or unavailable). Needs the right to\n"
                 "open raw sockets, or ICMP datagram sockets allowed to its groups.\n"
                 "--socket datagram takes the datagram kind even where raw would open.\n"
                 "--receive-buffer sets the IPv4 socket's receive buffer (SO_RCVBUF).\n"
                 "--change-at makes the list FILE's (config.ini's syntax) that many seconds\n"
                 "into the run, hosts of equal text kept, and prints a #change line; the RSS\n"
                 "is printed --settle seconds (30) later, and at each --rss-at, as #rss.\n");
    return 2;
  }
  // Without config.ini the engine would write its default one, which names public hosts,
  // and probe them: a test tool must never do that.
  if (!std::filesystem::is_regular_file("config.ini")) {
    std::fprintf(stderr, "engine_run: no config.ini in the current directory\n");
    return 2;
  }
  platform::CatchQuitSignals();
  try {
    using Clock = std::chrono::steady_clock;
    const auto constructing = Clock::now();
    const std::unique_ptr<DelayTimeMgr> owned =
        MakeManager(options.receive_buffer, options.datagram);
    DelayTimeMgr& manager = *owned;
    const auto constructed = Clock::now();
    const double cpu_before = CpuSeconds();
    manager.Start();
    const bool all_applied = RunFor(manager, options, constructed);
    manager.Stop();
    const auto stopped = Clock::now();
    const double cpu_after = CpuSeconds();

    PrintTargets(manager);
    std::printf(
        "#summary,pid,%lu,targets,%zu,construct_seconds,%.6f,run_seconds,%.3f,"
        "run_cpu_seconds,%.3f,cpu_seconds,%.3f,peak_rss_kib,%ld,foreign,%u,malformed,%u,"
        "send_errors,%u,receive_errors,%u,stalls,%u,kernel_drops,%u\n",
        platform::GetPid(), manager.targets.size(),
        std::chrono::duration<double>(constructed - constructing).count(),
        std::chrono::duration<double>(stopped - constructed).count(), cpu_after - cpu_before,
        cpu_after, PeakRssKib(), manager.foreign_count.load(), manager.malformed_count.load(),
        manager.send_error_count.load(), manager.receive_error_count.load(),
        manager.stall_count.load(), manager.kernel_drop_count.load());
    std::printf("#mode,%s\n", KindName(manager.socket_kind));
    std::printf("#mode6,%s\n", manager.socket_kind_v6         ? KindName(*manager.socket_kind_v6)
                               : manager.icmpv6_error.empty() ? "none"
                                                              : "unavailable");
    if (!manager.icmpv6_error.empty()) {
      std::fprintf(stderr, "engine_run: IPv6 targets not probed: %s\n",
                   manager.icmpv6_error.c_str());
    }
    const std::string error = manager.LastError();
    if (!error.empty()) {
      std::fprintf(stderr, "engine_run: the worker ended with: %s\n", error.c_str());
      return 1;
    }
    if (!all_applied) {
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "engine_run: %s\n", e.what());
    return 1;
  }
  return 0;
}
