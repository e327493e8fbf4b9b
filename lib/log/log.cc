// The log state and the path of every message: format, echo, deliver.
#include "lib/log/log.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "lib/log/logOutput.h"
#include "lib/log/messageRing.h"

// Messages up to this size minus one are formatted on the caller's stack.
#define LOG_SMALL_BUFFER_SIZE 319
// The one large buffer, shared by all threads and handed over atomically.
#define LOG_SHARED_BUFFER_SIZE 32767
#define LOG_EARLY_RING_SIZE 65536
#define LOG_MAX_OUTPUTS 8
// The longest application name, version, build or option text kept.
#define APP_INFO_TEXT_MAX 127

namespace {

struct LogState {
  // "logLock": recursive, because an output that logs from inside its own
  // write comes back through LogAtLevelV on the same thread.
  std::recursive_mutex logLock;
  LogOutput *outputs[LOG_MAX_OUTPUTS] = {};
  int outputCount = 0;
  bool delivering = false;  // an output is being called; nested messages wait

  // Read without the lock to discard unwanted messages early.
  std::atomic<int> outputLevel{LOG_INFO};
  std::atomic<int> stderrLevel{-1};

  char earlyStorage[LOG_EARLY_RING_SIZE];
  MessageRing earlyRing{earlyStorage, sizeof earlyStorage};
  char earlyText[MESSAGE_RING_READ_LIMIT + 1];  // one early message being delivered
};

LogState state;

char sharedStorage[LOG_SHARED_BUFFER_SIZE];
std::atomic<char *> sharedBuffer{sharedStorage};

// Must be called with logLock held.
void RecomputeLevels() {
  int highest = state.outputCount == 0 ? LOG_INFO : -1;
  for (int i = 0; i < state.outputCount; ++i) {
    if (state.outputs[i]->level > highest) {
      highest = state.outputs[i]->level;
    }
  }
  state.outputLevel.store(highest);
  state.stderrLevel.store(state.outputCount == 0 ? -1 : state.outputs[0]->stderrLevel);
}

bool OutputAdmits(const LogOutput *output, int level) {
  return level == LOG_AUDIT || level <= output->level;
}

void DeliverToOutput(LogOutput *output, LogLineHeader *header, const char *text, size_t length) {
  if (output->TakesWholeMessages()) {
    header->continuation = false;
    output->Write(*header, text, length);
    return;
  }
  const char *end = text + length;
  for (const char *line = text; line < end;) {
    const char *newline = static_cast<const char *>(memchr(line, '\n', end - line));
    const char *next = newline ? newline + 1 : end;
    header->continuation = line != text;
    output->Write(*header, line, next - line);
    line = next;
  }
}

void Deliver(LogLineHeader *header, const char *text, size_t length) {
  state.delivering = true;
  for (int i = 0; i < state.outputCount; ++i) {
    if (OutputAdmits(state.outputs[i], header->level)) {
      DeliverToOutput(state.outputs[i], header, text, length);
    }
  }
  state.delivering = false;
}

void DeliverEarlyMessages() {
  // Only the records present now: an output that logs while it delivers them
  // adds new ones, which wait for the next message.
  size_t waiting = state.earlyRing.Records();
  LogLineHeader header;
  size_t length;
  while (waiting-- > 0 && state.earlyRing.Take(&header, state.earlyText, &length)) {
    Deliver(&header, state.earlyText, length);
  }
}

// Formats into `buffer`; returns the length the whole text needs.
size_t Format(char *buffer, size_t size, const char *fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(buffer, size, fmt, copy);
  va_end(copy);
  return needed < 0 ? 0 : static_cast<size_t>(needed);
}

// Room for the text, the newline that may have to be added, and the NUL.
bool Fits(const char *buffer, size_t length, size_t size) {
  return length + 1 < size || (length + 1 == size && buffer[length - 1] == '\n');
}

// Cuts an oversized text to fit `size` with a final newline.
size_t CutToFit(char *buffer, size_t size) {
  size_t length = Utf8CutLength(buffer, size - 1, size - 2);
  buffer[length++] = '\n';
  buffer[length] = '\0';
  return length;
}

void Dispatch(int level, const char *text, size_t length) {
  std::lock_guard<std::recursive_mutex> guard(state.logLock);
  if (level != LOG_AUDIT && level <= state.stderrLevel.load()) {
    ssize_t ignored = write(STDERR_FILENO, text, length);
    (void)ignored;
  }
  if (level != LOG_AUDIT && level > state.outputLevel.load()) {
    return;
  }
  LogLineHeader header;
  LogLineHeaderInit(&header, level);
  if (state.delivering || state.outputCount == 0) {
    state.earlyRing.Add(header, text, length);
    return;
  }
  DeliverEarlyMessages();
  Deliver(&header, text, length);
}

}  // namespace

