#include "engine/history_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <numeric>
#include <system_error>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace {

// How long a statement waits for another program's lock before it gives up.
constexpr int kBusyTimeoutMs = 2000;
// The schema this code writes; a database of a later one is left alone, one of version
// 1 gains the outage log.
constexpr std::int64_t kSchemaVersion = 2;
// The outage log's room: this share of the budget, at a generous size per row (a row and
// its index entry take about 54 bytes in bench/history), and never fewer rows than
// kMinLogRows.
constexpr std::uint64_t kLogBudgetShare = 100;  // one hundredth
constexpr std::uint64_t kLogRowBytes = 64;
constexpr std::uint64_t kMinLogRows = 1000;
// OpenDatabase's result for a database of a later schema: no code of SQLite's.
constexpr int kLaterSchema = -1;
// Batches between two enforcements of the limits and two truncating checkpoints.
constexpr int kBatchesPerLimitCheck = 12;
// Trimming starts when the pages in use pass this part of the cap...
constexpr double kTrimAbove = 0.95;
// ... and goes on until they are below this part.
constexpr double kTrimTo = 0.90;
// At most this many blocks are dropped per enforcement, to bound its time.
constexpr int kMaxTrimSteps = 2000;
// Units of time, as the blocks' keys count them.
constexpr std::int64_t kMinuteS = 60;
constexpr std::int64_t kHourS = 60 * kMinuteS;
constexpr std::int64_t kDayS = 24 * kHourS;
constexpr std::int64_t kMinutesPerHour = kHourS / kMinuteS;
constexpr std::int64_t kMsPerS = 1000;
// How long after an hour's end it is summarised, in ms.
constexpr std::int64_t kHourGraceMs = kMinuteS * kMsPerS;
// The most hours summarised at once after a pause.
constexpr std::int64_t kHoursCaughtUp = 3;
// Full detail is not trimmed below this many minutes while other tiers have data: the
// hour under way is summarised from it.
constexpr std::int64_t kKeptDetailMinutes = 90;
// The most blocks one query reads.
constexpr std::int64_t kMaxQueryBlocks = 2000;
// Seconds each record of a tier covers: a probe (to the second), a minute, an hour.
constexpr std::int64_t kTierPeriods[3] = {1, kMinuteS, kHourS};
// A coarser tier answers a query when its records are at most this many of the query's
// points long: nearly the same picture from far fewer blocks on the disk. At 3, a 30-day
// graph up to 2,160 pixels wide reads 30 blocks of hours, not 720 of minutes (a cold read
// of those took 250 ms at 1,800 pixels).
constexpr std::int64_t kCoarserTierSlack = 3;

const char kSchema[] = R"sql(
CREATE TABLE hosts(id INTEGER PRIMARY KEY, host TEXT NOT NULL UNIQUE);
CREATE TABLE probe_blocks(minute INTEGER NOT NULL, host_id INTEGER NOT NULL,
  probes BLOB NOT NULL, PRIMARY KEY(minute, host_id)) WITHOUT ROWID;
CREATE TABLE minute_blocks(hour INTEGER NOT NULL, host_id INTEGER NOT NULL,
  summaries BLOB NOT NULL, PRIMARY KEY(hour, host_id)) WITHOUT ROWID;
CREATE TABLE hour_blocks(day INTEGER NOT NULL, host_id INTEGER NOT NULL,
  summaries BLOB NOT NULL, PRIMARY KEY(day, host_id)) WITHOUT ROWID;
CREATE TABLE store_meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE VIEW probe_minutes AS SELECT h.host, b.minute * 60 AS start_unix,
  datetime(b.minute * 60, 'unixepoch') AS start_utc, length(b.probes) / 3 AS probe_count,
  b.probes FROM probe_blocks b JOIN hosts h ON h.id = b.host_id;
CREATE VIEW minute_hours AS SELECT h.host, b.hour * 3600 AS start_unix,
  datetime(b.hour * 3600, 'unixepoch') AS start_utc, length(b.summaries) / 9 AS record_count,
  b.summaries FROM minute_blocks b JOIN hosts h ON h.id = b.host_id;
CREATE VIEW hour_days AS SELECT h.host, b.day * 86400 AS start_unix,
  datetime(b.day * 86400, 'unixepoch') AS start_utc, length(b.summaries) / 12 AS record_count,
  b.summaries FROM hour_blocks b JOIN hosts h ON h.id = b.host_id;
)sql";

// Version 1 kept counting the blocks that aged out in its tallies: counted again.
const char kRecountTallies[] = R"sql(
INSERT OR REPLACE INTO store_meta(key, value)
  SELECT 'probe_blocks', CAST(total(length(probes)) AS INTEGER) FROM probe_blocks
  UNION ALL SELECT 'minute_blocks', CAST(total(length(summaries)) AS INTEGER) FROM minute_blocks
  UNION ALL SELECT 'hour_blocks', CAST(total(length(summaries)) AS INTEGER) FROM hour_blocks;
)sql";

// Version 2: the log of state changes, and its outages (start, end or NULL while still
// down) for sqlite3. Within a host, changes are in the order of (at_ms, id).
const char kOutageLog[] = R"sql(
CREATE TABLE state_changes(id INTEGER PRIMARY KEY, host_id INTEGER NOT NULL,
  at_ms INTEGER NOT NULL, from_state TEXT NOT NULL, to_state TEXT NOT NULL);
CREATE INDEX state_changes_by_host ON state_changes(host_id, at_ms);
CREATE VIEW outages AS SELECT h.host, d.at_ms AS start_ms, e.at_ms AS end_ms,
  strftime('%Y-%m-%d %H:%M:%f', d.at_ms / 1000.0, 'unixepoch') AS start_utc,
  strftime('%Y-%m-%d %H:%M:%f', e.at_ms / 1000.0, 'unixepoch') AS end_utc,
  (e.at_ms - d.at_ms) / 1000.0 AS duration_s
  FROM state_changes d JOIN hosts h ON h.id = d.host_id
  LEFT JOIN state_changes e ON e.id = (SELECT n.id FROM state_changes n
    WHERE n.host_id = d.host_id AND n.at_ms >= d.at_ms AND n.id > d.id
    ORDER BY n.at_ms, n.id LIMIT 1)
  WHERE d.to_state = 'down';
PRAGMA user_version = 2;
)sql";

// A file name in UTF-8, as SQLite takes it, for the file system (Windows reads a narrow
// name in the ANSI code page).
std::filesystem::path FilePath(const std::string& utf8) {
  return std::filesystem::u8path(utf8);
}

// Floor division, for times before the epoch as well.
std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
  return value / divisor - (value % divisor < 0 ? 1 : 0);
}

