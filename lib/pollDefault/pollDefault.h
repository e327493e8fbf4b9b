// Internals of the default event loop that tests and benchmarks may reach.
#pragma once

#include <poll.h>

// The system call the descriptor step waits in. Tests substitute one to make
// poll fail in ways the kernel will not produce on demand (EBADF).
using PollSystemCall = int (*)(struct pollfd *fds, nfds_t count, int timeoutMs);

// Installs a replacement; null restores poll(2).
void PollDefaultSetSystemCall(PollSystemCall call);

// The most descriptors one class may watch; registering one more fails with
// POLL_LIMIT_REACHED.
#define POLL_MAX_CLASS_ENTRIES 4095

// The number of callback classes.
#define POLL_NUM_CLASSES 6
