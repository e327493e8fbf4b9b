// sentro-telemetry-push DATABASE INSTANCE-ID
//
// Sends the unsent rows of both metrics tables of DATABASE to the local
// analytics service and marks them as sent. Started by the daemon for each
// periodic push; its log records go to standard output, which the daemon
// reads and logs.
#include <unistd.h>

#include <cstdio>

#include "lib/log/log.h"
#include "src/telemetry/TelemetryUpload.h"
#include "tools/telemetry-push/AnalyticsPost.h"
#include "tools/telemetry-push/PushLogOutput.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s DATABASE INSTANCE-ID\n", argv[0]);
    return 2;
  }
  if (!InstallPushLogOutput(STDOUT_FILENO)) {
    return 1;
  }
  TelemetryPushSetup setup;
  setup.databasePath = argv[1];
  setup.url = AnalyticsUrl(argv[2]);
  setup.post = PushDataToAnalytics;
  PushAllTelemetryTables(setup);
  LogShutdown();
  return 0;
}
