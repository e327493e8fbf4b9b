// Feeds arbitrary bytes to the control server as one client connection: the
// header validation, the payload read and the dispatch against a registry of
// three manual services must end in a reply or a dropped connection, never
// in a crash or a leak. The services' start command does not exist, so a
// start request fails fast instead of leaving processes behind.
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/pollDefault/poll.h"
#include "src/control/ControlServer.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/daemon/DaemonWiring.h"
#include "src/manager/ServiceManager.h"
#include "src/process/ProcessTable.h"
#include "src/process/SysProcess.h"
#include "tests/fuzz/FuzzFiles.h"

namespace {

std::string scratchDir;

// Loop steps per input: enough for a request to be read, dispatched and
// answered; an operation still running after them finishes in a later input.
// The first steps do not wait: most requests are answered and closed within
// them, and a wait there would idle a millisecond per input while the
// clean-up timer a turn has just run leaves nothing else to wake the loop.
const int kLoopSteps = 64;
const int kBusySteps = 8;

int ConnectClient() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s",
           SentroConfig::Get()->ControlSocketPath().c_str());
  if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
    abort();
  }
  return fd;
}

// One turn of the loop, waiting at most waitUs for something to happen.
void RunLoopStep(int64_t waitUs) {
  static volatile uint8_t never = 0;
  PollRun(false, &never, 0, waitUs);
}

// Reads what the server sent; true once it closed the connection.
bool DrainReply(int fd) {
  uint8_t chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) {
  }
  return got == 0 || (errno != EAGAIN && errno != EINTR);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  scratchDir = MakeFuzzScratchDir("control-fuzz");
  for (const char *dir : {"/sysroot", "/svcCfgfiles", "/muxServerInstanceCfgfiles", "/.svcStats"}) {
    mkdir((scratchDir + dir).c_str(), 0700);
  }
  // Every fixed system path (core directory, gcore) resolves in the sysroot.
  setenv("SENTRO_SYSROOT", (scratchDir + "/sysroot").c_str(), 1);
  SysrootReset();
  WriteFuzzFile(scratchDir + "/config.json",
                "{\"LogLevel\": 1, \"SocketIOTimeout\": 1, \"EnableLivenessCheck\": false,"
                " \"PerformPeriodicHealthCheck\": false, \"RecoverOnServiceCrash\": false,"
                " \"RecoverOnServiceHealthFail\": false}");
  for (const char *name : {"alpha", "beta", "gamma"}) {
    WriteFuzzFile(scratchDir + "/svcCfgfiles/" + name + ".json",
                  std::string("{\"Name\": \"") + name +
                      "\", \"StartupType\": \"MANUAL\", \"StartCommand\": \"" + scratchDir +
                      "/no-such-program\"" +
                      (std::string(name) == "gamma" ? ", \"DependsOn\": [\"alpha\"]" : "") + "}");
  }
  WriteFuzzFile(scratchDir + "/profiles.json", "{\"CORE\": [\"alpha\", \"gamma\"]}");

  if (SentroConfig::Load(scratchDir, scratchDir) == nullptr) {
    abort();
  }
  PollInstallDefault();
  CreateProcessTable();
  // The daemon's own wiring: the registry and the env the server acts through.
  DaemonEnv &env = TheDaemonEnv();
  bool served = CreateServer(SentroConfig::Get()->ControlSocketPath(), env.controlContext());
  env.AttachRegistry(ServiceManager::Create(&env));
  if (!served || env.registry() == nullptr) {
    abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fd = ConnectClient();
  size_t sent = 0;
  bool closed = false;
  for (int step = 0; step < kLoopSteps && !closed; step++) {
    if (sent < size) {
      ssize_t written = write(fd, data + sent, size - sent);
      if (written > 0) {
        sent += static_cast<size_t>(written);
      } else if (errno != EAGAIN && errno != EINTR) {
        sent = size;  // the server has gone away from this connection
      }
      if (sent == size) {
        shutdown(fd, SHUT_WR);
      }
    } else if (size == 0 && step == 0) {
      shutdown(fd, SHUT_WR);
    }
    RunLoopStep(step < kBusySteps ? 0 : 1000);
    ReapChildren();
    closed = DrainReply(fd);
  }
  close(fd);
  // Let the server notice the close and clean up before the next input.
  for (int step = 0; step < 4; step++) {
    RunLoopStep(0);
  }
  return 0;
}
