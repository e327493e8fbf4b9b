// Small pure pieces that turn configuration text into what the process
// launcher needs.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

// The redirect files of a base path: base + ".stdout" and base + ".stderr".
void StreamRedirectPaths(const std::string &base, std::string *stdoutPath, std::string *stderrPath);

// The number of a stop-signal name ("SIGTERM", "SIGINT", "SIGHUP", "SIGUSR1",
// "SIGUSR2", matched exactly); any other text yields SIGTERM after a warning.
int SignalFromName(const std::string &name);

// The live-core command for pid of serviceName: the dump program's path, the
// arguments appended to *args ("-o", the file prefix, the pid) and the path
// of the core file the program writes. The prefix carries the UTC time.
void BuildLiveCoreCommand(pid_t pid, const std::string &serviceName, std::string *commandPath,
                          std::vector<std::string> *args, std::string *corePath);

// The same at a given wall-clock time.
void BuildLiveCoreCommandAt(time_t now, pid_t pid, const std::string &serviceName,
                            std::string *commandPath, std::vector<std::string> *args,
                            std::string *corePath);
