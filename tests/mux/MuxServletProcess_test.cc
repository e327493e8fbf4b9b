// Servlets against real container processes and the real event loop: who
// starts and stops the container, how a servlet's end is reported, and how
// the container's end and core dump reach every attached servlet.
#include <signal.h>

#include <algorithm>
#include <memory>

#include "lib/log/log.h"
#include "mux/MuxTestSupport.h"
#include "src/service/servlet/MuxServerInstance.h"
#include "src/service/servlet/MuxServerList.h"
#include "src/service/servlet/MuxServletProcessImpl.h"

namespace {

class MuxServletTest : public MuxTest {
 protected:
  void SetUp() override {
    MuxTest::SetUp();
    LoadContainer("web", "\"WorkingDir\": \"/tmp\"");
    server_ = FindMuxServer("web");
    ASSERT_NE(server_, nullptr);
  }
  // The servlets go before their container instance.
  void TearDown() override {
    first_.reset();
    second_.reset();
    MuxTest::TearDown();
  }

  std::unique_ptr<MuxServletProcessImpl> NewServlet() {
    return std::unique_ptr<MuxServletProcessImpl>(CreateMuxServlet("web"));
  }

  bool StartServlet(MuxServletProcessImpl *servlet, ServletProbe *probe,
                    const std::string &user = "") {
    return servlet->Start("/opt/app/servlet", {"--unused"}, {}, probe->Options(user));
  }

  // Servlets "a" and "b" started: one container, both attached.
  void StartTwo() {
    first_ = NewServlet();
    second_ = NewServlet();
    ASSERT_TRUE(StartServlet(first_.get(), &a_));
    ASSERT_TRUE(StartServlet(second_.get(), &b_));
  }

  pid_t ContainerPid() const { return server_->process ? server_->process->GetPid() : 0; }
  bool ContainerUp() const { return ContainerPid() > 0 && ProcessAlive(ContainerPid()); }

  MuxServerInstance *server_ = nullptr;
  ServletEvents events_;
  std::unique_ptr<MuxServletProcessImpl> first_, second_;
  ServletProbe a_{"a", &events_}, b_{"b", &events_};
};

TEST_F(MuxServletTest, FirstStartStartsTheContainerAndTheSecondOnlyAttaches) {
  auto first = NewServlet();
  auto second = NewServlet();
  ServletProbe a{"a", &events_}, b{"b", &events_};

  ASSERT_TRUE(StartServlet(first.get(), &a));
  pid_t pid = ContainerPid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(first->GetPid(), pid);
  ASSERT_TRUE(StartServlet(second.get(), &b));
  EXPECT_EQ(ContainerPid(), pid);
  EXPECT_EQ(second->GetPid(), pid);
  EXPECT_FALSE(StartServlet(second.get(), &b));  // already attached
  EXPECT_EQ(server_->servlets.size(), 2u);

  ASSERT_TRUE(RunUntil([&] { return StartCount() == 1; }));
  EXPECT_TRUE(ContainerUp());
  EXPECT_EQ(first->state(), MuxServletProcessImpl::Started);
  EXPECT_FALSE(first->HasExited());
  // The container runs in the instance's working directory and joins the
  // cgroups of the instance's name.
  EXPECT_EQ(ProcCwd(pid), "/tmp");
  EXPECT_EQ(
      ReadFile(dir_.Sub("sysroot/sys/fs/cgroup/memory/system.slice/web.service/cgroup.procs")),
      std::to_string(pid));
  RunUntil([] { return false; }, 50);
  EXPECT_EQ(StartCount(), 1);
  EXPECT_TRUE(events_.events.empty());
}

TEST_F(MuxServletTest, StoppingOneOfTwoDetachesItAndStoppingTheLastStopsTheContainer) {
  ASSERT_NO_FATAL_FAILURE(StartTwo());
  pid_t pid = ContainerPid();

  ASSERT_TRUE(first_->StopWithSignal(10, SIGUSR1));
  // Not from inside the stop: the owner is still in its stop sequence.
  EXPECT_TRUE(events_.events.empty());
  EXPECT_EQ(first_->state(), MuxServletProcessImpl::Stopping);
  EXPECT_EQ(server_->servlets.count(first_.get()), 0u);
  EXPECT_FALSE(first_->Stop(false, 10));  // already stopping
  RunTurn();
  EXPECT_EQ(events_.events, (std::vector<std::string>{"exit a"}));
  EXPECT_TRUE(first_->HasExited());
  EXPECT_EQ(a_.exitCodeAtExit, 0);
  RunUntil([] { return false; }, 50);
  EXPECT_TRUE(ProcessAlive(pid));
  EXPECT_EQ(second_->state(), MuxServletProcessImpl::Started);

  ASSERT_TRUE(second_->Stop(false, 10));
  // The last servlet stays attached until the container has gone.
  EXPECT_EQ(server_->servlets.count(second_.get()), 1u);
  ASSERT_TRUE(RunUntil([&] { return second_->HasExited(); }));
  EXPECT_FALSE(ProcessAlive(pid));
  EXPECT_EQ(events_.events, (std::vector<std::string>{"exit a", "exit b"}));
  // The container died of SIGTERM; a servlet always ends with code 0.
  EXPECT_EQ(server_->process->GetExitCode(), 1);
  EXPECT_EQ(b_.exitCodeAtExit, 0);
  EXPECT_TRUE(server_->servlets.empty());
}

TEST_F(MuxServletTest, ANotStartedServletRefusesToStopAndReportsNothing) {
  auto servlet = NewServlet();
  EXPECT_FALSE(servlet->Stop(true, 0));
  EXPECT_FALSE(servlet->StopWithSignal(10, SIGTERM));
  EXPECT_EQ(servlet->GetPid(), 0);
  EXPECT_EQ(servlet->GetExitCode(), 0);
  char buffer[8];
  EXPECT_EQ(servlet->ReadStream(PROCESS_STREAM_STDOUT, buffer, sizeof buffer), 0);
  servlet->CancelExecution();
  EXPECT_EQ(server_->process, nullptr);
}

TEST_F(MuxServletTest, ContainerDeathEndsEveryAttachedServletInAddressOrder) {
  std::vector<std::unique_ptr<MuxServletProcessImpl>> servlets;
  std::vector<ServletProbe> probes;
  probes.reserve(3);
  for (const char *tag : {"a", "b", "c"}) {
    servlets.push_back(NewServlet());
    probes.push_back(ServletProbe{tag, &events_});
  }
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(StartServlet(servlets[i].get(), &probes[i]));
  }
  std::vector<std::pair<MuxServletProcessImpl *, std::string>> byAddress;
  for (size_t i = 0; i < 3; ++i) {
    byAddress.emplace_back(servlets[i].get(), "exit " + probes[i].tag);
  }
  std::sort(byAddress.begin(), byAddress.end());

