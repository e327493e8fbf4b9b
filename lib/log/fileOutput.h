// The file output: a log file opened on the first message, with size-based
// rotation, throttling and accounting of bytes lost to write errors.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <string>

#include "lib/log/logOutput.h"
#include "lib/log/messageRing.h"

// ---- Throttling ------------------------------------------------------------

// Throttling of a file output: once more than a threshold of bytes has been
// logged, the output stops writing while the measured rate exceeds the
// allowed rate. The rate is measured at most every 5 seconds while writing
// and every 60 seconds while throttled, on the injectable monotonic clock.

// The allowed rate that means "never throttle".
#define THROTTLE_UNLIMITED 0xFFFFFFFFu

struct ThrottleState {
  uint8_t throttled = 0;
  uint32_t threshold = 1000000;
  uint32_t allowedRate = 1000;  // bytes per second
  uint64_t totalBytes = 0;
  uint64_t lastMeasureMicros = 0;
  uint64_t totalAtLastMeasure = 0;
};

// Sets the threshold and rate from the output's options: `bytesPerSec` 0 or
// -1 is unlimited, `noLogAfterThreshold` throttles for good past the threshold.
void ThrottleConfigure(ThrottleState *state, int threshold, int bytesPerSec,
                       bool noLogAfterThreshold);

// Accounts `length` more bytes at `nowMicros`; `measure` is false for
// continuation lines, which never change the state. Returns whether the
// output is throttled now.
bool ThrottleUpdate(ThrottleState *state, uint64_t length, uint64_t nowMicros, bool measure);

// ---- Rotation --------------------------------------------------------------

// Rotation of a log file, keeping `keepOld` old files beside it.
//
// By rename: "dir/sentro.log" becomes "dir/sentro-0.log", the older ones move
// up by one and the oldest ("sentro-<keepOld-1>.log") is removed.
// By renumbering: the log becomes "sentro-<largest+1>.log" and only the oldest
// numbers are removed; nothing else is renamed.
//
// Failures are logged at info level and never stop the caller, which opens a
// fresh file either way.
void FileRotateByRename(const std::string &path, int keepOld);
void FileRotateByRenumber(const std::string &path, int keepOld);

// "dir/name.ext" -> "dir/name" and ".ext"; the extension is that of the last
// path component, empty when it has none.
void SplitExtension(const std::string &path, std::string *base, std::string *extension);

// ---- The log directory -----------------------------------------------------

// The directories a file output may place its log in.
//
// The system log directory is "/var/log/norvane" unless the program
// relocates it (LogSetSystemLogDir). The per-user safe directory is
// "<TMPDIR or /tmp>/norvane-<effective uid>": created with mode 0700 when
// missing, and accepted only when it is a real directory (not a symbolic
// link) owned by the effective user and closed to the group and others, so
// that no other user can plant or read the files in it.
//
// Establishes and validates the directory; logs the failure and returns
// false when it cannot be used.
bool LogEstablishDirectory(bool systemArea, std::string *directory);

// ---- The output ------------------------------------------------------------

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
  // fileRotate.cc: opening, rotation and the header lines.
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
