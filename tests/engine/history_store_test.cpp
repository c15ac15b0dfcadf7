#include "engine/history_store.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/history_rollup.h"
#include "tests/common/temp_dir_fixture.h"

namespace {

namespace fs = std::filesystem;

// The same moment on both clocks: the steady one at some hours, the wall one at the start
// of an hour (2023-11-14 23:00 UTC, seconds since the epoch).
const HistoryStore::SteadyClock::time_point kSteady0(std::chrono::hours(1000));
constexpr std::int64_t kWall0 = 1700002800;

HistoryStore::Clocks At(std::int64_t second) {
  return {kSteady0 + std::chrono::seconds(second), (kWall0 + second) * 1000};
}

void AddProbe(ProbeHistory& ring, std::int64_t second, std::optional<std::uint32_t> delay) {
  ring.Add(kSteady0 + std::chrono::seconds(second), delay);
}

// One ring a host, named h0, h1, ... as the store's sources.
struct Rings {
  explicit Rings(int hosts) {
    for (int h = 0; h < hosts; ++h) {
      rings.push_back(std::make_shared<ProbeHistory>());
      sources.push_back({"h" + std::to_string(h), rings.back()});
    }
  }
  std::vector<std::shared_ptr<ProbeHistory>> rings;  // by host
  std::vector<HistoryStore::Source> sources;         // the same, named
};

// Each test's store in a folder of its own, read back on a connection of the test's own.
class HistoryStoreTest : public TempDirFixture {
 protected:
  std::string File() const { return (dir_ / "history.sqlite3").string(); }
  // The statements' rows, a line each, columns joined by '|'.
  std::string Rows(const std::string& sql) const {
    sqlite3* db = nullptr;
    sqlite3_open(File().c_str(), &db);
    std::string text;
    sqlite3_exec(
        db, sql.c_str(),
        [](void* out, int columns, char** values, char**) {
          for (int i = 0; i < columns; ++i) {
            *static_cast<std::string*>(out) +=
                std::string(i > 0 ? "|" : "") + (values[i] ? values[i] : "NULL");
          }
          *static_cast<std::string*>(out) += '\n';
          return 0;
        },
        &text, nullptr);
    sqlite3_close(db);
    return text;
  }
  // One run of the store: each host's probes one a second from second `from` ('r' a
  // reply, 'x' lost), written in one batch.
  void Run(std::int64_t from, const std::vector<std::string>& probes,
           std::uint64_t budget = HistoryStore::kDefaultBudget) {
    Rings rings(static_cast<int>(probes.size()));
    std::size_t longest = 0;
    for (std::size_t h = 0; h < probes.size(); ++h) {
      Feed(*rings.rings[h], from, probes[h]);
      longest = std::max(longest, probes[h].size());
    }
    HistoryStore store(File(), rings.sources,
                       {budget, std::chrono::milliseconds(5000), HostStateRules()});
    ASSERT_TRUE(store.Open()) << store.TakeProblem();
    ASSERT_TRUE(store.WriteBatch(At(from + static_cast<std::int64_t>(longest) + 5)));
  }
  // Adds probes one a second from second from: 'r' a reply, 'x' lost.
  static void Feed(ProbeHistory& ring, std::int64_t from, const std::string& probes) {
    for (std::size_t i = 0; i < probes.size(); ++i) {
      AddProbe(ring, from + static_cast<std::int64_t>(i),
               probes[i] == 'x' ? std::nullopt : std::optional<std::uint32_t>(20));
    }
  }
  // The newest count rows of the log as ReadLog gives them, a line each: "second host
  // from>to outage_ms".
  static std::string LogLines(HistoryStore& store, std::size_t count = 1000) {
    std::string text;
    for (const LogEntry& entry : store.ReadLog(count)) {
      text += std::to_string(entry.at_ms / 1000 - kWall0) + ' ' + entry.host + ' ' +
              HostStateName(entry.from) + '>' + HostStateName(entry.to) +
              (entry.outage_ms ? ' ' + std::to_string(*entry.outage_ms) : std::string()) + '\n';
    }
    return text;
  }

