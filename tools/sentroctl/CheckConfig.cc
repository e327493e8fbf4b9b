// check-config: loads the whole configuration offline with the daemon's own
// loaders, collects what they log through a log output of its own, and adds
// what would only fail once the daemon runs the services.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "lib/log/logOutput.h"
#include "lib/pollDefault/poll.h"
#include "src/core/JsonFileReader.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/manager/ServiceManager.h"
#include "src/process/SysProcess.h"
#include "src/service/Service.h"
#include "src/service/ServiceDefinition.h"
#include "src/service/ServiceEnv.h"
#include "src/service/servlet/MuxServer.h"
#include "src/service/servlet/MuxServletProcessImpl.h"
#include "tools/sentroctl/CtlReport.h"
#include "tools/sentroctl/OpsCommands.h"

namespace {

// The loaders see no data directory, so that nothing they do can touch the
// real crash statistics (a corrupted stats file is removed on load); the
// statistics are checked here, read-only.
#define NO_DATA_DIR "/nonexistent/sentro-check-config"
#define GETENT_PROGRAM "/usr/bin/getent"

// The exit status when the daemon would not start every service cleanly.
#define CHECK_EXIT_ERRORS 1

struct Problem {
  bool error;
  std::string file;  // relative to the configuration directory, or a path
  std::string key;   // empty when the problem is the whole file
  std::string message;
};

struct LoaderMessage {
  int level;
  std::string text;
};

// Records what the loaders log at warning level and above into a list the
// check owns (the facility deletes its outputs when they are removed).
class CollectingOutput : public LogOutput {
 public:
  explicit CollectingOutput(std::vector<LoaderMessage> *sink) : sink_(sink) { level = LOG_WARNING; }
  bool TakesWholeMessages() const override { return true; }
  void Write(const LogLineHeader &header, const char *text, size_t length) override {
    std::string message(text, length);
    while (!message.empty() && message.back() == '\n') {
      message.pop_back();
    }
    sink_->push_back({header.level, message});
  }

 private:
  std::vector<LoaderMessage> *sink_;
};

// The services as the daemon would build them, without any process started
// and with nothing reported anywhere.
class CheckEnv : public ServiceEnv {
 public:
  SysProcess *CreateProcess(const std::string &tag) override { return CreateSysProcess(tag); }
  SysProcess *CreateServletProcess(const std::string &container) override {
    return CreateMuxServlet(container);
  }
  Service *FindService(const std::string &) override { return nullptr; }
  void BeginOperation(const std::string &, const char *, const char *, const char *) override {}
  void EndOperation(const std::string &, const char *, const char *) override {}
  void FlushOperationRecords() override {}
  void PublishHealthChange(const std::string &, HealthStatus, HealthStatus, bool) override {}
  void ReportSystemFailure(const std::string &) override {}
  bool IsShutdownStarted() override { return false; }
  bool RestartSystem(bool) override { return false; }
  bool SendFailoverRequest(const std::string &, void (*)(bool, void *), void *, uint64_t) override {
    return false;
  }
};

// The text between before and after in text, or "".
std::string Between(const std::string &text, const char *before, const char *after) {
  size_t start = text.find(before);
  if (start == std::string::npos) {
    return "";
  }
  start += strlen(before);
  size_t end = text.find(after, start);
  return end == std::string::npos ? "" : text.substr(start, end - start);
}

// The key a loader message is about: fixed for most, taken from the text
// for the JSON reader's "... in %s field" warnings.
std::string KeyOfMessage(const std::string &text) {
  static const struct {
    const char *needle;
    const char *key;
  } kKeys[] = {
      {"Mandatory field 'Name'", "Name"},
      {"Mandatory field Name", "Name"},
      {"is already defined in", "Name"},
      {"Mandatory field 'StartCommand'", "StartCommand"},
      {"Mandatory field StartCommand", "StartCommand"},
      {"Mandatory field MuxServerName", "MuxServerName"},
      {"Unknown MUX server", "MuxServerName"},
      {"StarTimeout value", "StartTimeout"},
      {"PostStopTimeout value", "PostStopTimeout"},
      {"StopTimeout value", "StopTimeout"},
      {"ApiHealthCmdTimeout value", "ApiHealthCmdTimeout"},
      {"Invalid startup type", "StartupType"},
      {"is not supported. Defaulting to SIGTERM", "StopSignal"},
      {"Dependent service", "DependsOn"},
      {"introduces a cycle", "DependsOn"},
      {"Startup type of service", "StartupType"},
  };
  for (const auto &entry : kKeys) {
    if (text.find(entry.needle) != std::string::npos) {
      return entry.key;
    }
  }
  size_t configValue = text.find(" config value");  // "%s config value ..." of config.json
  if (configValue != std::string::npos && text.find(' ') == configValue) {
    return text.substr(0, configValue);
  }
  std::string field = Between(text, " entry in ", " field");
  return !field.empty() ? field : Between(text, " in profile ", ". Ignoring");
}

class ConfigCheck {
 public:
  ConfigCheck(const std::string &configDir, const std::string &dataDir)
      : configDir_(configDir), dataDir_(dataDir) {}

