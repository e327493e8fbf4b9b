// Servlet services end to end: real Service objects whose processes are
// servlets of one real container. Service timers run on the test's clock;
// the container starts and ends in real time, so every wait is bounded.
#include <signal.h>

#include <memory>

#include "lib/log/log.h"
#include "mux/MuxTestSupport.h"
#include "src/core/SentroConfig.h"
#include "src/service/servlet/MuxServerHooks.h"
#include "src/service/servlet/MuxServerInstance.h"
#include "src/service/servlet/MuxServerList.h"
#include "src/service/Service.h"

namespace {

struct Completions {
  std::vector<ServiceResult> results;
  static void Record(ServiceResult result, Service *, void *context) {
    static_cast<Completions *>(context)->results.push_back(result);
  }
};

class MuxServletServiceTest : public MuxTest {
 protected:
  void SetUp() override {
    MuxTest::SetUp();
    // No recovery: a crashed servlet stays stopped and is counted.
    WriteFile(configDir_ + "/config.json", R"({"RecoverOnServiceCrash": false})");
    SentroConfig::ResetForTest();
    ASSERT_NE(SentroConfig::Load(configDir_, dataDir_), nullptr);
    MuxServersEntryPoint load = nullptr, reload = nullptr;
    InstallMuxServerHooks(&load, &reload);
    LoadContainer("web");
    server_ = FindMuxServer("web");
    ASSERT_NE(server_, nullptr);
    log_.Clear();
  }

  // A servlet service of "web" with the extra definition members.
  std::unique_ptr<Service> Servlet(const std::string &name, const std::string &extra = "") {
    std::string json =
        "{\"Name\": \"" + name + "\", \"Type\": \"MUX_SERVLET\", \"MuxServerName\": \"web\"";
    WriteFile(configDir_ + "/svcCfgfiles/" + name + ".json",
              json + (extra.empty() ? "" : ", " + extra) + "}");
    return CreateService(name + ".json");
  }

  // Starts the service and lets its first health poll (no health command:
  // "INITIALIZED") make it "STARTED".
  void StartServlet(Service *service) {
    Completions start;
    service->SetStart(Completions::Record, &start);
    ASSERT_EQ(service->state(), ServiceState::Starting);
    AdvanceSeconds(1);
    ASSERT_TRUE(RunUntil([&] { return !start.results.empty(); }));
    ASSERT_EQ(start.results, (std::vector<ServiceResult>{Ok}));
    ASSERT_EQ(service->state(), ServiceState::Started);
  }

  pid_t ContainerPid() const { return server_->process ? server_->process->GetPid() : 0; }