  Rings a_{1};  // one host, h0
};
using OutageLogTest = HistoryStoreTest;

std::uintmax_t SizeOnDisk(const std::string& path) {
  std::error_code none;
  const std::uintmax_t wal = fs::exists(path + "-wal") ? fs::file_size(path + "-wal") : 0;
  return fs::file_size(path, none) + wal;
}

TEST_F(HistoryStoreTest, ARestartContinuesTheSameHistory) {
  // Two runs ten minutes apart, each of 3 minutes: a probe every 2 s, every fifth lost.
  for (int run = 0; run < 2; ++run) {
    Rings host(1);
    HistoryStore store(File(), host.sources);
    ASSERT_TRUE(store.Open()) << store.TakeProblem();
    for (int i = 0; i < 90; ++i) {
      const std::int64_t t = run * 600 + 2 * i;
      AddProbe(*host.rings[0], t,
               i % 5 == 4 ? std::nullopt : std::optional<std::uint32_t>(10 + i % 3));
      if (i % 10 == 9) {
        ASSERT_TRUE(store.WriteBatch(At(t + 1)));
      }
    }
    store.Close();
  }
  HistoryStore reader(File(), {});
  const HistoryStore::Range range = reader.Query("h0", kWall0, kWall0 + 1200, 20);
  EXPECT_EQ(range.tier, HistoryStore::Tier::kProbes);
  EXPECT_EQ(range.bucket_s, 60);
  ASSERT_EQ(range.probes.size(), 180u);
  EXPECT_EQ(range.probes[90].sent_ms, (kWall0 + 600) * 1000);
  ASSERT_EQ(range.points.size(), 6u);
  for (const DelaySummary& p : range.points) {
    EXPECT_EQ(std::tie(p.count, p.lost, p.min_ms, p.max_ms), std::make_tuple(30u, 6u, 10u, 12u));
  }
  // The hour both runs shared is one record holding both, not one per run.
  EXPECT_EQ(Rows("SELECT sum(record_count) FROM hour_days"), "1\n");
  EXPECT_EQ(Rows("SELECT sum(record_count) FROM minute_hours"), "6\n");

  // Two days on, full detail has aged out: the same range comes from the minutes.
  ASSERT_TRUE(reader.Open());
  reader.EnforceLimits(kWall0 + 2 * 86400);
  const HistoryStore::Range later = reader.Query("h0", kWall0, kWall0 + 1200, 20);
  EXPECT_EQ(later.tier, HistoryStore::Tier::kMinutes);
  EXPECT_TRUE(later.probes.empty());
  const DelaySummary sum = HistoryRollup::Merge(later.points);
  EXPECT_EQ(std::tie(sum.count, sum.lost), std::make_tuple(180u, 36u));
  EXPECT_TRUE(reader.Query("h1", kWall0, kWall0 + 1200, 20).points.empty());
}

TEST_F(HistoryStoreTest, StaysWithinItsBudgetDroppingTheOldestFirst) {
  constexpr std::uint64_t kBudget = 2 << 20;
  Rings hosts(20);
  HistoryStore store(File(), hosts.sources,
                     {kBudget, std::chrono::milliseconds(5000), HostStateRules()});
  ASSERT_TRUE(store.Open());
  // Twelve hours of a probe a second: about twice the budget in full detail alone.
  constexpr int kMinutes = 720;
  for (int minute = 0; minute < kMinutes; ++minute) {
    for (int h = 0; h < 20; ++h) {
      for (int s = 0; s < 60; ++s) {
        AddProbe(*hosts.rings[h], minute * 60 + s, 20 + h % 7);
      }
    }
    ASSERT_TRUE(store.WriteBatch(At(minute * 60 + 60))) << minute;
    ASSERT_LE(SizeOnDisk(File()), kBudget) << minute;
  }
  store.Close();
  EXPECT_LE(SizeOnDisk(File()), kBudget);
  const std::int64_t first = kWall0 / 60;
  EXPECT_GT(std::stoll(Rows("SELECT min(minute) FROM probe_blocks")), first + 60);
  EXPECT_EQ(std::stoll(Rows("SELECT max(minute) FROM probe_blocks")), first + kMinutes - 1);
  // Summaries take little room: the minutes of the first hour are all still there.
  EXPECT_EQ(std::stoll(Rows("SELECT min(hour) FROM minute_blocks")), kWall0 / 3600);
  EXPECT_EQ(Rows("PRAGMA integrity_check"), "ok\n");
}

TEST_F(HistoryStoreTest, MovesAnUnreadableDatabaseAsideAndStartsAnew) {
  const std::string junk(8192, 'x');
  std::ofstream(File(), std::ios::binary) << junk;
  HistoryStore store(File(), a_.sources);
  ASSERT_TRUE(store.Open());
  EXPECT_NE(store.TakeProblem().find("moved"), std::string::npos);
  EXPECT_EQ(store.TakeProblem(), "");  // said once
  int aside = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    if (entry.path().filename().string().rfind("history.sqlite3.unreadable-", 0) == 0) {
      ++aside;
      std::ifstream in(entry.path(), std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), junk);
    }
  }
  EXPECT_EQ(aside, 1);
  AddProbe(*a_.rings[0], 0, 10);
  EXPECT_TRUE(store.WriteBatch(At(1)));
}