  void Run() {
    // Servlet processes and their containers keep timers on the event loop.
    PollInstallDefault();
    LogOutput *output = new CollectingOutput(&messages_);
    InstallOutput(output);
    if (LoadDaemonConfig()) {
      CheckRequiredDirectories();
      LoadEachFile();
      LoadRegistry();
      CheckContainers();
    }
    RemoveOutput(output);
    PollShutdown();
  }
  const std::vector<Problem> &problems() const { return problems_; }

 private:
  void Add(bool error, const std::string &file, const std::string &key, const std::string &text) {
    problems_.push_back({error, file, key, text});
  }

  // Moves what the loaders logged since the last call into the problems,
  // against file. Those of the first pass over the files are remembered,
  // so that the registry's load, which logs them again, adds only its own.
  std::vector<LoaderMessage> TakeMessages() {
    std::vector<LoaderMessage> taken;
    taken.swap(messages_);
    return taken;
  }
  void AddMessages(const std::string &file, bool remember = false) {
    for (const auto &message : TakeMessages()) {
      if (remember) {
        seen_[message.text]++;
      }
      Add(message.level <= LOG_ERROR, file, KeyOfMessage(message.text), message.text);
    }
  }

  bool LoadDaemonConfig() {
    SentroConfig::ResetForTest();  // the process may check more than one directory
    SentroConfig *config = SentroConfig::Load(configDir_, NO_DATA_DIR);
    AddMessages("config.json");
    if (config == nullptr) {
      Add(true, "config.json", "",
          "cannot be read or is not a JSON object; the daemon would not start");
      return false;
    }
    return true;
  }

