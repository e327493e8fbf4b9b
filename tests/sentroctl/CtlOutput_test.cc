// What sentroctl prints: the human table and blocks, result codes in words,
// and well-formed JSON for scripts.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "sentroctl/CtlRun.h"
#include "sentroctl/FakeServer.h"
#include "src/protocol/ReplyMessage.h"
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
  status.msInState = 12345;
  status.lastStopFailed = true;
  status.runAsUser = "root";
  return status;
}

const char kWebBlock[] =
    "web\n"
    "  State:        STARTED for 7h 05m\n"
    "  Health:       HEALTHY\n"
    "  Startup type: AUTOMATIC\n"
    "  PID:          4242\n"
    "  Run as:       www\n"
    "  Health data:  all good\n"
    "                second line\n";

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
  CtlRun RunWithReplies(const std::vector<std::vector<uint8_t>> &replies,
                        const std::vector<std::string> &args) {
    for (const auto &reply : replies) {
      server_.Reply(reply);
    }
    return RunCtl(server_.path(), args);
  }

  TempDir dir_;
  FakeServer server_{dir_.Sub("sentroserver")};
};

}  // namespace

TEST_F(CtlOutput, ListAndStatusPrintATableAndBlocks) {
  CtlRun run = RunWithReplies(
      {EncodeNameListReply({"db", "web"}), EncodeSvcStateReply(Db()), EncodeSvcStateReply(Web())},
      {"list"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "SERVICE  STATE    HEALTH     STARTUP    PID   IN STATE  USER  HEALTH DATA\n"
            "db       STOPPED  UNHEALTHY  MANUAL     -     12.3s     root\n"
            "web      STARTED  HEALTHY    AUTOMATIC  4242  7h 05m    www   all good\n");
  EXPECT_EQ(RunWithReplies({EncodeNameListReply({})}, {"list"}).out, "No services.\n");

  run = RunWithReplies({EncodeSvcStateReply(Web()), EncodeSvcStateReply(Db())},
                       {"status", "web", "db"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, std::string(kWebBlock) +
                         "\n"
                         "db\n"
                         "  State:        STOPPED for 12.3s\n"
                         "  Health:       UNHEALTHY\n"
                         "  Startup type: MANUAL\n"
                         "  PID:          -\n"
                         "  Run as:       root\n"
                         "  Last stop:    failed\n"
                         "  Health data:  -\n");
  EXPECT_EQ(run.err, "");

  run = RunWithReplies({EncodeSvcStateReply(Web()), EncodeResultReply(6)},
                       {"status", "web", "ghost"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, kWebBlock);
  EXPECT_EQ(run.err,
            "sentroctl: status ghost: no such service 'ghost' (InvalidStartupType, code 6)\n");
}

TEST_F(CtlOutput, SuccessIsOneLineNamingWhatWasDone) {
  const std::vector<uint8_t> ok = EncodeResultReply(0);
  struct Case {
    std::vector<uint8_t> reply;
    std::string args;
    std::string out;
  } cases[] = {
      {ok, "start web", "Started web.\n"},
      {ok, "--json start web", "{\"command\":\"start\",\"service\":\"web\",\"ok\":true}\n"},
      {ok, "stop web", "Stopped web.\n"},
      {ok, "restart web", "Restarted web.\n"},
      {ok, "set-startup web automatic", "Startup type of web set to AUTOMATIC.\n"},
      {ok, "run-as web www", "Run-as user of web set to www.\n"},
      {ok, "stop-profile ALL --ignore-failures", "Stopped profile ALL; failures were ignored.\n"},
      {ok, "recovery-profile failover", "Recovery action profile set to FAILOVER.\n"},
      {ok, "health-check-all", "Ran the health check of every service.\n"},
      {ok, "save-stats", "Saved the crash statistics of every service.\n"},
      {ok, "notify-coredump 99", "Reported process 99 as dumping core.\n"},
      {ok, "ha-failover", "The failover listener accepted the failover.\n"},
      {EncodeNameListReply({"db", "cache"}), "deps web", "db\ncache\n"},
      {EncodeNameListReply({}), "deps web", "web depends on no other service.\n"},
      {EncodeLiveCoreReply(true, "/var/core/core.web.4242"), "live-core web",
       "Live core of web written to /var/core/core.web.4242\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    CtlRun run = RunWithReplies({c.reply}, Words(c.args));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, c.out);
  }
}

TEST_F(CtlOutput, FailuresAreReportedInWordsWithStatusFour) {
  struct Case {
    std::vector<uint8_t> reply;
    std::string args;
    std::string err;  // after "sentroctl: COMMAND OPERAND: "
  } cases[] = {
      {EncodeResultReply(1), "start web", "timed out (TimedOut, code 1)\n"},
      {EncodeResultReply(2), "start web", "start failed (StartFailed, code 2)\n"},
      {EncodeResultReply(3), "stop web", "cancelled (Cancelled, code 3)\n"},
      {EncodeResultReply(4), "reload", "failed (Failed, code 4)\n"},
      {EncodeResultReply(6), "start ghost",
       "no such service 'ghost' (InvalidStartupType, code 6)\n"},
      {EncodeResultReply(7), "stop web", "unknown result code 7\n"},
      {EncodeResultReply(9), "restart web",
       "disabled: the service's startup type is DISABLED (Disabled, code 9)\n"},
      {EncodeResultReply(9), "set-startup web disabled",
       "disabled: a service can be disabled only while it is stopped (Disabled, code 9)\n"},
      {EncodeResultReply(10), "start-profile NOPE",
       "no such profile 'NOPE' (UnknownProfile, code 10)\n"},
      {EncodeResultReply(1, "db, web"), "start-profile ALL",
       "timed out (TimedOut, code 1)\nFailed services: db, web\n"},
      {EncodeLiveCoreReply(false, ""), "live-core web",
       "live core dump failed (no such service, service not running, or the dump itself failed)\n"},
      // An ErrorReply without a payload from the failover listener.
      {{0x22, 0x14, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0},
       "ha-failover",
       "the failover listener refused the failover\n"},
      // The daemon's control socket refuses the failover type.
      {EncodeResultReply(8), "ha-failover",
       "the daemon refused the request as invalid (InvalidRequest, code 8)\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.err);
    CtlRun run = RunWithReplies({c.reply}, Words(c.args));
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, "");
    std::vector<std::string> words = Words(c.args);
    std::string command = words.size() > 1 ? words[0] + " " + words[1] : words[0];
    EXPECT_EQ(run.err, "sentroctl: " + command + ": " + c.err);
  }
}

TEST_F(CtlOutput, StatusJsonListsServicesAndErrors) {
  CtlRun run = RunWithReplies({EncodeSvcStateReply(Web()), EncodeResultReply(6)},
                              {"--json", "status", "web", "ghost"});
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
  CtlRun run = RunWithReplies({EncodeSvcStateReply(status)}, {"status", "web", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  rapidjson::Document json = ParseJson(run.out);
  const rapidjson::Value &data = json["services"][0]["healthData"];
  EXPECT_EQ(std::string(data.GetString(), data.GetStringLength()),
            std::string("quote\" back\\ tab\t nul\0 bad\xEF\xBF\xBD\xEF\xBF\xBD end", 37));
}

TEST_F(CtlOutput, JsonOfProfilesAndLiveCoresCarriesTheirDetails) {
  CtlRun run =
      RunWithReplies({EncodeResultReply(1, "db, web")}, {"start-profile", "ALL", "--json"});
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

  run = RunWithReplies({EncodeLiveCoreReply(true, "/var/core/core.web.4242")},
                       {"live-core", "web", "--json"});
  json = ParseJson(run.out);
  EXPECT_TRUE(json["ok"].GetBool());
  EXPECT_STREQ(json["coreFile"].GetString(), "/var/core/core.web.4242");
}

TEST(CtlJson, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(ValidUtf8("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");                // été
  EXPECT_EQ(ValidUtf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");                  // U+1F600
  EXPECT_EQ(ValidUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // overlong '/'
  EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(ValidUtf8("a\xE2\x82"), "a\xEF\xBF\xBD\xEF\xBF\xBD");                // cut short
}
