#include "src/manager/BatchOperation.h"

#include <memory>

#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"

const char *BatchOpName(BatchOpType op) {
  switch (op) {
    case BatchOpType::Start:
      return "START";
    case BatchOpType::Stop:
      return "STOP";
    case BatchOpType::ApiHealth:
      return "API_HEALTH";
    default:
      return "UNKNOWN";
  }
}

namespace {

enum class EntryStatus { Pending = 0, InProgress = 1, Succeeded = 2, Failed = 3 };

class Batch;

// One service of the batch. Its address is stable for the batch's life, so
// it is the client data of the dispatch timer and of the member's report.
struct BatchEntry {
  Batch *batch;
  BatchMember *member;
  EntryStatus status;
};

class Batch {
 public:
  Batch(BatchGraph *graph, BatchOpType op, bool ignoreFail, bool parallel, BatchDone done,
        void *context)
      : graph_(graph),
        op_(op),
        ignoreFail_(ignoreFail),
        parallel_(parallel),
        done_(done),
        context_(context) {}

  void Reserve(size_t count) { entries_.reserve(count); }
  void AddMember(BatchMember *member);
  // Runs the first pass; the batch may be gone when it returns.
  void Begin(size_t profileSize);

 private:
  static void DispatchFired(void *clientData);
  static void MemberReported(int result, BatchMember *member, void *clientData);

  BatchEntry *FindEntry(const std::string &name);
  bool IsFinished(const BatchEntry *entry) const;
  bool StartReady(const BatchEntry &entry);
  bool StopReady(const BatchEntry &entry);
  std::vector<BatchEntry *> CollectReady();
  void SchedulePass();
  void OnReport(BatchEntry *entry, int result);
  void Complete();

