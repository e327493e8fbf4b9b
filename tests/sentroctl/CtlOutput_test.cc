// What sentroctl prints: the human table and blocks, result codes in words,
// and well-formed JSON for scripts.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "sentroctl/CtlRun.h"
#include "sentroctl/FakeServer.h"
#include "src/control/protocol/ReplyMessage.h"
#include "support/TempDir.h"
#include "tools/sentroctl/CtlJson.h"

namespace {

SvcStatePayload Web() {
  SvcStatePayload status;
  status.name = "web";
  status.state = 2;
  status.startupType = 1;
  status.health = 1;
  status.msInState = 7 * 3600 * 1000 + 5 * 60 * 1000;
  status.pid = 4242;
  status.runAsUser = "www";
  status.healthData = "all good\nsecond line";
  return status;
}

SvcStatePayload Db() {
  SvcStatePayload status;
  status.name = "db";
  status.state = 3;
  status.startupType = 0;
  status.health = 0;
  status.msInState = 12345;
  status.lastStopFailed = true;
  status.runAsUser = "root";
  return status;
}

// Parses the one JSON document a run printed; fails the test if it is not
// well-formed.
rapidjson::Document ParseJson(const std::string &text) {
  rapidjson::Document document;
  document.Parse(text.c_str(), text.size());
  EXPECT_FALSE(document.HasParseError()) << text;
  EXPECT_TRUE(document.IsObject()) << text;
  return document;
}

class CtlOutput : public ::testing::Test {
 protected:
  TempDir dir_;
  FakeServer server_{dir_.Sub("sentroserver")};
};

}  // namespace

