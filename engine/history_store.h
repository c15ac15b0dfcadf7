#ifndef LUMORET_ENGINE_HISTORY_STORE_H
#define LUMORET_ENGINE_HISTORY_STORE_H

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/history_blob.h"
#include "engine/history_rollup.h"
#include "engine/host_state.h"
#include "engine/log_entry.h"
#include "engine/probe_history.h"
#include "engine/sqlite_statement.h"

struct sqlite3;

// The history that outlives the process: every target's probes, copied from its
// ProbeHistory ring by a writer thread of the store's own, kept in one SQLite database in
// three tiers (full detail, per minute, per hour; README.md, "History database"), within
// a size budget that takes the oldest data first. The worker and the GUI thread never
// wait on it: the writer reads the rings under their own short locks.
class HistoryStore {
 public:
  using SteadyClock = std::chrono::steady_clock;
  // The budget when none is given: the whole database, its WAL included.
  static constexpr std::uint64_t kDefaultBudget = std::uint64_t{1} << 30;

  // A target whose probes are kept: its text in config.ini, and its ring, kept alive
  // while the store may still read it.
  struct Source {
    std::string host;                            // the key of its history
    std::shared_ptr<const ProbeHistory> probes;  // read by the writer thread
  };
  struct Options {
    std::uint64_t budget_bytes = kDefaultBudget;   // the database never grows past it
    std::chrono::milliseconds batch_period{5000};  // one transaction this often
    HostStateRules rules;                          // what the outage log calls down or lossy
  };
  // The steady and the wall clock read together, which turns a probe's steady time into
  // its wall time.
  struct Clocks {
    SteadyClock::time_point steady;  // the steady clock's reading
    std::int64_t wall_ms = 0;        // the wall clock's, ms since the Unix epoch
    static Clocks Now();
  };
  // The tiers, finest first.
  enum class Tier { kProbes, kMinutes, kHours };
  // A probe as the full-detail tier keeps it.
  struct StoredProbe {
    std::int64_t sent_ms = 0;               // ms since the Unix epoch, to 100 ms
    std::optional<std::uint32_t> delay_ms;  // empty: it timed out
  };
  // A stretch of time a host was down, from its outage log.
  struct Outage {
    std::int64_t start_ms = 0;           // the first unanswered request, ms since the epoch
    std::optional<std::int64_t> end_ms;  // the first answered one; empty while still down
  };
  // What a range of one host's history holds, from the tier that suits it.
  struct Range {
    Tier tier = Tier::kProbes;         // where it was read from
    std::int64_t bucket_s = 0;         // seconds each point covers
    std::vector<DelaySummary> points;  // oldest first, only buckets with probes
    std::vector<StoredProbe> probes;   // the tier's probes themselves, for kProbes
    std::vector<Outage> outages;       // oldest first, those that overlap the range
  };

  // A store at path (not yet opened) for these sources.
  HistoryStore(std::string path, std::vector<Source> sources, Options options);
  HistoryStore(std::string path, std::vector<Source> sources);
  // Stops the writer, writing its last batch.
  ~HistoryStore();
  // Copies these targets from the next batch on, as the list changed: a host that stays
  // (the same text and ring) keeps its history and state, a new one starts its own (or
  // goes on with what the file holds of it), and a removed one has its last probes
  // copied by that batch, then its ring let go. Any thread.
  void SetSources(std::vector<Source> sources);
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // The writer thread: opens the database, writes a batch every period, and at Stop the
  // last one with the open minutes and hours. Start once; Stop may be called again.
  void Start();
  void Stop();

  // The same steps by hand, on the caller's thread (tests, benchmarks): opens or creates
  // the database; false, and a problem to tell, when there will be no history.
  bool Open();
  // Copies what the rings gained since the last batch, at the clocks' reading, in one
  // transaction; minutes and hours that ended are summarised. False when the batch is
  // lost (the problem says why).
  bool WriteBatch(const Clocks& now);
  // Summarises the minutes and hours still open, as they stand (the next run adds to
  // them), and closes the database.
  void Close();
  // Drops what is older than each tier keeps, and the oldest data while the database is
  // near its budget. The writer does it every minute.
  void EnforceLimits(std::int64_t now_s);

  // What one host's history holds from from_s to to_s (seconds since the epoch), in at
  // most max_points points: from the finest tier that reaches back to from_s, else from
  // the one that reaches back furthest; and its outages in that time, from the log.
  // Safe from any thread, beside the writer.
  Range Query(const std::string& host, std::int64_t from_s, std::int64_t to_s,
              std::size_t max_points);

