// The anonymised instance id and the random operation ids.
#include "src/telemetry/InstanceId.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "lib/log/log.h"
#include "src/telemetry/MetricsStore.h"
#include "telemetry/TelemetryTestEnv.h"

namespace {

const char kUuid[] = "0f8fad5b-d9cb-469f-a165-70867728950e";

uint64_t Hash(const std::string &text) {
  return MurmurHash64A(text.data(), text.size(), INSTANCE_ID_HASH_SEED);
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
bool IsVersionFourUuid(const std::string &id) {
  const std::string format = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
  for (size_t i = 0; i < format.size() && i < id.size(); ++i) {
    char c = id[i];
    bool hex = isdigit(c) || (c >= 'a' && c <= 'f');
    if (format[i] == 'x'   ? !hex
        : format[i] == 'y' ? strchr("89ab", c) == nullptr
                           : c != format[i]) {
      return false;
    }
  }
  return id.size() == format.size();
}

TEST(OperationId, IsARandomVersionFourUuidInLowercase) {
  std::string first = NewUuidText();
  std::string second = NewUuidText();
  EXPECT_TRUE(IsVersionFourUuid(first)) << first;
  EXPECT_TRUE(IsVersionFourUuid(second)) << second;
  EXPECT_NE(first, second);
}

class InstanceIdTest : public TelemetryTest {};

TEST_F(InstanceIdTest, IsTheHashOfTheIdentityFileOfTheDeploymentKind) {
  struct Case {
    const char *buildInfo;
    std::string instanceCfg;
    std::string hashedUuid;
    bool outpost;
  } cases[] = {
      {"", "# identity\nregion=eu\ninstanceUuid=" + std::string(kUuid) + "\n", kUuid, false},
      // Everything after the first "=" of the first line that names the key.
      {"", "instanceUuid = a=b \ninstanceUuid=second\n", " a=b ", false},
      {"BUILD=1\nCLOUDVM_NAME:Norvane-Skylark-Outpost\n", "instanceUuid=ordinary-uuid\n",
       "outpost-uuid", true},
      {"CLOUDVM_NAME:Norvane-Skylark-Outpost-2\nCLOUDVM_NAME:x\n", "instanceUuid=ordinary-uuid\n",
       "ordinary-uuid", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.instanceCfg);
    WriteSysFile("/etc/norvane/.buildInfo", c.buildInfo);
    WriteSysFile("/etc/norvane/appliance/appliance.cfg", "instanceUuid=outpost-uuid\n");
    WriteSysFile("/etc/norvane-skyd/instance.cfg", c.instanceCfg);
    log_.Clear();
    InitializeSvcOpCount({}, root_.path());
    EXPECT_EQ(GetTelemetryContext().instanceId, std::to_string(Hash(c.hashedUuid)));
    EXPECT_EQ(log_.Has(LOG_INFO, "This is a Skylark Outpost deployment\n"), c.outpost);
    EXPECT_EQ(ComputeInstanceId(), GetTelemetryContext().instanceId);
  }
}

TEST_F(InstanceIdTest, MissingIdentityHashesARandomUuid) {
  std::string first = ComputeInstanceId();
  WriteSysFile("/etc/norvane-skyd/instance.cfg", "instanceUuid=\n");
  std::string second = ComputeInstanceId();
  EXPECT_NE(first, second);
  EXPECT_NE(first, std::to_string(Hash("")));
  EXPECT_EQ(std::to_string(std::stoull(first)), first);
}

}  // namespace