TEST_F(CtlOutput, ListPrintsAnAlignedTableOfEveryService) {
  server_.Reply(EncodeNameListReply({"db", "web"}));
  server_.Reply(EncodeSvcStateReply(Db()));
  server_.Reply(EncodeSvcStateReply(Web()));
  CtlRun run = RunCtl(server_.path(), {"list"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "SERVICE  STATE    HEALTH     STARTUP    PID   IN STATE  USER  HEALTH DATA\n"
            "db       STOPPED  UNHEALTHY  MANUAL     -     12.3s     root\n"
            "web      STARTED  HEALTHY    AUTOMATIC  4242  7h 05m    www   all good\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(CtlOutput, ListOfNoServicesSaysSo) {
  server_.Reply(EncodeNameListReply({}));
  CtlRun run = RunCtl(server_.path(), {"list"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "No services.\n");
}

TEST_F(CtlOutput, StatusShowsEveryFieldAndTheWholeHealthData) {
  server_.Reply(EncodeSvcStateReply(Web()));
  server_.Reply(EncodeSvcStateReply(Db()));
  CtlRun run = RunCtl(server_.path(), {"status", "web", "db"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "web\n"
            "  State:        STARTED for 7h 05m\n"
            "  Health:       HEALTHY\n"
            "  Startup type: AUTOMATIC\n"
            "  PID:          4242\n"
            "  Run as:       www\n"
            "  Health data:  all good\n"
            "                second line\n"
            "\n"
            "db\n"
            "  State:        STOPPED for 12.3s\n"
            "  Health:       UNHEALTHY\n"
            "  Startup type: MANUAL\n"
            "  PID:          -\n"
            "  Run as:       root\n"
            "  Last stop:    failed\n"
            "  Health data:  -\n");
}

TEST_F(CtlOutput, StatusOfAnUnknownServiceSaysNoSuchServiceAndExitsFour) {
  server_.Reply(EncodeSvcStateReply(Web()));
  server_.Reply(EncodeResultReply(6));
  CtlRun run = RunCtl(server_.path(), {"status", "web", "ghost"});
  EXPECT_EQ(run.status, 4);
  EXPECT_NE(run.out.find("web\n"), std::string::npos);
  EXPECT_EQ(run.err,
            "sentroctl: status ghost: no such service 'ghost' (InvalidStartupType, code 6)\n");
}

TEST_F(CtlOutput, StatusJsonListsServicesAndErrors) {
  server_.Reply(EncodeSvcStateReply(Web()));
  server_.Reply(EncodeResultReply(6));
  CtlRun run = RunCtl(server_.path(), {"--json", "status", "web", "ghost"});
  EXPECT_EQ(run.status, 4);
  rapidjson::Document json = ParseJson(run.out);
  EXPECT_STREQ(json["command"].GetString(), "status");
  EXPECT_FALSE(json["ok"].GetBool());
  ASSERT_EQ(json["services"].Size(), 1u);
  const rapidjson::Value &web = json["services"][0];
  EXPECT_STREQ(web["name"].GetString(), "web");
  EXPECT_STREQ(web["state"].GetString(), "STARTED");
  EXPECT_STREQ(web["health"].GetString(), "HEALTHY");
  EXPECT_STREQ(web["startupType"].GetString(), "AUTOMATIC");
  EXPECT_EQ(web["pid"].GetInt(), 4242);
  EXPECT_EQ(web["msInState"].GetUint64(), 7u * 3600 * 1000 + 5 * 60 * 1000);
  EXPECT_STREQ(web["runAsUser"].GetString(), "www");
  EXPECT_FALSE(web["lastStopFailed"].GetBool());
  EXPECT_STREQ(web["healthData"].GetString(), "all good\nsecond line");
  ASSERT_EQ(json["errors"].Size(), 1u);
  EXPECT_STREQ(json["errors"][0]["service"].GetString(), "ghost");
  EXPECT_EQ(json["errors"][0]["result"].GetInt(), 6);
}

TEST_F(CtlOutput, JsonStaysWellFormedWhateverTheHealthDataHolds) {
  SvcStatePayload status = Web();
  status.healthData = std::string("quote\" back\\ tab\t nul\0 bad\xff\xfe end", 33);
  server_.Reply(EncodeSvcStateReply(status));
  CtlRun run = RunCtl(server_.path(), {"status", "web", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  rapidjson::Document json = ParseJson(run.out);
  const rapidjson::Value &data = json["services"][0]["healthData"];
  EXPECT_EQ(std::string(data.GetString(), data.GetStringLength()),
            std::string("quote\" back\\ tab\t nul\0 bad\xEF\xBF\xBD\xEF\xBF\xBD end", 37));
}

TEST_F(CtlOutput, StartSuccessIsOneLineAndOkInJson) {
  server_.Reply(EncodeResultReply(0));
  CtlRun run = RunCtl(server_.path(), {"start", "web"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Started web.\n");

  server_.Reply(EncodeResultReply(0));
  run = RunCtl(server_.path(), {"--json", "start", "web"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "{\"command\":\"start\",\"service\":\"web\",\"ok\":true}\n");
}

TEST_F(CtlOutput, ResultCodesAreReportedInWords) {
  struct {
    std::vector<std::string> args;
    uint32_t code;
    const char *message;
  } cases[] = {
      {{"start", "web"}, 1, "sentroctl: start web: timed out (TimedOut, code 1)\n"},
      {{"start", "web"}, 2, "sentroctl: start web: start failed (StartFailed, code 2)\n"},
      {{"stop", "web"}, 3, "sentroctl: stop web: cancelled (Cancelled, code 3)\n"},
      {{"restart", "web"},
       9,
       "sentroctl: restart web: disabled: the service's startup type is DISABLED (Disabled, code "
       "9)\n"},
      {{"set-startup", "web", "disabled"},
       9,
       "sentroctl: set-startup web: disabled: a service can be disabled only while it is stopped "
       "(Disabled, code 9)\n"},
      {{"start", "ghost"},
       6,
       "sentroctl: start ghost: no such service 'ghost' (InvalidStartupType, code 6)\n"},
      {{"start-profile", "NOPE"},
       10,
       "sentroctl: start-profile NOPE: no such profile 'NOPE' (UnknownProfile, code 10)\n"},
      {{"reload"}, 4, "sentroctl: reload: failed (Failed, code 4)\n"},
      {{"stop", "web"}, 7, "sentroctl: stop web: unknown result code 7\n"},
  };
  for (const auto &c : cases) {
    server_.Reply(EncodeResultReply(c.code));
    CtlRun run = RunCtl(server_.path(), c.args);
    EXPECT_EQ(run.status, 4) << c.args[0];
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.message);
  }
}

TEST_F(CtlOutput, ProfileFailureNamesTheFailedServices) {
  server_.Reply(EncodeResultReply(1, "db, web"));
  CtlRun run = RunCtl(server_.path(), {"start-profile", "ALL"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err,
            "sentroctl: start-profile ALL: timed out (TimedOut, code 1)\n"
            "Failed services: db, web\n");

  server_.Reply(EncodeResultReply(1, "db, web"));
  run = RunCtl(server_.path(), {"start-profile", "ALL", "--json"});
  EXPECT_EQ(run.status, 4);
  rapidjson::Document json = ParseJson(run.out);
  EXPECT_STREQ(json["profile"].GetString(), "ALL");
  EXPECT_FALSE(json["ok"].GetBool());
  EXPECT_EQ(json["result"].GetInt(), 1);
  EXPECT_STREQ(json["resultName"].GetString(), "TimedOut");
  EXPECT_STREQ(json["error"].GetString(), "timed out");
  ASSERT_EQ(json["failedServices"].Size(), 2u);
  EXPECT_STREQ(json["failedServices"][0].GetString(), "db");
  EXPECT_STREQ(json["failedServices"][1].GetString(), "web");
}

TEST_F(CtlOutput, DepsPrintsOneNamePerLineAndAJsonArray) {
  server_.Reply(EncodeNameListReply({"db", "cache"}));
  CtlRun run = RunCtl(server_.path(), {"deps", "web"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "db\ncache\n");

  server_.Reply(EncodeNameListReply({}));
  run = RunCtl(server_.path(), {"deps", "web"});
  EXPECT_EQ(run.out, "web depends on no other service.\n");

  server_.Reply(EncodeNameListReply({"db"}));
  run = RunCtl(server_.path(), {"deps", "web", "--json"});
  EXPECT_EQ(run.out,
            "{\"command\":\"deps\",\"service\":\"web\",\"ok\":true,\"dependsOn\":[\"db\"]}\n");

  server_.Reply(EncodeResultReply(6));
  run = RunCtl(server_.path(), {"deps", "ghost"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err,
            "sentroctl: deps ghost: no such service 'ghost' (InvalidStartupType, code 6)\n");
}

TEST_F(CtlOutput, LiveCorePrintsThePathOrTheFailure) {
  server_.Reply(EncodeLiveCoreReply(true, "/var/core/core.web.4242"));
  CtlRun run = RunCtl(server_.path(), {"live-core", "web"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Live core of web written to /var/core/core.web.4242\n");

  server_.Reply(EncodeLiveCoreReply(true, "/var/core/core.web.4242"));
  run = RunCtl(server_.path(), {"live-core", "web", "--json"});
  rapidjson::Document json = ParseJson(run.out);
  EXPECT_TRUE(json["ok"].GetBool());
  EXPECT_STREQ(json["coreFile"].GetString(), "/var/core/core.web.4242");

  server_.Reply(EncodeLiveCoreReply(false, ""));
  run = RunCtl(server_.path(), {"live-core", "web"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("live core dump failed"), std::string::npos) << run.err;
}

TEST_F(CtlOutput, HaFailoverReportsAcceptanceAndRefusal) {
  server_.Reply(EncodeResultReply(0));
  CtlRun run = RunCtl(server_.path(), {"ha-failover"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "The failover listener accepted the failover.\n");

  server_.Reply({0x22, 0x14, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0});
  run = RunCtl(server_.path(), {"ha-failover"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err, "sentroctl: ha-failover: the failover listener refused the failover\n");

  // The daemon's control socket refuses the type as an invalid request.
  server_.Reply(EncodeResultReply(8));
  run = RunCtl(server_.path(), {"ha-failover"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err,
            "sentroctl: ha-failover: the daemon refused the request as invalid (InvalidRequest, "
            "code 8)\n");
}

TEST_F(CtlOutput, EverySuccessLineNamesWhatWasDone) {
  struct {
    std::vector<std::string> args;
    const char *line;
  } cases[] = {
      {{"stop", "web"}, "Stopped web.\n"},
      {{"restart", "web"}, "Restarted web.\n"},
      {{"set-startup", "web", "automatic"}, "Startup type of web set to AUTOMATIC.\n"},
      {{"run-as", "web", "www"}, "Run-as user of web set to www.\n"},
      {{"stop-profile", "ALL", "--ignore-failures"},
       "Stopped profile ALL; failures were ignored.\n"},
      {{"recovery-profile", "failover"}, "Recovery action profile set to FAILOVER.\n"},
      {{"health-check-all"}, "Ran the health check of every service.\n"},
      {{"save-stats"}, "Saved the crash statistics of every service.\n"},
      {{"notify-coredump", "99"}, "Reported process 99 as dumping core.\n"},
  };
  for (const auto &c : cases) {
    server_.Reply(EncodeResultReply(0));
    CtlRun run = RunCtl(server_.path(), c.args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, c.line);
  }
}

TEST(CtlJson, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(ValidUtf8("plain"), "plain");
  EXPECT_EQ(ValidUtf8("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");                // été
  EXPECT_EQ(ValidUtf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");                  // U+1F600
  EXPECT_EQ(ValidUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // overlong '/'
  EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(ValidUtf8("a\xE2\x82"), "a\xEF\xBF\xBD\xEF\xBF\xBD");                // cut short
}