TEST_F(HistoryStoreTest, WaitsBoundedlyOnAnotherProgramsLockAndGoesOn) {
  HistoryStore store(File(), a_.sources);
  ASSERT_TRUE(store.Open());
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(File().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  AddProbe(*a_.rings[0], 0, 10);
  // A host added just then: the locked batch does not lose the change.
  const auto added = std::make_shared<ProbeHistory>();
  AddProbe(*added, 0, 12);
  store.SetSources({a_.sources[0], {"h1", added}});
  EXPECT_FALSE(store.WriteBatch(At(1)));
  EXPECT_NE(store.TakeProblem().find("locked"), std::string::npos);
  EXPECT_TRUE(store.writing());
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  AddProbe(*a_.rings[0], 2, 11);
  EXPECT_TRUE(store.WriteBatch(At(3)));
  store.Close();
  // The ring still held the probe the locked batch could not write.
  EXPECT_EQ(Rows("SELECT host, sum(probe_count) FROM probe_minutes GROUP BY host"), "h0|2\nh1|1\n");
}

TEST_F(HistoryStoreTest, TheWriterThreadKeepsEveryProbeUpToItsStop) {
  HistoryStore::Options options;
  options.batch_period = std::chrono::milliseconds(20);
  HistoryStore store(File(), a_.sources, options);
  store.Start();
  // The worker adds while the writer copies, a window reads, the settings and, halfway,
  // the list change.
  Rings more(3);
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(12));
    if (i == 25) {
      store.SetSources({a_.sources[0], more.sources[1]});
    }
    a_.rings[0]->Add(HistoryStore::SteadyClock::now(), 10 + i % 4);
    more.rings[1]->Add(HistoryStore::SteadyClock::now(), 10);
    const std::int64_t now_s = HistoryStore::Clocks::Now().wall_ms / 1000;
    store.Query("h0", now_s - 60, now_s + 60, 10);
    store.ReadLog(100);
    store.SetRules(HostStateRules());
  }
  // The last probe came after the latest batch, and so did h2: Stop writes them. h1's
  // probes before it was added are still in its ring.
  more.rings[2]->Add(HistoryStore::SteadyClock::now(), 10);
  store.SetSources({a_.sources[0], more.sources[1], more.sources[2]});
  store.Stop();
  EXPECT_TRUE(store.TakeProblem().empty());
  EXPECT_FALSE(store.writing());
  EXPECT_EQ(Rows("SELECT host, sum(probe_count) FROM probe_minutes GROUP BY host"),
            "h0|50\nh1|50\nh2|1\n");
}

