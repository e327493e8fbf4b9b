#include "lib/log/verify.h"

#include <stdlib.h>

#include "lib/log/log.h"

namespace {

[[noreturn]] void Panic(const char *what, const char *file, int line) {
  LogAtLevel(LOG_PANIC, "%s %s:%d\n", what, file, line);
  LogFlushEarlyToStderr();  // without an output the line would die with us
  abort();
}

}  // namespace

void PanicVerify(const char *file, int line) {
  Panic("VERIFY", file, line);
}

void PanicNotReached(const char *file, int line) {
  Panic("NOT_REACHED", file, line);
}

void PanicNotImplemented(const char *file, int line) {
  Panic("NOT_IMPLEMENTED", file, line);
}
