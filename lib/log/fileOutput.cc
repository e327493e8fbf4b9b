// The file output's creation from its options, its log directory, its
// message path and its throttling.
#include "lib/log/fileOutput.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "lib/log/clock.h"

// A configured name keeps its directory part (or none); only the separators
// between the two are normalised.
static std::string NormalisePath(const std::string &name) {
  size_t slash = name.rfind('/');
  if (slash == std::string::npos) {
    return name;
  }
  std::string directory = name.substr(0, slash);
  while (!directory.empty() && directory.back() == '/') {
    directory.pop_back();
  }
  return directory + "/" + name.substr(slash + 1);
}

static std::string GeneratedName(const std::string &directory,
                                 const std::optional<std::string> &suffix) {
  bool hasSuffix = suffix.has_value() && !suffix->empty();
  char name[512];
  snprintf(name, sizeof name, "%s%s%s-$PID.log", "norvane", hasSuffix ? "-" : "",
           hasSuffix ? suffix->c_str() : "");
  std::string result = name;
  result.replace(result.find("$PID"), 4, std::to_string(getpid()));
  return directory + "/" + result;
}

static std::optional<std::string> ConfiguredFileName(const LogOptionReader &reader) {
  std::optional<std::string> configKey = reader.Text("log.config");
  if (configKey.has_value() && !configKey->empty()) {
    std::optional<std::string> named = reader.ConfigValue(*configKey);
    if (named.has_value() && !named->empty()) {
      return named;
    }
  }
  std::optional<std::string> fileName = reader.Text("log.fileName");
  if (fileName.has_value() && fileName->empty()) {
    return std::nullopt;
  }
  return fileName;
}

static int RotateSizeOption(const LogOptionReader &reader) {
  int rotateSize = reader.Int("log.rotateSize", 0, 0);
  if (rotateSize > 0 && rotateSize < FILE_OUTPUT_MIN_ROTATE_SIZE) {
    Warning("%s: log.rotateSize (%d) is too small. Set to %d.\n", "LogFileVariables", rotateSize,
            FILE_OUTPUT_MIN_ROTATE_SIZE);
    rotateSize = FILE_OUTPUT_MIN_ROTATE_SIZE;
  }
  return rotateSize;
}

static long LocalUtcOffset() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return local.tm_gmtoff;
}

LogOutput *CreateFileOutput(const char *appName, const char *typeName, const LogDict *options,
                            const LogDict *config) {
  LogOptionReader reader(appName, typeName ? typeName : "file", options, config);
  FileOutputOptions fileOptions;
  fileOptions.appName = appName ? appName : "unknown";
  std::optional<std::string> fileName = ConfiguredFileName(reader);
  std::optional<std::string> suffix = reader.Text("log.suffix");
  bool systemArea = reader.Bool("log.systemAreaTemp", false);
  fileOptions.prefix.timeStamps = reader.Bool("log.useTimeStamps", true);
  fileOptions.prefix.milliseconds = reader.Bool("log.useMilliseconds", true);
  fileOptions.prefix.levelDesignator = reader.Bool("log.useLevelDesignator", true);
  fileOptions.prefix.threadName = reader.Bool("log.useThreadName", true);
  fileOptions.prefix.opId = reader.Bool("log.useOpID", false);
  fileOptions.append = reader.Bool("log.append", false);
  fileOptions.syncAfterWrite = reader.Bool("log.syncAfterWrite", false);
  fileOptions.fastRotation = reader.Bool("log.fastRotation", false);
  fileOptions.keepOld = reader.Int("log.keepOld", 3, 0);
  fileOptions.rotateSize = RotateSizeOption(reader);
  fileOptions.permissions = reader.Int("log.permissions", 0640, 1, 0);
  ThrottleState throttle;
  ThrottleConfigure(&throttle, reader.Int("log.throttleThreshold", 1000000, 0),
                    reader.Int("log.throttleBytesPerSec", 1000, -1),
                    reader.Bool("log.noLogAfterThreshold", false));
  int level = reader.Level("log.fileLevel", LOG_INFO);
  int stderrLevel = reader.Level("log.stderrLevel", LOG_LEVEL_NONE);

  if (!LogEstablishDirectory(systemArea, &fileOptions.directory)) {
    return nullptr;
  }
  if (fileName.has_value()) {
    fileOptions.path = NormalisePath(*fileName);
  } else {
    fileOptions.path = GeneratedName(fileOptions.directory, suffix);
    fileOptions.generatedName = true;
  }

  FileOutput *output = new FileOutput(fileOptions, throttle, LocalUtcOffset());
  output->level = level;
  output->stderrLevel = stderrLevel;
  return output;
}