  BatchGraph *graph_;
  BatchOpType op_;
  bool ignoreFail_;
  bool parallel_;
  BatchDone done_;
  void *context_;
  int error_ = 0;
  int inFlight_ = 0;
  // Reserved before the first entry is added, so entry addresses never move.
  std::vector<BatchEntry> entries_;
};

void Batch::AddMember(BatchMember *member) {
  for (const BatchEntry &entry : entries_) {
    if (entry.member == member) {
      return;  // listed twice: one entry
    }
  }
  entries_.push_back(BatchEntry{this, member, EntryStatus::Pending});
}

void Batch::Begin(size_t profileSize) {
  LogAtLevel(LOG_INFO, "Executing service batch op %s. IgnoreFail=%d, service count=%lu\n",
             BatchOpName(op_), ignoreFail_ ? 1 : 0, static_cast<unsigned long>(profileSize));
  SchedulePass();
}

BatchEntry *Batch::FindEntry(const std::string &name) {
  for (BatchEntry &entry : entries_) {
    if (entry.member->Name() == name) {
      return &entry;
    }
  }
  return nullptr;
}

bool Batch::IsFinished(const BatchEntry *entry) const {
  return entry->status == EntryStatus::Succeeded || entry->status == EntryStatus::Failed;
}

// A failed dependency counts as finished: its dependents are still tried.
bool Batch::StartReady(const BatchEntry &entry) {
  for (const std::string &dependency : entry.member->DependsOn()) {
    if (graph_->FindMember(dependency) == nullptr) {
      LogAtLevel(LOG_DEBUG, "Dependent service %s for service %s unknown to Sentro.\n",
                 dependency.c_str(), entry.member->Name().c_str());
      continue;
    }
    BatchEntry *dependencyEntry = FindEntry(dependency);
    if (dependencyEntry != nullptr && !IsFinished(dependencyEntry)) {
      return false;
    }
  }
  return true;
}

bool Batch::StopReady(const BatchEntry &entry) {
  const std::vector<BatchMember *> *predecessors = graph_->StopPredecessors(entry.member->Name());
  if (predecessors == nullptr) {
    return true;
  }
  for (BatchMember *predecessor : *predecessors) {
    BatchEntry *predecessorEntry = FindEntry(predecessor->Name());
    if (predecessorEntry != nullptr && !IsFinished(predecessorEntry)) {
      return false;
    }
  }
  return true;
}

std::vector<BatchEntry *> Batch::CollectReady() {
  std::vector<BatchEntry *> ready;
  if (op_ == BatchOpType::Start && graph_->IsShutdownStarted()) {
    return ready;
  }
  int throttle = graph_->ThrottleLimit();
  for (BatchEntry &entry : entries_) {
    if (entry.status != EntryStatus::Pending) {
      continue;
    }
    if (op_ == BatchOpType::Stop) {
      // Stops follow the stop order alone; parallelism and throttle do not apply.
      if (StopReady(entry)) {
        ready.push_back(&entry);
      }
      continue;
    }
    if (!StartReady(entry)) {
      continue;
    }
    LogAtLevel(LOG_DEBUG, "Can execute %s on service %s.\n", BatchOpName(op_),
               entry.member->Name().c_str());
    ready.push_back(&entry);
    if (!parallel_ || static_cast<int>(ready.size()) == throttle) {
      break;
    }
  }
  return ready;
}

void Batch::SchedulePass() {
  std::vector<BatchEntry *> ready = CollectReady();
  if (ready.empty()) {
    if (inFlight_ > 0) {
      return;
    }
    LogAtLevel(LOG_INFO, "Successfully executed service batch operation %s.\n", BatchOpName(op_));
    Complete();
    return;
  }
  for (BatchEntry *entry : ready) {
    // The operation begins on a later loop turn, never inside the pass.
    PollAddTimer(DispatchFired, entry, 0, false, nullptr);
    inFlight_++;
    entry->status = EntryStatus::InProgress;
  }
}

void Batch::DispatchFired(void *clientData) {
  auto *entry = static_cast<BatchEntry *>(clientData);
  LogAtLevel(LOG_DEBUG, "Executing op %s on service %s...\n", BatchOpName(entry->batch->op_),
             entry->member->Name().c_str());
  // The report may complete and destroy the batch before this returns.
  entry->member->RunBatchOp(entry->batch->op_, MemberReported, entry);
}

void Batch::MemberReported(int result, BatchMember *, void *clientData) {
  auto *entry = static_cast<BatchEntry *>(clientData);
  entry->batch->OnReport(entry, result);
}

void Batch::OnReport(BatchEntry *entry, int result) {
  if (entry->status != EntryStatus::InProgress) {
    LogAtLevel(LOG_ERROR, "Ignoring a second report of %s on service %s.\n", BatchOpName(op_),
               entry->member->Name().c_str());
    return;
  }
  inFlight_--;
  if (result == 0) {
    entry->status = EntryStatus::Succeeded;
    SchedulePass();
    return;
  }
  entry->status = EntryStatus::Failed;
  if (ignoreFail_) {
    SchedulePass();
    return;
  }
  error_ = result;
  if (inFlight_ == 0) {
    Complete();
  }
}

void Batch::Complete() {
  std::string failed;
  if (error_ != 0) {
    for (const BatchEntry &entry : entries_) {
      if (entry.status == EntryStatus::Failed) {
        failed += failed.empty() ? "" : ", ";
        failed += entry.member->Name();
      }
    }
    LogAtLevel(LOG_ERROR, "Service batch op %s failed. Failed services: '%s'\n", BatchOpName(op_),
               failed.c_str());
  }
  std::unique_ptr<Batch> self(this);
  if (done_ != nullptr) {
    if (op_ == BatchOpType::Stop) {
      graph_->OnStopBatchDone();
    }
    done_(error_, failed, context_);
  }
}

}  // namespace

void RunBatch(BatchGraph *graph, BatchOpType op, const std::vector<BatchMember *> &members,
              bool ignoreFail, bool parallel, BatchDone done, void *context) {
  auto *batch = new Batch(graph, op, ignoreFail, parallel, done, context);
  // Entries are addressed by pointer from timers: reserve so they never move.
  batch->Reserve(members.size());
  for (BatchMember *member : members) {
    if (op != BatchOpType::Start || member->GetStartupType() == StartupType::Automatic) {
      batch->AddMember(member);
    }
  }
  batch->Begin(members.size());
}
