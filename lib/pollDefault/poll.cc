// The installed operations table and the wrappers the daemon calls.
#include "lib/pollDefault/poll.h"

#include "lib/log/verify.h"

static const PollImpl *installedImpl = nullptr;

void PollInstallDefault() {
  VERIFY(installedImpl == nullptr);
  installedImpl = PollDefaultImpl();
  installedImpl->init();
}

void PollShutdown() {
  VERIFY(installedImpl != nullptr);
  installedImpl->exit();
  installedImpl = nullptr;
}

int PollAddCallback(PollClassSet classSet, int flags, PollerFunction fn, void *clientData,
                    PollEventType type, int64_t info, std::mutex *lock) {
  VERIFY(installedImpl != nullptr);
  return installedImpl->addCallback(classSet, flags, fn, clientData, type, info, lock);
}

bool PollRemoveCallback(PollClassSet classSet, int flags, PollerFunction fn, void *clientData,
                        PollEventType type) {
  VERIFY(installedImpl != nullptr);
  return installedImpl->removeCallback(classSet, flags, fn, clientData, type);
}

void PollRun(bool loop, volatile uint8_t *exitFlag, int cls, int64_t maxWaitUs) {
  VERIFY(installedImpl != nullptr);
  installedImpl->run(loop, exitFlag, cls, maxWaitUs);
}

void PollRunMain(bool loop, volatile uint8_t *exitFlag, int cls) {
  PollRun(loop, exitFlag, cls, 1000000);
}

static int TimerFlags(bool periodic) {
  return POLL_FLAG_WRAPPER | (periodic ? POLL_FLAG_PERIODIC : 0);
}

static int ReaderFlags(bool periodic) {
  return TimerFlags(periodic) | POLL_FLAG_READ;
}

int PollAddTimer(PollerFunction fn, void *clientData, int64_t delayUs, bool periodic,
                 std::mutex *lock) {
  return PollAddCallback(POLL_CS_MAIN, TimerFlags(periodic), fn, clientData, POLL_REALTIME, delayUs,
                         lock);
}

bool PollRemoveTimer(PollerFunction fn, void *clientData, bool periodic) {
  return PollRemoveCallback(POLL_CS_MAIN, TimerFlags(periodic), fn, clientData, POLL_REALTIME);
}

int PollAddReader(PollerFunction fn, void *clientData, int fd, bool periodic) {
  return PollAddCallback(POLL_CS_MAIN, ReaderFlags(periodic), fn, clientData, POLL_DEVICE, fd,
                         nullptr);
}

bool PollRemoveReader(PollerFunction fn, void *clientData, bool periodic) {
  return PollRemoveCallback(POLL_CS_MAIN, ReaderFlags(periodic), fn, clientData, POLL_DEVICE);
}