bool IsCorrupt(int code) {
  return (code & 0xFF) == SQLITE_CORRUPT || (code & 0xFF) == SQLITE_NOTADB;
}

}  // namespace

// Full detail for a day, minutes for 90 days, hours for 5 years, or less when the
// budget is reached first: then each tier keeps its share of it.
const HistoryStore::TierTable HistoryStore::kTiers[3] = {
    {"probe_blocks", "minute", kMinuteS, kDayS, 0.25},
    {"minute_blocks", "hour", kHourS, 90 * kDayS, 0.55},
    {"hour_blocks", "day", kDayS, 5 * 365 * kDayS, 0.20},
};

HistoryStore::Clocks HistoryStore::Clocks::Now() {
  Clocks clocks;
  clocks.steady = SteadyClock::now();
  clocks.wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return clocks;
}

HistoryStore::HistoryStore(std::string path, std::vector<Source> sources, Options options)
    : path_(std::move(path)),
      sources_(std::move(sources)),
      options_(options),
      rules_(options.rules) {}

HistoryStore::HistoryStore(std::string path, std::vector<Source> sources)
    : HistoryStore(std::move(path), std::move(sources), Options()) {}

HistoryStore::~HistoryStore() {
  Stop();
  Close();
  std::lock_guard<std::mutex> lock(reader_mutex_);
  sqlite3_close(reader_);
}

void HistoryStore::Report(const std::string& text) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (problem_told_) {
    return;
  }
  problem_told_ = true;
  problem_ = text;
  std::fprintf(stderr, "Lumoret: %s\n", text.c_str());
}

std::string HistoryStore::TakeProblem() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return std::exchange(problem_, std::string());
}

bool HistoryStore::writing() const {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return writing_;
}

bool HistoryStore::Execute(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool HistoryStore::Open() {
  std::error_code error;
  const std::filesystem::path folder = FilePath(path_).parent_path();
  if (!folder.empty() && !std::filesystem::create_directories(folder, error) && error) {
    Report("history is not kept: cannot make the folder " + folder.u8string() + ": " +
           error.message() + "; probing goes on without history");
    return false;
  }
  int code = OpenDatabase();
  if (code == kLaterSchema) {
    return false;  // said already
  }
  if (IsCorrupt(code)) {
    sqlite3_close(db_);
    db_ = nullptr;
    const std::string aside = MoveAside();
    if (aside.empty()) {
      Report("history database " + path_ + " cannot be read and cannot be moved aside; " +
             "probing goes on without history");
      return false;
    }
    Report("history database " + path_ + " could not be read; it was moved to " + aside +
           " and a new history starts");
    code = OpenDatabase();
  }
  if (code != SQLITE_OK) {
    std::string why = sqlite3_errstr(code);
    if ((code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED) {
      why = "it is locked by another program";
    }
    Report("history is not kept: " + path_ + ": " + why + "; probing goes on without history");
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  std::lock_guard<std::mutex> lock(state_mutex_);
  writing_ = true;
  return true;
}

int HistoryStore::OpenDatabase() {
  int code =
      sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (code != SQLITE_OK) {
    return code;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  if (sqlite3_db_readonly(db_, "main") == 1) {
    return SQLITE_READONLY;
  }
  // Reading the schema is the first read of the file: a file that is no database, or
  // whose first pages are damaged, fails here.
  SqliteStatement version(db_, "PRAGMA user_version");
  if (!version.ok()) {
    return version.code();
  }
  if (!version.Step()) {
    return version.code();
  }
  const std::int64_t found = version.Int(0);
  version = SqliteStatement();
  if (found > kSchemaVersion) {
    sqlite3_close(db_);
    db_ = nullptr;
    Report("history database " + path_ + " was made by a later Lumoret; it is left as it is");
    return kLaterSchema;
  }
  // Larger pages than the default leave less of each unused: a minute block is 540
  // bytes. Only a new database takes it.
  if (found == 0) {
    Execute("PRAGMA page_size=8192");
  }
  // WAL: a writer never blocks readers (sqlite3 beside Lumoret), and a commit is one
  // append. With synchronous=NORMAL a commit is not synced, but the WAL is synced
  // before each checkpoint copies it into the database: a power cut can undo the latest
  // commits, never damage the database. The checkpoints come after every batch, so what
  // is lost is at most that batch.
  SqliteStatement mode(db_, "PRAGMA journal_mode=WAL");
  if (!mode.Step()) {
    return mode.code() == SQLITE_DONE ? SQLITE_ERROR : mode.code();
  }
  if (mode.Text(0) != "wal") {
    return SQLITE_READONLY;
  }
  mode = SqliteStatement();
  page_size_ = 4096;
  SqliteStatement page_size(db_, "PRAGMA page_size");
  if (page_size.Step()) {
    page_size_ = static_cast<std::uint64_t>(page_size.Int(0));
  }
  page_size = SqliteStatement();
  // The WAL's room comes out of the budget: the two files together stay within it.
  const std::uint64_t wal_room = std::min<std::uint64_t>(64 << 20, options_.budget_bytes / 8);
  cap_pages_ = (options_.budget_bytes - wal_room) / page_size_;
  log_cap_rows_ = std::max(kMinLogRows, options_.budget_bytes / kLogBudgetShare / kLogRowBytes);
  const std::string settings =
      "PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0; PRAGMA journal_size_limit=" +
      std::to_string(wal_room) + "; PRAGMA max_page_count=" + std::to_string(cap_pages_) + ";";
  code = sqlite3_exec(db_, settings.c_str(), nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) {
    return code;
  }
  if (found < kSchemaVersion && (code = CreateSchema(found)) != SQLITE_OK) {
    return code;
  }
  if ((code = PrepareStatements()) != SQLITE_OK) {
    return code;
  }
  return RegisterHosts();
}

int HistoryStore::CreateSchema(std::int64_t found) {
  // A database of version 1 keeps its tables and gains the log, in one transaction.
  std::string sql = "BEGIN IMMEDIATE;";
  sql += found == 0 ? kSchema : kRecountTallies;
  sql += kOutageLog;
  sql += "COMMIT;";
  const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) {
    Execute("ROLLBACK");
  }
  return code;
}

int HistoryStore::PrepareStatements() {
  upsert_probes_ =
      SqliteStatement(db_,
                      "INSERT INTO probe_blocks(minute, host_id, probes) VALUES(?1, ?2, ?3) "
                      "ON CONFLICT(minute, host_id) DO UPDATE SET probes = CAST(probes || "
                      "excluded.probes AS BLOB)");
  select_probes_ =
      SqliteStatement(db_, "SELECT probes FROM probe_blocks WHERE minute = ?1 AND host_id = ?2");
  select_minutes_ =
      SqliteStatement(db_, "SELECT summaries FROM minute_blocks WHERE hour = ?1 AND host_id = ?2");
  upsert_minutes_ = SqliteStatement(
      db_, "INSERT OR REPLACE INTO minute_blocks(hour, host_id, summaries) VALUES(?1, ?2, ?3)");
  select_hours_ =
      SqliteStatement(db_, "SELECT summaries FROM hour_blocks WHERE day = ?1 AND host_id = ?2");
  upsert_hours_ = SqliteStatement(
      db_, "INSERT OR REPLACE INTO hour_blocks(day, host_id, summaries) VALUES(?1, ?2, ?3)");
  save_tally_ =
      SqliteStatement(db_, "INSERT OR REPLACE INTO store_meta(key, value) VALUES(?1, ?2)");
  insert_change_ = SqliteStatement(
      db_,
      "INSERT INTO state_changes(host_id, at_ms, from_state, to_state) VALUES(?1, ?2, ?3, ?4)");
  insert_host_ = SqliteStatement(db_, "INSERT OR IGNORE INTO hosts(host) VALUES(?1)");
  select_host_ = SqliteStatement(db_, "SELECT id FROM hosts WHERE host = ?1");
  latest_state_ = SqliteStatement(db_,
                                  "SELECT to_state, at_ms FROM state_changes WHERE host_id = ?1 "
                                  "ORDER BY at_ms DESC, id DESC LIMIT 1");
  for (const SqliteStatement* statement : Statements()) {
    if (!statement->ok()) {
      return statement->code();
    }
  }
  SqliteStatement tally(db_, "SELECT key, value FROM store_meta");
  while (tally.Step()) {
    for (std::size_t tier = 0; tier < 3; ++tier) {
      if (tally.Text(0) == kTiers[tier].table) {
        tier_bytes_[tier] = static_cast<std::uint64_t>(std::max<std::int64_t>(0, tally.Int(1)));
      }
    }
  }
  return tally.code() == SQLITE_DONE ? SQLITE_OK : tally.code();
}

std::vector<SqliteStatement*> HistoryStore::Statements() {
  return {&upsert_probes_, &select_probes_, &select_minutes_, &upsert_minutes_,
          &select_hours_,  &upsert_hours_,  &save_tally_,     &insert_change_,
          &insert_host_,   &select_host_,   &latest_state_};
}

int HistoryStore::RegisterHosts() {
  if (!Execute("BEGIN IMMEDIATE")) {
    return sqlite3_extended_errcode(db_);
  }
  hosts_.assign(sources_.size(), HostRecord());
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    if (const int code = RegisterHost(sources_[i].host, hosts_[i]); code != SQLITE_OK) {
      Execute("ROLLBACK");
      return code;
    }
  }
  return Execute("COMMIT") ? SQLITE_OK : sqlite3_extended_errcode(db_);
}

int HistoryStore::RegisterHost(const std::string& host, HostRecord& record) {
  insert_host_.Bind(1, host);
  if (const int code = insert_host_.Run(); code != SQLITE_DONE) {
    return code;
  }
  select_host_.Bind(1, host);
  const bool found = select_host_.Step();
  record = HostRecord();
  record.id = found ? select_host_.Int(0) : 0;
  select_host_.Reset();
  if (!found) {
    return select_host_.code() == SQLITE_DONE ? SQLITE_ERROR : select_host_.code();
  }
  latest_state_.Bind(1, record.id);
  HostState state = HostState::kNotYet;
  const bool logged = latest_state_.Step();
  if (logged) {
    // A name this code does not know (a later Lumoret's) starts the host afresh.
    state = HostStateFromName(latest_state_.Text(0)).value_or(HostState::kNotYet);
    record.changed_ms = latest_state_.Int(1);
  }
  latest_state_.Reset();
  if (!logged && latest_state_.code() != SQLITE_DONE) {
    return latest_state_.code();
  }
  record.tracker = HostStateTracker(rules_, state, record.changed_ms);
  return SQLITE_OK;
}

void HistoryStore::SetRules(const HostStateRules& rules) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  new_rules_ = rules;
}

void HistoryStore::TakeNewRules() {
  std::optional<HostStateRules> rules;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    rules = std::exchange(new_rules_, std::nullopt);
  }
  if (!rules) {
    return;
  }
  rules_ = *rules;
  // The recent probes are judged afresh; the state and its stamps go on.
  for (HostRecord& host : hosts_) {
    host.tracker = HostStateTracker(rules_, host.tracker.state(), host.changed_ms);
  }
}

