// engine_run: runs the delay engine on the config.ini of the current directory for a given
// time, stops it, and prints what every target counted, as CSV, plus the engine's counts of
// datagrams that were not replies, of failed sends and reads, of stalls and of replies the
// system dropped, the process's CPU time and peak memory, and which kind of socket carried the
// probes. A test and benchmark tool; the window program does not use it.
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "engine/csv_field.h"
#include "engine/delay_time_mgr.h"
#include "platform/icmp_socket.h"
#include "platform/signals.h"

namespace {

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
    // sequence_number counts the requests sent; runs here are far shorter than its wrap.
    std::printf("%d,%s,%d,%u,%u,%u,%s,%s,%s,%s,%s,%d,%u,%u\n", t->identifier_offset,
                CsvField(t->host).c_str(), t->resolved ? 1 : 0, t->sequence_number(), replies,
                timeouts, Delay(t->last_delay_ms).c_str(), Delay(t->min_delay_ms).c_str(),
                Delay(t->max_delay_ms).c_str(), average, loss.c_str(), t->awaiting_reply() ? 1 : 0,
                t->duplicate_count.load(), t->late_count.load());
  }
}

const char* KindName(platform::SocketKind kind) {
  return kind == platform::SocketKind::kRaw ? "raw" : "datagram";
}

// The engine on a socket of its own; with a receive buffer size, on the socket it would
// open itself, but with a buffer of that size (tests make the system drop replies).
std::unique_ptr<DelayTimeMgr> MakeManager(int receive_buffer) {
  if (receive_buffer == 0) {
    return std::make_unique<DelayTimeMgr>();
  }
  const int socket = DelayTimeMgr::OpenIcmpSocket();
  if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer) != 0) {
    const int error = errno;
    platform::CloseSocket(socket);
    throw std::system_error(error, std::generic_category(), "setting the receive buffer");
  }
  return std::make_unique<DelayTimeMgr>(socket);
}

// Parses "[--receive-buffer BYTES] SECONDS"; false on anything else.
bool ParseArguments(int argc, char** argv, double* seconds, int* receive_buffer) {
  int next = 1;
  char* end = nullptr;
  if (argc == 4 && std::string(argv[1]) == "--receive-buffer") {
    const long bytes = std::strtol(argv[2], &end, 10);
    if (*end != '\0' || bytes < 1 || bytes > (1L << 30)) {
      return false;
    }
    *receive_buffer = static_cast<int>(bytes);
    next = 3;
  } else if (argc != 2) {
    return false;
  }
  *seconds = std::strtod(argv[next], &end);
  return *end == '\0' && *seconds >= 0 && *seconds <= 86400;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 0;
  int receive_buffer = 0;
  if (!ParseArguments(argc, argv, &seconds, &receive_buffer)) {
    std::fprintf(stderr,
                 "usage: engine_run [--receive-buffer BYTES] SECONDS\n"
                 "Runs the engine on ./config.ini for SECONDS, then prints one CSV line per\n"
                 "target, a #summary line, a #mode line (raw or datagram sockets) and a #mode6\n"
                 "line (the same for IPv6 targets, none, or unavailable). Needs the right to\n"
                 "open raw sockets, or ICMP datagram sockets allowed to its groups.\n"
                 "--receive-buffer sets the IPv4 socket's receive buffer (SO_RCVBUF).\n");
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
    const std::unique_ptr<DelayTimeMgr> owned = MakeManager(receive_buffer);
    DelayTimeMgr& manager = *owned;
    const auto constructed = Clock::now();
    const double cpu_before = CpuSeconds();
    manager.Start();
    const auto deadline = constructed + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(seconds));
    while (!platform::QuitRequested() && Clock::now() < deadline) {
      std::this_thread::sleep_for(
          std::min<Clock::duration>(std::chrono::milliseconds(50), deadline - Clock::now()));
    }
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
  } catch (const std::exception& e) {
    std::fprintf(stderr, "engine_run: %s\n", e.what());
    return 1;
  }
  return 0;
}
