// The container process of a servlet container instance: started once for
// all its servlets, and its end or core dump passed on to every servlet
// attached at that moment.
#pragma once

struct MuxServerInstance;

// Starts the instance's container unless it is running already; true when it
// runs afterwards. A container whose start failed is tried again by the next
// call.
bool StartMuxServer(MuxServerInstance *instance);
