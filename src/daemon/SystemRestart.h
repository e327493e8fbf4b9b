// Restarting or powering off the whole machine, the last resort of recovery.
#pragma once

// Flushes the file systems and asks the kernel to restart (restart true) or
// power off. Returns true when the request was refused (the call returned).
// Under SENTRO_SYSROOT the request is only recorded, as a line "RESTART" or
// "POWER_OFF" appended to $SENTRO_SYSROOT/reboot-requests, and refused.
bool RestartSystem(bool restart);
