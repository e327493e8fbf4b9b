// Batch scheduling and the dependency checks against fake services: which
// services each pass takes, how failures count, what the caller learns, and
// what the checks of the graph report.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "lib/pollDefault/poll.h"
#include "src/manager/BatchOperation.h"
#include "src/manager/DependencyChecks.h"
#include "support/LogCapture.h"

namespace {

// A service that records its dispatch and reports its result when told.
struct FakeMember : BatchMember {
  std::string name;
  StartupType type = StartupType::Automatic;
  std::vector<std::string> deps;
  int result = 0;
  BatchMemberDone done = nullptr;
  void *context = nullptr;
  const std::string &Name() const override { return name; }
  StartupType GetStartupType() const override { return type; }
  const std::vector<std::string> &DependsOn() const override { return deps; }
  void RunBatchOp(BatchOpType, BatchMemberDone d, void *c) override { done = d, context = c; }
};

class Graph : public BatchGraph {
 public:
  // "a b:a c=4" : b depends on a, c reports 4; "x>y" in stops: x StopBefore y.
  Graph(const std::string &members, const std::string &stops = "") {
    std::istringstream in(members + " " + stops);
    for (std::string word; in >> word;) {
      if (size_t arrow = word.find('>'); arrow != std::string::npos) {
        stopOrder[word.substr(arrow + 1)].push_back(&all.at(word.substr(0, arrow)));
        continue;
      }
      FakeMember &member = all[word.substr(0, word.find_first_of(":="))];
      member.name = word.substr(0, word.find_first_of(":="));
      if (size_t eq = word.find('='); eq != std::string::npos)
        member.result = std::stoi(word.substr(eq + 1));
      std::istringstream deps(
          word.find(':') == std::string::npos ? "" : word.substr(word.find(':') + 1));
      for (std::string dep; std::getline(deps, dep, ',');) member.deps.push_back(dep);
    }
  }
  BatchMember *FindMember(const std::string &name) const override {
    return all.count(name) ? const_cast<FakeMember *>(&all.at(name)) : nullptr;
  }
  const std::vector<BatchMember *> *StopPredecessors(const std::string &name) const override {
    return stopOrder.count(name) ? &stopOrder.at(name) : nullptr;
  }
  int ThrottleLimit() const override { return throttle; }
  bool IsShutdownStarted() const override { return shuttingDown; }
  void OnStopBatchDone() override { stopsCounted++; }

