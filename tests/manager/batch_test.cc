// Batch scheduling against fake services: which services each pass takes,
// how failures are counted, and how the caller learns the outcome.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/pollDefault/poll.h"
#include "src/manager/BatchOperation.h"
#include "support/LogCapture.h"

namespace {

class FakeMember : public BatchMember {
 public:
  FakeMember(std::string name, StartupType type, std::vector<std::string> deps,
             std::vector<std::string> *calls)
      : name_(std::move(name)), type_(type), deps_(std::move(deps)), calls_(calls) {}

  const std::string &Name() const override { return name_; }
  StartupType GetStartupType() const override { return type_; }
  const std::vector<std::string> &DependsOn() const override { return deps_; }
  void RunBatchOp(BatchOpType op, BatchMemberDone done, void *context) override {
    calls_->push_back(std::string(BatchOpName(op)) + " " + name_);
    done_ = done;
    context_ = context;
    if (reportAtOnce_) {
      Report(immediateResult_);
    }
  }

  bool dispatched() const { return done_ != nullptr; }
  void Report(int result) {
    ASSERT_NE(done_, nullptr) << name_ << " was not dispatched";
    BatchMemberDone done = done_;
    done_ = nullptr;
    done(result, this, context_);
  }
  void ReportAtOnce(int result) {
    reportAtOnce_ = true;
    immediateResult_ = result;
  }

 private:
  std::string name_;
  StartupType type_;
  std::vector<std::string> deps_;
  std::vector<std::string> *calls_;
  BatchMemberDone done_ = nullptr;
  void *context_ = nullptr;
  bool reportAtOnce_ = false;
  int immediateResult_ = 0;
};

class FakeGraph : public BatchGraph {
 public:
  BatchMember *FindMember(const std::string &name) const override {
    auto it = members.find(name);
    return it == members.end() ? nullptr : it->second.get();
  }
  const std::vector<BatchMember *> *StopPredecessors(const std::string &name) const override {
    auto it = stopOrder.find(name);
    return it == stopOrder.end() ? nullptr : &it->second;
  }
  int ThrottleLimit() const override { return throttle; }
  bool IsShutdownStarted() const override { return shuttingDown; }
  void OnStopBatchDone() override { stopBatchesDone++; }

  std::map<std::string, std::unique_ptr<FakeMember>> members;
  std::map<std::string, std::vector<BatchMember *>> stopOrder;
  int throttle = 0;
  bool shuttingDown = false;
  int stopBatchesDone = 0;
};

struct Outcome {
  bool done = false;
  int result = -1;
  std::string failed;
  int stopBatchesSeenAtDone = -1;
  FakeGraph *graph = nullptr;
};

void RecordOutcome(int result, const std::string &failed, void *context) {
  auto *outcome = static_cast<Outcome *>(context);
  EXPECT_FALSE(outcome->done) << "a batch completed twice";
  outcome->done = true;
  outcome->result = result;
  outcome->failed = failed;
  outcome->stopBatchesSeenAtDone = outcome->graph->stopBatchesDone;
}

class BatchTest : public ::testing::Test {
 protected:
  void SetUp() override { PollInstallDefault(); }
  void TearDown() override { PollShutdown(); }

  FakeMember *Add(const std::string &name, std::vector<std::string> deps = {},
                  StartupType type = StartupType::Automatic) {
    auto member = std::make_unique<FakeMember>(name, type, std::move(deps), &calls);
    FakeMember *raw = member.get();
    graph.members[name] = std::move(member);
    return raw;
  }

  std::vector<BatchMember *> Profile(const std::vector<std::string> &names) {
    std::vector<BatchMember *> members;
    for (const auto &name : names) {
      members.push_back(graph.members.at(name).get());
    }
    return members;
  }

  void Run(BatchOpType op, const std::vector<std::string> &names, bool ignoreFail = false,
           bool parallel = true) {
    outcome.graph = &graph;
    RunBatch(&graph, op, Profile(names), ignoreFail, parallel, RecordOutcome, &outcome);
  }

