// Connects the calls that lower layers make upward (a service reporting a
// system failure, a batch updating the metrics store) to the pieces that
// answer them. Start-up runs it once, before the service manager exists.
#pragma once

void WireDaemonHooks();
