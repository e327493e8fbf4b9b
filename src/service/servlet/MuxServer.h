// Servlet container instances (a "mux server"): the process that hosts the
// servlet services naming it, as described by its file in the instance
// directory. The instances form one process-wide list, loaded before the
// service definitions (which name instances) and reloaded with them; it lives
// until the daemon exits. The container is started by its first servlet and
// stopped with its last one; the servlets themselves are
// MuxServletProcessImpl objects.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "src/process/SysProcess.h"

class MuxServletProcessImpl;

struct MuxServerInstance {
  std::string name;
  std::string fileName;
  std::string startCommand;
  std::vector<std::string> startCommandArgs;
  // The user of the next container start: the file's "RunAsUser" at first,
  // then that of the last servlet started with a user of its own.
  std::string runAsUser;
  std::string workingDir;
  // The container's process; absent until the first start.
  std::unique_ptr<SysProcess> process;
  // The servlets attached to the running container, in address order. Not
  // owned: each belongs to its Service.
  std::set<MuxServletProcessImpl *> servlets;
};

// Reads the instance's file (instance directory + "/" + fileName). The first
// load also takes "Name" and "RunAsUser"; a reload keeps both. On failure the
// instance is left as it was.
bool LoadMuxServer(MuxServerInstance *instance, bool reload);
// LoadMuxServer with the reload flag set.
bool ReloadMuxServer(MuxServerInstance *instance);

// Loads every file of the instance directory, in the order of the listing,
// into a fresh list. A file that fails to load is skipped with its messages.
// False only when the directory cannot be listed.
bool LoadMuxServers();
// Reloads every instance's file; all are attempted, true when all succeeded.
bool ReloadMuxServers();
// The first instance whose name is exactly name, or null.
MuxServerInstance *FindMuxServer(const std::string &name);

// Starts the instance's container unless it is running already; true when it
// runs afterwards. A container whose start failed is tried again by the next
// call.
bool StartMuxServer(MuxServerInstance *instance);
