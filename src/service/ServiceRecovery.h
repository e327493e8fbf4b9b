// What a service does about its failures: the explicit health check and
// what its outcome leads to, the recovery actions chosen from a list by a
// failure counter (restart with a quick-failure limit, system restart, HA
// failover), live core dumps, and the periodic reset of the counters.
#pragma once

#include <cstdint>
#include <string>

#include "src/core/SentroTypes.h"
#include "src/service/ServiceTypes.h"

class Service;

// The live core dump's completion: (result, service, core file path or "",
// context).
using LiveCoreCompletion = void (*)(ServiceResult result, Service *service,
                                    const std::string &corePath, void *context);

// Explicit health check of a started service. A service without a health
// command is healthy by definition (Ok at once).
void RunHealthCheck(Service *service, ServiceCompletion completion, void *context);

// Dumps the core of the running service process without stopping it. A
// second dump while one runs, or a stopped service, answers InvalidState.
void TakeLiveCore(Service *service, LiveCoreCompletion completion, void *context);
bool IsLiveCoreInProgress(const Service *service);

// Takes the action that the list holds for the *counter-th failure (the last
// entry repeats) and raises the counter.
void TakeRecoveryAction(Service *service, const RecoveryActionList &actions, int32_t *counter);

void ResetFailCounters(Service *service);
// True once the last recovery lies more than "ResetServiceFailCounterTime"
// seconds back.
bool IsFailCounterResetDue(const Service *service);

// The service process ended unexpectedly: takes the action that the
// service's crash list holds for its crash count, and raises the count.
void RecoverFromCrash(Service *service);

// The outcome of an explicit health check, after its request has been
// completed: the health failure handling (recovery, live core, system
// failure) starts here.
void OnExplicitHealthCheckDone(Service *service);
