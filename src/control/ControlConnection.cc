#include "src/control/ControlConnection.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/log/log.h"

namespace {

const int kMaxAncestors = 5;

// Reads the first line of /proc/<pid>/stat, at most 63 characters, with one
// open/read/close: this runs for every control request.
bool ReadStatLine(int pid, char *line, size_t size) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  ssize_t length = read(fd, line, size - 1);
  close(fd);
  if (length <= 0) {
    return false;
  }
  line[length] = '\0';
  char *newline = strchr(line, '\n');
  if (newline != nullptr) {
    *newline = '\0';
  }
  return true;
}

}  // namespace

std::string PeerCredImpl::Describe() const {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "Uid=%d,Gid=%d,Pid=%d", uid_, gid_, pid_);
  std::string text = buffer;
  int pid = pid_;
  for (int i = 0; i < kMaxAncestors && pid >= 1; i++) {
    char line[64];
    if (!ReadStatLine(pid, line, sizeof line)) {
      break;
    }
    int statPid, parentPid;
    char command[64];
    char state;
    if (sscanf(line, "%d %63s %c %d", &statPid, command, &state, &parentPid) != 4) {
      break;
    }
    // Each piece is cut to 64 bytes, like the log field it feeds.
    if (snprintf(buffer, sizeof buffer, ",Comm=%s,PPid=%d", command, parentPid) < 0) {
      break;
    }
    text += buffer;
    pid = parentPid;
  }
  return text;
}

std::unique_ptr<PeerCred> GetPeerCred(AsyncSocket *socket) {
  struct ucred credentials;
  socklen_t length = sizeof credentials;
  if (getsockopt(AsyncSocket_GetFd(socket), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    LogAtLevel(LOG_ERROR, "Failed to get peer data. Err %s\n", strerror(errno));
    return nullptr;
  }
  return std::make_unique<PeerCredImpl>(credentials.pid, credentials.uid, credentials.gid);
}

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
