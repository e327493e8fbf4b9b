#include "src/service/MuxServerHooks.h"

#include "src/service/MuxServerList.h"
#include "src/service/MuxServletProcessImpl.h"
#include "src/service/ServiceHooks.h"

static SysProcess *CreateServletProcess(const std::string &muxServerName) {
  return CreateMuxServlet(muxServerName);
}

void InstallMuxServerHooks(MuxServersEntryPoint *loadSlot, MuxServersEntryPoint *reloadSlot) {
  GetServiceHooks().createServletProcess = CreateServletProcess;
  *loadSlot = LoadMuxServers;
  *reloadSlot = ReloadMuxServers;
}
