// Asks the high-availability listener ("duolistener" in the data directory)
// to fail this node over: one bare request header of type 9, answered by a
// bare header of type 15 (accepted) or 16 (refused).
#pragma once

#include <cstdint>
#include <string>

// Called at most once: true only when the listener answered 15.
using FailoverDone = void (*)(bool success, void *callerData);

// True when the connection attempt has begun (done follows); false when it
// could not even begin (done is never called).
bool SendFailoverRequest(const std::string &path, FailoverDone done, void *callerData,
                         uint64_t timeoutSec);
