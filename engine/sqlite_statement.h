#ifndef LUMORET_ENGINE_SQLITE_STATEMENT_H
#define LUMORET_ENGINE_SQLITE_STATEMENT_H

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One prepared SQLite statement, finalized with its owner. Binds take 1-based indices,
// columns 0-based, as SQLite counts them.
class SqliteStatement {
 public:
  SqliteStatement() = default;
  // Prepares sql on db; ok() tells whether it could be, code() why not.
  SqliteStatement(sqlite3* db, const char* sql);
  ~SqliteStatement();
  SqliteStatement(SqliteStatement&& other) noexcept;
  SqliteStatement& operator=(SqliteStatement&& other) noexcept;
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  // The result of preparing, or of the latest Step.
  int code() const { return code_; }

  SqliteStatement& Bind(int index, std::int64_t value);
  SqliteStatement& Bind(int index, const std::string& text);
  SqliteStatement& Bind(int index, const std::vector<unsigned char>& blob);
  // One step: true while it yields a row; false when done or failed (code() says).
  bool Step();
  // Runs it to the end, then makes it ready for new bindings; SQLITE_DONE on success.
  int Run();
  // Makes it ready to run again, keeping nothing bound.
  void Reset();

  std::int64_t Int(int column) const;
  // A blob column's bytes and size; valid until the next Step or Reset.
  const unsigned char* BlobData(int column) const;
  std::size_t BlobSize(int column) const;
  std::string Text(int column) const;

 private:
  sqlite3_stmt* statement_ = nullptr;  // null when it could not be prepared
  int code_ = 0;                       // SQLite's result code of the latest call
};

#endif  // LUMORET_ENGINE_SQLITE_STATEMENT_H
