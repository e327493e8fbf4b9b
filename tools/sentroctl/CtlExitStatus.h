// The exit statuses of sentroctl, one per class of failure, so that a script
// can tell "the daemon said no" from "the daemon is not there".
#pragma once

#define CTL_EXIT_OK 0           // the request succeeded
#define CTL_EXIT_USAGE 1        // bad command line; nothing was sent
#define CTL_EXIT_UNREACHABLE 2  // daemon not running, connection refused, permission denied
#define CTL_EXIT_TIMEOUT 3      // no complete reply before the time-out
#define CTL_EXIT_FAILED 4       // the daemon answered with a failure
#define CTL_EXIT_PROTOCOL 5     // the reply was truncated or malformed
