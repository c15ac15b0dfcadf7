// The history store's figures: CPU per second of probes fed, disk per day of the default
// tiers, extra peak RSS, all at accelerated time on synthetic probes (no network); and
// the kill -9 loop: the database passes integrity_check after every kill and keeps every
// batch but the one being written.
//   history_bench feed HOSTS MINUTES DB
//   history_bench kill-loop KILLS DB
//   history_bench query DB            (after feed: one host's ranges, 10 min to 30 days)
//   history_bench fill HOSTS DAYS DB  (a store filled to its budget over DAYS ending now)
//   history_bench log HOSTS DB        (an outage log filled to its cap, then read whole)
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/history_blob.h"
#include "engine/history_store.h"

namespace {

using Clock = HistoryStore::SteadyClock;
// Seconds of probes per batch: the writer's period.
constexpr int kBatchSeconds = 5;
// The first simulated second, at the start of a UTC day.
constexpr std::int64_t kWall0 = 1796083200;
const Clock::time_point kSteady0(std::chrono::hours(1000));

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

// VmHWM of this process, in KiB.
long PeakRssKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

// HOSTS targets with their rings, named as a config.ini of test addresses would.
struct Hosts {
  explicit Hosts(int count) {
    for (int h = 0; h < count; ++h) {
      rings.push_back(std::make_shared<ProbeHistory>());
      sources.push_back(
          {"198.18." + std::to_string(h / 256) + "." + std::to_string(h % 256), rings.back()});
    }
  }
  // Every host's probes of seconds [from, from + kBatchSeconds): one a second, delays of
  // 10 to 90 ms, 1 % lost.
  void Feed(std::int64_t from, std::mt19937& random) {
    std::uniform_int_distribution<std::uint32_t> delay(10, 90);
    std::uniform_int_distribution<int> percent(0, 99);
    for (auto& ring : rings) {
      for (int s = 0; s < kBatchSeconds; ++s) {
        const auto sent = kSteady0 + std::chrono::seconds(from + s);
        ring->Add(sent, percent(random) == 0 ? std::nullopt
                                             : std::optional<std::uint32_t>(delay(random)));
      }
    }
  }
  std::vector<std::shared_ptr<ProbeHistory>> rings;  // the engine's, filled here
  std::vector<HistoryStore::Source> sources;         // what the store copies
};

HistoryStore::Clocks At(std::int64_t second) {
  return {kSteady0 + std::chrono::seconds(second), (kWall0 + second) * 1000};
}

// Bytes of each table and index, from the dbstat view.
void PrintTables(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  SqliteStatement tables(db, "SELECT name, sum(pgsize), count(*) FROM dbstat GROUP BY name");
  while (tables.Step()) {
    std::printf("  %-24s %12lld bytes in %lld pages\n", tables.Text(0).c_str(),
                static_cast<long long>(tables.Int(1)), static_cast<long long>(tables.Int(2)));
  }
  tables = SqliteStatement();
  sqlite3_close(db);
}

// How far back each tier reaches, and what the pages in use take.
void PrintReach(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  const std::int64_t now = std::time(nullptr);
  const char* const queries[] = {"SELECT min(minute) * 60 FROM probe_blocks",
                                 "SELECT min(hour) * 3600 FROM minute_blocks",
                                 "SELECT min(day) * 86400 FROM hour_blocks"};
  const char* const tiers[] = {"full detail", "minutes", "hours"};
  for (std::size_t tier = 0; tier < 3; ++tier) {
    SqliteStatement oldest(db, queries[tier]);
    if (oldest.Step()) {
      std::printf("  %-11s reaches back %.1f days\n", tiers[tier], (now - oldest.Int(0)) / 86400.0);
    }
  }
  SqliteStatement used(db,
                       "SELECT ((SELECT page_count FROM pragma_page_count()) - "
                       "(SELECT freelist_count FROM pragma_freelist_count())) * "
                       "(SELECT page_size FROM pragma_page_size())");
  if (used.Step()) {
    std::printf("  pages in use: %.1f MiB\n", used.Int(0) / 1048576.0);
  }
  used = SqliteStatement();
  sqlite3_close(db);
}

int Feed(int host_count, int minutes, const std::string& path) {
  std::filesystem::remove(path);
  Hosts hosts(host_count);
  std::mt19937 random(1);
  const long rss_before = PeakRssKib();
  HistoryStore store(path, hosts.sources);
  if (!store.Open()) {
    std::fprintf(stderr, "history_bench: %s\n", store.TakeProblem().c_str());
    return 1;
  }
  double cpu = 0;
  double slowest = 0;
  const std::int64_t seconds = std::int64_t{minutes} * 60;
  for (std::int64_t t = 0; t < seconds; t += kBatchSeconds) {
    hosts.Feed(t, random);
    const double start = ThreadCpuSeconds();
    if (!store.WriteBatch(At(t + kBatchSeconds))) {
      std::fprintf(stderr, "history_bench: batch at %lld s failed\n", static_cast<long long>(t));
    }
    const double spent = ThreadCpuSeconds() - start;
    cpu += spent;
    slowest = std::max(slowest, spent);
  }
  const double start = ThreadCpuSeconds();
  store.Close();
  const double close_cpu = ThreadCpuSeconds() - start;
  const long rss_after = PeakRssKib();
  std::printf("hosts %d, %d simulated minutes, batches of %d s\n", host_count, minutes,
              kBatchSeconds);
  std::printf(
      "store CPU: %.2f s for %lld s of probes = %.2f %% of one core; slowest batch "
      "%.1f ms; close %.1f ms\n",
      cpu, static_cast<long long>(seconds), 100.0 * cpu / seconds, slowest * 1e3, close_cpu * 1e3);
  std::printf("peak RSS: %.1f MiB before opening, %.1f MiB after: +%.1f MiB\n", rss_before / 1024.0,
              rss_after / 1024.0, (rss_after - rss_before) / 1024.0);
  std::printf("database: %ju bytes\n", std::filesystem::file_size(path));
  PrintTables(path);
  return 0;
}

// One child's life: writes batches at full speed from second `from` on, telling the
// parent through `report` the number of each batch committed.
[[noreturn]] void WriteUntilKilled(const std::string& path, std::int64_t from, int report) {
  Hosts hosts(1000);
  std::mt19937 random(static_cast<unsigned>(from));
  HistoryStore store(path, hosts.sources);
  if (!store.Open()) {
    _exit(1);
  }
  for (std::int32_t batch = 1;; ++batch) {
    const std::int64_t t = from + std::int64_t{batch - 1} * kBatchSeconds;
    hosts.Feed(t, random);
    if (store.WriteBatch(At(t + kBatchSeconds))) {
      if (write(report, &batch, sizeof batch) != sizeof batch) {
        _exit(1);
      }
    }
  }
}

// Probes of the first host kept from second `from` on, and whether the database is whole.
bool Inspect(const std::string& path, std::int64_t from, std::int64_t& probes) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  bool whole = false;
  {
    SqliteStatement check(db, "PRAGMA integrity_check");
    whole = check.Step() && check.Text(0) == "ok";
    SqliteStatement count(db,
                          "SELECT total(probe_count) FROM probe_minutes WHERE host = '198.18.0.0' "
                          "AND start_unix >= ?1");
    probes = count.Bind(1, kWall0 + from - from % 60).Step() ? count.Int(0) : -1;
  }
  sqlite3_close(db);
  return whole;
}

