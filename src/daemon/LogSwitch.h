// Installs the daemon's one log output, a rotating "sentro.log" file or
// syslog, and replaces it when the configuration asks for the other kind.
#pragma once

struct LogOutput;

// Creates the output, hands it the level, and swaps it in for the current
// one. A failed creation keeps the current output.
void SwitchLogger(bool logToSyslog, int level);

// The output installed by the last successful switch, or null.
LogOutput *CurrentLogOutput();
