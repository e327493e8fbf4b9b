// Plugs the servlet containers into the pieces that use them: the service
// loader's servlet factory, and the registry's load and reload of the
// instance files. Start-up calls it once, before the registry is created.
#pragma once

// The registry's entry points for the instance files, as it declares them.
typedef bool (*MuxServersEntryPoint)();

// Fills the service loader's servlet factory, and the two registry slots the
// caller hands in (the registry sits above services and is not reached from
// here): *loadSlot loads the instances, *reloadSlot reloads them. Typically
//   InstallMuxServerHooks(&ServiceManager::GetHooks().loadMuxServers,
//                         &ServiceManager::GetHooks().reloadMuxServers);
void InstallMuxServerHooks(MuxServersEntryPoint *loadSlot, MuxServersEntryPoint *reloadSlot);
