#include "engine/sqlite_statement.h"

#include <sqlite3.h>

#include <utility>

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql) {
  code_ = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
  if (code_ != SQLITE_OK) {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
  }
}

SqliteStatement::~SqliteStatement() {
  sqlite3_finalize(statement_);
}

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : statement_(std::exchange(other.statement_, nullptr)), code_(other.code_) {}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(statement_);
    statement_ = std::exchange(other.statement_, nullptr);
    code_ = other.code_;
  }
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::int64_t value) {
  sqlite3_bind_int64(statement_, index, value);
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, const std::string& text) {
  sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, const std::vector<unsigned char>& blob) {
  // Not transient: the caller keeps the bytes until the statement has run.
  sqlite3_bind_blob(statement_, index, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
  return *this;
}

bool SqliteStatement::Step() {
  code_ = sqlite3_step(statement_);
  return code_ == SQLITE_ROW;
}

int SqliteStatement::Run() {
  while (Step()) {
  }
  const int result = code_;
  Reset();
  return result;
}

void SqliteStatement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

std::int64_t SqliteStatement::Int(int column) const {
  return sqlite3_column_int64(statement_, column);
}

const unsigned char* SqliteStatement::BlobData(int column) const {
  return static_cast<const unsigned char*>(sqlite3_column_blob(statement_, column));
}

std::size_t SqliteStatement::BlobSize(int column) const {
  return static_cast<std::size_t>(sqlite3_column_bytes(statement_, column));
}

std::string SqliteStatement::Text(int column) const {
  const auto* text = sqlite3_column_text(statement_, column);
  return text == nullptr
             ? std::string()
             : std::string(reinterpret_cast<const char*>(text),
                           static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}
