// Servlets sharing a fake container process: who starts and stops it, and
// how its end reaches them.
#include <deque>

#include "service/ServiceFixture.h"
#include "src/service/servlet/MuxServer.h"
#include "src/service/servlet/MuxServletProcessImpl.h"

namespace {

class MuxTest : public ServiceTest {
 public:
  void SetUp() override {
    ServiceTest::SetUp();
    MakeDirs(configDir_ + "/muxServerInstanceCfgfiles");
    WriteFile(configDir_ + "/muxServerInstanceCfgfiles/web.json",
              R"({"Name":"web","StartCommand":"/bin/c","WorkingDir":"/srv","RunAsUser":"alice"})");
    ASSERT_TRUE(LoadMuxServers());
    web_ = FindMuxServer("web");
    web_->process.reset(container_ = new FakeSysProcess("web"));
    container_->exited = true;  // as a container that has ended
  }
  // Starts a servlet whose callbacks append "exit <tag>" or "core <tag>" to events.
  bool Start(MuxServletProcessImpl *servlet, const char *tag, const std::string &user = "") {
    ProcessStartOptions options;
    options.runAsUser = user;
    options.onExit = [](SysProcess *, void *tag) { Record("exit ", tag); };
    options.onCoreDump = [](SysProcess *, void *tag) { Record("core ", tag); };
    options.context = &tags_.emplace_back(tag);
    return servlet->Start("/srv/app", {}, {}, options);
  }
  static inline std::vector<std::string> events;
  static void Record(const char *what, void *tag) { events.push_back(what + *(std::string *)tag); }

  std::deque<std::string> tags_;  // the callbacks' contexts
  MuxServerInstance *web_ = nullptr;
  FakeSysProcess *container_ = nullptr;
};

TEST_F(MuxTest, FirstServletStartsTheContainerLastOneStopsItOthersDetach) {
  MuxServletProcessImpl a(web_), b(web_);
  ASSERT_TRUE(Start(&a, "a"));
  ASSERT_TRUE(Start(&b, "b", "nobody"));
  EXPECT_EQ(container_->startCount, 1);
  EXPECT_EQ(container_->options.runAsUser + container_->options.workingDir +
                container_->limits.serviceName,
            "alice/srvweb");
  EXPECT_EQ(b.GetPid(), container_->pid);
  ASSERT_TRUE(a.StopWithSignal(10, 0));
  EXPECT_TRUE(events.empty());  // reported on the next turn, as a process end is
  AdvanceMs(1);
  EXPECT_EQ(events, (std::vector<std::string>{"exit a"}));
  EXPECT_EQ(container_->stopCount, 0);
  ASSERT_TRUE(b.Stop(false, 10));
  EXPECT_EQ(container_->stopCount, 1);
  container_->Exit(1);
  EXPECT_EQ(events, (std::vector<std::string>{"exit a", "exit b"}));
  EXPECT_EQ(b.GetExitCode(), 0);
  ASSERT_TRUE(Start(&a, "a"));  // the next container runs as the last servlet's user
  EXPECT_EQ(container_->options.runAsUser, "nobody");
  events.clear();
}

TEST_F(MuxTest, ContainerEndAndCoreDumpReachEveryAttachedServletInAddressOrder) {
  MuxServletProcessImpl s0(web_), s1(web_), s2(web_);
  ASSERT_TRUE(Start(&s0, "0") && Start(&s1, "1") && Start(&s2, "2"));
  s2.Stop(false, 10);
  s2.CancelExecution();  // its pending exit goes with it
  AdvanceMs(1);
  EXPECT_TRUE(events.empty());
  bool lowFirst = &s0 < &s1;
  container_->DumpCore();
  container_->Exit(9);
  std::vector<std::string> expected = {"core 0", "core 1", "exit 0", "exit 1"};
  if (!lowFirst) {
    std::swap(expected[0], expected[1]);
    std::swap(expected[2], expected[3]);
  }
  EXPECT_EQ(events, expected);
  EXPECT_TRUE(web_->servlets.empty());
  events.clear();
}

TEST_F(MuxTest, AContainerThatFailedToStartIsDroppedSoTheNextServletTriesAgain) {
  FakeStartFailures().insert("web");
  MuxServletProcessImpl a(web_);
  EXPECT_FALSE(Start(&a, "a"));
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Failed to start mux server web. Servlet /srv/app\n"));
  EXPECT_EQ(web_->process, nullptr);
  EXPECT_TRUE(web_->servlets.empty());
}

}  // namespace