// Runs body in a child process with a tmpfs of size_kib mounted on folder in a private
// mount namespace, and expects it to hold; skips where no such mount may be made.
void OnSmallTmpfs(const fs::path& folder, int size_kib, const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", folder.c_str(), "tmpfs", 0,
              ("size=" + std::to_string(size_kib) + "k").c_str()) != 0) {
      _exit(77);
    }
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
    GTEST_SKIP() << "no private mount namespace here (needs root and unshare)";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(HistoryStoreTest, AFullDiskCostsBatchesNotTheDatabase) {
  OnSmallTmpfs(dir_, 512, [&] {
    Rings hosts(200);
    HistoryStore store(File(), hosts.sources);
    std::ofstream(dir_ / "filler") << std::string(128 << 10, 'f');
    if (!store.Open()) {
      return false;
    }
    int minute = 0;
    bool full = false;
    for (; minute < 60 && !full; ++minute) {
      for (auto& ring : hosts.rings) {
        for (int s = 0; s < 60; ++s) {
          AddProbe(*ring, minute * 60 + s, 30);
        }
      }
      full = !store.WriteBatch(At(minute * 60 + 60));
    }
    const std::string problem = store.TakeProblem();
    fs::remove(dir_ / "filler");
    AddProbe(*hosts.rings[0], minute * 60, 30);
    const bool again = store.WriteBatch(At(minute * 60 + 1));
    store.Close();
    // The batch the disk refused was still in the rings: nothing of h0 is missing.
    const std::string kept = Rows("SELECT sum(probe_count) FROM probe_minutes WHERE host = 'h0'");
    return full && problem.find("full") != std::string::npos && store.TakeProblem().empty() &&
           again && kept == std::to_string(minute * 60 + 1) + "\n" &&
           Rows("PRAGMA integrity_check") == "ok\n";
  });
}

TEST_F(HistoryStoreTest, AReadOnlyDatabaseIsLeftAsItIs) {
  OnSmallTmpfs(dir_, 1024, [&] {
    {
      HistoryStore store(File(), a_.sources);
      AddProbe(*a_.rings[0], 0, 10);
      if (!store.Open() || !store.WriteBatch(At(1))) {
        return false;
      }
    }
    const auto before = fs::file_size(File());
    if (mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      return false;
    }
    HistoryStore store(File(), a_.sources);
    const bool opened = store.Open();
    const std::string problem = store.TakeProblem();
    return !opened && !store.writing() && problem.find("not kept") != std::string::npos &&
           fs::file_size(File()) == before;
  });
}

TEST_F(HistoryStoreTest, AQueryTakesTheCoarsestTierThatHoldsTheRangeInShortEnoughRecords) {
  HistoryStore store(File(), a_.sources);
  ASSERT_TRUE(store.Open()) << store.TakeProblem();
  const auto probe_until = [&](std::int64_t from, std::int64_t end) {
    for (std::int64_t t = from; t < end; t += 10) {  // a probe every 10 s, a batch every 5 min
      AddProbe(*a_.rings[0], t, 20);
      if (t % 300 == 290) {
        ASSERT_TRUE(store.WriteBatch(At(t + 1)));
      }
    }
  };
  // Two hours, the day before them never recorded. The hours' block starts at midnight,
  // long before the data, and must not win for that.
  probe_until(0, 7200);
  HistoryStore::Range day = store.Query("h0", kWall0 + 7200 - 86400, kWall0 + 7200, 500);
  EXPECT_EQ(day.tier, HistoryStore::Tier::kProbes);
  EXPECT_EQ(day.bucket_s, 173);       // 86,400 s in 500 points
  EXPECT_GE(day.points.size(), 41u);  // 7,200 s in buckets of 173 s
  // At 26 hours full detail and minutes both reach back a day. A day in 500 points of
  // 173 s: minutes (60 s) are short enough, hours are not.
  const std::int64_t end = 26 * 3600;
  probe_until(7200, end);
  day = store.Query("h0", kWall0 + end - 86400, kWall0 + end, 500);
  EXPECT_EQ(day.tier, HistoryStore::Tier::kMinutes);
  EXPECT_EQ(day.bucket_s, 180);
  EXPECT_EQ(day.points.size(), 480u);
  // An hour in 500 points of 8 s: only full detail.
  const HistoryStore::Range hour = store.Query("h0", kWall0 + end - 3600, kWall0 + end, 500);
  EXPECT_EQ(hour.tier, HistoryStore::Tier::kProbes);
  EXPECT_EQ(hour.bucket_s, 8);
  // Two hours of full detail have aged out by now: the budget's tally of the tier lost them.
  ASSERT_TRUE(store.WriteBatch(At(end)));
  store.Close();
  EXPECT_EQ(Rows("SELECT value - (SELECT total(length(probes)) FROM probe_blocks) FROM store_meta "
                 "WHERE key = 'probe_blocks'"),
            "0.0\n");
}

