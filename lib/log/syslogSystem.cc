// The system log calls behind the syslog output. Kept apart because
// <syslog.h> defines LOG_INFO and its siblings as macros, which collide with
// the facility's own level names.
#include <syslog.h>

#include "lib/log/syslogOutput.h"

static void SystemOpen(const char *identity, int facility) {
  openlog(identity, LOG_PID, facility);
}

const SyslogApi &SyslogSystemApi() {
  static_assert(LOG_USER == SYSLOG_FACILITY_USER, "facility codes are shifted by 3");
  static const SyslogApi api = {SystemOpen, syslog, closelog};
  return api;
}
