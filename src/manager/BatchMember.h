// What a batch operation needs of one service: its name, startup type and
// dependencies, and a way to run the batch's operation on it. The registry
// hands batches its services through this interface, and tests hand them
// fakes.
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
