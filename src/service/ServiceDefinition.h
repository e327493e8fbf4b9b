// The in-memory form of a service definition file: what to run, as whom, how
// to stop it, how to ask it about its health, and the limits that apply.
// Read again on every reload and before every start that an operator or a
// batch asked for; the name, type and dependencies are kept by the Service.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "src/core/SentroTypes.h"

class JsonFileReader;
class SentroConfig;

struct ServiceDefinition {
  std::string startCommand;
  std::vector<std::string> startCommandArgs;
  std::string preStartCommand;
  std::vector<std::string> preStartCommandArgs;
  std::string stopCommand;
  std::vector<std::string> stopCommandArgs;
  std::string postStopCommand;
  std::vector<std::string> postStopCommandArgs;
  std::string apiHealthCommand;
  std::vector<std::string> apiHealthCommandArgs;
  std::string apiHealthFile;
  RecoveryActionProfiles recoveryActionProfiles;
  std::string runAsUser;
  std::string runApiHealthCmdAsUser;
  std::string runPreStartCmdAsUser;
  std::string workingDir;
  std::string streamRedirectFile;
  int32_t startTimeout = 0;  // seconds
  int32_t stopTimeout = 0;
  int32_t postStopTimeout = 0;
  int32_t stopSignal = -1;  // -1: the file names none
  int32_t apiHealthCmdTimeout = 0;
  StartupType startupType = StartupType::Automatic;
  bool dumpLiveCoreOnApiHealthFail = false;
  std::vector<int32_t> cleanExitCodes;
  uint64_t processFdLimit = 0;
  uint64_t memoryLimitBytes = 0;
};

// A definition holding the defaults of the daemon configuration in force.
ServiceDefinition DefaultServiceDefinition(const SentroConfig &config);

// Reads the keys from "StartupType" to "MemoryLimitBytes" over definition,
// then puts the configured default back into every time-out that the file
// sets below 1, with a warning.
void ReadServiceDefinitionKeys(const JsonFileReader &reader, const SentroConfig &config,
                               ServiceDefinition *definition);