int KillLoop(int kills, const std::string& path) {
  std::filesystem::remove(path);
  std::mt19937 random(7);
  std::uniform_int_distribution<int> delay_ms(300, 2500);
  int failures = 0;
  for (int round = 0; round < kills; ++round) {
    // Each round an hour later, so that rounds do not share a minute.
    const std::int64_t from = std::int64_t{round} * 3600;
    int report[2];
    if (pipe(report) != 0) {
      return 1;
    }
    const pid_t child = fork();
    if (child == 0) {
      close(report[0]);
      WriteUntilKilled(path, from, report[1]);
    }
    close(report[1]);
    usleep(static_cast<useconds_t>(delay_ms(random)) * 1000);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    std::int32_t batch = 0;
    std::int32_t last = 0;
    while (read(report[0], &batch, sizeof batch) == sizeof batch) {
      last = batch;
    }
    close(report[0]);
    std::int64_t probes = 0;
    const bool whole = Inspect(path, from, probes);
    // Every batch reported committed is there; at most the one being written as well.
    const bool kept = probes >= std::int64_t{last} * kBatchSeconds &&
                      probes <= std::int64_t{last + 1} * kBatchSeconds;
    std::printf("kill %2d: %d batches committed, first host keeps %lld probes: %s, %s\n", round + 1,
                last, static_cast<long long>(probes), whole ? "integrity ok" : "INTEGRITY FAILED",
                kept ? "nothing lost" : "LOST");
    failures += (whole && kept) ? 0 : 1;
  }
  std::printf("%d of %d kills passed\n", kills - failures, kills);
  return failures == 0 ? 0 : 1;
}

