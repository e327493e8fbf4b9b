#include "src/daemon/Lifecycle.h"

namespace {
uint8_t shutdownStarted = 0;
volatile uint8_t exitFlag = 0;
}  // namespace

bool BeginShutdownOnce() {
  if (shutdownStarted != 0) {
    return false;
  }
  shutdownStarted = 1;
  return true;
}

bool IsShutdownStarted() {
  return shutdownStarted != 0;
}

volatile uint8_t *DaemonExitFlag() {
  return &exitFlag;
}
