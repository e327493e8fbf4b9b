// Who is on the other end of a control connection: the peer's credentials
// and, for the log, the chain of processes that started it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

struct AsyncSocket;

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
