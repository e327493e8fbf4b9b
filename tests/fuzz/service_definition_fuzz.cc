// Feeds arbitrary bytes to the service definition loader as a definition
// file, a crash statistics file and a run-state file: creation, a reload and
// a save must end in a Service or a rejection, never in a crash. No process
// is ever started.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "src/core/SentroConfig.h"
#include "src/daemon/DaemonWiring.h"
#include "src/service/Service.h"
#include "tests/fuzz/FuzzFiles.h"

static std::string definitionPath, runStatePath, statsPath;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string scratchDir = MakeFuzzScratchDir("service-fuzz");
  definitionPath = scratchDir + "/svcCfgfiles/fuzz.json";
  runStatePath = scratchDir + "/svcCfgfiles/.state_fuzz.json";
  statsPath = scratchDir + "/.svcStats/stats_fuzz.json";
  mkdir((scratchDir + "/svcCfgfiles").c_str(), 0700);
  mkdir((scratchDir + "/.svcStats").c_str(), 0700);
  WriteFuzzFile(scratchDir + "/config.json", "{}");
  if (SentroConfig::Load(scratchDir, scratchDir) == nullptr) abort();
  setenv("SENTRO_FUZZ_HOME", "/home/fuzz", 1);
  setenv("SENTRO_FUZZ_EMPTY", "", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  unlink(runStatePath.c_str());
  WriteFuzzFile(definitionPath, data, size);
  WriteFuzzFile(statsPath, data, size);
  std::unique_ptr<Service> service = CreateService("fuzz.json", &TheDaemonEnv());
  if (service != nullptr) {
    WriteFuzzFile(runStatePath, data, size);
    service->ReloadConfig();
    service->SelectRecoveryActions(FailureType::Crash);
    service->SaveCrashStats();
  }
  return 0;
}
