#include "src/daemon/Daemon.h"
#include "src/daemon/FipsProbe.h"

int main(int argc, char **argv) {
  RunFipsProbeIfAsked();
  return DaemonMain(argc, argv);
}