  ASSERT_EQ(kill(ContainerPid(), SIGKILL), 0);
  ASSERT_TRUE(RunUntil([&] { return events_.events.size() == 3; }));
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(events_.events[i], byAddress[i].second);
    EXPECT_TRUE(servlets[i]->HasExited());
    EXPECT_EQ(probes[i].exitCodeAtExit, 0);
  }
  EXPECT_TRUE(server_->servlets.empty());
}

// Restart from the exit callback, as recovery does.
struct Restarter {
  MuxServletProcessImpl *servlet;
  ServletProbe probe;
  bool restarted = false;
};

void RestartOnExit(SysProcess *, void *context) {
  auto *restarter = static_cast<Restarter *>(context);
  restarter->probe.events->events.push_back("exit " + restarter->probe.tag);
  ProcessStartOptions options = restarter->probe.Options();
  restarter->restarted = restarter->servlet->Start("/opt/app/servlet", {}, {}, options);
}

TEST_F(MuxServletTest, ServletsRestartedFromTheContainersEndShareOneNewContainer) {
  auto first = NewServlet();
  auto second = NewServlet();
  Restarter one{first.get(), ServletProbe{"a", &events_}};
  Restarter two{second.get(), ServletProbe{"b", &events_}};
  for (Restarter *restarter : {&one, &two}) {
    ProcessStartOptions options = restarter->probe.Options();
    options.onExit = RestartOnExit;
    options.context = restarter;
    ASSERT_TRUE(restarter->servlet->Start("/opt/app/servlet", {}, {}, options));
  }
  pid_t oldPid = ContainerPid();
  ASSERT_TRUE(RunUntil([&] { return StartCount() == 1; }));
  ASSERT_EQ(kill(oldPid, SIGKILL), 0);
  ASSERT_TRUE(RunUntil([&] { return one.restarted && two.restarted; }));
  // Each servlet ended once, and both now sit in the one new container.
  EXPECT_EQ(events_.Count("exit a"), 1);
  EXPECT_EQ(events_.Count("exit b"), 1);
  EXPECT_NE(ContainerPid(), oldPid);
  EXPECT_EQ(first->GetPid(), second->GetPid());
  EXPECT_EQ(server_->servlets.size(), 2u);
  ASSERT_TRUE(RunUntil([&] { return StartCount() == 2; }));
}

TEST_F(MuxServletTest, CoreDumpNoticeReachesEveryAttachedServletOnly) {
  ASSERT_NO_FATAL_FAILURE(StartTwo());
  auto detached = NewServlet();
  ServletProbe c{"c", &events_};
  ASSERT_TRUE(StartServlet(detached.get(), &c));
  ASSERT_TRUE(detached->Stop(false, 10));
  RunTurn();
  events_.events.clear();

  NotifyCoreDump(ContainerPid());
  EXPECT_EQ(events_.Count("core a"), 1);
  EXPECT_EQ(events_.Count("core b"), 1);
  EXPECT_EQ(events_.Count("core c"), 0);
  // The notice alone ends nothing.
  EXPECT_EQ(first_->state(), MuxServletProcessImpl::Started);
  EXPECT_TRUE(ContainerUp());
}

