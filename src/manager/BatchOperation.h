// A batch runs one operation (start, stop or health check) over the services
// of a profile in dependency order. Each scheduling pass dispatches the
// services that are ready, each on a zero-delay timer so that it begins on a
// later loop turn; each report runs the next pass. The batch completes once,
// reports to its caller and destroys itself.
//
// A batch sees each service as a BatchMember (its name, startup type and
// dependencies, and a way to run the operation on it) and the registry
// around it as a BatchGraph; the registry implements both, tests fake them.
#pragma once

#include <string>
#include <vector>

#include "src/core/SentroTypes.h"

enum class BatchOpType : int32_t {
  Start = 0,
  Stop = 1,
  ApiHealth = 2,
  Unknown = 3,
};

// "START", "STOP", "API_HEALTH"; "UNKNOWN" for any other value.
const char *BatchOpName(BatchOpType op);

class BatchMember;

// Reported exactly once per operation: 0 for success, else a failure code.
using BatchMemberDone = void (*)(int result, BatchMember *member, void *context);

class BatchMember {
 public:
  virtual ~BatchMember() = default;
  virtual const std::string &Name() const = 0;
  virtual StartupType GetStartupType() const = 0;
  virtual const std::vector<std::string> &DependsOn() const = 0;
  // Runs op on the service; done may be called before this returns.
  virtual void RunBatchOp(BatchOpType op, BatchMemberDone done, void *context) = 0;
};

// What a batch needs of the registry and the daemon around it.
class BatchGraph {
 public:
  virtual ~BatchGraph() = default;
  // The registered service of that name, or null; never logs.
  virtual BatchMember *FindMember(const std::string &name) const = 0;
  // The services whose "StopBefore" names this one, or null when none do.
  virtual const std::vector<BatchMember *> *StopPredecessors(const std::string &name) const = 0;
  // At most this many services are dispatched by one START or API_HEALTH pass;
  // 0 sets no bound.
  virtual int ThrottleLimit() const = 0;
  virtual bool IsShutdownStarted() const = 0;
  // Called before the completion of every STOP batch.
  virtual void OnStopBatchDone() = 0;
};

// (result code, failed-services text joined by ", ", context). The text is
// empty whenever the code is 0.
using BatchDone = void (*)(int result, const std::string &failedServices, void *context);

// Result code reported for a profile that does not exist.
#define BATCH_PROFILE_NOT_FOUND 10

// Starts a batch over members (the profile's list, in its order). Returns at
// once; done may run before it returns (nothing to do, or every operation
// finished synchronously).
void RunBatch(BatchGraph *graph, BatchOpType op, const std::vector<BatchMember *> &members,
              bool ignoreFail, bool parallel, BatchDone done, void *context);