  void CheckRequiredDirectories() {
    const struct {
      std::string path;
      bool error;
      const char *why;
    } kDirectories[] = {
        {configDir_ + "/svcCfgfiles", true, "the daemon cannot start without it"},
        {configDir_ + "/muxServerInstanceCfgfiles", true, "the daemon cannot start without it"},
        {dataDir_ + "/.svcStats", false,
         "crash statistics cannot be saved (the daemon does not create it)"},
    };
    for (const auto &dir : kDirectories) {
      struct stat info;
      if (stat(dir.path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        Add(dir.error, dir.path, "", std::string("directory missing: ") + dir.why);
      }
    }
  }

  // Every servlet container instance and service definition on its own,
  // so that each message is told against its file.
  void LoadEachFile() {
    LoadMuxServers();
    AddMessages("muxServerInstanceCfgfiles", true);
    std::vector<std::string> fileNames;
    if (!ListDirectoryNames(configDir_ + "/svcCfgfiles", &fileNames)) {
      return;
    }
    CheckEnv env;
    for (const std::string &fileName : fileNames) {
      size_t dot = fileName.rfind('.');
      if (dot == std::string::npos || fileName.compare(dot, std::string::npos, ".json") != 0 ||
          fileName.rfind(".state_", 0) == 0) {
        continue;
      }
      CreateService(fileName, &env);
      AddMessages("svcCfgfiles/" + fileName, true);
    }
  }

  // The registry as the daemon builds it: what it logs beyond the files'
  // own messages is about the graph and the profiles.
  void LoadRegistry() {
    std::unique_ptr<ServiceManager> registry = ServiceManager::Create(&env_);
    for (const auto &message : TakeMessages()) {
      auto seen = seen_.find(message.text);
      if (seen != seen_.end() && seen->second > 0) {
        seen->second--;
        continue;
      }
      if (message.text.rfind("Service ", 0) == 0 &&
          message.text.find(" not found.") != std::string::npos) {
        continue;  // the look-up's own line; the caller's message follows it
      }
      Add(message.level <= LOG_ERROR, FileOfRegistryMessage(registry.get(), message.text),
          KeyOfMessage(message.text), message.text);
    }
    if (registry == nullptr) {
      Add(true, "profiles.json", "", "the daemon could not build its registry and would exit");
      return;
    }
    std::vector<std::string> names;
    registry->GetServiceNames(&names);
    for (const std::string &name : names) {
      CheckService(*registry->GetService(name));
    }
  }

  std::string FileOfRegistryMessage(ServiceManager *registry, const std::string &text) {
    if (text.find(" in profile ") != std::string::npos || registry == nullptr) {
      return "profiles.json";
    }
    std::string name = Between(text, " of service ", " not found");
    if (name.empty()) {
      name = Between(text, "Startup type of service ", " is ");
    }
    if (name.empty()) {
      name = Between(text, "Following dependency ", " <-> ");
    }
    std::vector<std::string> names;
    registry->GetServiceNames(&names);
    for (const std::string &known : names) {
      if (known == name) {
        return "svcCfgfiles/" + registry->GetService(name)->fileName();
      }
    }
    return "svcCfgfiles";
  }

  // What only fails when the daemon runs the service.
  void CheckService(const Service &service) {
    std::string file = "svcCfgfiles/" + service.fileName();
    const ServiceDefinition &definition = service.definition();
    const struct {
      const char *key;
      const std::string &command;
    } kCommands[] = {
        {"StartCommand", definition.startCommand},
        {"PreStartCommand", definition.preStartCommand},
        {"StopCommand", definition.stopCommand},
        {"PostStopCommand", definition.postStopCommand},
        {"ApiHealthCommand", definition.apiHealthCommand},
    };
    for (const auto &command : kCommands) {
      CheckProgram(file, command.key, command.command, definition.workingDir);
    }
    const struct {
      const char *key;
      const std::string &user;
    } kUsers[] = {
        {"RunAsUser", definition.runAsUser},
        {"RunApiHealthCmdAsUser", definition.runApiHealthCmdAsUser},
        {"RunPreStartCmdAsUser", definition.runPreStartCmdAsUser},
    };
    for (const auto &user : kUsers) {
      CheckUser(file, user.key, user.user);
    }
    CheckWorkingDir(file, definition.workingDir);
    CheckCrashStats(service.fileName());
  }

  // What only fails when a servlet starts its container: each instance file
  // that loads, loaded again on its own (its load messages are reported
  // already).
  void CheckContainers() {
    std::vector<std::string> fileNames;
    if (!ListDirectoryNames(configDir_ + "/muxServerInstanceCfgfiles", &fileNames)) {
      return;
    }
    for (const std::string &fileName : fileNames) {
      MuxServerInstance instance;
      instance.fileName = fileName;
      bool loaded = LoadMuxServer(&instance, false);
      TakeMessages();
      if (loaded) {
        std::string file = "muxServerInstanceCfgfiles/" + fileName;
        CheckProgram(file, "StartCommand", instance.startCommand, instance.workingDir);
        CheckUser(file, "RunAsUser", instance.runAsUser);
        CheckWorkingDir(file, instance.workingDir);
      }
    }
  }

  void CheckUser(const std::string &file, const char *key, const std::string &user) {
    if (!user.empty() && !UserExists(user)) {
      Add(true, file, key, "unknown user '" + user + "'");
    }
  }

  void CheckWorkingDir(const std::string &file, const std::string &dir) {
    struct stat info;
    if (!dir.empty() && (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
      Add(true, file, "WorkingDir", "'" + dir + "' is not a directory");
    }
  }

  // Asks getent, so that every name service of the machine is consulted:
  // sentroctl is linked statically, and a static program cannot load them.
  bool UserExists(const std::string &user) {
    auto known = users_.find(user);
    if (known != users_.end()) {
      return known->second;
    }
    bool exists = false;
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execl(GETENT_PROGRAM, GETENT_PROGRAM, "passwd", user.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
      exists = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    users_[user] = exists;
    return exists;
  }

  void CheckProgram(const std::string &file, const char *key, const std::string &program,
                    const std::string &workingDir) {
    if (program.empty()) {
      return;
    }
    if (program[0] != '/' && workingDir.empty()) {
      // The daemon runs it from its own working directory, which only the
      // daemon's start-up decides (the log directory under the unit).
      Add(false, file, key,
          "'" + program +
              "' is relative and there is no WorkingDir: it is looked up in the "
              "daemon's working directory");
      return;
    }
    std::string path = program[0] == '/' ? program : workingDir + "/" + program;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
      Add(true, file, key, "'" + program + "' does not exist");
    } else if (!S_ISREG(info.st_mode) || access(path.c_str(), X_OK) != 0) {
      Add(true, file, key, "'" + program + "' is not an executable file");
    }
  }

  void CheckCrashStats(const std::string &fileName) {
    std::string path = dataDir_ + "/.svcStats/stats_" + fileName;
    JsonFileReader reader;
    if (access(path.c_str(), F_OK) == 0 && !reader.Load(path)) {
      TakeMessages();  // the reader's own parse message
      Add(false, path, "", "crash statistics corrupted: the daemon would remove the file");
    }
  }

  std::string configDir_;
  std::string dataDir_;
  std::vector<LoaderMessage> messages_;
  CheckEnv env_;
  std::map<std::string, int> seen_;    // per-file messages, by text
  std::map<std::string, bool> users_;  // user name -> known
  std::vector<Problem> problems_;
};

void PrintProblems(CtlContext &context, const std::string &configDir,
                   const std::vector<Problem> &problems, int errors) {
  int warnings = static_cast<int>(problems.size()) - errors;
  if (context.options.json) {
    JsonOut json;
    BeginJson(json, context);
    json.Field("ok", errors == 0);
    json.Field("configDir", configDir);
    json.Field("errors", static_cast<int64_t>(errors));
    json.Field("warnings", static_cast<int64_t>(warnings));
    json.Key("problems");
    json.BeginArray();
    for (const Problem &problem : problems) {
      json.BeginObject();
      json.Field("severity", problem.error ? "error" : "warning");
      json.Field("file", problem.file);
      json.Field("key", problem.key);
      json.Field("message", problem.message);
      json.EndObject();
    }
    json.EndArray();
    context.out << json.Finish();
    return;
  }
  for (const Problem &problem : problems) {
    context.out << problem.file << (problem.key.empty() ? "" : ": " + problem.key) << ": "
                << (problem.error ? "error: " : "warning: ") << problem.message << "\n";
  }
  context.out << configDir << ": " << errors << (errors == 1 ? " error, " : " errors, ") << warnings
              << (warnings == 1 ? " warning\n" : " warnings\n");
}

}  // namespace

int RunCheckConfig(CtlContext &context) {
  std::string configDir = OpsConfigDir(context.options);
  ConfigCheck check(configDir, OpsDataDir(context.options));
  check.Run();
  int errors = 0;
  for (const Problem &problem : check.problems()) {
    errors += problem.error ? 1 : 0;
  }
  PrintProblems(context, configDir, check.problems(), errors);
  return errors == 0 ? CTL_EXIT_OK : CHECK_EXIT_ERRORS;
}
