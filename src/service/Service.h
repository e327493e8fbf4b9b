// One managed service: its definition, its process, its state and health, its
// failure counters, and the one request it is working on.
//
// Requests (start, stop, restart, health check, configuration change) are
// admitted one at a time; a later request may pre-empt an earlier one, whose
// caller then receives Cancelled. Everything runs on the main thread, inside
// a call from the control server or a batch, or inside an event-loop callback
// (a timer, or an exit, core-dump or stream callback of a process).
//
// Completion callbacks may run before the requesting call returns, and they
// may call back into the same Service, or destroy it: every path that goes on
// after calling one first checks that the Service is still alive and still
// working on the same request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "src/core/SentroTypes.h"
#include "src/service/ServiceDefinition.h"
#include "src/service/ServiceTypes.h"

class ServiceEnv;
class SysProcess;
struct PostStopRun;

// The failure counters kept across daemon restarts in the crash statistics.
struct ServiceFailCounters {
  int32_t apiHealthFail = 0;
  int32_t processCrash = 0;
  int32_t processCoredump = 0;
};

class Service {
 public:
  // Who asked for a restart. A restart made by automatic recovery keeps the
  // definition in force and publishes its health changes as unsolicited.
  enum class RestartOrigin { Request, Recovery };

  // A stopped service with the defaults; LoadDefinition fills it. The env
  // outlives the Service.
  Service(std::string fileName, ServiceEnv *env);
  ~Service();
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;

  // Reads the definition file (and, on the first load, the keys read only
  // once and the crash statistics), then overlays the run-state file. False
  // leaves the previous definition in force.
  bool LoadDefinition(bool reload);
  // Reads the definition again as a configuration request. False when the
  // service is busy or the file could not be read.
  bool ReloadConfig();
  // Makes the pre-start and health command process objects; part of
  // CreateService.
  bool CreateHelperProcesses();

  // Requests; each result arrives through the completion, which may be null.
  void SetStart(ServiceCompletion completion, void *context);
  void SetStop(ServiceCompletion completion, void *context);
  void SetRestart(ServiceCompletion completion, void *context,
                  RestartOrigin origin = RestartOrigin::Request);
  // Synchronous configuration requests; both save the run-state file.
  ServiceResult SetStartupType(StartupType type);
  ServiceResult SetRunAsUser(const std::string &user);
  ServiceStatus GetStatus() const;

  // Persistence of the run-state and the crash statistics.
  bool SaveRunState();
  bool SaveCrashStats();
  bool LoadCrashStats();

  // Request machinery, shared with the health check and recovery code.
  // TrySetRequest admits a request over the current one (the earlier caller
  // receives Cancelled); CompleteRequest ends it and calls its completion,
  // and returns false when that completion destroyed the Service.
  bool TrySetRequest(ServiceRequest request, ServiceCompletion completion, void *context);
  bool CompleteRequest(ServiceResult result);
  void SetState(ServiceState state);
  void SetHealth(HealthStatus health, const std::string &data);
  // Runs the health command once. The outcome continues a waiting start, or,
  // during a ReqHealthCheck request, completes that request (Ok, or TimedOut
  // when the command timed out) and hands over to onHealthCheckDone.
  void RunHealthCommand();
  // The recovery choice for a failure type: the list of the active recovery
  // profile in the definition, else the daemon's default list.
  RecoveryActionList SelectRecoveryActions(FailureType failure) const;

  const std::string &name() const { return name_; }
  const std::string &fileName() const { return fileName_; }
  const std::string &type() const { return type_; }
  bool IsServlet() const;
  const std::vector<std::string> &dependsOn() const { return dependsOn_; }
  const std::vector<std::string> &stopBefore() const { return stopBefore_; }
  StartupType startupType() const { return definition_.startupType; }
  // "RunAsUser", or "root" when the definition leaves it empty.
  std::string EffectiveRunAsUser() const;
  const ServiceDefinition &definition() const { return definition_; }
  ServiceState state() const { return state_; }
  HealthStatus health() const { return health_; }
  const std::string &healthData() const { return healthData_; }
  ServiceRequest request() const { return request_; }
  bool IsRecoveryRestart() const { return request_ == ReqRestart && recoveryRestart_; }
  bool lastStopFailed() const { return lastStopFailed_; }
  bool startTimedOut() const { return startTimedOut_; }
  SysProcess *process() const { return process_.get(); }
  ServiceEnv &env() const { return *env_; }
  ServiceFailCounters &failCounters() { return counters_; }
  int32_t &quickFailCount() { return quickFailCount_; }
  uint64_t &lastRecoveryMs() { return lastRecoveryMs_; }

