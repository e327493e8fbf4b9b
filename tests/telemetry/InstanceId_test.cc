// The anonymised instance id and the random operation ids.
#include "src/telemetry/InstanceId.h"

#include <gtest/gtest.h>

#include <cstring>

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

// 8-4-4-4-12 lowercase hexadecimal digits, version 4, variant 10xx.
bool IsVersionFourUuid(const std::string &text) {
  if (text.size() != 36) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    bool hex = (text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f');
    if (dash ? text[i] != '-' : !hex) {
      return false;
    }
  }
  return text[14] == '4' && strchr("89ab", text[19]) != nullptr;
}

TEST(OperationId, IsARandomVersionFourUuidInLowercase) {
  std::string first = NewUuidText();
  std::string second = NewUuidText();
  EXPECT_TRUE(IsVersionFourUuid(first)) << first;
  EXPECT_TRUE(IsVersionFourUuid(second)) << second;
  EXPECT_FALSE(IsVersionFourUuid("0F8FAD5B-D9CB-469F-A165-70867728950E"));
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
