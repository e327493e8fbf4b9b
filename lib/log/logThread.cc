// The thread name and operation id fields of the line header.
#include <pthread.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "lib/log/log.h"
#include "lib/log/logLine.h"

static thread_local bool threadNamed = false;   // by LogSetThreadName
static thread_local bool defaultNamed = false;  // "host-<tid>" computed
static thread_local char threadName[LOG_THREAD_NAME_MAX + 1];

// A forked child runs the forking thread under a new kernel thread id, so its
// default name must be computed again.
static void ForgetDefaultName() { defaultNamed = false; }
static const int forkHandlerInstalled = pthread_atfork(nullptr, nullptr, ForgetDefaultName);

static std::atomic<LogOpIdProvider> opIdProvider{nullptr};

void LogCopyBounded(char *dest, const char *source, size_t limit) {
  size_t length = strnlen(source, limit);
  memcpy(dest, source, length);
  dest[length] = '\0';
}

void LogSetThreadName(const char *name) {
  LogCopyBounded(threadName, name ? name : "", LOG_THREAD_NAME_MAX);
  threadNamed = true;
}

void LogSetOpIdProvider(LogOpIdProvider provider) {
  opIdProvider.store(provider);
}

static const char *CurrentThreadName() {
  if (!threadNamed && !defaultNamed) {
    snprintf(threadName, sizeof threadName, "host-%lu",
             static_cast<unsigned long>(syscall(SYS_gettid)));
    defaultNamed = true;
  }
  return threadName[0] != '\0' ? threadName : "*UNKNOWN*";
}

LogTimestamp LogTimestampNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return LogTimestamp{static_cast<int64_t>(now.tv_sec),
                      static_cast<int32_t>(now.tv_nsec / 1000000)};
}

void LogLineHeaderInit(LogLineHeader *header, int level) {
  header->level = level;
  header->continuation = false;
  LogCopyBounded(header->threadName, CurrentThreadName(), LOG_THREAD_NAME_MAX);
  header->opId[0] = '\0';
  LogOpIdProvider provider = opIdProvider.load(std::memory_order_relaxed);
  if (provider != nullptr) {
    const char *id = provider();
    if (id != nullptr) {
      LogCopyBounded(header->opId, id, LOG_OPID_MAX);
    }
  }
  header->timestamp = LogTimestampNow();
}