  std::map<std::string, FakeMember> all;
  std::map<std::string, std::vector<BatchMember *>> stopOrder;
  int throttle = 0, stopsCounted = 0;
  bool shuttingDown = false;
};

struct Outcome {
  int result = -1, stopsCountedBefore = -1;
  std::string failed;
  Graph *graph;
};

void Record(int result, const std::string &failed, void *context) {
  auto *outcome = static_cast<Outcome *>(context);
  EXPECT_EQ(outcome->result, -1) << "completed twice";
  *outcome = {result, outcome->graph->stopsCounted, failed, outcome->graph};
}

// Runs a batch in waves: each loop turn dispatches what is ready, then every
// dispatched service reports. The names of each wave, sorted, then "|".
std::string RunWaves(Graph &graph, BatchOpType op, const std::string &profile, bool ignoreFail,
                     bool parallel, Outcome *outcome) {
  std::vector<BatchMember *> members;
  std::istringstream in(profile);
  for (std::string name; in >> name;) members.push_back(&graph.all.at(name));
  RunBatch(&graph, op, members, ignoreFail, parallel, Record, outcome);
  std::string waves;
  for (int wave = 0; wave < 6; wave++) {
    volatile uint8_t exitFlag = 0;
    PollRun(false, &exitFlag, 0, 0);
    std::vector<FakeMember *> dispatched;
    for (auto &[name, member] : graph.all) {
      if (member.done != nullptr) dispatched.push_back(&member);
    }
    for (FakeMember *member : dispatched) waves += member->name + " ";
    for (FakeMember *member : dispatched)
      std::exchange(member->done, nullptr)(member->result, member, member->context);
    waves += dispatched.empty() ? "" : "| ";
  }
  return waves;
}

TEST(Batch, ReadinessThrottleAndFailuresDecideDispatchAndOutcome) {
  PollInstallDefault();
  const BatchOpType kStart = BatchOpType::Start, kStop = BatchOpType::Stop;
  const struct {
    BatchOpType op;
    const char *members, *stops, *profile;
    bool ignoreFail, parallel;
    int throttle;
    const char *waves;
    int result;
    const char *failed;
  } cases[] = {
      // clang-format off
      {kStart, "a b:a",        "",    "b a",   false, true,  0, "a | b | ",   0, ""},
      {kStart, "a b",          "",    "a b",   false, false, 0, "a | b | ",   0, ""},
      {kStart, "a b c d",      "",    "a b c d", false, true, 2, "a b | c d | ", 0, ""},
      {kStart, "x b:x,ghost",  "",    "b",     false, true,  0, "b | ",       0, ""},
      {kStart, "a:b b:a c",    "",    "a b c", false, true,  0, "c | ",       0, ""},
      {kStop,  "a b c:a",      "a>b", "a b c", false, false, 0, "a c | b | ", 0, ""},
      {kStop,  "a",            "",    "a a",   false, true,  0, "a | ",       0, ""},
      {kStart, "a=1 b:a",      "",    "a b",   false, true,  0, "a | ",       1, "a"},
      {kStart, "a=2 b c=1",    "",    "a b c", false, true,  0, "a b c | ",   1, "a, c"},
      {kStart, "a=2 b:a",      "",    "a b",   true,  true,  0, "a | b | ",   0, ""},
      // clang-format on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.members) + " " + c.waves);
    Graph graph(c.members, c.stops);
    graph.throttle = c.throttle;
    Outcome outcome{-1, -1, "", &graph};
    LogCapture log;
    EXPECT_EQ(RunWaves(graph, c.op, c.profile, c.ignoreFail, c.parallel, &outcome), c.waves);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.failed, c.failed);
    EXPECT_EQ(outcome.stopsCountedBefore, c.op == kStop ? 1 : 0);
    std::string op = BatchOpName(c.op);
    EXPECT_EQ(
        log.Has(2, "Service batch op " + op + " failed. Failed services: '" + c.failed + "'\n"),
        c.result != 0);
  }
  Graph manual("a b");
  manual.all["a"].type = manual.all["b"].type = StartupType::Manual;
  Outcome outcome{-1, -1, "", &manual};
  LogCapture log;
  RunBatch(&manual, kStart, {&manual.all["a"], &manual.all["b"]}, false, true, Record, &outcome);
  EXPECT_EQ(outcome.result, 0);  // inside the call; the count is the profile's
  EXPECT_TRUE(log.Has(5, "Executing service batch op START. IgnoreFail=0, service count=2\n"));
  Graph shutdown("a b:a");
  outcome = {-1, -1, "", &shutdown};
  RunBatch(&shutdown, kStart, {&shutdown.all["a"], &shutdown.all["b"]}, false, true, Record,
           &outcome);
  volatile uint8_t exitFlag = 0;
  PollRun(false, &exitFlag, 0, 0);
  shutdown.shuttingDown = true;  // a start batch dispatches nothing more
  shutdown.all["a"].done(0, &shutdown.all["a"], shutdown.all["a"].context);
  PollRun(false, &exitFlag, 0, 0);
  EXPECT_EQ(shutdown.all["b"].done, nullptr);
  EXPECT_EQ(outcome.result, 0);
  PollShutdown();
}

TEST(DependencyChecks, StartupTypesFollowTheTableAndOneCycleIsReported) {
  const StartupType M = StartupType::Manual, A = StartupType::Automatic, D = StartupType::Disabled;
  const StartupType types[] = {M, A, D};
  const bool consistent[3][3] = {{true, true, false}, {false, true, false}, {true, true, true}};
  for (int s = 0; s < 3; s++) {
    for (int d = 0; d < 3; d++) {
      Graph graph("s:d d");
      graph.all["s"].type = types[s];
      graph.all["d"].type = types[d];
      ServiceGraph checked = {{"d", &graph.all["d"]}, {"s", &graph.all["s"]}};
      EXPECT_EQ(CheckStartupTypes(checked), consistent[s][d]) << s << d;
    }
  }
  const std::pair<const char *, const char *> cycles[] = {
      {"a:b b:a c:d d:c", "Following dependency b <-> a introduces a cycle.\n"},
      {"a:a", "Following dependency a <-> a introduces a cycle.\n"},
      {"t:l,r l:b r:b b", nullptr}};
  for (const auto &[members, message] : cycles) {
    Graph graph(members);
    ServiceGraph checked;
    for (auto &[name, member] : graph.all) checked[name] = &member;
    LogCapture log;
    EXPECT_EQ(DetectDependencyCycles(checked), message != nullptr) << members;
    EXPECT_EQ(log.Messages().size(), message ? 1u : 0u);
  }
  Graph missing("a:x");
  LogCapture log;
  EXPECT_FALSE(CheckStartupTypes({{"a", &missing.all["a"]}}));
  EXPECT_TRUE(log.Has(2, "Dependent service x of service a not found!\n"));
}

}  // namespace
