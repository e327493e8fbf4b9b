#include "src/telemetry/StartupEvents.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>

#include "lib/log/log.h"
#include "src/core/JsonFileReader.h"
#include "src/core/SysPaths.h"
#include "src/telemetry/TelemetryDb.h"

static const char kInsertSubEventsSql[] =
    "INSERT INTO svcSubEvents (serviceName, operationID, subPhase, timeForCompletetionInSec, "
    "phaseStatus, buildNumber, versionNumber) VALUES(?, ?, ?, ?, ?, ?, ?)";

#define STAGE_VALUE_COUNT 3

static const char *const kStep = "ReadSvcSubStartupData";

static bool IsRegularFile(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Quiet JSON reading: unlike the daemon's configuration reader it logs
// nothing, because a file that is not JSON is simply not one the store is
// looking for. Whole-line "//" comments are dropped as the configuration
// reader drops them, so that commented definition files are read alike.
static bool ParseJsonStream(FILE *file, rapidjson::Document *doc) {
  std::string text;
  return ReadJsonText(file, &text) == 0 && ParseJsonText(text, doc);
}

static bool LoadJsonFile(const std::string &path, rapidjson::Document *doc) {
  FILE *file = fopen(path.c_str(), "re");
  if (file == nullptr) {
    return false;
  }
  bool parsed = ParseJsonStream(file, doc);
  fclose(file);
  return parsed;
}

// The string member key of object, or null when object is not an object or
// the member is absent or not a string.
static const rapidjson::Value *FindStringMember(const rapidjson::Value &object, const char *key) {
  if (!object.IsObject()) {
    return nullptr;
  }
  auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsString()) {
    return nullptr;
  }
  return &member->value;
}

StartupEventsMap ScanStartupEventsFiles(const std::string &definitionsDir) {
  StartupEventsMap files;
  std::vector<std::string> fileNames;
  ListDirectoryNames(definitionsDir, &fileNames);
  // The registry's order: a name declared twice maps as the registry has it.
  for (const std::string &fileName : fileNames) {
    std::string path = definitionsDir + "/" + fileName;
    // Only regular files: opening a FIFO would block the daemon.
    rapidjson::Document definition;
    if (!IsRegularFile(path) || !LoadJsonFile(path, &definition)) {
      continue;
    }
    const rapidjson::Value *eventsFile = FindStringMember(definition, "ServiceStartupEventsFile");
    const rapidjson::Value *name = FindStringMember(definition, "Name");
    if (eventsFile == nullptr || eventsFile->GetStringLength() == 0 || name == nullptr) {
      continue;
    }
    files.emplace(std::string(name->GetString(), name->GetStringLength()),
                  std::string(eventsFile->GetString(), eventsFile->GetStringLength()));
  }
  return files;
}

// A stage value as stored: a string as it stands, anything else as its
// compact JSON text.
static std::string StageValueText(const rapidjson::Value &value) {
  if (value.IsString()) {
    return std::string(value.GetString(), value.GetStringLength());
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

static bool InsertStage(TelemetryStatement *insert, const rapidjson::Value &stage,
                        const OperationRecord &record, const TelemetryContext &context) {
  insert->BindText(1, record.serviceName);
  insert->BindText(2, record.operationId);
  // Missing members store as empty text, members past the third are ignored.
  int index = 0;
  for (auto member = stage.MemberBegin(); member != stage.MemberEnd() && index < STAGE_VALUE_COUNT;
       ++member, ++index) {
    insert->BindText(3 + index, StageValueText(member->value));
  }
  for (; index < STAGE_VALUE_COUNT; ++index) {
    insert->BindText(3 + index, "");
  }
  insert->BindText(6, context.buildNumber);
  insert->BindText(7, context.versionNumber);
  bool inserted = insert->Step() == SQLITE_DONE;
  insert->Reset();
  return inserted;
}

// The file of the service opened for reading, or null. Anything but a
// regular file counts as missing.
static FILE *OpenStartupEventsFile(const StartupEventsMap &files, const std::string &service) {
  auto found = files.find(service);
  if (found == files.end() || !IsRegularFile(found->second)) {
    return nullptr;
  }
  return fopen(found->second.c_str(), "re");
}

bool ReadSvcSubStartupData(TelemetryDb *db, const OperationRecord &record,
                           const TelemetryContext &context, const StartupEventsMap &files) {
  FILE *file = OpenStartupEventsFile(files, record.serviceName);
  if (file == nullptr) {
    LogAtLevel(LOG_WARNING, "[%s] No startup information from %s.\n", kStep,
               record.serviceName.c_str());
    return true;
  }
  rapidjson::Document events;
  bool parsed = ParseJsonStream(file, &events);
  fclose(file);

  TelemetryStatement insert;
  if (!db->Prepare(kInsertSubEventsSql, kStep, &insert)) {
    return true;
  }
  if (!parsed || !events.IsObject()) {
    return true;
  }
  auto stages = events.FindMember("stages");
  if (stages == events.MemberEnd() || !stages->value.IsArray()) {
    return true;
  }
  for (const rapidjson::Value &stage : stages->value.GetArray()) {
    if (!stage.IsObject()) {
      continue;
    }
    if (!InsertStage(&insert, stage, record, context)) {
      LogAtLevel(LOG_WARNING, "[%s] Insert operation failed.\n", kStep);
      return false;
    }
  }
  return true;
}
