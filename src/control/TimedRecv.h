// A receive of exactly N bytes with a time-out, as both ends of the control
// protocol use it: the timer is armed first, and removed again when the
// receive cannot start, so a failure leaves nothing behind.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/asyncsocket/asyncsocket.h"
#include "lib/pollDefault/poll.h"

// Receives buffer->size() bytes into buffer; onTimeout(owner) fires after
// timeoutUs unless the owner removes it (PollRemoveTimer(onTimeout, owner,
// false)) when the bytes have arrived.
bool StartTimedRecv(AsyncSocket *socket, std::vector<uint8_t> *buffer, int64_t timeoutUs,
                    PollerFunction onTimeout, AsyncSocketRecvFn onRecv, void *owner);
