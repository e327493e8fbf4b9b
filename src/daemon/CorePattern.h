// The kernel's core-dump pattern: at start-up core dumps are piped to the
// appliance's core-dump handler, at shutdown they go back to plain files.
#pragma once

// reset false: "|$NORVANE_HUB_HOME/norvane-sentro/sentro-coredumper %e %s %p";
// reset true: "/var/core/core.%e.%p". Failures are logged, never fatal.
void SetCorePattern(bool reset);