int HistoryStore::LogChange(const HostRecord& host, const HostStateTracker::Change& change) {
  // A host's first reply is no event: only what it does after is.
  if (change.from == HostState::kNotYet && change.to == HostState::kUp) {
    return SQLITE_OK;
  }
  insert_change_.Bind(1, host.id)
      .Bind(2, change.at_ms)
      .Bind(3, std::string(HostStateName(change.from)))
      .Bind(4, std::string(HostStateName(change.to)));
  const int code = insert_change_.Run();
  logged_ = true;
  return code == SQLITE_DONE ? SQLITE_OK : code;
}

int HistoryStore::TrimLog() {
  // Row ids are dense (rows only ever go from the oldest end): the cap counts back from
  // the newest.
  SqliteStatement trim(db_,
                       "DELETE FROM state_changes WHERE id <= "
                       "(SELECT max(id) FROM state_changes) - ?1");
  trim.Bind(1, static_cast<std::int64_t>(log_cap_rows_));
  const int code = trim.Run();
  return code == SQLITE_DONE ? SQLITE_OK : code;
}

std::string HistoryStore::MoveAside() {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &now);
#else
  gmtime_r(&now, &parts);
#endif
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &parts);
  const std::string aside = path_ + ".unreadable-" + stamp;
  std::error_code error;
  std::filesystem::rename(FilePath(path_), FilePath(aside), error);
  if (error) {
    return std::string();
  }
  // The WAL and its index belong to the file moved: the new database must not take them.
  for (const char* suffix : {"-wal", "-shm"}) {
    std::error_code ignored;
    if (std::filesystem::exists(FilePath(path_ + suffix), ignored)) {
      std::filesystem::rename(FilePath(path_ + suffix), FilePath(aside + suffix), ignored);
    }
  }
  return aside;
}

