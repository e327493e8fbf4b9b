#include "lib/log/syslogOutput.h"

#include <ctype.h>
#include <string.h>

#include <optional>
#include <string>

#include "lib/log/logOutput.h"

static SyslogApi activeApi = SyslogSystemApi();

void SyslogOutputSetApi(const SyslogApi *api) {
  activeApi = api ? *api : SyslogSystemApi();
}

namespace {

class SyslogOutput : public LogOutput {
 public:
  SyslogOutput(std::optional<std::string> identity, std::string extraId, int facility)
      : identity_(std::move(identity)), extraId_(std::move(extraId)), facility_(facility) {}

  void Write(const LogLineHeader &header, const char *text, size_t length) override;
  void Close() override;

 private:
  void Open();

  std::optional<std::string> identity_;  // none: the program's own name
  std::string extraId_;
  int facility_;
  bool opened_ = false;
};

void SyslogOutput::Open() {
  // The system log keeps the identity pointer; it lives as long as the output.
  activeApi.open(identity_ ? identity_->c_str() : nullptr, facility_);
  LogAppInfo app = LogGetAppInfo();
  activeApi.send(facility_ | LogLevelLookup(LOG_INFO).syslogPriority,
                 "Log for %s version=%s build=%s option=%s\n", app.appName, app.version, app.build,
                 app.option);
  opened_ = true;
}

void SyslogOutput::Write(const LogLineHeader &header, const char *text, size_t length) {
  if (!opened_) {
    Open();
  }
  int priority = facility_ | LogLevelLookup(header.level).syslogPriority;
  int textLength = static_cast<int>(length > 0 && text[length - 1] == '\n' ? length - 1 : length);
  bool hasOpId = header.opId[0] != '\0';
  bool hasExtraId = !extraId_.empty();
  if (hasOpId && hasExtraId) {
    activeApi.send(priority, "[%s@%d opID=\"%s\" extraID=\"%s\"] %.*s", "msg",
                   SYSLOG_ENTERPRISE_NUMBER, header.opId, extraId_.c_str(), textLength, text);
  } else if (hasOpId) {
    activeApi.send(priority, "[%s@%d opID=\"%s\"] %.*s", "msg", SYSLOG_ENTERPRISE_NUMBER,
                   header.opId, textLength, text);
  } else if (hasExtraId) {
    activeApi.send(priority, "[%s@%d extraID=\"%s\"] %.*s", "msg", SYSLOG_ENTERPRISE_NUMBER,
                   extraId_.c_str(), textLength, text);
  } else {
    activeApi.send(priority, "%.*s", textLength, text);
  }
}

void SyslogOutput::Close() {
  if (opened_) {
    activeApi.close();
    opened_ = false;
  }
}

bool IdentityIsValid(const std::string &identity) {
  if (identity.empty() || identity.size() > SYSLOG_IDENTITY_MAX) {
    return false;
  }
  for (unsigned char c : identity) {
    if (!isprint(c) || isspace(c)) {
      return false;
    }
  }
  return true;
}

bool FacilityIsValid(int facility) {
  return facility >= 0 && facility <= 1016 && facility % 8 == 0;
}

}  // namespace

LogOutput *CreateSyslogOutput(const char *appName, const char *typeName, const LogDict *options,
                              const LogDict *config) {
  Log("Using POSIX syslog APIs\n");
  LogOptionReader reader(appName, typeName ? typeName : "syslog", options, config);
  std::optional<std::string> identity = reader.Text("log.syslogID");
  std::string extraId;
  if (identity.has_value() && !identity->empty() && (*identity)[0] == '$') {
    std::string profile = identity->substr(1);
    identity = reader.Text("log.syslog.progID." + profile).value_or("");
    extraId = reader.Text("log.syslog.extraID." + profile).value_or("");
    if (extraId.empty()) {
      return nullptr;
    }
  }
  if (identity.has_value() && !IdentityIsValid(*identity)) {
    return nullptr;
  }
  int facility = reader.Int("log.syslogFacility", SYSLOG_FACILITY_USER, 0);
  if (!FacilityIsValid(facility)) {
    return nullptr;
  }
  SyslogOutput *output = new SyslogOutput(identity, extraId, facility);
  output->level = reader.Level("log.syslogLevel", LOG_INFO);
  output->stderrLevel = reader.Level("log.stderrLevel", LOG_LEVEL_NONE);
  return output;
}