// Times one host's ranges ending at the newest probe, as the details window will ask.
int Query(const std::string& path) {
  std::int64_t newest = 0;
  {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    SqliteStatement last(db, "SELECT max(minute) FROM probe_blocks");
    newest = last.Step() ? (last.Int(0) + 1) * 60 : 0;
    last = SqliteStatement();
    sqlite3_close(db);
  }
  HistoryStore store(path, {});
  const char* const names[] = {"10 min", "1 h", "6 h", "24 h", "7 d", "30 d", "1 y"};
  const std::int64_t spans[] = {600, 3600, 6 * 3600, 86400, 7 * 86400, 30 * 86400, 365 * 86400};
  const char* const tiers[] = {"full detail", "minutes", "hours"};
  for (std::size_t i = 0; i < std::size(spans); ++i) {
    const auto start = std::chrono::steady_clock::now();
    const HistoryStore::Range range = store.Query("198.18.0.0", newest - spans[i], newest, 1000);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-6s %-11s %5zu points of %6lld s, %6zu probes: %7.1f ms\n", names[i],
                tiers[static_cast<int>(range.tier)], range.points.size(),
                static_cast<long long>(range.bucket_s), range.probes.size(), ms);
  }
  return 0;
}

// Full detail of one hour of every host, written in the store's block format as its
// batches would have left it: the first host probed every second (the busiest), the
// others every 10 s. Delays of 10 to 90 ms, 1 % lost. Returns the bytes written.
std::uint64_t WriteHourOfProbes(sqlite3* db, const std::vector<std::int64_t>& ids,
                                std::int64_t hour, std::mt19937& random) {
  std::uniform_int_distribution<std::uint16_t> delay(10, 90);
  std::uniform_int_distribution<int> percent(0, 99);
  SqliteStatement insert(db,
                         "INSERT INTO probe_blocks(minute, host_id, probes) VALUES(?1, ?2, ?3)");
  std::uint64_t bytes = 0;
  HistoryBlob::Bytes block;
  for (std::int64_t minute = hour * 60; minute < (hour + 1) * 60; ++minute) {
    for (std::size_t h = 0; h < ids.size(); ++h) {
      const int step_s = h == 0 ? 1 : 10;
      block.clear();
      for (int s = static_cast<int>(h % step_s); s < 60; s += step_s) {
        const std::uint16_t code = percent(random) == 0 ? kLostCode : delay(random);
        HistoryBlob::AppendProbe(block, {static_cast<std::uint32_t>(s * 10), code});
      }
      insert.Bind(1, minute).Bind(2, ids[h]).Bind(3, block);
      if (insert.Run() != SQLITE_DONE) {
        return 0;
      }
      bytes += block.size();
    }
  }
  return bytes;
}

// The store's own hourly work on what was written: the hour summarised into the minute
// and hour tiers, blocks past their age dropped, the budget enforced, the tallies kept.
bool CloseHourByStore(const std::string& path, std::int64_t hour) {
  HistoryStore store(path, {});
  if (!store.Open()) {
    std::fprintf(stderr, "history_bench: %s\n", store.TakeProblem().c_str());
    return false;
  }
  // A minute after the hour's end, when the writer summarises it.
  const std::int64_t now_s = (hour + 1) * 3600 + 61;
  store.EnforceLimits(now_s);
  const bool written = store.WriteBatch({Clock::now(), now_s * 1000});
  store.Close();
  return written;
}

