// The program's identity as printed in the header lines of a log file.
#pragma once

struct LogAppInfo {
  const char *appName;
  const char *version;
  const char *build;
  const char *option;
};

// The registered texts; "unknown" for a text never registered.
LogAppInfo LogGetAppInfo();
