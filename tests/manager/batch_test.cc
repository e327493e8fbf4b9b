// Batch scheduling against fake services: which services each pass takes,
// how failures are counted, and how the caller learns the outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lib/pollDefault/poll.h"
#include "src/manager/BatchOperation.h"
#include "support/LogCapture.h"

namespace {

// A service that records its dispatch in calls and reports when told, or
// inside the dispatch when reportAtOnce is set.
struct FakeMember : BatchMember {
  FakeMember(std::string name, StartupType type, std::vector<std::string> deps,
             std::vector<std::string> *calls)
      : name(std::move(name)), type(type), deps(std::move(deps)), calls(calls) {}
  const std::string &Name() const override { return name; }
  StartupType GetStartupType() const override { return type; }
  const std::vector<std::string> &DependsOn() const override { return deps; }
  void RunBatchOp(BatchOpType op, BatchMemberDone done, void *context) override {
    calls->push_back(std::string(BatchOpName(op)) + " " + name);
    done_ = done;
    context_ = context;
    if (reportAtOnce) {
      Report(*reportAtOnce);
    }
  }
  bool dispatched() const { return done_ != nullptr; }
  void Report(int result) {
    ASSERT_NE(done_, nullptr) << name << " was not dispatched";
    std::exchange(done_, nullptr)(result, this, context_);
  }

  std::string name;
  StartupType type;
  std::vector<std::string> deps;
  std::vector<std::string> *calls;
  std::optional<int> reportAtOnce;
  int result = 0;  // what it reports in RunWaves
  BatchMemberDone done_ = nullptr;
  void *context_ = nullptr;
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

std::vector<std::string> Split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = std::min(text.find(separator, begin), text.size());
    parts.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

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

  void Run(BatchOpType op, const std::vector<std::string> &names, bool ignoreFail = false,
           bool parallel = true) {
    std::vector<BatchMember *> profile;
    for (const auto &name : names) {
      profile.push_back(graph.members.at(name).get());
    }
    outcome.graph = &graph;
    RunBatch(&graph, op, profile, ignoreFail, parallel, RecordOutcome, &outcome);
  }