  MuxServerInstance *server_ = nullptr;
};

TEST_F(MuxServletServiceTest, TwoServicesShareOneContainerThatStopsWithTheLastOfThem) {
  auto alpha = Servlet("alpha");
  auto beta = Servlet("beta");
  ASSERT_TRUE(alpha && beta);
  StartServlet(alpha.get());
  pid_t pid = ContainerPid();
  ASSERT_GT(pid, 0);
  StartServlet(beta.get());
  // One container hosts both.
  EXPECT_EQ(ContainerPid(), pid);
  EXPECT_EQ(alpha->GetStatus().pid, pid);
  EXPECT_EQ(beta->GetStatus().pid, pid);
  ASSERT_TRUE(RunUntil([&] { return StartCount() == 1; }));

  Completions stopAlpha;
  alpha->SetStop(Completions::Record, &stopAlpha);
  EXPECT_EQ(alpha->state(), ServiceState::Stopping);
  RunTurn();
  EXPECT_EQ(stopAlpha.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_EQ(alpha->state(), ServiceState::Stopped);
  EXPECT_FALSE(alpha->GetStatus().lastStopFailed);
  EXPECT_TRUE(log_.Has(LOG_WARNING, "<alpha> Service exited. Exit code 0\n"));
  RunUntil([] { return false; }, 50);
  EXPECT_TRUE(ProcessAlive(pid));
  EXPECT_EQ(beta->state(), ServiceState::Started);

  Completions stopBeta;
  beta->SetStop(Completions::Record, &stopBeta);
  EXPECT_EQ(beta->state(), ServiceState::Stopping);
  ASSERT_TRUE(RunUntil([&] { return !stopBeta.results.empty(); }));
  EXPECT_EQ(stopBeta.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_EQ(beta->state(), ServiceState::Stopped);
  EXPECT_FALSE(ProcessAlive(pid));
  EXPECT_TRUE(log_.Has(LOG_INFO, "<beta> Service STOPPED sucessfully.\n"));
  EXPECT_TRUE(server_->servlets.empty());
}

TEST_F(MuxServletServiceTest, AKilledContainerEndsEveryHostedServiceAtOnce) {
  auto clean = Servlet("clean", R"("CleanExitCodes": [0])");
  auto crashy = Servlet("crashy");
  ASSERT_TRUE(clean && crashy);
  StartServlet(clean.get());
  StartServlet(crashy.get());
  ASSERT_EQ(kill(ContainerPid(), SIGKILL), 0);
  ASSERT_TRUE(RunUntil([&] {
    return clean->state() == ServiceState::Stopped || crashy->state() == ServiceState::Stopped;
  }));
  // Both ended in the same pass of the loop.
  EXPECT_EQ(clean->state(), ServiceState::Stopped);
  EXPECT_EQ(crashy->state(), ServiceState::Stopped);
  EXPECT_TRUE(log_.Has(LOG_WARNING, "<clean> Service exited. Exit code 0\n"));
  EXPECT_TRUE(log_.Has(LOG_WARNING, "<crashy> Service exited. Exit code 0\n"));
  EXPECT_TRUE(log_.Has(LOG_INFO, "<clean> Service exited cleanly.\n"));
  EXPECT_FALSE(clean->lastStopFailed());
  EXPECT_TRUE(log_.Has(
      LOG_INFO,
      "<crashy> Service exited unexpectedly. Crash count 0. Recovery action is disabled\n"));
  EXPECT_TRUE(crashy->lastStopFailed());
  EXPECT_EQ(crashy->failCounters().processCrash, 1);
}

TEST_F(MuxServletServiceTest, RestartingOneServletWhileAnotherRunsKeepsTheContainer) {
  auto alpha = Servlet("alpha");
  auto beta = Servlet("beta");
  ASSERT_TRUE(alpha && beta);
  StartServlet(alpha.get());
  StartServlet(beta.get());
  pid_t pid = ContainerPid();

  Completions restart;
  alpha->SetRestart(Completions::Record, &restart);
  RunTurn();  // the detached servlet's end: the start half follows
  EXPECT_EQ(alpha->state(), ServiceState::Starting);
  AdvanceSeconds(1);
  ASSERT_TRUE(RunUntil([&] { return !restart.results.empty(); }));
  EXPECT_EQ(restart.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_EQ(alpha->state(), ServiceState::Started);
  EXPECT_EQ(beta->state(), ServiceState::Started);
  EXPECT_EQ(ContainerPid(), pid);
  EXPECT_EQ(alpha->GetStatus().pid, pid);
  EXPECT_TRUE(ProcessAlive(pid));
  EXPECT_EQ(server_->servlets.size(), 2u);
}

TEST_F(MuxServletServiceTest, AStopCommandOfAServletIsIgnoredAndTheStopCompletes) {
  auto alpha = Servlet("alpha", R"("StopCommand": "/bin/false")");
  ASSERT_NE(alpha, nullptr);
  StartServlet(alpha.get());
  Completions stop;
  alpha->SetStop(Completions::Record, &stop);
  ASSERT_TRUE(RunUntil([&] { return !stop.results.empty(); }));
  EXPECT_EQ(stop.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_EQ(alpha->state(), ServiceState::Stopped);
  EXPECT_TRUE(log_.Has(LOG_WARNING,
                       "Ignoring stop command /bin/false of a servlet of MUX server web. Stopping "
                       "the servlet instead.\n"));
}

TEST_F(MuxServletServiceTest, AContainerThatCannotRunFailsTheStartOfItsServlet) {
  WriteInstance("web.json", R"({"Name": "web", "StartCommand": "/nonexistent/container"})");
  ASSERT_TRUE(ReloadMuxServers());
  auto alpha = Servlet("alpha");
  ASSERT_NE(alpha, nullptr);
  Completions start;
  alpha->SetStart(Completions::Record, &start);
  ASSERT_TRUE(RunUntil([&] { return !start.results.empty(); }));
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{StartFailed}));
  EXPECT_EQ(alpha->state(), ServiceState::Stopped);
  EXPECT_EQ(server_->process->GetExitCode(), 254);
}

}  // namespace
