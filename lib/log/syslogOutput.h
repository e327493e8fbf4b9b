// The syslog output: each line goes to the system log with the priority of
// its level, as plain text, with a structured element in front when it
// carries an operation id or the output has an extra identity.
#pragma once

// The private enterprise number in the structured elements ("msg@32473"):
// the number reserved for documentation and examples, since this product
// registers none of its own.
#define SYSLOG_ENTERPRISE_NUMBER 32473

// The longest identity accepted for the system log.
#define SYSLOG_IDENTITY_MAX 48

// The calls the output makes into the system log, replaceable so that tests
// can see what would be sent without a running syslog daemon.
struct SyslogApi {
  // Opens the system log with the process id in every record.
  void (*open)(const char *identity, int facility);
  void (*send)(int priority, const char *format, ...);
  void (*close)();
};

// The facility "user", the default.
#define SYSLOG_FACILITY_USER 8

// The system's openlog/syslog/closelog.
const SyslogApi &SyslogSystemApi();

// Installs replacements; null restores the system's openlog/syslog/closelog.
void SyslogOutputSetApi(const SyslogApi *api);