TEST_F(MuxServletTest, CancellingADetachedServletDropsItsPendingExit) {
  ASSERT_NO_FATAL_FAILURE(StartTwo());
  ASSERT_TRUE(first_->Stop(false, 10));
  first_->CancelExecution();
  EXPECT_EQ(first_->state(), MuxServletProcessImpl::NotStarted);
  RunUntil([] { return false; }, 50);
  EXPECT_TRUE(events_.events.empty());
  EXPECT_TRUE(ContainerUp());
}

TEST_F(MuxServletTest, CancellingTheLastServletKillsTheContainerWithoutAnExitReport) {
  auto servlet = NewServlet();
  ServletProbe probe{"a", &events_};
  ASSERT_TRUE(StartServlet(servlet.get(), &probe));
  pid_t pid = ContainerPid();
  servlet->CancelExecution();
  EXPECT_EQ(servlet->state(), MuxServletProcessImpl::NotStarted);
  EXPECT_TRUE(server_->servlets.empty());
  ASSERT_TRUE(RunUntil([&] { return server_->process->HasExited(); }));
  EXPECT_EQ(server_->process->GetExitCode(), 1);  // SIGKILL
  EXPECT_TRUE(events_.events.empty());
  EXPECT_FALSE(ProcessAlive(pid));

  // A cancelled servlet can be started again, in a new container.
  ASSERT_TRUE(StartServlet(servlet.get(), &probe));
  EXPECT_NE(ContainerPid(), pid);
  EXPECT_TRUE(ContainerUp());
}

TEST_F(MuxServletTest, TheLastServletStartedDecidesTheUserOfTheNextContainer) {
  auto first = NewServlet();
  auto second = NewServlet();
  ServletProbe a{"a", &events_}, b{"b", &events_};
  ASSERT_TRUE(StartServlet(first.get(), &a));
  pid_t rootPid = ContainerPid();
  // Attaching with a user does not change the running container...
  ASSERT_TRUE(StartServlet(second.get(), &b, "nobody"));
  EXPECT_EQ(server_->runAsUser, "nobody");
  ASSERT_TRUE(RunUntil([&] { return StartCount() == 1; }));
  EXPECT_EQ(ProcStatusField(rootPid, "Uid:").substr(0, 3), "\t0\t");
  ASSERT_EQ(kill(rootPid, SIGKILL), 0);
  ASSERT_TRUE(RunUntil([&] { return events_.events.size() == 2; }));

  // ...but the next one runs as that user, even for a servlet without one.
  ASSERT_TRUE(StartServlet(first.get(), &a));
  ASSERT_TRUE(RunUntil([&] { return StartCount() == 2; }));
  EXPECT_EQ(ProcStatusField(ContainerPid(), "Uid:").substr(0, 7), "\t65534\t");
  EXPECT_EQ(ReadFile(StartLog()), "root /tmp\nnobody /tmp\n");
}

// A process object that has exited and cannot be started again, as after a
// failed fork.
class UnstartableProcess : public SysProcess {
 public:
  bool Start(const std::string &, const std::vector<std::string> &,
             const std::vector<std::string> &, const ProcessStartOptions &) override {
    return false;
  }
  bool HasExited() override { return true; }
  bool HasExecTimedOut() override { return false; }
  int GetExitCode() override { return 0; }
  bool Stop(bool, int64_t) override { return false; }
  bool StopWithCommand(const std::string &, const std::vector<std::string> &, int64_t) override {
    return false;
  }
  bool StopWithSignal(int64_t, int) override { return false; }
  void SetForceKillTimeoutCallback(ProcessCallback, int64_t) override {}
  void CancelExecution() override {}
  int GetPid() override { return 0; }
  ssize_t ReadStream(int, void *, size_t) override { return -1; }
};

TEST_F(MuxServletTest, AContainerThatFailedToStartIsTriedAgainByTheNextServlet) {
  server_->process.reset(new UnstartableProcess());
  auto servlet = NewServlet();
  ServletProbe probe{"a", &events_};
  EXPECT_FALSE(StartServlet(servlet.get(), &probe));
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Failed to start mux server web. Servlet /opt/app/servlet\n"));
  EXPECT_EQ(servlet->state(), MuxServletProcessImpl::NotStarted);
  EXPECT_TRUE(server_->servlets.empty());

  ASSERT_TRUE(StartServlet(servlet.get(), &probe));
  EXPECT_TRUE(ContainerUp());
  ASSERT_TRUE(RunUntil([&] { return StartCount() == 1; }));
}

TEST_F(MuxServletTest, ADestroyedServletLeavesNothingBehind) {
  ASSERT_NO_FATAL_FAILURE(StartTwo());
  ASSERT_TRUE(first_->Stop(false, 10));
  first_.reset();  // its exit was still pending
  RunTurn();
  second_.reset();  // still attached
  EXPECT_TRUE(server_->servlets.empty());
  ASSERT_EQ(kill(ContainerPid(), SIGKILL), 0);
  ASSERT_TRUE(RunUntil([&] { return server_->process->HasExited(); }));
  EXPECT_TRUE(events_.events.empty());
}

}  // namespace
