// Feeds arbitrary bytes to the control server as one client connection: the
// header validation, the payload read and the dispatch against a registry of
// three manual services must end in a reply or a dropped connection, never
// in a crash or a leak. The start command does not exist, so a start fails
// fast instead of leaving processes behind.
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

// Loop steps per input: enough for a request to be read, dispatched and
// answered. The first steps do not wait: most requests are answered within
// them, and a wait there would idle a millisecond per input since the
// clean-up timer a turn has just run leaves nothing else to wake the loop.
const int kLoopSteps = 64;
const int kBusySteps = 8;

void RunLoopStep(int64_t waitUs) {
  static volatile uint8_t never = 0;
  PollRun(false, &never, 0, waitUs);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string scratch = MakeFuzzScratchDir("control-fuzz");
  for (const char *dir : {"/sysroot", "/svcCfgfiles", "/muxServerInstanceCfgfiles", "/.svcStats"}) {
    mkdir((scratch + dir).c_str(), 0700);
  }
  // Every fixed system path (core directory, gcore) resolves in the sysroot.
  setenv("SENTRO_SYSROOT", (scratch + "/sysroot").c_str(), 1);
  SysrootReset();
  WriteFuzzFile(scratch + "/config.json",
                "{\"LogLevel\": 1, \"SocketIOTimeout\": 1, \"EnableLivenessCheck\": false,"
                " \"PerformPeriodicHealthCheck\": false, \"RecoverOnServiceCrash\": false,"
                " \"RecoverOnServiceHealthFail\": false}");
  for (std::string name : {"alpha", "beta", "gamma"}) {
    WriteFuzzFile(scratch + "/svcCfgfiles/" + name + ".json",
                  "{\"Name\": \"" + name + "\", \"StartupType\": \"MANUAL\", \"StartCommand\": \"" +
                      scratch + "/no-such-program\"" +
                      (name == "gamma" ? ", \"DependsOn\": [\"alpha\"]" : "") + "}");
  }
  WriteFuzzFile(scratch + "/profiles.json", "{\"CORE\": [\"alpha\", \"gamma\"]}");
  if (SentroConfig::Load(scratch, scratch) == nullptr) abort();
  PollInstallDefault();
  CreateProcessTable();
  // The daemon's own wiring: the registry and the env the server acts through.
  DaemonEnv &env = TheDaemonEnv();
  bool served = CreateServer(SentroConfig::Get()->ControlSocketPath(), env.controlContext());
  env.AttachRegistry(ServiceManager::Create(&env));
  if (!served || env.registry() == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  struct sockaddr_un address = {AF_UNIX, {}};
  snprintf(address.sun_path, sizeof address.sun_path, "%s",
           SentroConfig::Get()->ControlSocketPath().c_str());
  if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
    abort();
  }
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
    }
    if (sent == size && (size > 0 || step == 0)) shutdown(fd, SHUT_WR);
    RunLoopStep(step < kBusySteps ? 0 : 1000);
    ReapChildren();
    uint8_t chunk[4096];  // read the reply; the server closing ends the input
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
    }
    closed = got == 0 || (errno != EAGAIN && errno != EINTR);
  }
  close(fd);
  for (int step = 0; step < 4; step++) {  // the server notices the close
    RunLoopStep(0);
  }
  return 0;
}