void HistoryStore::BatchFailed(int code) {
  Execute("ROLLBACK");
  const int primary = code & 0xFF;
  if (primary == SQLITE_FULL && UsedBytes() + 64 * page_size_ >= cap_pages_ * page_size_) {
    return;  // the budget's cap, not the disk: the next batch trims first
  }
  if (primary == SQLITE_FULL) {
    Report("history: the disk of " + path_ + " is full; the latest probes are not kept " +
           "until there is room again");
    return;
  }
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
    Report("history: " + path_ + " is locked by another program; the latest probes are not " +
           "kept while it is");
    return;
  }
  Report("history is no longer kept: " + path_ + ": " + sqlite3_errstr(code) +
         "; probing goes on without history");
  sqlite3_close(db_);
  db_ = nullptr;
  std::lock_guard<std::mutex> lock(state_mutex_);
  writing_ = false;
}

bool HistoryStore::WriteBatch(const Clocks& now) {
  if (db_ == nullptr) {
    return false;
  }
  // Room first, so that the cap is never what fails a batch.
  if (UsedBytes() > cap_pages_ * page_size_ * kTrimAbove) {
    EnforceLimits(now.wall_ms / kMsPerS);
    Checkpoint(true);
  }
  TakeNewRules();
  std::optional<std::vector<Source>> incoming = TakeNewSources();
  if (!Execute("BEGIN IMMEDIATE")) {
    if (incoming) {
      GiveBackSources(std::move(*incoming));
    }
    BatchFailed(sqlite3_extended_errcode(db_));
    return false;
  }
  // A batch rolled back is copied again by the next one, while the rings still hold it;
  // a new list it took is taken again.
  const std::vector<HostRecord> before = hosts_;
  const std::int64_t summarised_before = summarised_hour_;
  bool changed = false;  // sources_ is incoming's list now, and *incoming the one before
  logged_ = false;
  const auto fail = [&](int code) {
    hosts_ = before;
    summarised_hour_ = summarised_before;
    if (changed) {
      std::swap(sources_, *incoming);
    }
    if (incoming) {
      GiveBackSources(std::move(*incoming));
    }
    BatchFailed(code);
    return false;
  };
  if (const int code = CopySources(now); code != SQLITE_OK) {
    return fail(code);
  }
  // The hosts removed have had their last probes copied above; the new list's are
  // copied at once, so that a batch at Stop misses none.
  if (incoming) {
    if (const int code = ChangeSources(*incoming); code != SQLITE_OK) {
      return fail(code);
    }
    changed = true;
    if (const int code = CopySources(now); code != SQLITE_OK) {
      return fail(code);
    }
  }
  if (logged_) {
    if (const int code = TrimLog(); code != SQLITE_OK) {
      return fail(code);
    }
  }
  // An hour is summarised once its last probes can have come in: timeouts come 5 s
  // after their request, and are copied a batch later.
  const std::int64_t over = FloorDiv(now.wall_ms - kHourGraceMs, kHourS * kMsPerS) - 1;
  if (summarised_hour_ == kNoHour) {
    // The hour before this run may have ended without its summary (a crash).
    summarised_hour_ = over - 1;
  }
  if (const int code = CloseHoursUntil(over); code != SQLITE_OK) {
    return fail(code);
  }
  last_batch_ms_ = now.wall_ms;
  for (std::size_t tier = 0; tier < 3; ++tier) {
    save_tally_.Bind(1, std::string(kTiers[tier].table))
        .Bind(2, static_cast<std::int64_t>(tier_bytes_[tier]));
    save_tally_.Run();
  }
  if (!Execute("COMMIT")) {
    return fail(sqlite3_extended_errcode(db_));
  }
  if (++batches_ >= kBatchesPerLimitCheck) {
    batches_ = 0;
    EnforceLimits(now.wall_ms / kMsPerS);
    Checkpoint(true);
  } else {
    Checkpoint(false);
  }
  return true;
}

int HistoryStore::CopySources(const Clocks& now) {
  for (std::size_t i = 0; i < hosts_.size(); ++i) {
    if (sources_[i].probes == nullptr) {
      continue;
    }
    if (const int code = CopyHost(hosts_[i], *sources_[i].probes, now); code != SQLITE_OK) {
      return code;
    }
  }
  return SQLITE_OK;
}

std::optional<std::vector<HistoryStore::Source>> HistoryStore::TakeNewSources() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return std::exchange(new_sources_, std::nullopt);
}

void HistoryStore::GiveBackSources(std::vector<Source> sources) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (!new_sources_ && !finished_) {
    new_sources_ = std::move(sources);
  }
}

int HistoryStore::ChangeSources(std::vector<Source>& sources) {
  // Each ring copied so far, by its address: the same target, if its text is the same.
  std::unordered_map<const ProbeHistory*, std::size_t> copied;
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    copied.emplace(sources_[i].probes.get(), i);
  }
  std::vector<HostRecord> records(sources.size());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const auto kept = copied.find(sources[i].probes.get());
    if (kept != copied.end() && sources_[kept->second].host == sources[i].host) {
      records[i] = hosts_[kept->second];
      copied.erase(kept);  // a ring given twice: the second one is read afresh
    } else if (const int code = RegisterHost(sources[i].host, records[i]); code != SQLITE_OK) {
      return code;
    }
  }
  std::swap(sources_, sources);
  hosts_ = std::move(records);
  return SQLITE_OK;
}

void HistoryStore::ReleaseSources() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    finished_ = true;
    new_sources_.reset();
  }
  sources_.clear();
  hosts_.clear();
}

int HistoryStore::CopyHost(HostRecord& host, const ProbeHistory& probes, const Clocks& now) {
  scratch_.clear();
  if (probes.ProbesSince(host.copied, scratch_) == 0) {
    return SQLITE_OK;
  }
  HistoryBlob::Bytes block;
  std::int64_t block_minute = -1;
  for (const ProbeHistory::Probe& probe : scratch_) {
    const std::int64_t wall_ms =
        now.wall_ms +
        std::chrono::duration_cast<std::chrono::milliseconds>(probe.sent - now.steady).count();
    const std::int64_t minute = FloorDiv(wall_ms, kMinuteS * kMsPerS);
    if (minute != block_minute && !block.empty()) {
      if (const int code = AppendProbes(host, block_minute, block); code != SQLITE_OK) {
        return code;
      }
      block.clear();
    }
    block_minute = minute;
    const auto offset = static_cast<std::uint32_t>((wall_ms - minute * kMinuteS * kMsPerS) /
                                                   HistoryBlob::kMsPerOffset);
    // The log's times are the probes' as stored, so the two agree.
    const std::int64_t stored_ms =
        minute * kMinuteS * kMsPerS + std::int64_t{offset} * HistoryBlob::kMsPerOffset;
    if (const auto change = host.tracker.Add(stored_ms, probe.delay_ms)) {
      host.changed_ms = change->at_ms;
      if (const int code = LogChange(host, *change); code != SQLITE_OK) {
        return code;
      }
    }
    HistoryBlob::AppendProbe(
        block, {offset, probe.delay_ms ? static_cast<std::uint16_t>(std::min<std::uint32_t>(
                                             *probe.delay_ms, kLostCode - 1))
                                       : kLostCode});
  }
  if (const int code = AppendProbes(host, block_minute, block); code != SQLITE_OK) {
    return code;
  }
  host.copied = scratch_.back().sent;
  return SQLITE_OK;
}

