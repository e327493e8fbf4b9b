// The file output: a log file opened on the first message, with size-based
// rotation, throttling and accounting of bytes lost to write errors.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <string>

#include "lib/log/linePrefix.h"
#include "lib/log/logOutput.h"
#include "lib/log/messageRing.h"
#include "lib/log/throttle.h"

// Size of the ring that holds the lines of a throttled period.
#define FILE_OUTPUT_RING_SIZE 65536
// The smallest rotation size other than 0 ("never").
#define FILE_OUTPUT_MIN_ROTATE_SIZE 100000
// How long a file output waits after a failed open before trying again.
#define FILE_OUTPUT_REOPEN_MICROS 1000000

struct FileOutputOptions {
  std::string appName;
  std::string path;       // resolved log file path
  std::string directory;  // the established log directory
  bool generatedName = false;
  LinePrefixFields prefix;
  bool append = false;
  bool syncAfterWrite = false;
  bool fastRotation = false;
  int keepOld = 3;
  int rotateSize = 0;
  int permissions = 0640;
};

class FileOutput : public LogOutput {
 public:
  FileOutput(const FileOutputOptions &options, const ThrottleState &throttle, long utcOffset)
      : options_(options), throttle_(throttle), utcOffsetSeconds_(utcOffset) {}

  void Write(const LogLineHeader &header, const char *text, size_t length) override;
  void Close() override;

  const FileOutputOptions &Options() const { return options_; }

 private:
  // fileOpen.cc: opening, rotation and the header lines.
  bool OpenWhenDue();
  bool OpenLog();
  bool OpenFresh();
  bool WriteHeaderLines();
  void RotateForSize();

  // fileOutput.cc: the message path.
  void WritePrefixed(const LogLineHeader &header, const char *text, size_t length);
  void WriteLevel0(const char *text, size_t length);
  void WriteToFile(const struct iovec *parts, int count);
  void ReportDiscarded();
  void FlushRing();

  FileOutputOptions options_;
  ThrottleState throttle_;
  long utcOffsetSeconds_;  // local time minus UTC, taken at creation
  int fd_ = -1;
  bool openFailed_ = false;
  int64_t nextOpenAttemptMicros_ = 0;
  uint64_t bytesWritten_ = 0;
  uint64_t bytesDiscarded_ = 0;  // since the last report that reached the file
  std::unique_ptr<char[]> ringStorage_;
  std::unique_ptr<MessageRing> ring_;
  std::unique_ptr<char[]> ringText_;  // one record read back from the ring
};