void FileOutput::Write(const LogLineHeader &header, const char *text, size_t length) {
  if (fd_ < 0 && !OpenWhenDue()) {
    return;
  }
  if (options_.rotateSize != 0 && bytesWritten_ > static_cast<uint64_t>(options_.rotateSize)) {
    RotateForSize();
    if (fd_ < 0) {
      openFailed_ = true;
      nextOpenAttemptMicros_ = ClockMonotonicMicros() + FILE_OUTPUT_REOPEN_MICROS;
      return;
    }
  }
  bool wasThrottled = throttle_.throttled != 0;
  bool throttled = ThrottleUpdate(&throttle_, length, ClockMonotonicMicros(), !header.continuation);
  if (throttled && !wasThrottled) {
    char line[256];
    int lineLength =
        snprintf(line, sizeof line, "<<< %s Throttled >>>\n", options_.appName.c_str());
    WriteLevel0(line, static_cast<size_t>(lineLength) < sizeof line ? lineLength : sizeof line - 1);
    ring_->Clear();
  } else if (!throttled && wasThrottled) {
    FlushRing();
  }
  if (throttled) {
    // The ring matters only for what a throttled period held back: it is
    // emptied when throttling begins and read when it ends, so lines written
    // while unthrottled need not pass through it.
    ring_->Add(header, text, length);
    return;
  }
  WritePrefixed(header, text, length);
}

// Opens the log unless a recent attempt failed. The failure's warnings are
// delivered to this output too, so retrying on every message would turn one
// broken path into a storm of attempts; once a second is enough.
bool FileOutput::OpenWhenDue() {
  int64_t now = ClockMonotonicMicros();
  if (openFailed_ && now < nextOpenAttemptMicros_) {
    return false;
  }
  openFailed_ = !OpenLog();
  if (openFailed_) {
    nextOpenAttemptMicros_ = now + FILE_OUTPUT_REOPEN_MICROS;
  }
  return !openFailed_;
}

void FileOutput::FlushRing() {
  LogLineHeader held;
  size_t heldLength;
  while (ring_->Take(&held, ringText_.get(), &heldLength)) {
    WritePrefixed(held, ringText_.get(), heldLength);
  }
}

void FileOutput::WritePrefixed(const LogLineHeader &header, const char *text, size_t length) {
  char prefix[LOG_PREFIX_SIZE];
  size_t prefixLength = FormatLinePrefix(prefix, sizeof prefix, options_.prefix, header);
  struct iovec parts[2] = {{prefix, prefixLength}, {const_cast<char *>(text), length}};
  WriteToFile(parts, 2);
}

// Writes a line of the output's own, marked as an audit line so that it
// stands out from the messages around it.
void FileOutput::WriteLevel0(const char *text, size_t length) {
  LogLineHeader header;
  LogLineHeaderInit(&header, LOG_AUDIT);
  WritePrefixed(header, text, length);
}

void FileOutput::ReportDiscarded() {
  char line[128];
  int lineLength =
      snprintf(line, sizeof line, ">>> Error writing log, %lu bytes discarded. Disk full?\n",
               static_cast<unsigned long>(bytesDiscarded_));
  LogLineHeader header;
  LogLineHeaderInit(&header, LOG_AUDIT);
  char prefix[LOG_PREFIX_SIZE];
  size_t prefixLength = FormatLinePrefix(prefix, sizeof prefix, options_.prefix, header);
  struct iovec parts[2] = {{prefix, prefixLength}, {line, static_cast<size_t>(lineLength)}};
  ssize_t written = writev(fd_, parts, 2);
  if (written > 0) {
    bytesWritten_ += written;
  }
  if (written == static_cast<ssize_t>(prefixLength + lineLength)) {
    bytesDiscarded_ = 0;
  }
}

