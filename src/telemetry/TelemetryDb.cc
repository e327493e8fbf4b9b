#include "src/telemetry/TelemetryDb.h"

#include "lib/log/log.h"

#define SQL_BEGIN_TRANSACTION "BEGIN TRANSACTION;"
#define SQL_COMMIT "COMMIT;"

// The push helper reads the database while the daemon may be writing its
// operation records. A short wait lets the two take turns; failing at once
// would drop the records that write carried. A lock held longer than this
// still fails the step with its message.
const int kBusyWaitMs = 200;

bool TelemetryDb::Open(const std::string &path, const char *step) {
  Close();
  int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) {
    const char *error = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    LogAtLevel(LOG_INFO, "Can't open database connection at %s, error %s\n", path.c_str(), error);
    Close();
    LogAtLevel(LOG_WARNING, "[%s] Database connection failed.\n", step);
    return false;
  }
  sqlite3_busy_timeout(db_, kBusyWaitMs);
  return true;
}

bool TelemetryDb::ExecTransactionStatement(const char *sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    LogAtLevel(LOG_INFO, "Database transaction %s failed\n", sql);
    return false;
  }
  return true;
}

bool TelemetryDb::Begin(const char *step) {
  if (!ExecTransactionStatement(SQL_BEGIN_TRANSACTION)) {
    LogAtLevel(LOG_WARNING, "[%s] BEGIN TRANSACTION failed.\n", step);
    return false;
  }
  return true;
}

bool TelemetryDb::Commit(const char *step) {
  if (!ExecTransactionStatement(SQL_COMMIT)) {
    LogAtLevel(LOG_WARNING, "[%s] SQLITE COMMIT failed.\n", step);
    return false;
  }
  return true;
}

bool TelemetryDb::Prepare(const char *sql, const char *step, TelemetryStatement *statement) {
  statement->Finalize();
  if (sqlite3_prepare_v2(db_, sql, -1, &statement->stmt_, nullptr) != SQLITE_OK) {
    statement->Finalize();
    LogAtLevel(LOG_INFO, "prepare SQL statement %s failed\n", sql);
    LogAtLevel(LOG_WARNING, "[%s] PrepareSQLStmt failed.\n", step);
    return false;
  }
  return true;
}

void TelemetryDb::Close() {
  if (db_ != nullptr) {
    // The _v2 close defers to the last finalize, so a statement that is
    // still alive cannot keep the file open; an open transaction rolls back.
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
}

bool TelemetryStatement::BindText(int index, const std::string &text) {
  return sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                           SQLITE_TRANSIENT) == SQLITE_OK;
}

int TelemetryStatement::Step() {
  return sqlite3_step(stmt_);
}

void TelemetryStatement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

void TelemetryStatement::Finalize() {
  if (stmt_ != nullptr) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

int TelemetryStatement::ColumnCount() const {
  return sqlite3_column_count(stmt_);
}

const char *TelemetryStatement::ColumnName(int column) const {
  return sqlite3_column_name(stmt_, column);
}

const char *TelemetryStatement::ColumnText(int column, size_t *length) const {
  const unsigned char *text = sqlite3_column_text(stmt_, column);
  *length = text != nullptr ? static_cast<size_t>(sqlite3_column_bytes(stmt_, column)) : 0;
  return reinterpret_cast<const char *>(text);
}
