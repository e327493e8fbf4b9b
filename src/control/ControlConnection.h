// The two ends of a control connection: who is on the other end (the
// peer's credentials and, for the log, the chain of processes that started
// it), and the receive of exactly N bytes with a time-out that both the
// control server and the failover client use.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/asyncsocket/asyncsocket.h"
#include "lib/pollDefault/poll.h"

class PeerCred {
 public:
  virtual std::string Describe() const = 0;
  virtual ~PeerCred() = default;
};

class PeerCredImpl : public PeerCred {
 public:
  PeerCredImpl(pid_t pid, uid_t uid, gid_t gid) : pid_(pid), uid_(uid), gid_(gid) {}
  // "Uid=%d,Gid=%d,Pid=%d" followed by ",Comm=%s,PPid=%d" for the peer and
  // up to four of its ancestors, read from /proc.
  std::string Describe() const override;

 private:
  int32_t pid_;
  int32_t uid_;
  int32_t gid_;
};

// The credentials of the socket's peer, or null after logging why.
std::unique_ptr<PeerCred> GetPeerCred(AsyncSocket *socket);

// Receives buffer->size() bytes into buffer; onTimeout(owner) fires after
// timeoutUs unless the owner removes it (PollRemoveTimer(onTimeout, owner,
// false)) when the bytes have arrived. The timer is armed first and removed
// again when the receive cannot start, so a failure leaves nothing behind.
bool StartTimedRecv(AsyncSocket *socket, std::vector<uint8_t> *buffer, int64_t timeoutUs,
                    PollerFunction onTimeout, AsyncSocketRecvFn onRecv, void *owner);