void FileOutput::WriteToFile(const struct iovec *parts, int count) {
  if (bytesDiscarded_ != 0) {
    ReportDiscarded();
  }
  size_t total = 0;
  for (int i = 0; i < count; ++i) {
    total += parts[i].iov_len;
  }
  ssize_t written = writev(fd_, parts, count);  // one system write per line
  size_t landed = written > 0 ? static_cast<size_t>(written) : 0;
  bytesWritten_ += landed;
  bytesDiscarded_ += total - landed;
  if (options_.syncAfterWrite) {
    fsync(fd_);
  }
}

void FileOutput::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

// ---- The log directory -----------------------------------------------------

#define LOG_DEFAULT_SYSTEM_DIR "/var/log/norvane"

static std::mutex systemDirLock;
static std::string systemLogDir = LOG_DEFAULT_SYSTEM_DIR;

void LogSetSystemLogDir(const char *dir) {
  std::lock_guard<std::mutex> guard(systemDirLock);
  systemLogDir = dir != nullptr && dir[0] != '\0' ? dir : LOG_DEFAULT_SYSTEM_DIR;
}

static std::string SafeUserDirectory() {
  const char *tmp = getenv("TMPDIR");
  std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') {
    base.pop_back();
  }
  return base + "/norvane-" + std::to_string(geteuid());
}

static bool SafeDirectoryIsValid(const std::string &directory) {
  struct stat info;
  return lstat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

static bool SystemDirectoryIsValid(const std::string &directory) {
  struct stat info;
  return stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool LogEstablishDirectory(bool systemArea, std::string *directory) {
  if (systemArea) {
    std::lock_guard<std::mutex> guard(systemDirLock);
    *directory = systemLogDir;
  } else {
    *directory = SafeUserDirectory();
  }
  if (mkdir(directory->c_str(), systemArea ? 0755 : 0700) != 0 && errno != EEXIST) {
    Warning("Failed to establish the safe logging directory area: %s\n", strerror(errno));
    return false;
  }
  bool valid = systemArea ? SystemDirectoryIsValid(*directory) : SafeDirectoryIsValid(*directory);
  if (!valid) {
    Warning("Safe logging area '%s' validation failed!\n", directory->c_str());
    return false;
  }
  return true;
}

// ---- Throttling ------------------------------------------------------------

#define THROTTLE_MEASURE_MICROS 5000000ull
#define THROTTLE_REMEASURE_MICROS 60000000ull

void ThrottleConfigure(ThrottleState *state, int threshold, int bytesPerSec,
                       bool noLogAfterThreshold) {
  state->threshold = static_cast<uint32_t>(threshold);
  if (noLogAfterThreshold) {
    state->allowedRate = 0;
  } else if (bytesPerSec <= 0) {
    state->allowedRate = THROTTLE_UNLIMITED;
  } else {
    state->allowedRate = static_cast<uint32_t>(bytesPerSec);
  }
}

bool ThrottleUpdate(ThrottleState *state, uint64_t length, uint64_t nowMicros, bool measure) {
  state->totalBytes += length;
  if (state->allowedRate == THROTTLE_UNLIMITED) {
    return false;
  }
  if (state->totalBytes <= state->threshold) {
    // The rate counts from the moment the threshold is passed.
    state->lastMeasureMicros = nowMicros;
    state->totalAtLastMeasure = state->totalBytes;
    return false;
  }
  if (!measure) {
    return state->throttled != 0;
  }
  if (state->allowedRate == 0) {
    state->throttled = 1;
    return true;
  }
  uint64_t elapsed = nowMicros - state->lastMeasureMicros;
  uint64_t interval = state->throttled ? THROTTLE_REMEASURE_MICROS : THROTTLE_MEASURE_MICROS;
  if (elapsed > interval) {
    unsigned __int128 bytes = state->totalBytes - state->totalAtLastMeasure;
    uint64_t rate = static_cast<uint64_t>(bytes * 1000000u / elapsed);
    state->throttled = rate > state->allowedRate ? 1 : 0;
    state->lastMeasureMicros = nowMicros;
    state->totalAtLastMeasure = state->totalBytes;
  }
  return state->throttled != 0;
}
