#include "tools/telemetry-push/PushLogOutput.h"

#include <errno.h>
#include <unistd.h>

#include <string>

#include "lib/log/logOutput.h"
#include "src/telemetry/PushLogRecord.h"

namespace {

struct PushLogOutput : LogOutput {
  explicit PushLogOutput(int fd) : fd(fd) {}

  bool TakesWholeMessages() const override { return true; }

  void Write(const LogLineHeader &header, const char *text, size_t length) override {
    std::string record;
    EncodePushLogRecord(header.level, text, length, &record);
    const char *next = record.data();
    size_t left = record.size();
    while (left > 0) {
      ssize_t written = write(fd, next, left);
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written <= 0) {
        return;  // the daemon is gone; nobody is left to read the message
      }
      next += written;
      left -= static_cast<size_t>(written);
    }
  }

  int fd;
};

}  // namespace

bool InstallPushLogOutput(int fd) {
  PushLogOutput *output = new PushLogOutput(fd);
  output->level = LOG_MAX_LEVEL;
  if (!InstallOutput(output)) {
    delete output;
    return false;
  }
  return true;
}