int HistoryStore::AppendProbes(HostRecord& host, std::int64_t minute,
                               const HistoryBlob::Bytes& block) {
  upsert_probes_.Bind(1, minute).Bind(2, host.id).Bind(3, block);
  const int code = upsert_probes_.Run();
  if (code != SQLITE_DONE) {
    return code;
  }
  tier_bytes_[0] += block.size();
  return SQLITE_OK;
}

std::vector<DelaySummary> HistoryStore::MinutesFromProbes(SqliteStatement& select_probes,
                                                          std::int64_t host_id, std::int64_t hour) {
  std::vector<DelaySummary> minutes;
  std::vector<HistoryBlob::Probe> probes;
  std::vector<std::uint16_t> delays;
  for (std::int64_t minute = hour * kMinutesPerHour; minute < (hour + 1) * kMinutesPerHour;
       ++minute) {
    select_probes.Bind(1, minute).Bind(2, host_id);
    if (select_probes.Step()) {
      minutes.push_back(
          SummarizeBlock(select_probes.BlobData(0), select_probes.BlobSize(0), probes, delays));
      minutes.back().start_s = minute * kMinuteS;
    }
    select_probes.Reset();
  }
  return minutes;
}

DelaySummary HistoryStore::SummarizeBlock(const unsigned char* data, std::size_t size,
                                          std::vector<HistoryBlob::Probe>& probes,
                                          std::vector<std::uint16_t>& delays) {
  probes.clear();
  HistoryBlob::DecodeProbes(data, size, probes);
  // Two runs in one minute wrote their probes one after the other: in time order again.
  const auto earlier = [](const auto& a, const auto& b) { return a.offset_ds < b.offset_ds; };
  if (!std::is_sorted(probes.begin(), probes.end(), earlier)) {
    std::stable_sort(probes.begin(), probes.end(), earlier);
  }
  delays.clear();
  for (const auto& probe : probes) {
    delays.push_back(probe.delay);
  }
  return HistoryRollup::Summarize(delays);
}

int HistoryStore::CloseHour(std::int64_t hour) {
  // Every host's minutes of the hour, in one pass over full detail in key order.
  std::map<std::int64_t, HistoryBlob::Bytes> blocks;
  std::vector<HistoryBlob::Probe> probes;
  std::vector<std::uint16_t> delays;
  SqliteStatement scan(db_,
                       "SELECT minute, host_id, probes FROM probe_blocks "
                       "WHERE minute >= ?1 AND minute < ?2");
  scan.Bind(1, hour * kMinutesPerHour).Bind(2, (hour + 1) * kMinutesPerHour);
  while (scan.Step()) {
    const DelaySummary minute = SummarizeBlock(scan.BlobData(2), scan.BlobSize(2), probes, delays);
    if (minute.count > 0) {
      HistoryBlob::AppendSummary(blocks[scan.Int(1)], HistoryBlob::kMinutes,
                                 static_cast<std::uint32_t>(scan.Int(0) - hour * kMinutesPerHour),
                                 minute);
    }
  }
  if (scan.code() != SQLITE_DONE) {
    return scan.code();
  }
  // What an earlier run summarised of this hour stays where full detail has gone since.
  SqliteStatement earlier(db_, "SELECT host_id, summaries FROM minute_blocks WHERE hour = ?1");
  earlier.Bind(1, hour);
  while (earlier.Step()) {
    tier_bytes_[1] -= std::min<std::uint64_t>(tier_bytes_[1], earlier.BlobSize(1));
    HistoryBlob::Bytes& block = blocks[earlier.Int(0)];
    KeepEarlierMinutes(earlier.BlobData(1), earlier.BlobSize(1), hour, block);
  }
  // Written once per hour, in key order: the pages of the tier fill up.
  for (const auto& [host_id, block] : blocks) {
    upsert_minutes_.Bind(1, hour).Bind(2, host_id).Bind(3, block);
    if (const int code = upsert_minutes_.Run(); code != SQLITE_DONE) {
      return code;
    }
    tier_bytes_[1] += block.size();
    std::vector<DelaySummary> minutes;
    HistoryBlob::DecodeSummaries(block.data(), block.size(), HistoryBlob::kMinutes, hour * kHourS,
                                 minutes);
    const std::int64_t day = FloorDiv(hour, 24);
    const int code =
        PutSummary(select_hours_, upsert_hours_, HistoryBlob::kHours, day, host_id,
                   static_cast<std::uint32_t>(hour - day * 24), HistoryRollup::Merge(minutes));
    if (code != SQLITE_OK) {
      return code;
    }
  }
  return SQLITE_OK;
}

void HistoryStore::KeepEarlierMinutes(const unsigned char* data, std::size_t size,
                                      std::int64_t hour, HistoryBlob::Bytes& block) {
  std::vector<DelaySummary> now;
  std::vector<DelaySummary> before;
  HistoryBlob::DecodeSummaries(block.data(), block.size(), HistoryBlob::kMinutes, hour * kHourS,
                               now);
  HistoryBlob::DecodeSummaries(data, size, HistoryBlob::kMinutes, hour * kHourS, before);
  for (const DelaySummary& minute : before) {
    if (std::none_of(now.begin(), now.end(),
                     [&](const auto& m) { return m.start_s == minute.start_s; })) {
      now.push_back(minute);
    }
  }
  std::sort(now.begin(), now.end(),
            [](const auto& a, const auto& b) { return a.start_s < b.start_s; });
  block.clear();
  for (const DelaySummary& minute : now) {
    HistoryBlob::AppendSummary(
        block, HistoryBlob::kMinutes,
        static_cast<std::uint32_t>(minute.start_s / kMinuteS - hour * kMinutesPerHour), minute);
  }
}

int HistoryStore::CloseHoursUntil(std::int64_t hour) {
  // After a long pause (or a clock set forward) the hours between had nothing.
  summarised_hour_ = std::max(summarised_hour_, hour - kHoursCaughtUp);
  while (summarised_hour_ < hour) {
    if (const int code = CloseHour(summarised_hour_ + 1); code != SQLITE_OK) {
      return code;
    }
    ++summarised_hour_;
  }
  return SQLITE_OK;
}

