// Carrying out one received control request against the registry, a batch
// or one service, and replying.
#include <string>

#include "lib/log/log.h"
#include "src/control/ControlRequest.h"
#include "src/control/ControlServer.h"
#include "src/core/SentroConfig.h"
#include "src/manager/ServiceManager.h"
#include "src/process/SysProcess.h"
#include "src/protocol/MessageHeader.h"
#include "src/protocol/ReplyMessage.h"
#include "src/protocol/RequestMessage.h"
#include "src/protocol/WireTexts.h"
#include "src/service/Service.h"
#include "src/service/ServiceEnv.h"
#include "src/service/ServiceRecovery.h"

namespace {

const uint32_t kNoSuchService = static_cast<uint32_t>(ControlResult::InvalidStartupType);

void ServiceDone(ServiceResult result, Service *, void *context) {
  auto *request = static_cast<ControlRequest *>(context);
  if (ClaimCompletion(request)) {
    SendResultReply(request, static_cast<uint32_t>(result));
  }
}

void BatchDoneReply(int result, const std::string &failedServices, void *context) {
  auto *request = static_cast<ControlRequest *>(context);
  if (ClaimCompletion(request)) {
    SendResultReply(request, static_cast<uint32_t>(result), failedServices);
  }
}

void LiveCoreDone(ServiceResult result, Service *, const std::string &corePath, void *context) {
  auto *request = static_cast<ControlRequest *>(context);
  if (ClaimCompletion(request)) {
    bool succeeded = result == ServiceResult::Ok;
    SendReplyMessage(request, EncodeLiveCoreReply(succeeded, succeeded ? corePath : ""));
  }
}

void SendServiceState(ControlRequest *request, const std::string &name, Service *service) {
  ServiceStatus status = service->GetStatus();
  SvcStatePayload payload;
  payload.name = name;
  payload.state = static_cast<uint32_t>(status.state);
  payload.startupType = static_cast<uint32_t>(service->startupType());
  payload.health = static_cast<uint32_t>(service->health());
  payload.lastStopFailed = status.lastStopFailed;
  payload.msInState = status.msInState;
  payload.pid = static_cast<uint32_t>(status.pid);
  payload.runAsUser = service->EffectiveRunAsUser();
  payload.healthData = service->healthData();
  SendReplyMessage(request, EncodeSvcStateReply(payload));
}

void LogServiceRequest(const RequestMessage &message) {
  const char *name = message.name.c_str();
  switch (message.type) {
    case MessageType::StartSvcReq:
      LogAtLevel(LOG_INFO, "Received start request for %s\n", name);
      break;
    case MessageType::StopSvcReq:
      LogAtLevel(LOG_INFO, "Received stop request for %s\n", name);
      break;
    case MessageType::RestartSvcReq:
      LogAtLevel(LOG_INFO, "Received restart request for %s\n", name);
      break;
    case MessageType::GetSvcStateReq:
      LogAtLevel(LOG_DEBUG, "Received request to get service state for %s\n", name);
      break;
    case MessageType::SetSvcStateReq:
      LogAtLevel(LOG_DEBUG, "Received SetSvcStateReq request for %s, State %d\n", name,
                 static_cast<int>(message.startupType));
      break;
    case MessageType::GetSvcDepsReq:
      LogAtLevel(LOG_DEBUG, "Received request to get dependencies for %s\n", name);
      break;
    case MessageType::RunAsUserReq:
      LogAtLevel(LOG_DEBUG, "Received Run as User for Svc = %s, User = %s\n", name,
                 message.user.c_str());
      break;
    case MessageType::DumpLiveCoreReq:
      LogAtLevel(LOG_INFO, "Received dump livecore request for %s\n", name);
      break;
    default:
      break;
  }
}

void DispatchServiceRequest(ControlRequest *request, const RequestMessage &message) {
  LogServiceRequest(message);
  Service *service = ServerContext().manager->GetService(message.name);
  if (service == nullptr) {
    if (message.type == MessageType::DumpLiveCoreReq) {
      SendReplyMessage(request, EncodeLiveCoreReply(false, ""));
    } else {
      SendResultReply(request, kNoSuchService);
    }
    return;
  }
  switch (message.type) {
    case MessageType::StartSvcReq:
      request->completionPending = true;
      service->SetStart(ServiceDone, request);
      break;
    case MessageType::StopSvcReq:
      request->completionPending = true;
      service->SetStop(ServiceDone, request);
      break;
    case MessageType::RestartSvcReq:
      request->completionPending = true;
      service->SetRestart(ServiceDone, request);
      break;
    case MessageType::GetSvcStateReq:
      SendServiceState(request, message.name, service);
      break;
    case MessageType::SetSvcStateReq: {
      ServiceResult result = service->SetStartupType(static_cast<StartupType>(message.startupType));
      SendResultReply(request, static_cast<uint32_t>(result));
      break;
    }
    case MessageType::GetSvcDepsReq:
      SendReplyMessage(request, EncodeNameListReply(service->dependsOn()));
      break;
    case MessageType::RunAsUserReq:
      SendResultReply(request, static_cast<uint32_t>(service->SetRunAsUser(message.user)));
      break;
    case MessageType::DumpLiveCoreReq:
      request->completionPending = true;
      TakeLiveCore(service, LiveCoreDone, request);
      break;
    default:
      break;
  }
}

void DispatchProfileRequest(ControlRequest *request, const RequestMessage &message) {
  bool parallel = SentroConfig::Get()->ParallelServiceOperation();
  request->completionPending = true;
  if (message.type == MessageType::StartProfileReq) {
    ServerContext().manager->StartProfile(message.name, message.ignoreFail, parallel,
                                          BatchDoneReply, request);
  } else {
    ServerContext().manager->StopProfile(message.name, message.ignoreFail, parallel, BatchDoneReply,
                                         request);
  }
}

void DispatchRecoveryProfile(ControlRequest *request, const RequestMessage &message) {
  if (message.recoveryProfile > 1) {
    SendResultReply(request, kNoSuchService);
    return;
  }
  auto profile = static_cast<RecoveryProfile>(message.recoveryProfile);
  SentroConfig::Get()->SetActiveRecoveryProfile(profile);
  SendResultReply(request, 0);
  LogAtLevel(LOG_INFO, "Set recovery action profile to %s.\n", RecoveryProfileName(profile));
}

void DispatchAllServices(ControlRequest *request, const RequestMessage &message) {
  ServiceManager *manager = ServerContext().manager;
  if (message.flags.healthCheck) {
    request->completionPending = true;
    manager->HealthCheckProfile("ALL", true, true, BatchDoneReply, request);
    return;
  }
  bool ok = true;
  if (message.flags.reloadConfigs) {
    ok = manager->ReloadAllConfigs();
  }
  if (message.flags.resetFailCounters) {
    ok = manager->ResetAllFailCounters() && ok;
  }
  if (message.flags.saveCrashStats) {
    ok = manager->SaveAllCrashStats() && ok;
  }
  LogAtLevel(LOG_INFO, "%s in performing control action on all services\n",
             ok ? "Succeeded" : "Failed");
  SendResultReply(request, ok ? 0 : static_cast<uint32_t>(ControlResult::Failed));
}

}  // namespace

