// A batch runs one operation (start, stop or health check) over the services
// of a profile in dependency order. Each scheduling pass dispatches the
// services that are ready, each on a zero-delay timer so that it begins on a
// later loop turn; each report runs the next pass. The batch completes once,
// reports to its caller and destroys itself.
#pragma once

#include <string>
#include <vector>

#include "src/manager/BatchMember.h"

// (result code, failed-services text joined by ", ", context). The text is
// empty whenever the code is 0.
using BatchDone = void (*)(int result, const std::string &failedServices, void *context);

// Result code reported for a profile that does not exist.
#define BATCH_PROFILE_NOT_FOUND 10

// Starts a batch over members (the profile's list, in its order). Returns at
// once; done may run before it returns (nothing to do, or every operation
// finished synchronously).
void RunBatch(BatchGraph *graph, BatchOpType op, const std::vector<BatchMember *> &members,
              bool ignoreFail, bool parallel, BatchDone done, void *context);
