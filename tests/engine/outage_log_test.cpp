#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "engine/history_store.h"
#include "tests/common/temp_dir_fixture.h"

namespace {

using std::chrono::seconds;

// The same moment on both clocks: the wall one at 2023-11-14 23:00 UTC.
const HistoryStore::SteadyClock::time_point kSteady0(std::chrono::hours(1000));
constexpr std::int64_t kWall0 = 1700002800;

HistoryStore::Clocks At(std::int64_t second) {
  return {kSteady0 + seconds(second), (kWall0 + second) * 1000};
}

// Adds probes one a second from second `from`, 'r' a 20 ms reply and 'x' a timeout.
void AddProbes(ProbeHistory& ring, std::int64_t from, const std::string& probes) {
  for (char probe : probes) {
    ring.Add(kSteady0 + seconds(from++),
             probe == 'x' ? std::nullopt : std::optional<std::uint32_t>(20));
  }
}

class OutageLogTest : public TempDirFixture {
 protected:
  std::string File() const { return (dir_ / "history.sqlite3").string(); }

  // The statement's rows, one line each, columns split by '|'.
  std::string Rows(const char* sql) const {
    sqlite3* db = nullptr;
    sqlite3_open_v2(File().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    std::string text;
    sqlite3_exec(
        db, sql,
        [](void* out, int columns, char** values, char**) {
          auto& rows = *static_cast<std::string*>(out);
          for (int i = 0; i < columns; ++i) {
            rows += (i > 0 ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
          }
          rows += '\n';
          return 0;
        },
        &text, nullptr);
    sqlite3_close(db);
    return text;
  }

  // One run of the store over probes from second `from`, written in one batch.
  void Run(std::int64_t from, const std::string& probes) {
    auto ring = std::make_unique<ProbeHistory>();
    HistoryStore store(File(), {{"a", ring.get()}});
    ASSERT_TRUE(store.Open()) << store.TakeProblem();
    AddProbes(*ring, from, probes);
    ASSERT_TRUE(store.WriteBatch(At(from + static_cast<std::int64_t>(probes.size()) + 5)));
    store.Close();
  }
};

TEST_F(OutageLogTest, AnOutageGoesOnAcrossARestart) {
  // Down from second 3 at quit; still down after the restart at 100, up at 103.
  Run(0, "rrrxxx");
  HistoryStore reader(File(), {});
  const auto open = reader.Query("a", kWall0, kWall0 + 60, 60).outages;
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].start_ms, (kWall0 + 3) * 1000);
  EXPECT_FALSE(open[0].end_ms);
  Run(100, "xxxr");
  EXPECT_EQ(Rows("SELECT at_ms - 1700002800000, from_state, to_state FROM state_changes"),
            "3000|up|down\n103000|down|up\n");
  EXPECT_EQ(Rows("SELECT host, start_utc, end_utc, duration_s FROM outages"),
            "a|2023-11-14 23:00:03.000|2023-11-14 23:01:43.000|100.0\n");
  // A range inside the outage shows it whole, with its end.
  const auto closed = reader.Query("a", kWall0 + 50, kWall0 + 60, 10).outages;
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0].end_ms, (kWall0 + 103) * 1000);
}

TEST_F(OutageLogTest, ADatabaseOfVersion1GainsTheLog) {
  // A version 1 database: the same tables without the log.
  Run(0, "rrr");
  Rows("DROP VIEW outages; DROP TABLE state_changes; PRAGMA user_version = 1;");
  Run(60, "rxxr");
  EXPECT_EQ(Rows("PRAGMA user_version"), "2\n");
  EXPECT_EQ(Rows("SELECT count(*) FROM outages"), "1\n");
  HistoryStore reader(File(), {});
  EXPECT_EQ(reader.Query("a", kWall0, kWall0 + 120, 120).probes.size(), 7u);
}

TEST_F(OutageLogTest, TheLogKeepsItsNewestRowsWithinItsCap) {
  // A 4 MiB budget keeps the smallest log, 1,000 rows. Ten hosts that go down and come
  // back every 3 s log 2,000 changes a batch of 300 s.
  std::vector<std::unique_ptr<ProbeHistory>> rings;
  std::vector<HistoryStore::Source> sources;
  for (int h = 0; h < 10; ++h) {
    rings.push_back(std::make_unique<ProbeHistory>());
    sources.push_back({"h" + std::to_string(h), rings.back().get()});
  }
  HistoryStore store(File(), sources, {std::uint64_t{4} << 20, std::chrono::milliseconds(5000)});
  ASSERT_TRUE(store.Open()) << store.TakeProblem();
  std::string flaps;
  for (int i = 0; i < 100; ++i) {
    flaps += "xxr";
  }
  for (int batch = 0; batch < 2; ++batch) {
    for (auto& ring : rings) {
      AddProbes(*ring, batch * 300, flaps);
    }
    ASSERT_TRUE(store.WriteBatch(At(batch * 300 + 305)));
  }
  store.Close();
  // The oldest went first: the second batch's last 1,000 changes are what is left.
  EXPECT_EQ(Rows("SELECT count(*), min(at_ms) >= 1700002800000 + 300000 FROM state_changes"),
            "1000|1\n");
  EXPECT_EQ(Rows("SELECT max(at_ms) - 1700002800000 FROM state_changes"), "599000\n");
}

}  // namespace
