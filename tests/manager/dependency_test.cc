// The checks over the dependency graph run when the registry is built.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "src/manager/DependencyChecks.h"
#include "support/LogCapture.h"

namespace {

class Node : public BatchMember {
 public:
  Node(std::string name, StartupType type, std::vector<std::string> deps)
      : name_(std::move(name)), type_(type), deps_(std::move(deps)) {}
  const std::string &Name() const override { return name_; }
  StartupType GetStartupType() const override { return type_; }
  const std::vector<std::string> &DependsOn() const override { return deps_; }
  void RunBatchOp(BatchOpType, BatchMemberDone, void *) override {}

 private:
  std::string name_;
  StartupType type_;
  std::vector<std::string> deps_;
};

class GraphBuilder {
 public:
  GraphBuilder &Add(const std::string &name, std::vector<std::string> deps,
                    StartupType type = StartupType::Automatic) {
    nodes_.push_back(std::make_unique<Node>(name, type, std::move(deps)));
    graph_[name] = nodes_.back().get();
    return *this;
  }
  const ServiceGraph &graph() const { return graph_; }

 private:
  std::vector<std::unique_ptr<Node>> nodes_;
  ServiceGraph graph_;
};

TEST(StartupTypeCheck, FollowsTheConsistencyTable) {
  const StartupType M = StartupType::Manual, A = StartupType::Automatic, D = StartupType::Disabled;
  struct Case {
    StartupType dependent, dependency;
    bool consistent;
  } cases[] = {{M, M, true},  {M, A, true}, {M, D, false}, {A, M, false}, {A, A, true},
               {A, D, false}, {D, M, true}, {D, A, true},  {D, D, true}};
  for (const Case &c : cases) {
    GraphBuilder builder;
    builder.Add("s", {"d"}, c.dependent).Add("d", {}, c.dependency);
    LogCapture log;
    EXPECT_EQ(CheckStartupTypes(builder.graph()), c.consistent)
        << StartupTypeName(c.dependent) << " on " << StartupTypeName(c.dependency);
    if (!c.consistent) {
      EXPECT_TRUE(log.Has(2, std::string("Startup type of service s is ") +
                                 StartupTypeName(c.dependent) +
                                 " while startup type of dependent service d is " +
                                 StartupTypeName(c.dependency) + ".\n"));
    }
  }
}

TEST(StartupTypeCheck, ReportsEveryMissingDependency) {
  GraphBuilder builder;
  builder.Add("a", {"x", "y"});
  LogCapture log;
  EXPECT_FALSE(CheckStartupTypes(builder.graph()));
  EXPECT_TRUE(log.Has(2, "Dependent service x of service a not found!\n"));
  EXPECT_TRUE(log.Has(2, "Dependent service y of service a not found!\n"));
}

TEST(CycleCheck, ReportsAtMostOneCycleWhereItCloses) {
  struct Case {
    const char *name;
    std::vector<std::pair<const char *, std::vector<std::string>>> nodes;
    const char *message;  // null: no cycle
  } cases[] = {
      {"two cycles, the first reported",
       {{"a", {"b"}}, {"b", {"a"}}, {"c", {"d"}}, {"d", {"c"}}},
       "Following dependency b <-> a introduces a cycle.\n"},
      {"self", {{"a", {"a"}}}, "Following dependency a <-> a introduces a cycle.\n"},
      {"three long",
       {{"a", {"b"}}, {"b", {"c"}}, {"c", {"a"}}},
       "Following dependency c <-> a introduces a cycle.\n"},
      {"diamond",
       {{"top", {"left", "right"}}, {"left", {"base"}}, {"right", {"base"}}, {"base", {}}},
       nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    GraphBuilder builder;
    for (const auto &[name, deps] : c.nodes) {
      builder.Add(name, deps);
    }
    LogCapture log;
    EXPECT_EQ(DetectDependencyCycles(builder.graph()), c.message != nullptr);
    EXPECT_EQ(log.Messages().size(), c.message != nullptr ? 1u : 0u);
    if (c.message != nullptr) {
      EXPECT_TRUE(log.Has(2, c.message));
    }
  }
}

}  // namespace
