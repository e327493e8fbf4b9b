// What the telemetry tests share: a sysroot with a freshly installed metrics
// database, direct SQL on that database, a hand-set wall clock and a record
// of every logged message.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/TempDir.h"

// A scratch directory on tmpfs when the machine has one (SQLite syncs every
// commit, which costs tens of milliseconds on a disk), removed at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  const std::string &path() const { return path_; }
  std::string Sub(const std::string &relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

using LoggedMessage = CapturedMessage;

// Every message logged since construction or the last Clear.
class TelemetryLog {
 public:
  TelemetryLog();
  std::vector<LoggedMessage> Messages() const;
  bool Has(int level, const std::string &text) const;
  int Count(const std::string &text) const;
  std::string Text() const;  // one "level text" line per message
  // The same without the process launcher's lines about the push helper.
  std::string TextWithoutLauncher() const;
  void Clear();
};

using Rows = std::vector<std::vector<std::string>>;

// The source tree, for the shipped schema and scripts.
std::string SourceDir();

// A test with SENTRO_SYSROOT set to a scratch directory that holds an
// installed metrics database, the store reset, TZ=UTC and a wall clock the
// test sets (SetNow).
class TelemetryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the database under the sysroot from the shipped schema.
  void InstallDatabase();
  // Runs sql (several statements allowed) on the database; fails the test on
  // error.
  void Exec(const std::string &sql);
  // The rows of a query, NULL as "<null>".
  Rows Query(const std::string &sql);
  std::string QueryOne(const std::string &sql);

  // Writes a file under the sysroot (path as on the appliance) or anywhere.
  void WriteSysFile(const std::string &systemPath, const std::string &content);

  static void SetNow(double seconds);

  ScratchDir root_;
  TelemetryLog log_;
  std::string savedTz_;
  bool hadTz_ = false;
};

// 2026-01-01 00:00:00 UTC.
#define TEST_EPOCH 1767225600.0
