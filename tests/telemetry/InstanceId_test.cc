// The anonymised instance id and the random operation ids.
#include "src/telemetry/InstanceId.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "lib/log/log.h"
#include "src/core/SysPaths.h"
#include "src/telemetry/MetricsStore.h"
#include "telemetry/TelemetryTestEnv.h"

namespace {

const char kBuildInfo[] = "/etc/norvane/.buildInfo";
const char kInstanceCfg[] = "/etc/norvane-skyd/instance.cfg";
const char kApplianceCfg[] = "/etc/norvane/appliance/appliance.cfg";
const char kUuid[] = "0f8fad5b-d9cb-469f-a165-70867728950e";

uint64_t Hash(const char *text) {
  return MurmurHash64A(text, strlen(text), INSTANCE_ID_HASH_SEED);
}

TEST(MurmurHash64A, MatchesReferenceValuesForEveryTailLength) {
  EXPECT_EQ(MurmurHash64A("", 0, 0), 0u);
  EXPECT_EQ(Hash(""), 6142509188972423790u);
  EXPECT_EQ(Hash("a"), 4993892634952068459u);
  EXPECT_EQ(Hash("abcdefgh"), 8664279048047335611u);
  EXPECT_EQ(Hash("instance-1234567"), 17287259548130544879u);
  EXPECT_EQ(Hash(kUuid), 1006682888008927046u);
}

TEST(OperationId, IsARandomVersionFourUuidInLowercase) {
  std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::string first = NewUuidText();
  std::string second = NewUuidText();
  EXPECT_TRUE(std::regex_match(first, form)) << first;
  EXPECT_TRUE(std::regex_match(second, form)) << second;
  EXPECT_NE(first, second);
}

class InstanceIdTest : public TelemetryTest {};

TEST_F(InstanceIdTest, SameInstanceUuidGivesSameId) {
  WriteSysFile(kInstanceCfg, "# identity\nregion=eu\ninstanceUuid=" + std::string(kUuid) + "\n");
  std::string id = ComputeInstanceId();
  EXPECT_EQ(id, std::to_string(Hash(kUuid)));
  EXPECT_EQ(ComputeInstanceId(), id);

  InitializeSvcOpCount({}, root_.path());
  EXPECT_EQ(GetTelemetryContext().instanceId, id);
}

TEST_F(InstanceIdTest, ValueIsEverythingAfterTheFirstEqualsSign) {
  WriteSysFile(kInstanceCfg, "instanceUuid = a=b \ninstanceUuid=second\n");
  EXPECT_EQ(ReadInstanceUuid(SysPath(kInstanceCfg)), " a=b ");
  EXPECT_EQ(ComputeInstanceId(), std::to_string(Hash(" a=b ")));
}

TEST_F(InstanceIdTest, OutpostDeploymentReadsTheApplianceIdentity) {
  WriteSysFile(kBuildInfo, "BUILD=1\nCLOUDVM_NAME:Norvane-Skylark-Outpost\n");
  WriteSysFile(kApplianceCfg, "instanceUuid=outpost-uuid\n");
  WriteSysFile(kInstanceCfg, "instanceUuid=ordinary-uuid\n");
  EXPECT_EQ(ComputeInstanceId(), std::to_string(Hash("outpost-uuid")));
  EXPECT_TRUE(log_.Has(LOG_INFO, "This is a Skylark Outpost deployment\n"));
}

TEST_F(InstanceIdTest, OtherDeploymentsReadTheInstanceIdentity) {
  WriteSysFile(kBuildInfo, "CLOUDVM_NAME:Norvane-Skylark-Outpost-2\nCLOUDVM_NAME:x\n");
  WriteSysFile(kApplianceCfg, "instanceUuid=outpost-uuid\n");
  WriteSysFile(kInstanceCfg, "instanceUuid=ordinary-uuid\n");
  EXPECT_EQ(ComputeInstanceId(), std::to_string(Hash("ordinary-uuid")));
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(InstanceIdTest, MissingIdentityHashesARandomUuid) {
  std::string first = ComputeInstanceId();
  WriteSysFile(kInstanceCfg, "instanceUuid=\n");
  std::string second = ComputeInstanceId();
  EXPECT_NE(first, second);
  EXPECT_NE(first, std::to_string(Hash("")));
  EXPECT_EQ(std::to_string(std::stoull(first)), first);
}

}  // namespace
