// complete-names: the service and profile names the shell completion offers.
#include <unistd.h>

#include <set>

#include "src/core/JsonFileReader.h"
#include "src/protocol/MessageHeader.h"
#include "tools/sentroctl/CtlReport.h"
#include "tools/sentroctl/OpsCommands.h"
#include "tools/sentroctl/StartupRecords.h"

namespace {

// The running daemon's services, else those of the configuration directory.
std::vector<std::string> ServiceNames(CtlContext &context) {
  RequestMessage request;
  request.type = MessageType::ListSvcsReq;
  std::vector<std::string> names;
  if (CallForNames(context.target, request, &names).succeeded()) {
    return names;
  }
  names.clear();
  for (const auto &[name, file] : ReadDefinitionFiles(OpsConfigDir(context.options))) {
    names.push_back(name);
  }
  return names;
}

// The profiles of profiles.json and the built-in ALL; the daemon has no
// request that lists them.
std::vector<std::string> ProfileNames(CtlContext &context) {
  std::set<std::string> names{"ALL"};
  JsonFileReader reader;
  std::vector<std::string> members;
  std::string path = OpsConfigDir(context.options) + "/profiles.json";
  if (access(path.c_str(), R_OK) == 0 && reader.Load(path)) {
    reader.GetMemberNames(&members);
  }
  names.insert(members.begin(), members.end());
  return {names.begin(), names.end()};
}

}  // namespace

int RunCompleteNames(CtlContext &context) {
  const std::string &what = context.options.args[0];
  std::vector<std::string> names;
  if (what == "services") {
    names = ServiceNames(context);
  } else if (what == "profiles") {
    names = ProfileNames(context);
  } else {
    return UsageError(context, "complete-names takes services or profiles");
  }
  for (const std::string &name : names) {
    context.out << name << "\n";
  }
  return CTL_EXIT_OK;
}