  // Paths of the definition, run-state and crash statistics files.
  std::string DefinitionPath() const;
  std::string RunStatePath() const;
  std::string CrashStatsPath() const;

 private:
  // Request admission: refused, admitted, or admitted and then superseded
  // (the cancelled caller's completion destroyed the Service or made another
  // request), in which case the caller must not go on.
  enum class Admission { Refused, Admitted, Superseded };
  Admission AdmitRequest(ServiceRequest request, ServiceCompletion completion, void *context,
                         bool byRecovery);
  void ResetRequestBlock();

  bool ReadOnceOnlyKeys(const JsonFileReader &reader);
  bool InstallWithRunState(ServiceDefinition fresh);
  SysProcess *NewProcess(const std::string &tag) const;

  // Start sequence.
  void BeginStart();
  void PreStartFailed();
  void Launch();
  void ArmStartTimer(int64_t seconds);
  void ArmHealthTimer(int64_t seconds);
  void OnStartTimeout();
  void OnHealthOutcome(bool timedOut);
  void ApplyStartRouteRule() const;
  static void StartTimerFired(void *context);
  static void HealthTimerFired(void *context);
  static void PreStartEnded(SysProcess *process, void *context);
  static void PreStartStderr(SysProcess *process, int stream, void *context);

  // Health command.
  static void HealthCommandEnded(SysProcess *process, void *context);
  static void HealthCommandStdout(SysProcess *process, int stream, void *context);
  static void HealthCommandStderr(SysProcess *process, int stream, void *context);

  // Stop sequence and the end of the process.
  void StopProcess();
  void OnProcessEnded();
  void DecideAfterExit(ServiceState stateAtEnd, ServiceRequest requestAtEnd);
  // The actions of DecideAfterExit's table, one per row.
  void ConfirmStopped();
  void CancelForShutdown();
  void FailRestartStart();
  void FailStart();
  void TimeOutStart();
  void StartSecondHalfOfRestart();
  void CancelCheckThenJudgeExit();
  void JudgeUnrequestedExit();
  void OnCoreDump();
  static void ProcessExited(SysProcess *process, void *context);
  static void ProcessDumpingCore(SysProcess *process, void *context);
  static void PostStopEnded(SysProcess *process, void *context);
  static void PostStopStderr(SysProcess *process, int stream, void *context);

  std::string fileName_;
  ServiceEnv *env_;
  std::string name_;
  std::string type_;
  std::string muxServerName_;
  ServiceDefinition definition_;
  std::vector<std::string> dependsOn_;
  std::vector<std::string> stopBefore_;
  ServiceState state_ = ServiceState::Stopped;
  HealthStatus health_ = HealthStatus::Unhealthy;
  std::string healthData_;
  std::string healthOutput_;
  std::unique_ptr<SysProcess> process_;
  bool startTimedOut_ = false;
  int32_t quickFailCount_ = 0;
  uint64_t lastRecoveryMs_;
  bool lastStopFailed_ = false;
  uint64_t stateChangeMs_;

  // The request block.
  bool startTimerArmed_ = false;
  bool healthTimerArmed_ = false;
  ServiceRequest request_ = ReqNone;
  bool recoveryRestart_ = false;
  ServiceCompletion completion_ = nullptr;
  void *completionContext_ = nullptr;
  std::unique_ptr<SysProcess> preStartProcess_;
  std::unique_ptr<SysProcess> healthCmdProcess_;

  ServiceFailCounters counters_;

  // The post-stop command running now, if any; owned by its exit callback,
  // released here only when the Service goes first.
  PostStopRun *postStopRun_ = nullptr;
  // Counts admitted and completed requests, so that code resumed after a
  // callback can tell whether its request is still the current one.
  uint64_t requestSerial_ = 0;
  // Expires with the Service; code resumed after a callback checks it.
  std::shared_ptr<char> lifeToken_ = std::make_shared<char>(0);
};

// Makes the Service of one definition file, or null (after the message that
// says why) when the file is rejected.
std::unique_ptr<Service> CreateService(const std::string &fileName, ServiceEnv *env);