int HistoryStore::PutSummary(SqliteStatement& select, SqliteStatement& upsert,
                             const HistoryBlob::Layout& layout, std::int64_t slot,
                             std::int64_t host_id, std::uint32_t index,
                             const DelaySummary& summary) {
  HistoryBlob::Bytes block;
  std::size_t old_size = 0;
  select.Bind(1, slot).Bind(2, host_id);
  if (select.Step()) {
    const unsigned char* data = select.BlobData(0);
    old_size = select.BlobSize(0);
    const std::size_t size = old_size / layout.bytes * layout.bytes;
    const unsigned index_mask = (1u << layout.index_bits) - 1;
    // Keeps every record but one of the same period (its index is the lowest bits).
    for (std::size_t at = 0; at < size; at += layout.bytes) {
      if ((data[at] & index_mask) != index) {
        block.insert(block.end(), data + at, data + at + layout.bytes);
      }
    }
  }
  select.Reset();
  HistoryBlob::AppendSummary(block, layout, index, summary);
  upsert.Bind(1, slot).Bind(2, host_id).Bind(3, block);
  const int code = upsert.Run();
  if (code != SQLITE_DONE) {
    return code;
  }
  tier_bytes_[2] =
      tier_bytes_[2] + block.size() - std::min<std::uint64_t>(old_size, tier_bytes_[2]);
  return SQLITE_OK;
}

std::uint64_t HistoryStore::UsedBytes() {
  if (db_ == nullptr) {
    return 0;
  }
  SqliteStatement pages(db_,
                        "SELECT (SELECT page_count FROM pragma_page_count()) - "
                        "(SELECT freelist_count FROM pragma_freelist_count())");
  return pages.Step() ? static_cast<std::uint64_t>(pages.Int(0)) * page_size_ : 0;
}

void HistoryStore::EnforceLimits(std::int64_t now_s) {
  if (db_ == nullptr) {
    return;
  }
  const bool own_transaction = sqlite3_get_autocommit(db_) != 0;
  if (own_transaction && !Execute("BEGIN IMMEDIATE")) {
    return;
  }
  for (std::size_t tier = 0; tier < 3; ++tier) {
    const TierTable& table = kTiers[tier];
    const std::string where = std::string(" FROM ") + table.table + " WHERE " + table.slot + " < " +
                              std::to_string(FloorDiv(now_s - table.max_age_s, table.block_s));
    // The tally follows what ages out, or the budget would trim this tier for bytes it
    // no longer holds.
    const std::uint64_t aged = BlobBytes(tier, where);
    if (aged > 0 && Execute(("DELETE" + where).c_str())) {
      tier_bytes_[tier] -= std::min(tier_bytes_[tier], aged);
    }
  }
  const std::uint64_t cap_bytes = cap_pages_ * page_size_;
  if (UsedBytes() > cap_bytes * kTrimAbove) {
    for (int step = 0; step < kMaxTrimSteps && UsedBytes() > cap_bytes * kTrimTo; ++step) {
      const int code = TrimOldest(TierToTrim());
      if (code != SQLITE_OK && code != SQLITE_DONE) {
        break;
      }
    }
  }
  if (own_transaction) {
    Execute("COMMIT");
  }
}

std::size_t HistoryStore::TierToTrim() {
  // Full detail keeps the hours being summarised, unless nothing else is left.
  // Each in a subquery of its own, where SQLite finds it in the key without a scan.
  SqliteStatement span(db_,
                       "SELECT (SELECT max(minute) FROM probe_blocks) - "
                       "(SELECT min(minute) FROM probe_blocks)");
  const bool detail_is_recent = span.Step() && span.Int(0) < kKeptDetailMinutes;
  std::optional<std::size_t> worst;
  for (std::size_t tier = 0; tier < 3; ++tier) {
    if (tier_bytes_[tier] == 0 || (tier == 0 && detail_is_recent)) {
      continue;
    }
    // The tier furthest over its share.
    if (!worst ||
        tier_bytes_[tier] / kTiers[tier].share > tier_bytes_[*worst] / kTiers[*worst].share) {
      worst = tier;
    }
  }
  return worst.value_or(0);
}

std::uint64_t HistoryStore::BlobBytes(std::size_t tier, const std::string& from_where) {
  const char* blob = tier == 0 ? "probes" : "summaries";
  SqliteStatement size(db_,
                       (std::string("SELECT total(length(") + blob + "))" + from_where).c_str());
  return size.Step() ? static_cast<std::uint64_t>(size.Int(0)) : 0;
}

int HistoryStore::TrimOldest(std::size_t tier) {
  const TierTable& table = kTiers[tier];
  const std::string oldest =
      std::string("(SELECT min(") + table.slot + ") FROM " + table.table + ")";
  const std::string where =
      std::string(" FROM ") + table.table + " WHERE " + table.slot + " = " + oldest;
  const std::uint64_t freed = BlobBytes(tier, where);
  if (freed == 0) {
    // Nothing left in it: its share is taken by the others.
    tier_bytes_[tier] = 0;
    return SQLITE_DONE;
  }
  if (!Execute(("DELETE" + where).c_str())) {
    return sqlite3_extended_errcode(db_);
  }
  tier_bytes_[tier] -= std::min(tier_bytes_[tier], freed);
  return SQLITE_OK;
}

void HistoryStore::Checkpoint(bool truncate) {
  // Without automatic checkpoints the WAL grows only between these; a reader that never
  // stops can hold a passive one back, the truncating one waits for it (busy_timeout).
  sqlite3_wal_checkpoint_v2(db_, nullptr,
                            truncate ? SQLITE_CHECKPOINT_TRUNCATE : SQLITE_CHECKPOINT_PASSIVE,
                            nullptr, nullptr);
}

void HistoryStore::Close() {
  if (db_ == nullptr) {
    return;
  }
  // The hour under way is summarised as it stands; the next run in it redoes it.
  if (last_batch_ms_ >= 0 && Execute("BEGIN IMMEDIATE")) {
    if (CloseHoursUntil(FloorDiv(last_batch_ms_, kHourS * kMsPerS)) != SQLITE_OK ||
        !Execute("COMMIT")) {
      Execute("ROLLBACK");
    }
  }
  Checkpoint(true);
  for (SqliteStatement* statement : Statements()) {
    *statement = SqliteStatement();
  }
  sqlite3_close(db_);
  db_ = nullptr;
  std::lock_guard<std::mutex> lock(state_mutex_);
  writing_ = false;
}

void HistoryStore::Start() {
  writer_ = std::thread(&HistoryStore::WriterLoop, this);
}

void HistoryStore::Stop() {
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) {
    writer_.join();
  }
}

