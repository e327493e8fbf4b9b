// The SQLite connection of one telemetry write or read: opened for one
// transaction and closed again, never kept between calls.
//
// Every failure is logged twice, as the operators know it: an info line
// from the database layer naming what failed, then a warning tagged with
// the step of the caller ("[InsertSvcsOpDataToDb] ..."). A connection
// closed while its transaction is open rolls the transaction back, so a
// write that stops half way leaves the database as it was.
#pragma once

#include <sqlite3.h>

#include <string>

class TelemetryStatement;

class TelemetryDb {
 public:
  TelemetryDb() = default;
  ~TelemetryDb() { Close(); }
  TelemetryDb(const TelemetryDb &) = delete;
  TelemetryDb &operator=(const TelemetryDb &) = delete;

  // Opens an existing database file for reading and writing; the file and
  // its tables are never created here.
  bool Open(const std::string &path, const char *step);
  bool Begin(const char *step);
  bool Commit(const char *step);
  // Compiles sql into statement.
  bool Prepare(const char *sql, const char *step, TelemetryStatement *statement);
  void Close();

 private:
  bool ExecTransactionStatement(const char *sql);

  sqlite3 *db_ = nullptr;
};

// One prepared statement; finalised when it goes out of scope or is
// prepared again, always before its connection closes.
class TelemetryStatement {
 public:
  TelemetryStatement() = default;
  ~TelemetryStatement() { Finalize(); }
  TelemetryStatement(const TelemetryStatement &) = delete;
  TelemetryStatement &operator=(const TelemetryStatement &) = delete;

  // Binds parameter index (from 1) to a copy of text.
  bool BindText(int index, const std::string &text);
  // One step: SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();
  // Makes the statement ready to run again with new bindings.
  void Reset();
  void Finalize();

  int ColumnCount() const;
  const char *ColumnName(int column) const;
  // The column's text of the current row; null for an SQL NULL.
  const char *ColumnText(int column, size_t *length) const;

 private:
  friend class TelemetryDb;
  sqlite3_stmt *stmt_ = nullptr;
};
