// sentro-telemetry-push DATABASE
//
// Sends the unsent rows of both metrics tables of DATABASE to the local
// analytics service and marks them as sent. Started by the daemon for each
// periodic push that has rows to send; the instance id comes in the
// environment (never on the command line, which the daemon logs). Its log
// records go to standard output, which the daemon reads and logs.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "lib/log/log.h"
#include "src/telemetry/TelemetryPush.h"
#include "src/telemetry/TelemetryUpload.h"
#include "tools/telemetry-push/AnalyticsPost.h"
#include "tools/telemetry-push/PushLogOutput.h"

int main(int argc, char **argv) {
  const char *instanceId = getenv(TELEMETRY_PUSH_INSTANCE_ID_VARIABLE);
  if (argc != 2 || instanceId == nullptr) {
    fprintf(stderr, "usage: " TELEMETRY_PUSH_INSTANCE_ID_VARIABLE "=ID %s DATABASE\n", argv[0]);
    return 2;
  }
  if (!InstallPushLogOutput(STDOUT_FILENO)) {
    return 1;
  }
  TelemetryPushSetup setup;
  setup.databasePath = argv[1];
  setup.url = AnalyticsUrl(instanceId);
  setup.post = PushDataToAnalytics;
  PushAllTelemetryTables(setup);
  LogShutdown();
  return 0;
}