// Fills path as HOSTS hosts probed for DAYS up to the last full hour before now would
// leave it: full detail written in the store's block format an hour at a time (each
// minute's block at once, where the writer appends to it every batch), everything else
// (summaries, ageing, the budget's removal, the tallies) by the store's own code.
int Fill(int host_count, int days, const std::string& path) {
  std::filesystem::remove(path);
  Hosts names(host_count);
  std::vector<HistoryStore::Source> sources = names.sources;
  {
    HistoryStore store(path, sources);  // registers the hosts, keyed by their text
    if (!store.Open()) {
      std::fprintf(stderr, "history_bench: %s\n", store.TakeProblem().c_str());
      return 1;
    }
  }
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_busy_timeout(db, 2000);
  std::vector<std::int64_t> ids;
  {
    SqliteStatement select(db, "SELECT id FROM hosts WHERE host = ?1");
    for (const auto& source : sources) {
      ids.push_back(select.Bind(1, source.host).Step() ? select.Int(0) : -1);
      select.Reset();
    }
  }
  SqliteStatement tally(db,
                        "INSERT INTO store_meta(key, value) VALUES('probe_blocks', ?1) "
                        "ON CONFLICT(key) DO UPDATE SET value = value + excluded.value");
  std::mt19937 random(1);
  const auto start = std::chrono::steady_clock::now();
  const std::int64_t last_hour = std::time(nullptr) / 3600 - 1;
  const std::int64_t first_hour = last_hour - std::int64_t{days} * 24 + 1;
  int failures = 0;
  for (std::int64_t hour = first_hour; hour <= last_hour; ++hour) {
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    const std::uint64_t bytes = WriteHourOfProbes(db, ids, hour, random);
    tally.Bind(1, static_cast<std::int64_t>(bytes)).Run();
    failures +=
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK && bytes > 0 ? 0 : 1;
    failures += CloseHourByStore(path, hour) ? 0 : 1;
    if ((hour - first_hour + 1) % 24 == 0) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("day %3lld: %6.1f MiB file, %5.0f s\n",
                  static_cast<long long>((hour - first_hour + 1) / 24),
                  std::filesystem::file_size(path) / 1048576.0, elapsed);
      std::fflush(stdout);
    }
  }
  tally = SqliteStatement();
  sqlite3_close(db);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("filled %s: %d hosts, %d days in %.0f s, %ju bytes (%d failed steps)\n", path.c_str(),
              host_count, days, elapsed, std::filesystem::file_size(path), failures);
  PrintReach(path);
  return failures == 0 ? 0 : 1;
}

// Fills the outage log past its cap (HOSTS hosts each down and up every 3 s) and times
// reading it whole, as the log window does every few seconds.
int Log(int host_count, const std::string& path) {
  std::filesystem::remove(path);
  Hosts hosts(host_count);
  HistoryStore store(path, hosts.sources);
  if (!store.Open()) {
    return 1;
  }
  constexpr std::int64_t kSeconds = 120;
  for (std::int64_t from = 0; from < kSeconds; from += kBatchSeconds) {
    for (auto& ring : hosts.rings) {
      for (std::int64_t s = from; s < from + kBatchSeconds; ++s) {
        ring->Add(kSteady0 + std::chrono::seconds(s),
                  s % 3 == 2 ? std::optional<std::uint32_t>(20) : std::nullopt);
      }
    }
    if (!store.WriteBatch(At(from + kBatchSeconds))) {
      return 1;
    }
  }
  store.Close();
  HistoryStore reader(path, {});
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = ThreadCpuSeconds();
    const std::vector<LogEntry> log = reader.ReadLog(200000);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("ReadLog: %zu rows in %.1f ms (%.1f ms CPU)\n", log.size(), ms,
                (ThreadCpuSeconds() - cpu_start) * 1000);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "feed" && argc == 5) {
    return Feed(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
  }
  if (mode == "kill-loop" && argc == 4) {
    return KillLoop(std::atoi(argv[2]), argv[3]);
  }
  if (mode == "fill" && argc == 5) {
    return Fill(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
  }
  if (mode == "query" && argc == 3) {
    return Query(argv[2]);
  }
  if (mode == "log" && argc == 4) {
    return Log(std::atoi(argv[2]), argv[3]);
  }
  std::fputs(
      "usage: history_bench feed HOSTS MINUTES DB | kill-loop KILLS DB | query DB | fill HOSTS "
      "DAYS DB | log HOSTS DB\n",
      stderr);
  return 2;
}
