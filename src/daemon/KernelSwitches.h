// The two system-level switches the daemon touches: the machine restart (the
// last resort of recovery) and the kernel's core-dump pattern.
#pragma once

// Flushes the file systems and asks the kernel to restart (restart true) or
// power off. Returns true when the request was refused (the call returned).
// Under SENTRO_SYSROOT the request is only recorded, as a line "RESTART" or
// "POWER_OFF" appended to $SENTRO_SYSROOT/reboot-requests, and refused.
bool RestartSystem(bool restart);

// reset false (start-up): core dumps are piped to
// "$NORVANE_HUB_HOME/norvane-sentro/sentro-coredumper %e %s %p";
// reset true (shutdown): "/var/core/core.%e.%p". Failures are logged only.
void SetCorePattern(bool reset);
