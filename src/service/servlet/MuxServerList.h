// The process-wide list of servlet container instances, loaded from the
// instance directory before the service definitions (which name instances)
// and reloaded with them. It lives until the daemon exits.
#pragma once

#include <string>

struct MuxServerInstance;

// Loads every file of the instance directory, in the order of the listing,
// into a fresh list. A file that fails to load is skipped with its messages.
// False only when the directory cannot be listed.
bool LoadMuxServers();

// Reloads every instance's file; all are attempted, true when all succeeded.
bool ReloadMuxServers();

// The first instance whose name is exactly name, or null.
MuxServerInstance *FindMuxServer(const std::string &name);
