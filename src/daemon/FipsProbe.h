// Asks the cryptographic library whether it runs in FIPS mode without ever
// mapping it into the daemon: the daemon locks all its memory, and libcrypto
// cannot be unloaded once loaded. The question is answered by a short-lived
// copy of the daemon's own executable that loads the library, prints the
// answer and exits.
#pragma once

// In main, before anything else: when this process is the probe, answers and
// exits; otherwise returns at once.
void RunFipsProbeIfAsked();

// Starts the probe, waits for its answer (a few seconds at most) and reaps
// it. A probe that cannot run or cannot find the library answers false.
bool QueryFipsMode();
