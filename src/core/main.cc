#include "src/core/Daemon.h"
#include "src/core/FipsProbe.h"

int main(int argc, char **argv) {
  RunFipsProbeIfAsked();
  return DaemonMain(argc, argv);
}
