-- The operation metrics database of Sentro:
--   /etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db
-- installed by scripts/install-telemetry-db.sh. The daemon never creates or
-- alters these tables; it binds every value as text.
--
-- sentToAnalytics is INTEGER so that the stored 0 compares equal to the
-- text literal '0' the push selects with (the literal takes the column's
-- numeric affinity). Rows start unsent; the push sets 1.

CREATE TABLE IF NOT EXISTS svcOpMetrics (
  operationID           TEXT NOT NULL,
  operation             TEXT NOT NULL,
  serviceName           TEXT NOT NULL,
  operationStartTime    TEXT,
  operationEndTime      TEXT,
  timeForOperationInSec TEXT,
  serviceStatus         TEXT,
  buildNumber           TEXT,
  versionNumber         TEXT,
  sentToAnalytics       INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS svcSubEvents (
  serviceName              TEXT NOT NULL,
  operationID              TEXT NOT NULL,
  subPhase                 TEXT,
  timeForCompletetionInSec TEXT,
  phaseStatus              TEXT,
  buildNumber              TEXT,
  versionNumber            TEXT,
  sentToAnalytics          INTEGER NOT NULL DEFAULT 0
);

-- One row of counters per service and build.
CREATE TABLE IF NOT EXISTS svcOpCounts (
  serviceName           TEXT NOT NULL,
  buildNumber           TEXT NOT NULL,
  versionNumber         TEXT,
  startOperationCount   INTEGER NOT NULL DEFAULT 0,
  stopOperationCount    INTEGER NOT NULL DEFAULT 0,
  restartOperationCount INTEGER NOT NULL DEFAULT 0,
  UNIQUE (serviceName, buildNumber)
);

-- The push marks rows by operation.
CREATE INDEX IF NOT EXISTS svcOpMetricsByOperation ON svcOpMetrics (operationID);
CREATE INDEX IF NOT EXISTS svcSubEventsByOperation ON svcSubEvents (operationID);