void SendResultReply(ControlRequest *request, uint32_t code, const std::string &text) {
  SendReplyMessage(request, EncodeResultReply(code, text));
  ServerContext().env->FlushOperationRecords();
}

void DispatchRequest(ControlRequest *request) {
  LogAtLevel(LOG_INFO, "Client info %s\n", request->peerCred->Describe().c_str());
  MessageHeader header = DecodeMessageHeader(request->headerBuffer.data());
  RequestMessage message;
  if (!DecodeRequestPayload(header.type, request->payloadBuffer.data(),
                            request->payloadBuffer.size(), &message)) {
    // Validation has already admitted the header, so this cannot happen
    // short of a protocol change; answer as for an invalid request.
    SendResultReply(request, static_cast<uint32_t>(ControlResult::InvalidRequest));
    return;
  }
  if (RequestNamesService(header.type)) {
    DispatchServiceRequest(request, message);
    return;
  }
  switch (message.type) {
    case MessageType::ListSvcsReq: {
      LogAtLevel(LOG_DEBUG, "Received request to get services list\n");
      std::vector<std::string> names;
      ServerContext().manager->GetServiceNames(&names);
      SendReplyMessage(request, EncodeNameListReply(names));
      break;
    }
    case MessageType::StartProfileReq:
    case MessageType::StopProfileReq:
      DispatchProfileRequest(request, message);
      break;
    case MessageType::CoreDumpNotifyReq:
      NotifyCoreDump(message.pid);
      SendResultReply(request, 0);
      break;
    case MessageType::SetRecoveryProfileReq:
      DispatchRecoveryProfile(request, message);
      break;
    case MessageType::AllSvcsControlReq:
      DispatchAllServices(request, message);
      break;
    default:
      SendResultReply(request, static_cast<uint32_t>(ControlResult::InvalidRequest));
      break;
  }
}
