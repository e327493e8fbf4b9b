#include "src/service/servlet/MuxServletProcessImpl.h"

#include "lib/log/log.h"
#include "lib/log/verify.h"
#include "lib/pollDefault/poll.h"
#include "src/service/servlet/MuxServer.h"

MuxServletProcessImpl *CreateMuxServlet(const std::string &muxServerName) {
  MuxServerInstance *server = FindMuxServer(muxServerName);
  if (server == nullptr) {
    LogAtLevel(LOG_ERROR, "Unknown MUX server %s\n", muxServerName.c_str());
    return nullptr;
  }
  return new MuxServletProcessImpl(server);
}

// Services are not destroyed while the daemon runs, but a servlet that goes
// away must not leave its address in the container's set or a pending exit
// behind: either would call into freed memory later. The container itself is
// left alone.
MuxServletProcessImpl::~MuxServletProcessImpl() {
  server_->servlets.erase(this);
  PollRemoveTimer(DetachedExitFired, this, false);
}

bool MuxServletProcessImpl::Start(const std::string &path, const std::vector<std::string> &,
                                  const std::vector<std::string> &,
                                  const ProcessStartOptions &options) {
  if (state_ == Started || state_ == Stopping) {
    return false;  // still attached, or its end not yet reported
  }
  if (!options.runAsUser.empty()) {
    server_->runAsUser = options.runAsUser;
  }
  if (!StartMuxServer(server_)) {
    LogAtLevel(LOG_ERROR, "Failed to start mux server %s. Servlet %s\n", server_->name.c_str(),
               path.c_str());
    return false;
  }
  server_->servlets.insert(this);
  onExit_ = options.onExit;
  onCoreDump_ = options.onCoreDump;
  context_ = options.context;
  state_ = Started;
  return true;
}

bool MuxServletProcessImpl::HasExecTimedOut() {
  NOT_IMPLEMENTED();
}

bool MuxServletProcessImpl::Stop(bool force, int64_t timeoutSec) {
  if (state_ != Started) {
    return false;
  }
  if (server_->servlets.size() == 1) {
    // The last servlet takes the container down and stays attached: it ends
    // when the container's exit is reaped.
    server_->process->Stop(force, timeoutSec);
  } else {
    // The container runs on for the others; this servlet's end is reported on
    // the next turn of the loop, as a process exit would be.
    server_->servlets.erase(this);
    PollAddTimer(DetachedExitFired, this, 0, false, nullptr);
  }
  state_ = Stopping;
  return true;
}

// A stop command cannot stop one servlet of a shared container, and refusing
// the stop would leave the service "STOPPING" for ever. The command is
// ignored: the servlet is stopped as by signal, which detaches it or, for the
// last one, stops the container.
bool MuxServletProcessImpl::StopWithCommand(const std::string &path,
                                            const std::vector<std::string> &, int64_t timeoutSec) {
  if (state_ == Started) {
    LogAtLevel(LOG_WARNING,
               "Ignoring stop command %s of a servlet of MUX server %s. Stopping the servlet "
               "instead.\n",
               path.c_str(), server_->name.c_str());
  }
  return Stop(false, timeoutSec);
}

bool MuxServletProcessImpl::StopWithSignal(int64_t timeoutSec, int) {
  return Stop(false, timeoutSec);
}

void MuxServletProcessImpl::CancelExecution() {
  if (state_ == NotStarted) {
    return;
  }
  Stop(true, 0);
  server_->servlets.erase(this);
  PollRemoveTimer(DetachedExitFired, this, false);
  state_ = NotStarted;
}

int MuxServletProcessImpl::GetPid() {
  return server_->process != nullptr ? server_->process->GetPid() : 0;
}

void MuxServletProcessImpl::RunExitStep() {
  state_ = Exited;
  if (onExit_ != nullptr) {
    onExit_(this, context_);
  }
}

void MuxServletProcessImpl::RunCoreDumpStep() {
  if (onCoreDump_ != nullptr) {
    onCoreDump_(this, context_);
  }
}

void MuxServletProcessImpl::DetachedExitFired(void *clientData) {
  static_cast<MuxServletProcessImpl *>(clientData)->RunExitStep();
}