  // Serves every due zero-delay timer: the dispatches queued by a pass.
  void Turn() {
    volatile uint8_t exitFlag = 0;
    for (int i = 0; i < 3; i++) {
      PollRun(false, &exitFlag, POLL_CLASS_MAIN, 0);
    }
  }

  FakeGraph graph;
  Outcome outcome;
  std::vector<std::string> calls;
  LogCapture log;
};

TEST_F(BatchTest, StartOfOnlyManualServicesCompletesInsideTheCall) {
  Add("a", {}, StartupType::Manual);
  Add("b", {}, StartupType::Manual);
  Run(BatchOpType::Start, {"a", "b"});
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_TRUE(log.Has(5, "Executing service batch op START. IgnoreFail=0, service count=2\n"));
  EXPECT_TRUE(log.Has(5, "Successfully executed service batch operation START.\n"));
  EXPECT_TRUE(calls.empty());
}

TEST_F(BatchTest, DispatchHappensOnALaterLoopTurnNeverInsideThePass) {
  FakeMember *a = Add("a");
  Run(BatchOpType::Start, {"a"});
  EXPECT_FALSE(a->dispatched());
  Turn();
  EXPECT_TRUE(a->dispatched());
  a->Report(0);
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.failed, "");
}

TEST_F(BatchTest, ADependentStartsOnlyAfterItsDependencyReports) {
  FakeMember *a = Add("a");
  FakeMember *b = Add("b", {"a"});
  Run(BatchOpType::Start, {"b", "a"});
  Turn();
  EXPECT_TRUE(a->dispatched());
  EXPECT_FALSE(b->dispatched());
  a->Report(0);
  Turn();
  EXPECT_TRUE(b->dispatched());
  b->Report(0);
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(calls, (std::vector<std::string>{"START a", "START b"}));
}

TEST_F(BatchTest, AFailedDependencyCountsAsFinishedWithIgnoreFail) {
  FakeMember *a = Add("a");
  FakeMember *b = Add("b", {"a"});
  Run(BatchOpType::Start, {"a", "b"}, /*ignoreFail=*/true);
  Turn();
  a->Report(2);
  Turn();
  ASSERT_TRUE(b->dispatched());
  b->Report(0);
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.failed, "");
  EXPECT_FALSE(log.Has(2, "Service batch op START failed. Failed services: 'a'\n"));
}

TEST_F(BatchTest, AFailureWithNothingInFlightCompletesAtOnceWithItsCode) {
  FakeMember *a = Add("a");
  FakeMember *b = Add("b", {"a"});
  Run(BatchOpType::Start, {"a", "b"});
  Turn();
  a->Report(1);
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.failed, "a");
  EXPECT_TRUE(log.Has(2, "Service batch op START failed. Failed services: 'a'\n"));
  EXPECT_FALSE(log.Has(5, "Successfully executed service batch operation START.\n"));
  Turn();
  EXPECT_FALSE(b->dispatched());
}

TEST_F(BatchTest, TheLastFailureCodeWinsAndEveryFailedServiceIsNamed) {
  FakeMember *a = Add("a");
  FakeMember *b = Add("b");
  FakeMember *c = Add("c");
  Run(BatchOpType::Start, {"a", "b", "c"});
  Turn();
  a->Report(2);
  EXPECT_FALSE(outcome.done);
  b->Report(0);  // a success runs a pass, which finds nothing new
  c->Report(1);
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.failed, "a, c");
}

TEST_F(BatchTest, SequentialStartRunsOneServiceAtATime) {
  FakeMember *a = Add("a");
  FakeMember *b = Add("b");
  Run(BatchOpType::Start, {"a", "b"}, false, /*parallel=*/false);
  Turn();
  EXPECT_TRUE(a->dispatched());
  EXPECT_FALSE(b->dispatched());
  a->Report(0);
  Turn();
  EXPECT_TRUE(b->dispatched());
  b->Report(0);
  EXPECT_TRUE(outcome.done);
}

