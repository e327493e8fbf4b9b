#include "src/daemon/LogSwitch.h"

#include "lib/log/log.h"

namespace {

LogOutput *currentOutput = nullptr;

const char kAppName[] = "sentro";
const char kVersion[] = "e.x.p";
const char kBuild[] = "build-24322028";
const char kBuildType[] = "Release";

LogOutput *CreateOutput(bool logToSyslog) {
  LogDict options;
  if (logToSyslog) {
    return CreateSyslogOutput(kAppName, "syslog", &options, nullptr);
  }
  options.SetBool("log.append", false);
  options.Set("log.fileName", "sentro.log");
  options.SetInt("log.rotateSize", 20971520);
  options.SetInt("log.keepOld", 8);
  return CreateFileOutput(kAppName, "file", &options, nullptr);
}

}  // namespace

void SwitchLogger(bool logToSyslog, int level) {
  SetAppInfo(kAppName, kVersion, kBuild, kBuildType);
  LogOutput *output = CreateOutput(logToSyslog);
  if (output == nullptr) {
    LogAtLevel(LOG_WARNING, "New logger initialization failed. logToSyslog=%d\n", logToSyslog);
    return;
  }
  SetOutputLevel(output, level);
  if (currentOutput != nullptr) {
    LogAtLevel(LOG_INFO, "Switching logger. logToSyslog=%d\n", logToSyslog);
    RemoveOutput(currentOutput);
    currentOutput = nullptr;
  }
  if (!InstallOutput(output)) {
    DestroyOutput(output);
    LogAtLevel(LOG_WARNING, "New logger initialization failed. logToSyslog=%d\n", logToSyslog);
    return;
  }
  currentOutput = output;
}

LogOutput *CurrentLogOutput() {
  return currentOutput;
}