TEST_F(OutageLogTest, AnOutageGoesOnAcrossARestart) {
  Run(0, {"rrrxxx"});  // down from second 3 at quit
  HistoryStore reader(File(), {});
  const auto open = reader.Query("h0", kWall0, kWall0 + 60, 60).outages;
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].start_ms, (kWall0 + 3) * 1000);
  EXPECT_FALSE(open[0].end_ms);
  Run(100, {"xxxr"});  // still down after the restart, up at 103
  EXPECT_EQ(Rows("SELECT at_ms - 1700002800000, from_state, to_state FROM state_changes"),
            "3000|up|down\n103000|down|up\n");
  EXPECT_EQ(Rows("SELECT host, start_utc, end_utc, duration_s FROM outages"),
            "h0|2023-11-14 23:00:03.000|2023-11-14 23:01:43.000|100.0\n");
  // A range within the outage has it whole.
  const auto closed = reader.Query("h0", kWall0 + 50, kWall0 + 60, 10).outages;
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0].end_ms, (kWall0 + 103) * 1000);
}

TEST_F(OutageLogTest, ReadLogPairsEachRecoveryWithItsOwnHostsOutageAcrossARestart) {
  // h0 down from 2 and h1 from 4; after the restart h1 is back first, at 101, h0 at 104.
  Run(0, {"rrxxxx", "rrrrxx"});
  Run(100, {"xxxxr", "xr"});
  HistoryStore reader(File(), {});
  EXPECT_EQ(LogLines(reader),
            "104 h0 down>up 102000\n"
            "101 h1 down>up 97000\n"
            "4 h1 up>down\n"
            "2 h0 up>down\n");
  // The row written last only, when fewer are asked for (h1's, after h0's in its batch),
  // its outage from the rows before it.
  EXPECT_EQ(LogLines(reader, 1), "101 h1 down>up 97000\n");
  EXPECT_TRUE(HistoryStore((dir_ / "none.sqlite3").string(), {}).ReadLog(10).empty());
}

TEST_F(OutageLogTest, NewRulesTakeEffectAtTheNextBatchAndKeepEachHostsState) {
  Rings rings(2);
  HistoryStore store(File(), rings.sources);
  ASSERT_TRUE(store.Open()) << store.TakeProblem();
  Feed(*rings.rings[0], 0, "rrr");
  Feed(*rings.rings[1], 0, "rxx");  // down at 1 by the default rules
  ASSERT_TRUE(store.WriteBatch(At(5)));
  HostStateRules patient;
  patient.down_after_lost = 4;
  patient.lossy_loss_percent = 50;
  store.SetRules(patient);
  // Three timeouts are neither an outage nor loss now; h1 is still down, and its reply a recovery.
  Feed(*rings.rings[0], 10, "xxxr");
  Feed(*rings.rings[1], 10, "r");
  ASSERT_TRUE(store.WriteBatch(At(15)));
  EXPECT_EQ(LogLines(store), "10 h1 down>up 9000\n1 h1 up>down\n");
  Feed(*rings.rings[0], 20, "xxxx");
  ASSERT_TRUE(store.WriteBatch(At(25)));
  EXPECT_EQ(LogLines(store).substr(0, 14), "20 h0 up>down\n");
}

