// Batch scheduling and the dependency checks against fake services: what each
// pass takes, how failures count, what the caller and the graph checks report.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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

// Words: "b:a,c" b depends on a and c; "c=4" c reports 4; "d~" d is manual,
// "d!" disabled; "x>y" x is stopped before y.
class Graph : public BatchGraph {
 public:
  explicit Graph(const std::string &words) {
    std::istringstream in(words);
    for (std::string word; in >> word;) {
      if (size_t arrow = word.find('>'); arrow != std::string::npos) {
        stopOrder[word.substr(arrow + 1)].push_back(&all.at(word.substr(0, arrow)));
        continue;
      }
      size_t end = std::min(word.find_first_of(":=~!"), word.size()), at;
      FakeMember &member = all[word.substr(0, end)];
      member.name = word.substr(0, end);
      member.type = word[end] == '~'   ? StartupType::Manual
                    : word[end] == '!' ? StartupType::Disabled
                                       : StartupType::Automatic;
      if ((at = word.find('=')) != std::string::npos) member.result = atoi(&word[at + 1]);
      std::istringstream deps((at = word.find(':')) == std::string::npos ? ""
                                                                         : word.substr(at + 1));
      for (std::string dep; std::getline(deps, dep, ',');)
        member.deps.push_back(dep.substr(0, dep.find_first_of("~!")));
    }
    for (auto &[name, member] : all) checked[name] = &member;
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
  static void Record(int code, const std::string &names, void *context) {
    auto *graph = static_cast<Graph *>(context);
    EXPECT_EQ(graph->result, -1) << "completed twice";
    graph->result = code, graph->failed = names, graph->stopsCountedBefore = graph->stopsCounted;
  }

  // Runs a batch in waves (a loop turn, then every dispatched service reports;
  // shutdown after wave shutdownAfter): each wave's names, sorted, then "|".
  std::string RunWaves(BatchOpType op, const std::string &profile, bool ignoreFail, bool parallel,
                       int shutdownAfter) {
    std::vector<BatchMember *> members;
    std::istringstream in(profile);
    for (std::string name; in >> name;) members.push_back(&all.at(name));
    RunBatch(this, op, members, ignoreFail, parallel, Record, this);
    std::string waves;
    for (int wave = 1; wave <= 6; wave++) {
      volatile uint8_t exitFlag = 0;
      PollRun(false, &exitFlag, 0, 0);
      std::vector<FakeMember *> dispatched;
      for (auto &[name, member] : all) {
        if (member.done != nullptr) dispatched.push_back(&member), waves += name + " ";
      }
      shuttingDown |= wave == shutdownAfter;
      for (FakeMember *m : dispatched) std::exchange(m->done, nullptr)(m->result, m, m->context);
      waves += dispatched.empty() ? "" : "| ";
    }
    return waves;
  }

  std::map<std::string, FakeMember> all;
  ServiceGraph checked;
  std::map<std::string, std::vector<BatchMember *>> stopOrder;
  int throttle = 0, stopsCounted = 0, result = -1, stopsCountedBefore = -1;
  bool shuttingDown = false;
  std::string failed;
};

TEST(Batch, ReadinessThrottleFailuresAndShutdownDecideDispatchAndOutcome) {
  PollInstallDefault();
  const BatchOpType kStart = BatchOpType::Start, kStop = BatchOpType::Stop;
  const struct {
    BatchOpType op;
    const char *graph, *profile;
    bool ignoreFail, parallel;
    int throttle, shutdownAfter;
    const char *waves;
    int result;
    const char *failed;
  } cases[] = {
      // clang-format off
      {kStart, "a b:a",         "b a",     false, true,  0, 0, "a | b | ",     0, ""},
      {kStart, "a b",           "a b",     false, false, 0, 0, "a | b | ",     0, ""},
      {kStart, "a b c d",       "a b c d", false, true,  2, 0, "a b | c d | ", 0, ""},
      {kStart, "x b:x,ghost",   "b",       false, true,  0, 0, "b | ",         0, ""},
      {kStart, "a:b b:a c",     "a b c",   false, true,  0, 0, "c | ",         0, ""},
      {kStart, "a~ b~",         "a b",     false, true,  0, 0, "",             0, ""},
      {kStart, "a b:a",         "a b",     false, true,  0, 1, "a | ",         0, ""},
      {kStop,  "a b c:a a>b",   "a b c",   false, false, 0, 0, "a c | b | ",   0, ""},
      {kStop,  "a",             "a a",     false, true,  0, 0, "a | ",         0, ""},
      {kStart, "a=1 b:a",       "a b",     false, true,  0, 0, "a | ",         1, "a"},
      {kStart, "a=2 b c=1",     "a b c",   false, true,  0, 0, "a b c | ",     1, "a, c"},
      {kStart, "a=2 b:a",       "a b",     true,  true,  0, 0, "a | b | ",     0, ""},
      // clang-format on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.graph) + " " + c.waves);
    Graph graph(c.graph);
    graph.throttle = c.throttle;
    LogCapture log;
    EXPECT_EQ(graph.RunWaves(c.op, c.profile, c.ignoreFail, c.parallel, c.shutdownAfter), c.waves);
    EXPECT_EQ(graph.result, c.result);
    EXPECT_EQ(graph.failed, c.failed);
    EXPECT_EQ(graph.stopsCountedBefore, c.op == kStop ? 1 : 0);
    EXPECT_EQ(log.Has(2, "Service batch op " + std::string(BatchOpName(c.op)) +
                             " failed. Failed services: '" + c.failed + "'\n"),
              c.result != 0);
  }
  PollShutdown();
}

TEST(DependencyChecks, StartupTypesFollowTheTableAndOneCycleIsReported) {
  const std::pair<const char *, const char *> cases[] = {
      // clang-format off
      // A service may depend on one whose type is listed: manual on manual
      // or automatic, automatic on automatic, disabled on any.
      {"s~:d~ d~", nullptr}, {"s~:d d", nullptr}, {"s!:d~ d~", nullptr}, {"s!:d d", nullptr},
      {"s!:d! d!", nullptr}, {"s:d d", nullptr},
      {"s~:d! d!", ""}, {"s:d~ d~", ""}, {"s:d! d!", ""}, {"a:x", "Dependent service x of service a not found!\n"},
      {"a:b b:a c:d d:c", "Following dependency b <-> a introduces a cycle.\n"},
      {"a:a", "Following dependency a <-> a introduces a cycle.\n"},
      {"t:l,r l:b r:b b", nullptr},
      // clang-format on
  };
  for (const auto &[words, message] : cases) {
    Graph graph(words);
    LogCapture log;
    bool typesFit = CheckStartupTypes(graph.checked);
    bool cycle = typesFit && DetectDependencyCycles(graph.checked);
    EXPECT_EQ(!typesFit || cycle, message != nullptr) << words;
    EXPECT_TRUE(message == nullptr || *message == '\0' || log.Has(2, message)) << words;
    EXPECT_EQ(log.Messages().size(), message != nullptr ? 1u : 0u) << words;
  }
}

}  // namespace
