#include "support/FakeSysProcess.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <map>

namespace {

struct FakeWorld {
  std::vector<FakeSysProcess *> live;
  std::map<std::string, int> created;
  std::set<std::string> failStart;
  int nextPid = 40000;
};

FakeWorld &World() {
  static FakeWorld world;
  return world;
}

}  // namespace

FakeSysProcess::FakeSysProcess(std::string tagText) : tag(std::move(tagText)) {
  World().live.push_back(this);
  World().created[tag]++;
}

FakeSysProcess::~FakeSysProcess() {
  auto &live = World().live;
  live.erase(std::remove(live.begin(), live.end(), this), live.end());
}

bool FakeSysProcess::Start(const std::string &pathText, const std::vector<std::string> &argList,
                           const std::vector<std::string> &, const ProcessStartOptions &start) {
  if (running || World().failStart.count(tag) != 0) {
    exited = false;  // as an object whose fork failed: never started
    return false;
  }
  running = true;
  exited = execTimedOut = false;
  pid = World().nextPid++;
  startCount++;
  path = pathText;
  args = argList;
  options = start;
  if (start.limits != nullptr) {
    limits = *start.limits;
    options.limits = &limits;
  }
  return true;
}

bool FakeSysProcess::Stop(bool, int64_t timeoutSec) {
  return StopWithSignal(timeoutSec, 15);
}

bool FakeSysProcess::StopWithCommand(const std::string &pathText, const std::vector<std::string> &,
                                     int64_t timeoutSec) {
  stopCommand = pathText;
  return StopWithSignal(timeoutSec, 0);
}

bool FakeSysProcess::StopWithSignal(int64_t timeoutSec, int signal) {
  if (!running) {
    return false;
  }
  stopCount++;
  lastSignal = signal;
  lastStopTimeout = timeoutSec;
  return true;
}

void FakeSysProcess::SetForceKillTimeoutCallback(ProcessCallback callback, int64_t timeoutSec) {
  forceKillCallback = callback;
  forceKillTimeout = timeoutSec;
}

void FakeSysProcess::CancelExecution() {
  cancelCount += running ? 1 : 0;
  running = false;
}

ssize_t FakeSysProcess::ReadStream(int stream, void *buffer, size_t length) {
  std::string &data = pending[stream];
  if (data.empty()) {
    errno = EAGAIN;
    return -1;
  }
  size_t count = std::min(length, data.size());
  memcpy(buffer, data.data(), count);
  data.erase(0, count);
  return static_cast<ssize_t>(count);
}

void FakeSysProcess::Exit(int code, bool timedOut) {
  if (!running) {
    return;
  }
  running = false;
  exited = true;
  exitCode = code;
  execTimedOut = timedOut;
  ProcessStreamCallback streams[2] = {options.onStdout, options.onStderr};
  for (int stream = 0; stream < 2; stream++) {
    if (streams[stream] != nullptr) {
      streams[stream](this, stream, options.context);
    }
  }
  if (options.onExit != nullptr) {
    options.onExit(this, options.context);  // may delete this
  }
}

void FakeSysProcess::DumpCore() {
  if (running && options.onCoreDump != nullptr) {
    options.onCoreDump(this, options.context);
  }
}

FakeSysProcess *FindFake(const std::string &tag) {
  auto &live = World().live;
  auto it = std::find_if(live.rbegin(), live.rend(), [&](auto *fake) { return fake->tag == tag; });
  return it == live.rend() ? nullptr : *it;
}

int FakesCreated(const std::string &tag) {
  return World().created[tag];
}

std::set<std::string> &FakeStartFailures() {
  return World().failStart;
}

void ResetFakeWorld() {
  World().created.clear();
  World().failStart.clear();
}