  // The outage log, newest first (by time, then by the order it was written): the
  // max_rows rows written last. Safe from any thread, beside the writer; empty without a database.
  std::vector<LogEntry> ReadLog(std::size_t max_rows);
  // New rules for the outage log's states, taken by the writer at its next batch: each
  // host keeps its state, and is judged by the new rules from its next probe on. Safe
  // from any thread.
  void SetRules(const HostStateRules& rules);

  // What went wrong, for the user, the first time it is asked after it happened; empty
  // otherwise. Safe from any thread.
  std::string TakeProblem();
  // Whether probes are still being kept. Safe from any thread.
  bool writing() const;
  // Bytes the database's pages in use take (the free ones left out).
  std::uint64_t UsedBytes();
  const std::string& path() const { return path_; }

 private:
  // A host's place in the database, how far its ring has been copied, and its state as
  // the outage log has it.
  struct HostRecord {
    std::int64_t id = 0;                                              // hosts.id
    SteadyClock::time_point copied = SteadyClock::time_point::min();  // newest probe copied
    HostStateTracker tracker;     // fed the probes copied, in their order
    std::int64_t changed_ms = 0;  // when the tracker's latest change began, logged or not
  };
  // One tier's table: its name, the seconds per block and the share of the budget.
  struct TierTable {
    const char* table;       // the table's name
    const char* slot;        // its time column
    std::int64_t block_s;    // seconds per block
    std::int64_t max_age_s;  // blocks older than this go
    double share;            // of the budget, against the other tiers'
  };
  static const TierTable kTiers[3];

  // Says once on stderr, and for TakeProblem, what went wrong.
  void Report(const std::string& text);
  // Opens path_ on db_ and prepares it; the SQLite code of the first step that failed.
  int OpenDatabase();
  // Makes the tables a database of version found lacks.
  int CreateSchema(std::int64_t found);
  int RegisterHosts();
  // Fills record for host: its id (added to the hosts table if new) and its tracker from
  // its latest state in the log.
  int RegisterHost(const std::string& host, HostRecord& record);
  // The statements the writer prepares, for checking them and letting them go.
  std::vector<SqliteStatement*> Statements();
  // Rebuilds every host's tracker with the rules SetRules left, if any, keeping its state.
  void TakeNewRules();
  // Logs a change of host's state, unless it is the first reply of a host never logged.
  int LogChange(const HostRecord& host, const HostStateTracker::Change& change);
  // Drops the log's oldest rows past its cap.
  int TrimLog();
  // The outages of host_id that overlap [from_ms, to_ms), on the reading connection.
  std::vector<Outage> ReadOutages(std::int64_t host_id, std::int64_t from_ms, std::int64_t to_ms);
  int PrepareStatements();
  // Renames a database that cannot be read, with its WAL, to a name with the time; the
  // new name, or empty when it could not be moved.
  std::string MoveAside();
  // Writes host's probes of one minute, appended to its block.
  int AppendProbes(HostRecord& host, std::int64_t minute, const HistoryBlob::Bytes& block);
  // Summarises every host's hour, once it is over or the run ends: its minutes from full
  // detail into the hour's block of minutes, and the hour into the day's block.
  int CloseHour(std::int64_t hour);
  // Summarises the hours after summarised_hour_ up to hour.
  int CloseHoursUntil(std::int64_t hour);
  // Adds to block (minute summaries of hour) the records of an earlier block for minutes
  // it lacks, in minute order.
  static void KeepEarlierMinutes(const unsigned char* data, std::size_t size, std::int64_t hour,
                                 HistoryBlob::Bytes& block);
  // The summary of a block of probes, through two vectors reused.
  static DelaySummary SummarizeBlock(const unsigned char* data, std::size_t size,
                                     std::vector<HistoryBlob::Probe>& probes,
                                     std::vector<std::uint16_t>& delays);
  // The minutes of host_id's hour that full detail holds, summarised, through
  // select_probes (minute, host_id).
  static std::vector<DelaySummary> MinutesFromProbes(SqliteStatement& select_probes,
                                                     std::int64_t host_id, std::int64_t hour);
  // Puts record (of layout) as period index into the block at (slot, host) of table,
  // replacing a record of the same index (a run that stopped in that period wrote one).
  int PutSummary(SqliteStatement& select, SqliteStatement& upsert,
                 const HistoryBlob::Layout& layout, std::int64_t slot, std::int64_t host_id,
                 std::uint32_t index, const DelaySummary& summary);
  // Copies one host's new probes into the open transaction.
  int CopyHost(HostRecord& host, const ProbeHistory& probes, const Clocks& now);
  // Copies every source's new probes into the open transaction.
  int CopySources(const Clocks& now);
  // The list SetSources left, if any, taken by the writer; and one given back when the
  // batch that took it failed, unless a newer one came meanwhile.
  std::optional<std::vector<Source>> TakeNewSources();
  void GiveBackSources(std::vector<Source> sources);
  // Makes sources the ones copied, in the open transaction: a source of the same text and
  // ring as one copied so far keeps its record, any other gets one from the file. The
  // list replaced is left in sources.
  int ChangeSources(std::vector<Source>& sources);
  // Lets the rings go once the writer has ended: nothing reads them any more.
  void ReleaseSources();
  // The tier to lose its oldest block when the budget is near.
  std::size_t TierToTrim();
  // Drops the oldest block of tier number tier; SQLITE_DONE when it had none.
  int TrimOldest(std::size_t tier);
  // The bytes of tier's blobs in the rows of from_where (" FROM table WHERE ...").
  std::uint64_t BlobBytes(std::size_t tier, const std::string& from_where);
  // Handles a failed batch: rolls back and says why.
  void BatchFailed(int code);
  bool Execute(const char* sql);
  void Checkpoint(bool truncate);
  void WriterLoop();
  // Reads the blocks of a range for Query, on the reading connection.
  Range ReadRange(std::int64_t host_id, std::size_t tier, std::int64_t from_s, std::int64_t to_s,
                  std::size_t max_points);
  // Sets the outage of each change out of down in entries (read with their hosts' ids,
  // walked in order, oldest first), from the change into down before it; older_rows:
  // the log may hold rows before those read.
  void PairOutages(std::vector<LogEntry>& entries, const std::vector<std::int64_t>& host_ids,
                   const std::vector<std::size_t>& order, bool older_rows);
  // Opens the reading connection when needed; false without one.
  bool OpenReader();

