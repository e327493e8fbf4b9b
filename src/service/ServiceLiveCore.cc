// Live core dumps of a running service process: gcore writes the core file
// while the service goes on running.
#include <map>
#include <memory>

#include "lib/log/log.h"
#include "src/process/CommandHelpers.h"
#include "src/process/SysProcess.h"
#include "src/service/Service.h"
#include "src/service/ServiceEnv.h"
#include "src/service/ServiceRecovery.h"

namespace {

// The dump running for a service; at most one per service.
struct LiveCoreRun {
  Service *service;
  LiveCoreCompletion completion;
  void *context;
  std::string corePath;
  std::unique_ptr<SysProcess> process;
};

std::map<const Service *, LiveCoreRun *> &RunningDumps() {
  static std::map<const Service *, LiveCoreRun *> runs;
  return runs;
}

void LiveCoreEnded(SysProcess *process, void *clientData) {
  std::unique_ptr<LiveCoreRun> run(static_cast<LiveCoreRun *>(clientData));
  RunningDumps().erase(run->service);
  // The process object is deleted by this callback; keep it until we return.
  std::unique_ptr<SysProcess> ended = std::move(run->process);
  Service *service = run->service;
  if (service->request() == ReqHealthCheck) {
    service->CompleteRequest(Cancelled);
  }
  int exitCode = process->GetExitCode();
  if (exitCode != 0) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to take service live core. RC=%d\n", service->name().c_str(),
               exitCode);
    run->completion(Failed, service, "", run->context);
  } else {
    run->completion(Ok, service, run->corePath, run->context);
  }
}

}  // namespace

bool IsLiveCoreInProgress(const Service *service) {
  return RunningDumps().count(service) != 0;
}

void TakeLiveCore(Service *service, LiveCoreCompletion completion, void *context) {
  if (IsLiveCoreInProgress(service) || service->state() == ServiceState::Stopped) {
    completion(InvalidState, service, "", context);
    return;
  }
  auto run = std::make_unique<LiveCoreRun>();
  run->service = service;
  run->completion = completion;
  run->context = context;
  std::string program;
  std::vector<std::string> args;
  BuildLiveCoreCommand(service->process()->GetPid(), service->name(), &program, &args,
                       &run->corePath);
  run->process.reset(service->env().CreateProcess(service->name() + "-live-core"));
  ProcessStartOptions options;
  options.execTimeoutSec = -1;
  options.killOnParentDeath = true;
  options.onExit = LiveCoreEnded;
  options.context = run.get();
  if (run->process == nullptr || !run->process->Start(program, args, {}, options)) {
    completion(Failed, service, "", context);
    return;
  }
  // The end callback owns the run from here on.
  RunningDumps()[service] = run.release();
}