  // Runs a batch in waves: each loop turn dispatches what is ready, then
  // every service dispatched reports its result. Returns the names dispatched,
  // sorted within a wave (their order there is free), waves separated by "|".
  std::string RunWaves(BatchOpType op, const std::vector<std::string> &names, bool ignoreFail,
                       bool parallel) {
    Run(op, names, ignoreFail, parallel);
    EXPECT_TRUE(calls.empty()) << "dispatched inside the pass";
    std::string waves;
    for (int wave = 0; wave < 10 && !outcome.done; wave++) {
      size_t before = calls.size();
      Turn();
      std::vector<std::string> dispatched;
      for (size_t i = before; i < calls.size(); i++) {
        dispatched.push_back(calls[i].substr(calls[i].find(' ') + 1));
      }
      std::sort(dispatched.begin(), dispatched.end());
      waves += wave == 0 ? "" : " |";
      for (const std::string &name : dispatched) {
        waves += " " + name;
        FakeMember *member = graph.members.at(name).get();
        member->Report(member->result);
      }
    }
    size_t dispatched = calls.size();
    Turn();
    EXPECT_EQ(calls.size(), dispatched) << "dispatched after completion";
    return waves.empty() ? waves : waves.substr(1);
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
  // The count is the profile's, before manual services are left out.
  EXPECT_TRUE(log.Has(5, "Executing service batch op START. IgnoreFail=0, service count=2\n"));
  EXPECT_TRUE(log.Has(5, "Successfully executed service batch operation START.\n"));
  EXPECT_TRUE(calls.empty());
}

TEST_F(BatchTest, ReadinessAndFailuresDecideDispatchAndOutcome) {
  const BatchOpType kStart = BatchOpType::Start, kStop = BatchOpType::Stop;
  struct Case {
    const char *name;
    BatchOpType op;
    const char *members;    // "name[=failure code][:dependency,dependency] ..."
    const char *stopOrder;  // "a b": a "StopBefore" b
    const char *profile;
    bool ignoreFail, parallel;
    const char *waves;
    int result;
    const char *failed;
  } cases[] = {
      {"a dependency first", kStart, "a b:a", "", "b a", false, true, "a | b", 0, ""},
      {"sequential start", kStart, "a b", "", "a b", false, false, "a | b", 0, ""},
      {"dependencies outside the profile or unknown", kStart, "x b:x,ghost", "", "b", false, true,
       "b", 0, ""},
      {"a cycle is left out", kStart, "a:b b:a c", "", "a b c", false, true, "c", 0, ""},
      {"stop follows the stop order only", kStop, "a b c:a", "a b", "a b c", false, false,
       "a c | b", 0, ""},
      {"a stop predecessor outside the batch", kStop, "a b", "a b", "b", false, true, "b", 0, ""},
      {"a service listed twice runs once", kStop, "a", "", "a a", false, true, "a", 0, ""},
      {"a failure with nothing in flight ends the batch", kStart, "a=1 b:a", "", "a b", false, true,
       "a", 1, "a"},
      {"the last failure code wins", kStart, "a=2 b c=1", "", "a b c", false, true, "a b c", 1,
       "a, c"},
      {"with ignoreFail a failed dependency is finished", kStart, "a=2 b:a", "", "a b", true, true,
       "a | b", 0, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    graph = FakeGraph();
    outcome = Outcome();
    calls.clear();
    log.Clear();
    for (std::string member : Split(c.members, ' ')) {
      size_t colon = member.find(':');
      std::vector<std::string> deps;
      if (colon != std::string::npos) {
        deps = Split(member.substr(colon + 1), ',');
        member.resize(colon);
      }
      size_t equals = member.find('=');
      int result = equals == std::string::npos ? 0 : std::stoi(member.substr(equals + 1));
      Add(member.substr(0, equals), deps)->result = result;
    }
    std::vector<std::string> stopOrder = Split(c.stopOrder, ' ');
    if (!stopOrder.empty()) {
      graph.stopOrder[stopOrder[1]] = {graph.members.at(stopOrder[0]).get()};
    }
    EXPECT_EQ(RunWaves(c.op, Split(c.profile, ' '), c.ignoreFail, c.parallel), c.waves);
    EXPECT_TRUE(outcome.done);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.failed, c.failed);
    std::string op = BatchOpName(c.op);
    EXPECT_EQ(
        log.Has(2, "Service batch op " + op + " failed. Failed services: '" + c.failed + "'\n"),
        c.result != 0);
    EXPECT_EQ(log.Has(5, "Successfully executed service batch operation " + op + ".\n"),
              c.result == 0);
    // The stop counts are updated before a STOP batch's caller hears of it.
    EXPECT_EQ(outcome.stopBatchesSeenAtDone, c.op == kStop ? 1 : 0);
    if (std::string(c.members).find("ghost") != std::string::npos) {
      EXPECT_TRUE(log.Has(8, "Dependent service ghost for service b unknown to Sentro.\n"));
    }
  }
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

// A report from inside the dispatch, as from a service with nothing to do,
// may complete and destroy the batch there.
TEST_F(BatchTest, ReportsMadeInsideTheDispatchAreHandled) {
  Add("a")->reportAtOnce = 9;
  Add("b", {"a"})->reportAtOnce = 0;
  Run(BatchOpType::Start, {"a", "b"}, /*ignoreFail=*/true);
  Turn();
  EXPECT_EQ(calls, (std::vector<std::string>{"START a", "START b"}));
  EXPECT_TRUE(outcome.done);
  outcome = Outcome();
  Add("c")->reportAtOnce = 4;
  Run(BatchOpType::Start, {"c"});
  Turn();
  EXPECT_EQ(outcome.result, 4);
}

}  // namespace