TEST_F(BatchTest, ThrottleBoundsEachPassNotTheTotalInFlight) {
  graph.throttle = 2;
  std::vector<FakeMember *> members = {Add("a"), Add("b"), Add("c"), Add("d")};
  Run(BatchOpType::ApiHealth, {"a", "b", "c", "d"});
  Turn();
  EXPECT_EQ(calls.size(), 2u);
  members[0]->Report(0);
  Turn();
  EXPECT_EQ(calls.size(), 4u);  // three in flight now
  for (int i = 1; i < 4; i++) {
    members[i]->Report(0);
  }
  EXPECT_TRUE(outcome.done);
}

TEST_F(BatchTest, StopFollowsStopBeforeAndIgnoresDependsOnAndParallel) {
  FakeMember *a = Add("a");
  FakeMember *b = Add("b", {"a"});
  FakeMember *c = Add("c");
  graph.stopOrder["b"] = {a};  // a "StopBefore" b
  Run(BatchOpType::Stop, {"a", "b", "c"}, false, /*parallel=*/false);
  Turn();
  EXPECT_TRUE(a->dispatched());
  EXPECT_FALSE(b->dispatched());
  EXPECT_TRUE(c->dispatched());
  a->Report(0);
  Turn();
  EXPECT_TRUE(b->dispatched());
  b->Report(0);
  c->Report(0);
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.stopBatchesSeenAtDone, 1);
}

TEST_F(BatchTest, AStopPredecessorOutsideTheBatchDoesNotHoldBack) {
  FakeMember *a = Add("a");
  FakeMember *b = Add("b");
  graph.stopOrder["b"] = {a};
  Run(BatchOpType::Stop, {"b"});
  Turn();
  EXPECT_TRUE(b->dispatched());
  b->Report(0);
  EXPECT_TRUE(outcome.done);
}

TEST_F(BatchTest, DependenciesOutsideTheProfileOrUnknownAreSatisfied) {
  Add("outside");
  FakeMember *b = Add("b", {"outside", "ghost"});
  Run(BatchOpType::Start, {"b"});
  Turn();
  EXPECT_TRUE(b->dispatched());
  EXPECT_TRUE(log.Has(8, "Dependent service ghost for service b unknown to Sentro.\n"));
  b->Report(0);
  EXPECT_TRUE(outcome.done);
}

TEST_F(BatchTest, MembersOfACycleAreNeverDispatched) {
  FakeMember *a = Add("a", {"b"});
  FakeMember *b = Add("b", {"a"});
  FakeMember *c = Add("c");
  Run(BatchOpType::Start, {"a", "b", "c"});
  Turn();
  EXPECT_FALSE(a->dispatched());
  EXPECT_FALSE(b->dispatched());
  c->Report(0);
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.result, 0);
}

TEST_F(BatchTest, StartDispatchesNothingOnceShutdownBegins) {
  FakeMember *a = Add("a");
  FakeMember *b = Add("b", {"a"});
  Run(BatchOpType::Start, {"a", "b"});
  Turn();
  graph.shuttingDown = true;
  a->Report(0);
  Turn();
  EXPECT_FALSE(b->dispatched());
  EXPECT_TRUE(outcome.done);
}

TEST_F(BatchTest, ReportsMadeInsideTheDispatchAreHandled) {
  FakeMember *a = Add("a");
  FakeMember *b = Add("b", {"a"});
  a->ReportAtOnce(9);
  b->ReportAtOnce(0);
  Run(BatchOpType::Start, {"a", "b"}, /*ignoreFail=*/true);
  Turn();
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"START a", "START b"}));
}

TEST_F(BatchTest, AServiceListedTwiceGetsOneEntryButCountsTwice) {
  FakeMember *a = Add("a");
  Run(BatchOpType::Stop, {"a", "a"});
  EXPECT_TRUE(log.Has(5, "Executing service batch op STOP. IgnoreFail=0, service count=2\n"));
  Turn();
  EXPECT_EQ(calls.size(), 1u);
  a->Report(0);
  EXPECT_TRUE(outcome.done);
}

}  // namespace
