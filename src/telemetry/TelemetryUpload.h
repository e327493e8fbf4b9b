// One telemetry push: the unsent rows of a metrics table become one JSON
// document posted to the local analytics service, and the rows of every
// operation that went out are marked as sent.
//
// This code runs in the short-lived helper program sentro-telemetry-push,
// never in the daemon: the HTTP client and the TLS library it drags in are
// too heavy to keep mapped (and locked) in a daemon that lives for months.
// The transfer itself is a function the caller supplies, so the daemon's
// library stays free of the HTTP client and tests can post in-process.
#pragma once

#include <set>
#include <string>

// The local analytics endpoint.
#define ANALYTICS_HOST "127.0.0.1"
#define ANALYTICS_PORT 15080
#define ANALYTICS_PATH "/analytics/telemetry/ph/api/hyper/send"
#define ANALYTICS_COLLECTOR "SKLA.7_0_1"

// The payload's member naming the kind of rows.
#define TELEMETRY_TYPE_MEMBER "@type"

// Posts payload to url; true when an HTTP exchange completed, whatever its
// status. Logs its own messages.
typedef bool (*AnalyticsPoster)(const std::string &url, const std::string &payload);

struct TelemetryTable {
  const char *name;
  const char *selectSql;
  const char *typeValue;
  const char *markSentSql;
};

// svcOpMetrics, then svcSubEvents: the order of every push.
extern const TelemetryTable kTelemetryTables[2];

struct TelemetryPushSetup {
  std::string databasePath;
  std::string url;
  AnalyticsPoster post = nullptr;
};

// The endpoint's URL for this instance; nothing in it is escaped.
std::string AnalyticsUrl(const std::string &instanceId);

// Runs the select and builds the payload: an array of one object per row,
// each with one string member per column (an SQL NULL as an empty string)
// followed by "@type". Collects the rows' distinct operation ids. False,
// after its message, when the select cannot be run to its end.
bool BuildTelemetryPayload(const std::string &databasePath, const char *selectSql,
                           const char *typeValue, std::string *payload,
                           std::set<std::string> *operationIds);

// Marks every row of the given operations as sent, in one transaction.
void UpdateProcessedSvcsData(const std::string &databasePath, const char *markSentSql,
                             const std::set<std::string> &operationIds);

// One push of one table; no request when there is nothing unsent.
void CreatePayloadAndSendToAnalytics(const TelemetryPushSetup &setup, const char *selectSql,
                                     const char *typeValue, const char *tableName);

// Both tables, each on its own.
void PushAllTelemetryTables(const TelemetryPushSetup &setup);
