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
                           const std::vector<std::string> &envList,
                           const ProcessStartOptions &startOptions) {
  if (IsRunning() || World().failStart.count(tag) != 0) {
    return false;
  }
  state = State::Running;
  pid = World().nextPid++;
  exitCode = 0;
  execTimedOut = false;
  startCount++;
  path = pathText;
  args = argList;
  env = envList;
  options = startOptions;
  if (startOptions.limits != nullptr) {
    limits = *startOptions.limits;
    options.limits = &limits;
  }
  forceKillCallback = nullptr;
  forceKillTimeout = -1;
  pending[0].clear();
  pending[1].clear();
  return true;
}

bool FakeSysProcess::Stop(bool force, int64_t timeoutSec) {
  if (!force) {
    return StopWithSignal(timeoutSec, 15);
  }
  if (state != State::Running && state != State::Stopping) {
    return false;
  }
  state = State::Killing;
  return true;
}

bool FakeSysProcess::StopWithCommand(const std::string &pathText,
                                     const std::vector<std::string> &argList, int64_t timeoutSec) {
  if (state != State::Running) {
    return false;
  }
  commandStops++;
  stopCommand = pathText;
  stopCommandArgs = argList;
  lastStopTimeout = timeoutSec;
  state = State::Stopping;
  return true;
}

bool FakeSysProcess::StopWithSignal(int64_t timeoutSec, int signal) {
  if (state != State::Running) {
    return false;
  }
  signalStops++;
  lastSignal = signal;
  lastStopTimeout = timeoutSec;
  state = State::Stopping;
  return true;
}

void FakeSysProcess::SetForceKillTimeoutCallback(ProcessCallback callback, int64_t timeoutSec) {
  forceKillCallback = callback;
  forceKillTimeout = timeoutSec;
}

void FakeSysProcess::CancelExecution() {
  if (IsRunning()) {
    cancelCount++;
    state = State::NotStarted;
  }
  options.onStdout = nullptr;
  options.onStderr = nullptr;
}

ssize_t FakeSysProcess::ReadStream(int stream, void *buffer, size_t length) {
  if (stream < 0 || stream > 1) {
    errno = EBADF;
    return -1;
  }
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

void FakeSysProcess::Exit(int code) {
  if (!IsRunning()) {
    return;
  }
  exitCode = code;
  state = State::Exited;
  if (options.onStdout != nullptr) {
    options.onStdout(this, 0, options.context);
    options.onStdout = nullptr;
  }
  if (options.onStderr != nullptr) {
    options.onStderr(this, 1, options.context);
    options.onStderr = nullptr;
  }
  if (options.onExit != nullptr) {
    options.onExit(this, options.context);  // may delete this
  }
}

void FakeSysProcess::ExecTimeout() {
  execTimedOut = true;
  Exit(1);
}

void FakeSysProcess::DumpCore() {
  if (IsRunning() && options.onCoreDump != nullptr) {
    options.onCoreDump(this, options.context);
  }
}

void FakeSysProcess::ForceKillTimeout() {
  if (forceKillCallback != nullptr) {
    forceKillCallback(this, options.context);
  }
}

SysProcess *CreateFakeProcess(const std::string &tag) {
  return new FakeSysProcess(tag);
}

FakeSysProcess *FindFake(const std::string &tag) {
  auto &live = World().live;
  for (auto it = live.rbegin(); it != live.rend(); ++it) {
    if ((*it)->tag == tag) {
      return *it;
    }
  }
  return nullptr;
}

int FakesCreated(const std::string &tag) {
  auto it = World().created.find(tag);
  return it == World().created.end() ? 0 : it->second;
}

std::set<std::string> &FakeStartFailures() {
  return World().failStart;
}

void ResetFakeWorld() {
  World().created.clear();
  World().failStart.clear();
}
