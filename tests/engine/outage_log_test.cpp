#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>

#include "engine/history_store.h"
#include "tests/common/temp_dir_fixture.h"

namespace {

// The same moment on both clocks: the wall one at 2023-11-14 23:00 UTC.
const HistoryStore::SteadyClock::time_point kSteady0(std::chrono::hours(1000));
constexpr std::int64_t kWall0 = 1700002800;

class OutageLogTest : public TempDirFixture {
 protected:
  std::string File() const { return (dir_ / "history.sqlite3").string(); }

  // The statements' rows, a line each, columns joined by '|'.
  std::string Rows(const char* sql) const {
    sqlite3* db = nullptr;
    sqlite3_open(File().c_str(), &db);
    std::string text;
    sqlite3_exec(
        db, sql,
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
  void Run(std::int64_t from, const std::string& probes, int hosts = 1,
           std::uint64_t budget = HistoryStore::kDefaultBudget) {
    std::vector<std::unique_ptr<ProbeHistory>> rings;
    std::vector<HistoryStore::Source> sources;
    for (int h = 0; h < hosts; ++h) {
      rings.push_back(std::make_unique<ProbeHistory>());
      sources.push_back({"h" + std::to_string(h), rings.back().get()});
      for (std::size_t i = 0; i < probes.size(); ++i) {
        rings.back()->Add(kSteady0 + std::chrono::seconds(from + i),
                          probes[i] == 'x' ? std::nullopt : std::optional<std::uint32_t>(20));
      }
    }
    HistoryStore store(File(), sources, {budget, std::chrono::milliseconds(5000)});
    ASSERT_TRUE(store.Open()) << store.TakeProblem();
    const std::int64_t end = from + static_cast<std::int64_t>(probes.size()) + 5;
    ASSERT_TRUE(store.WriteBatch({kSteady0 + std::chrono::seconds(end), (kWall0 + end) * 1000}));
  }
};

TEST_F(OutageLogTest, AnOutageGoesOnAcrossARestart) {
  Run(0, "rrrxxx");  // down from second 3 at quit
  HistoryStore reader(File(), {});
  const auto open = reader.Query("h0", kWall0, kWall0 + 60, 60).outages;
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].start_ms, (kWall0 + 3) * 1000);
  EXPECT_FALSE(open[0].end_ms);
  Run(100, "xxxr");  // still down after the restart, up at 103
  EXPECT_EQ(Rows("SELECT at_ms - 1700002800000, from_state, to_state FROM state_changes"),
            "3000|up|down\n103000|down|up\n");
  EXPECT_EQ(Rows("SELECT host, start_utc, end_utc, duration_s FROM outages"),
            "h0|2023-11-14 23:00:03.000|2023-11-14 23:01:43.000|100.0\n");
  // A range within the outage has it whole.
  const auto closed = reader.Query("h0", kWall0 + 50, kWall0 + 60, 10).outages;
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0].end_ms, (kWall0 + 103) * 1000);
}

TEST_F(OutageLogTest, ADatabaseOfVersion1GainsTheLogAndKeepsItsHistory) {
  Run(0, "rrr");
  // Version 1 counted aged-out blocks in its tallies: the upgrade counts them again.
  Rows(
      "DROP VIEW outages; DROP TABLE state_changes; PRAGMA user_version = 1; "
      "UPDATE store_meta SET value = value + 999999 WHERE key = 'probe_blocks';");
  Run(60, "rxxr");
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
  Run(0, flaps, 10, 4 << 20);
  Run(300, flaps, 10, 4 << 20);
  EXPECT_EQ(Rows("SELECT count(*), min(at_ms) - 1700002800000 >= 300000, max(at_ms) - "
                 "1700002800000 FROM state_changes"),
            "1000|1|599000\n");
}

}  // namespace
