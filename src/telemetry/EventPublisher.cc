#include "src/telemetry/EventPublisher.h"

#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/core/SentroConfig.h"
#include "src/process/SysProcess.h"

namespace {

const int kScriptExecTimeoutSec = 20;

class EventPublisher {
 public:
  EventPublisher() : process_(CreateSysProcess("event-pub")) {}

  void Enqueue(std::string eventText) {
    queue_.push_back(std::move(eventText));
    if (!busy_) {
      PollAddTimer(RunFired, this, 0, false, nullptr);
      busy_ = true;
    }
  }

 private:
  static void RunFired(void *context) { static_cast<EventPublisher *>(context)->Run(); }
  static void ScriptExited(SysProcess *process, void *context);
  void Run();

  std::deque<std::string> queue_;
  std::unique_ptr<SysProcess> process_;
  bool busy_ = false;
};

void EventPublisher::Run() {
  if (queue_.empty()) {
    busy_ = false;
    return;
  }
  std::vector<std::string> args = {SentroConfig::Get()->EventPublisherScriptPath()};
  for (const std::string &event : queue_) {
    args.push_back("--eventdata");
    args.push_back(event);
  }
  // The events belong to this run now, whatever its outcome.
  queue_.clear();
  const char *python = getenv("NORVANE_PYTHON_BIN");
  ProcessStartOptions options;
  options.execTimeoutSec = kScriptExecTimeoutSec;
  options.killOnParentDeath = true;
  options.onExit = ScriptExited;
  options.context = this;
  if (python == nullptr || !process_->Start(python, args, {}, options)) {
    busy_ = false;
    LogAtLevel(LOG_WARNING,
               "Error executing publisher cmd. Make sure NORVANE_PYTHON_BIN env variable is set "
               "correctly.\n");
  }
}

void EventPublisher::ScriptExited(SysProcess *process, void *context) {
  if (process->GetExitCode() != 0) {
    LogAtLevel(LOG_WARNING, "Failed to publish health status change.\n");
  } else {
    LogAtLevel(LOG_DEBUG, "Successfully published health status change.\n");
  }
  // Whatever queued while the script ran goes out at once.
  static_cast<EventPublisher *>(context)->Run();
}

EventPublisher *publisher = nullptr;

}  // namespace

std::string HealthEventText(const std::string &serviceName, HealthStatus newHealth,
                            HealthStatus oldHealth, bool unsolicited) {
  return serviceName + "," + HealthStatusName(newHealth) + "," + HealthStatusName(oldHealth) + "," +
         (unsolicited ? "1" : "0");
}

void PublishHealthChange(const std::string &serviceName, HealthStatus newHealth,
                         HealthStatus oldHealth, bool unsolicited) {
  if (publisher == nullptr) {
    publisher = new EventPublisher();  // lives until the daemon exits
  }
  publisher->Enqueue(HealthEventText(serviceName, newHealth, oldHealth, unsolicited));
}