TEST_F(OutageLogTest, ChangedSourcesAreFollowedWithTheirStatesAndTheRemovedOnesLastProbes) {
  // h0 twice (config.ini may list a host twice), and h1.
  auto a = std::make_shared<ProbeHistory>();
  auto b = std::make_shared<ProbeHistory>();
  auto c = std::make_shared<ProbeHistory>();
  HistoryStore store(File(), {{"h0", a}, {"h0", b}, {"h1", c}});
  ASSERT_TRUE(store.Open()) << store.TakeProblem();
  Feed(*a, 0, "rrx");
  Feed(*b, 0, "rrrrrx");
  Feed(*c, 0, "rxx");  // down at 1
  ASSERT_TRUE(store.WriteBatch(At(8)));
  // The first h0 and h1 go, h2 comes. h1's probe just before its removal is still kept.
  Feed(*b, 10, "x");
  Feed(*c, 10, "x");
  const auto d = std::make_shared<ProbeHistory>();
  Feed(*d, 10, "rrr");
  store.SetSources({{"h0", b}, {"h2", d}});
  const std::weak_ptr<ProbeHistory> removed = c;
  a.reset();
  c.reset();
  ASSERT_TRUE(store.WriteBatch(At(15)));
  EXPECT_TRUE(removed.expired()) << "a removed ring is still held";
  // The second h0's state went on: its second timeout in a row is an outage from 5.
  EXPECT_EQ(LogLines(store), "5 h0 up>down\n1 h1 up>down\n");
  // h1 back, on a ring of its own: its outage goes on from its history.
  const auto e = std::make_shared<ProbeHistory>();
  Feed(*e, 20, "r");
  store.SetSources({{"h0", b}, {"h2", d}, {"h1", e}});
  ASSERT_TRUE(store.WriteBatch(At(25)));
  EXPECT_EQ(LogLines(store, 1), "20 h1 down>up 19000\n");
  store.Close();
  EXPECT_EQ(Rows("SELECT host, sum(probe_count) FROM probe_minutes GROUP BY host"),
            "h0|10\nh1|5\nh2|3\n");
}

TEST_F(OutageLogTest, ADatabaseOfVersion1GainsTheLogAndKeepsItsHistory) {
  Run(0, {"rrr"});
  // Version 1 counted aged-out blocks in its tallies: the upgrade counts them again.
  Rows(
      "DROP VIEW outages; DROP TABLE state_changes; PRAGMA user_version = 1; "
      "UPDATE store_meta SET value = value + 999999 WHERE key = 'probe_blocks';");
  Run(60, {"rxxr"});
  EXPECT_EQ(Rows("PRAGMA user_version; SELECT count(*) FROM outages"), "2\n1\n");
  EXPECT_EQ(Rows("SELECT value - (SELECT total(length(probes)) FROM probe_blocks) FROM store_meta "
                 "WHERE key = 'probe_blocks'"),
            "0.0\n");
  HistoryStore reader(File(), {});
  EXPECT_EQ(reader.Query("h0", kWall0, kWall0 + 120, 120).probes.size(), 7u);
}

TEST_F(OutageLogTest, TheLogKeepsItsNewestRowsWithinItsCap) {
  // A 4 MiB budget keeps the smallest log, 1,000 rows; 10 hosts going down and up every
  // 3 s log 2,000 changes in each of two runs of 300 s.
  std::string flaps;
  for (int i = 0; i < 100; ++i) {
    flaps += "xxr";
  }
  Run(0, std::vector<std::string>(10, flaps), 4 << 20);
  Run(300, std::vector<std::string>(10, flaps), 4 << 20);
  EXPECT_EQ(Rows("SELECT count(*), min(at_ms) - 1700002800000 >= 300000, max(at_ms) - "
                 "1700002800000 FROM state_changes"),
            "1000|1|599000\n");
}

}  // namespace