void HistoryStore::WriterLoop() {
  if (Open()) {
    std::unique_lock<std::mutex> lock(wake_mutex_);
    // Until Stop, or until the database is given up for good.
    for (bool stopping = false; !stopping && db_ != nullptr;) {
      wake_.wait_for(lock, options_.batch_period, [this] { return stop_; });
      // The last batch starts after Stop was called: it holds every probe made before.
      stopping = stop_;
      lock.unlock();
      WriteBatch(Clocks::Now());
      lock.lock();
    }
    lock.unlock();
    Close();
  }
  ReleaseSources();
}

bool HistoryStore::OpenReader() {
  if (reader_ != nullptr) {
    return true;
  }
  if (sqlite3_open_v2(path_.c_str(), &reader_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(reader_);
    reader_ = nullptr;
    return false;
  }
  sqlite3_busy_timeout(reader_, kBusyTimeoutMs);
  return true;
}

HistoryStore::Range HistoryStore::Query(const std::string& host, std::int64_t from_s,
                                        std::int64_t to_s, std::size_t max_points) {
  std::lock_guard<std::mutex> lock(reader_mutex_);
  Range range;
  if (to_s <= from_s || max_points == 0 || !OpenReader()) {
    return range;
  }
  SqliteStatement id(reader_, "SELECT id FROM hosts WHERE host = ?1");
  if (!id.ok() || !id.Bind(1, host).Step()) {
    return range;
  }
  const std::int64_t host_id = id.Int(0);
  std::vector<Outage> outages = ReadOutages(host_id, from_s * kMsPerS, to_s * kMsPerS);
  // Of the tiers that reach back to from_s within the blocks a query may read, the
  // coarsest whose records are short enough for the points asked (a 30-day graph from
  // 30 blocks of hours, not 720 of minutes), else the finest; without any, the one that
  // reaches back furthest. How far is told by the end of its oldest block: a coarse
  // tier's block starts at the hour or day its first data fell in, long before the data,
  // and would otherwise win over the finer tiers holding the same data (a new store's
  // day drawn in hours).
  const auto points = static_cast<std::int64_t>(max_points);
  const std::int64_t point_s = (to_s - from_s + points - 1) / points;
  std::optional<std::size_t> chosen;
  bool reaches = false;  // chosen reaches back to from_s
  std::int64_t earliest = 0;
  for (std::size_t tier = 0; tier < 3; ++tier) {
    const TierTable& table = kTiers[tier];
    if ((to_s - from_s) / table.block_s + 1 > kMaxQueryBlocks) {
      continue;
    }
    SqliteStatement oldest(
        reader_, (std::string("SELECT min(") + table.slot + ") FROM " + table.table).c_str());
    if (!oldest.Step() || oldest.Text(0).empty()) {
      continue;
    }
    const std::int64_t reach = (oldest.Int(0) + 1) * table.block_s;
    if (reach <= from_s) {
      if (!reaches || kTierPeriods[tier] <= kCoarserTierSlack * point_s) {
        chosen = tier;
        reaches = true;
      }
    } else if (!reaches && (!chosen || reach < earliest)) {
      chosen = tier;
      earliest = reach;
    }
  }
  if (chosen) {
    range = ReadRange(host_id, *chosen, from_s, to_s, max_points);
  }
  range.outages = std::move(outages);
  return range;
}

std::vector<HistoryStore::Outage> HistoryStore::ReadOutages(std::int64_t host_id,
                                                            std::int64_t from_ms,
                                                            std::int64_t to_ms) {
  // The state at from_ms, then every change up to to_ms, then the one that ends an
  // outage still open there: three walks along the index.
  SqliteStatement before(reader_,
                         "SELECT at_ms, to_state FROM state_changes WHERE host_id = ?1 AND "
                         "at_ms <= ?2 ORDER BY at_ms DESC, id DESC LIMIT 1");
  SqliteStatement within(reader_,
                         "SELECT at_ms, to_state FROM state_changes WHERE host_id = ?1 AND "
                         "at_ms > ?2 AND at_ms < ?3 ORDER BY at_ms, id");
  SqliteStatement after(reader_,
                        "SELECT at_ms FROM state_changes WHERE host_id = ?1 AND at_ms >= ?2 "
                        "AND to_state <> 'down' ORDER BY at_ms, id LIMIT 1");
  std::vector<Outage> outages;
  bool open = false;  // the latest outage has no end yet
  const auto take = [&](std::int64_t at_ms, const std::string& state) {
    if (state == "down" && !open) {
      outages.push_back({at_ms, std::nullopt});
      open = true;
    } else if (state != "down" && open) {
      outages.back().end_ms = at_ms;
      open = false;
    }
  };
  before.Bind(1, host_id).Bind(2, from_ms);
  if (before.Step()) {
    take(before.Int(0), before.Text(1));
  }
  within.Bind(1, host_id).Bind(2, from_ms).Bind(3, to_ms);
  while (within.Step()) {
    take(within.Int(0), within.Text(1));
  }
  after.Bind(1, host_id).Bind(2, to_ms);
  if (open && after.Step()) {
    outages.back().end_ms = after.Int(0);
  }
  return outages;
}

HistoryStore::Range HistoryStore::ReadRange(std::int64_t host_id, std::size_t tier,
                                            std::int64_t from_s, std::int64_t to_s,
                                            std::size_t max_points) {
  const TierTable& table = kTiers[tier];
  const std::string blob = tier == 0 ? "probes" : "summaries";
  SqliteStatement select(reader_, (std::string("SELECT ") + blob + " FROM " + table.table +
                                   " WHERE " + table.slot + " = ?1 AND host_id = ?2")
                                      .c_str());
  Range range;
  range.tier = static_cast<Tier>(tier);
  // Whole periods of the tier per point, enough of them to stay within max_points.
  const std::int64_t period = kTierPeriods[tier];
  const std::int64_t span = to_s - from_s;
  const auto points = static_cast<std::int64_t>(max_points);
  range.bucket_s = std::max<std::int64_t>(1, (span + points - 1) / points);
  range.bucket_s = (range.bucket_s + period - 1) / period * period;
  const std::size_t buckets =
      static_cast<std::size_t>((span + range.bucket_s - 1) / range.bucket_s);
  std::vector<std::vector<std::uint16_t>> delays(tier == 0 ? buckets : 0);
  std::vector<std::vector<DelaySummary>> parts(tier == 0 ? 0 : buckets);
  std::vector<HistoryBlob::Probe> probes;
  std::vector<DelaySummary> records;
  // An hour not yet summarised (the current one) is summarised from full detail here.
  SqliteStatement select_probes(
      reader_, "SELECT probes FROM probe_blocks WHERE minute = ?1 AND host_id = ?2");
  // Two statements: SQLite finds a bare min() or max() in the key, not both at once.
  SqliteStatement first(reader_, "SELECT min(minute) / 60 FROM probe_blocks");
  SqliteStatement last(reader_, "SELECT max(minute) / 60 FROM probe_blocks");
  const bool has_detail = first.Step() && last.Step() && !first.Text(0).empty();
  const std::int64_t detail_from = has_detail ? first.Int(0) : 0;
  const std::int64_t detail_to = has_detail ? last.Int(0) : -1;
  for (std::int64_t slot = FloorDiv(from_s, table.block_s);
       slot <= FloorDiv(to_s - 1, table.block_s); ++slot) {
    probes.clear();
    records.clear();
    select.Bind(1, slot).Bind(2, host_id);
    if (select.Step() && tier == 0) {
      HistoryBlob::DecodeProbes(select.BlobData(0), select.BlobSize(0), probes);
    } else if (select.code() == SQLITE_ROW) {
      HistoryBlob::DecodeSummaries(select.BlobData(0), select.BlobSize(0),
                                   tier == 1 ? HistoryBlob::kMinutes : HistoryBlob::kHours,
                                   slot * table.block_s, records);
    } else if (tier == 1 && slot >= detail_from && slot <= detail_to) {
      records = MinutesFromProbes(select_probes, host_id, slot);
    }
    select.Reset();
    std::stable_sort(probes.begin(), probes.end(),
                     [](const auto& a, const auto& b) { return a.offset_ds < b.offset_ds; });
    for (const auto& probe : probes) {
      const std::int64_t sent_ms =
          slot * kMinuteS * kMsPerS + probe.offset_ds * HistoryBlob::kMsPerOffset;
      if (sent_ms < from_s * kMsPerS || sent_ms >= to_s * kMsPerS) {
        continue;
      }
      std::optional<std::uint32_t> delay;
      if (probe.delay != kLostCode) {
        delay = probe.delay;
      }
      range.probes.push_back({sent_ms, delay});
      delays[static_cast<std::size_t>((sent_ms / kMsPerS - from_s) / range.bucket_s)].push_back(
          probe.delay);
    }
    for (const auto& record : records) {
      if (record.start_s >= from_s && record.start_s < to_s) {
        parts[static_cast<std::size_t>((record.start_s - from_s) / range.bucket_s)].push_back(
            record);
      }
    }
  }
  for (std::size_t bucket = 0; bucket < buckets; ++bucket) {
    const bool empty = tier == 0 ? delays[bucket].empty() : parts[bucket].empty();
    if (empty) {
      continue;
    }
    DelaySummary point =
        tier == 0 ? HistoryRollup::Summarize(delays[bucket]) : HistoryRollup::Merge(parts[bucket]);
    point.start_s = from_s + static_cast<std::int64_t>(bucket) * range.bucket_s;
    range.points.push_back(point);
  }
  return range;
}

std::vector<LogEntry> HistoryStore::ReadLog(std::size_t max_rows) {
  std::lock_guard<std::mutex> lock(reader_mutex_);
  if (max_rows == 0 || !OpenReader()) {
    return {};
  }
  // Each host's name once; the log names hosts by id.
  std::unordered_map<std::int64_t, std::string> names;
  SqliteStatement hosts(reader_, "SELECT id, host FROM hosts");
  while (hosts.Step()) {
    names.emplace(hosts.Int(0), hosts.Text(1));
  }
  // The newest rows written, a walk along the row ids (dense: rows only ever go from the
  // oldest end); within a batch they are host by host, so the time orders them after.
  SqliteStatement select(reader_,
                         "SELECT id, host_id, at_ms, from_state, to_state FROM state_changes "
                         "WHERE id > (SELECT max(id) FROM state_changes) - ?1");
  if (!select.ok()) {
    return {};  // a database of version 1, until the writer gives it the log
  }
  select.Bind(1, static_cast<std::int64_t>(std::min<std::size_t>(max_rows, INT64_MAX)));
  std::vector<LogEntry> read;
  std::vector<std::int64_t> host_ids;  // of each row read
  while (select.Step() && read.size() < max_rows) {
    LogEntry entry;
    entry.id = select.Int(0);
    host_ids.push_back(select.Int(1));
    entry.at_ms = select.Int(2);
    entry.host = names[host_ids.back()];
    // A state this code does not know (a later Lumoret's) reads as not yet known.
    entry.from = HostStateFromName(select.Text(3)).value_or(HostState::kNotYet);
    entry.to = HostStateFromName(select.Text(4)).value_or(HostState::kNotYet);
    read.push_back(std::move(entry));
  }
  std::vector<std::size_t> order(read.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&read](std::size_t a, std::size_t b) {
    return std::tie(read[a].at_ms, read[a].id) < std::tie(read[b].at_ms, read[b].id);
  });
  PairOutages(read, host_ids, order, read.size() == max_rows);
  std::vector<LogEntry> entries;
  entries.reserve(read.size());
  for (auto at = order.rbegin(); at != order.rend(); ++at) {
    entries.push_back(std::move(read[*at]));
  }
  return entries;
}