  const std::string path_;                    // the database file
  std::vector<Source> sources_;               // in the order of config.ini; the writer's
  const Options options_;                     // budget and period
  sqlite3* db_ = nullptr;                     // the writer's connection; null when not open
  std::vector<HostRecord> hosts_;             // one per source
  std::vector<ProbeHistory::Probe> scratch_;  // one host's new probes, reused
  std::uint64_t cap_pages_ = 0;               // the database's page limit, from the budget
  std::uint64_t page_size_ = 4096;            // bytes per page
  std::uint64_t tier_bytes_[3] = {};          // blob bytes kept per tier, for the shares
  std::uint64_t log_cap_rows_ = 0;            // the outage log's rows at most, from the budget
  HostStateRules rules_;                      // the trackers' rules, the writer's own copy
  bool logged_ = false;                       // the batch under way logged a change
  int batches_ = 0;                           // written since the limits were last enforced
  // No hour summarised yet in this run.
  static constexpr std::int64_t kNoHour = INT64_MIN;
  std::int64_t summarised_hour_ = kNoHour;  // the latest hour summarised (hours since the epoch)
  std::int64_t last_batch_ms_ = -1;         // wall time of the latest batch written

  SqliteStatement upsert_probes_;   // appends to a full-detail block
  SqliteStatement select_probes_;   // one full-detail block
  SqliteStatement select_minutes_;  // one hour's block of minute summaries
  SqliteStatement upsert_minutes_;  // replaces it
  SqliteStatement select_hours_;    // one day's block of hour summaries
  SqliteStatement upsert_hours_;    // replaces it
  SqliteStatement save_tally_;      // keeps tier_bytes_ in store_meta
  SqliteStatement insert_change_;   // one row of the outage log
  SqliteStatement insert_host_;     // a host's row, unless it has one
  SqliteStatement select_host_;     // a host's id, by its text
  SqliteStatement latest_state_;    // a host's latest change in the log

  mutable std::mutex state_mutex_;                  // guards what other threads read below
  std::string problem_;                             // said once, then empty
  bool problem_told_ = false;                       // the first problem has been said on stderr
  bool writing_ = false;                            // probes are being kept
  std::optional<HostStateRules> new_rules_;         // from SetRules, until the writer takes them
  std::optional<std::vector<Source>> new_sources_;  // from SetSources, until the writer takes them
  bool finished_ = false;  // the writer has ended: sources given now are let go at once

  std::mutex reader_mutex_;    // one Query at a time on reader_
  sqlite3* reader_ = nullptr;  // the queries' own connection, opened on first use

  std::mutex wake_mutex_;         // guards stop_
  std::condition_variable wake_;  // ends the writer's wait at Stop
  bool stop_ = false;             // the writer is to finish
  std::thread writer_;            // runs WriterLoop from Start to Stop
};

#endif  // LUMORET_ENGINE_HISTORY_STORE_H
