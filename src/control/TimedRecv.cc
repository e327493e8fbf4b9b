#include "src/control/TimedRecv.h"

bool StartTimedRecv(AsyncSocket *socket, std::vector<uint8_t> *buffer, int64_t timeoutUs,
                    PollerFunction onTimeout, AsyncSocketRecvFn onRecv, void *owner) {
  if (PollAddTimer(onTimeout, owner, timeoutUs, false, nullptr) != POLL_OK) {
    return false;
  }
  if (AsyncSocket_Recv(socket, buffer->data(), static_cast<int>(buffer->size()), onRecv, owner) !=
      ASOCKERR_SUCCESS) {
    PollRemoveTimer(onTimeout, owner, false);
    return false;
  }
  return true;
}