void LogAtLevelV(int level, const char *fmt, va_list args) {
  int savedErrno = errno;
  if (level < 0 || level > LOG_MAX_LEVEL) {
    level = LOG_LEVEL_FALLBACK;
  }
  if (level != LOG_AUDIT && level > state.outputLevel.load(std::memory_order_relaxed) &&
      level > state.stderrLevel.load(std::memory_order_relaxed)) {
    errno = savedErrno;
    return;
  }

  char small[LOG_SMALL_BUFFER_SIZE];
  char *buffer = small;
  size_t size = sizeof small;
  char *shared = nullptr;
  size_t length = Format(buffer, size, fmt, args);
  if (!Fits(buffer, length, size)) {
    shared = sharedBuffer.exchange(nullptr, std::memory_order_acquire);
    if (shared != nullptr) {
      buffer = shared;
      size = LOG_SHARED_BUFFER_SIZE;
      length = Format(buffer, size, fmt, args);
    }
    if (!Fits(buffer, length, size)) {
      length = CutToFit(buffer, size);
    }
  }
  if (length == 0 || buffer[length - 1] != '\n') {
    buffer[length++] = '\n';
    buffer[length] = '\0';
  }

  Dispatch(level, buffer, length);

  if (shared != nullptr) {
    sharedBuffer.store(shared, std::memory_order_release);
  }
  errno = savedErrno;
}

void LogAtLevel(int level, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LogAtLevelV(level, fmt, args);
  va_end(args);
}

void Log(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LogAtLevelV(LOG_INFO, fmt, args);
  va_end(args);
}

void Warning(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LogAtLevelV(LOG_WARNING, fmt, args);
  va_end(args);
}

bool InstallOutput(LogOutput *output) {
  std::lock_guard<std::recursive_mutex> guard(state.logLock);
  if (output == nullptr || state.outputCount == LOG_MAX_OUTPUTS) {
    return false;
  }
  for (int i = 0; i < state.outputCount; ++i) {
    if (state.outputs[i] == output) {
      return false;
    }
  }
  state.outputs[state.outputCount++] = output;
  RecomputeLevels();
  return true;
}

// Takes `output` out of the list; must be called with logLock held.
static void Unlist(LogOutput *output) {
  for (int i = 0; i < state.outputCount; ++i) {
    if (state.outputs[i] == output) {
      memmove(&state.outputs[i], &state.outputs[i + 1],
              (state.outputCount - i - 1) * sizeof state.outputs[0]);
      --state.outputCount;
      break;
    }
  }
  RecomputeLevels();
}

void RemoveOutput(LogOutput *output) {
  if (output == nullptr) {
    return;
  }
  std::lock_guard<std::recursive_mutex> guard(state.logLock);
  Unlist(output);
  output->Close();
  delete output;
}

void DestroyOutput(LogOutput *output) {
  if (output != nullptr) {
    output->Close();
    delete output;
  }
}

int SetOutputLevel(LogOutput *output, int level) {
  std::lock_guard<std::recursive_mutex> guard(state.logLock);
  int previous = output->level;
  output->level = level;
  RecomputeLevels();
  return previous;
}

void LogFlushEarlyToStderr() {
  std::lock_guard<std::recursive_mutex> guard(state.logLock);
  LogLineHeader header;
  size_t length;
  while (state.earlyRing.Take(&header, state.earlyText, &length)) {
    size_t written = 0;
    while (written < length) {
      ssize_t n = write(STDERR_FILENO, state.earlyText + written, length - written);
      if (n <= 0) {
        break;
      }
      written += static_cast<size_t>(n);
    }
  }
}

void LogShutdown() {
  std::lock_guard<std::recursive_mutex> guard(state.logLock);
  while (state.outputCount > 0) {
    LogOutput *output = state.outputs[0];
    Unlist(output);
    output->Close();
    delete output;
  }
  state.earlyRing.Clear();
}

// ---- The program's identity ------------------------------------------------

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