void HistoryStore::PairOutages(std::vector<LogEntry>& entries,
                               const std::vector<std::int64_t>& host_ids,
                               const std::vector<std::size_t>& order, bool older_rows) {
  // A recovery's outage began at the host's latest change into down before it; when the
  // rows read do not hold that, the log before them may.
  SqliteStatement earlier(reader_,
                          "SELECT at_ms FROM state_changes WHERE host_id = ?1 AND to_state = "
                          "'down' AND (at_ms < ?2 OR (at_ms = ?2 AND id < ?3)) "
                          "ORDER BY at_ms DESC, id DESC LIMIT 1");
  std::unordered_map<std::int64_t, std::int64_t> down_since;  // by host id
  for (std::size_t at : order) {
    LogEntry& entry = entries[at];
    const std::int64_t host_id = host_ids[at];
    if (entry.from == HostState::kDown) {
      const auto found = down_since.find(host_id);
      if (found != down_since.end()) {
        entry.outage_ms = entry.at_ms - found->second;
      } else if (older_rows && earlier.ok() &&
                 earlier.Bind(1, host_id).Bind(2, entry.at_ms).Bind(3, entry.id).Step()) {
        entry.outage_ms = entry.at_ms - earlier.Int(0);
      }
      earlier.Reset();
    }
    if (entry.to == HostState::kDown) {
      down_since[host_id] = entry.at_ms;
    }
  }
}

void HistoryStore::SetSources(std::vector<Source> sources) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (!finished_) {
    new_sources_ = std::move(sources);
  }
}
