#include "lib/log/appInfo.h"

#include <mutex>

#include "lib/log/log.h"
#include "lib/log/logLine.h"

#define APP_INFO_TEXT_MAX 127

namespace {

struct AppInfoText {
  bool registered = false;
  char text[APP_INFO_TEXT_MAX + 1] = "unknown";

  void Register(const char *value) {
    if (!registered && value != nullptr) {
      LogCopyBounded(text, value, APP_INFO_TEXT_MAX);
      registered = true;
    }
  }
};

std::mutex appInfoLock;
AppInfoText appName, appVersion, appBuild, appOption;

}  // namespace

void SetAppInfo(const char *name, const char *version, const char *build, const char *option) {
  std::lock_guard<std::mutex> guard(appInfoLock);
  appName.Register(name);
  appVersion.Register(version);
  appBuild.Register(build);
  appOption.Register(option);
}

LogAppInfo LogGetAppInfo() {
  // Each text changes at most once, from "unknown" to its final value, so
  // the pointers stay valid for the life of the process.
  std::lock_guard<std::mutex> guard(appInfoLock);
  return LogAppInfo{appName.text, appVersion.text, appBuild.text, appOption.text};
}
