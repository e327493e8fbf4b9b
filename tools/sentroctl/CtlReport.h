// How sentroctl reports outcomes: words for result codes, the exit status
// of each failure class, the human lines and the common JSON fields.
#pragma once

#include <cstdint>
#include <string>

#include "tools/sentroctl/ControlCalls.h"
#include "tools/sentroctl/CtlCommands.h"
#include "tools/sentroctl/CtlJson.h"

// The exit statuses of sentroctl, one per class of failure, so that a script
// can tell "the daemon said no" from "the daemon is not there".
#define CTL_EXIT_OK 0           // the request succeeded
#define CTL_EXIT_USAGE 1        // bad command line; nothing was sent
#define CTL_EXIT_UNREACHABLE 2  // daemon not running, connection refused, permission denied
#define CTL_EXIT_TIMEOUT 3      // no complete reply before the time-out
#define CTL_EXIT_FAILED 4       // the daemon answered with a failure
#define CTL_EXIT_PROTOCOL 5     // the reply was truncated or malformed

// The exit status for an outcome (CTL_EXIT_*).
int ExitStatusOf(const CallOutcome &outcome);

// The JSON "errorClass" of a client error: "not-running",
// "permission-denied", "unreachable", "timeout" or "protocol".
const char *ClientErrorClass(ClientError error);

// What went wrong, in words: the client's detail for a client error, else
// the meaning of the result code for this request type and subject ("no
// such service 'web'", "timed out", "unknown result code 7").
std::string FailureText(const CallOutcome &outcome, MessageType type, const std::string &subject);

// Writes "sentroctl: <what>: <failure>" (with the result code's name and
// number, and the failed services of a profile) to the error stream.
void PrintFailure(CtlContext &context, const std::string &what, const CallOutcome &outcome,
                  MessageType type, const std::string &subject);

// Adds "ok" and, for a failure, "error" and either "errorClass" or
// "result", "resultName" and "failedServices".
void AddOutcomeFields(JsonOut &json, const CallOutcome &outcome, MessageType type,
                      const std::string &subject);

// Starts the JSON object of a command: {"command": name, ...
void BeginJson(JsonOut &json, const CtlContext &context);

// One request answered with a result reply, reported in full: the human
// success line or failure message, or the JSON object with subjectKey
// (null for none) set to subject.
struct CtlAction {
  RequestMessage request;
  const char *subjectKey = nullptr;  // "service", "profile", "pid"
  std::string subject;
  std::string successLine;  // printed on success, newline added
};
int RunAction(CtlContext &context, const CtlAction &action);

// "3.2s", "5m 03s", "2h 07m", "3d 04h".
std::string FormatDuration(uint64_t ms);

// The text of a wire enumeration value, or its number when it has none.
std::string EnumText(const char *text, uint32_t value);

// Usage error for a bad operand: the message, a pointer to the help, status 1.
int UsageError(CtlContext &context, const std::string &message);
