#include "lib/log/log.h"
#include "src/service/ServiceInternal.h"

std::string DrainStream(SysProcess *process, int stream) {
  std::string text;
  char chunk[256];
  for (;;) {
    ssize_t count = process->ReadStream(stream, chunk, sizeof chunk);
    if (count < 1) {
      break;
    }
    text.append(chunk, static_cast<size_t>(count));
  }
  return text;
}

void LogCommandStderr(const std::string &serviceName, const char *commandName, SysProcess *process,
                      int stream) {
  std::string text = DrainStream(process, stream);
  if (!text.empty()) {
    LogAtLevel(LOG_WARNING, "<%s> Service %s command's stderr: %s\n", serviceName.c_str(),
               commandName, text.c_str());
  }
}
