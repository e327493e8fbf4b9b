// The poll-based event loop that serves every timer and descriptor of the
// daemon on its main thread. Callers reach it through an operations table
// installed once at start-up; all delays are microseconds.
#pragma once

#include <cstdint>
#include <mutex>

typedef void (*PollerFunction)(void *clientData);

// A set of callback classes, bit n for class n (0..5).
typedef uint64_t PollClassSet;
#define POLL_CLASS_MAIN 0
#define POLL_CS_MAIN (PollClassSet(1) << POLL_CLASS_MAIN)

enum PollEventType {
  POLL_REALTIME = 1,  // info: delay in microseconds
  POLL_DEVICE = 2,    // info: file descriptor
};

enum PollFlags {
  POLL_FLAG_PERIODIC = 0x1,  // a timer re-arms, a descriptor callback stays registered
  POLL_FLAG_WRAPPER = 0x2,   // set by the wrappers below; meaningless, but part of every key
  POLL_FLAG_READ = 0x4,
  POLL_FLAG_WRITE = 0x8,
};

#define POLL_OK 0
#define POLL_LIMIT_REACHED 3

// The operations table, in slot order.
struct PollImpl {
  void (*init)();
  void (*exit)();
  void (*run)(bool loop, volatile uint8_t *exitFlag, int cls, int64_t maxWaitUs);
  int (*addCallback)(PollClassSet classSet, int flags, PollerFunction fn, void *clientData,
                     PollEventType type, int64_t info, std::mutex *lock);
  bool (*removeCallback)(PollClassSet classSet, int flags, PollerFunction fn, void *clientData,
                         PollEventType type);
};

const PollImpl *PollDefaultImpl();

void PollInstallDefault();
void PollShutdown();

int PollAddCallback(PollClassSet classSet, int flags, PollerFunction fn, void *clientData,
                    PollEventType type, int64_t info, std::mutex *lock);
bool PollRemoveCallback(PollClassSet classSet, int flags, PollerFunction fn, void *clientData,
                        PollEventType type);
void PollRun(bool loop, volatile uint8_t *exitFlag, int cls, int64_t maxWaitUs);

// The wrappers the daemon calls, all on class set {0}.
void PollRunMain(bool loop, volatile uint8_t *exitFlag, int cls);  // max wait one second
int PollAddTimer(PollerFunction fn, void *clientData, int64_t delayUs, bool periodic,
                 std::mutex *lock);
bool PollRemoveTimer(PollerFunction fn, void *clientData, bool periodic);
int PollAddReader(PollerFunction fn, void *clientData, int fd, bool periodic);
bool PollRemoveReader(PollerFunction fn, void *clientData, bool periodic);
