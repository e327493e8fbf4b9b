// The process of a servlet service: not a child of its own but a place in the
// shared container of its instance. Starting the first servlet starts the
// container; stopping a servlet detaches it, or stops the container when it
// is the last one; the container's end and core dump reach every attached
// servlet. To its Service it looks like any other SysProcess.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "src/process/SysProcess.h"

struct MuxServerInstance;

class MuxServletProcessImpl : public SysProcess {
 public:
  enum State : int32_t {
    NotStarted = 0,  // never started, or cancelled
    Started = 1,
    Stopping = 2,
    Exited = 4,
  };

  explicit MuxServletProcessImpl(MuxServerInstance *server) : server_(server) {}
  ~MuxServletProcessImpl() override;

  // Attaches to the container, starting it if needed. path, args and env
  // belong to the container's instance file, not to the servlet: only path
  // appears in the failure message. A user in options becomes the user of
  // the container's next start.
  bool Start(const std::string &path, const std::vector<std::string> &args,
             const std::vector<std::string> &env, const ProcessStartOptions &options) override;
  bool HasExited() override { return state_ == Exited; }
  // A servlet has no exec time-out; asking is a defect of the caller.
  bool HasExecTimedOut() override;
  int GetExitCode() override { return 0; }
  bool Stop(bool force, int64_t timeoutSec) override;
  bool StopWithCommand(const std::string &path, const std::vector<std::string> &args,
                       int64_t timeoutSec) override;
  // The signal is the container's business; a servlet stops as Stop does.
  bool StopWithSignal(int64_t timeoutSec, int signal) override;
  void SetForceKillTimeoutCallback(ProcessCallback, int64_t) override {}
  void CancelExecution() override;
  // The container's pid (0 before its first start).
  int GetPid() override;
  ssize_t ReadStream(int, void *, size_t) override { return 0; }

  State state() const { return state_; }

  // Steps run by the container (MuxServer.cc).
  // The servlet has ended: it reports its exit to its owner.
  void RunExitStep();
  // The container is dumping core: the owner hears of it.
  void RunCoreDumpStep();

 private:
  static void DetachedExitFired(void *clientData);

  MuxServerInstance *server_;
  State state_ = NotStarted;
  ProcessCallback onExit_ = nullptr;
  ProcessCallback onCoreDump_ = nullptr;
  void *context_ = nullptr;
};

// A servlet of the named instance; null after "Unknown MUX server %s\n" when
// the instance directory held no such instance. The caller owns it.
MuxServletProcessImpl *CreateMuxServlet(const std::string &muxServerName);
