#include "lib/log/verify.h"

#include <stdlib.h>

#include "lib/log/log.h"

void PanicVerify(const char *file, int line) {
  LogAtLevel(LOG_PANIC, "VERIFY %s:%d\n", file, line);
  abort();
}

void PanicNotReached(const char *file, int line) {
  LogAtLevel(LOG_PANIC, "NOT_REACHED %s:%d\n", file, line);
  abort();
}

void PanicNotImplemented(const char *file, int line) {
  LogAtLevel(LOG_PANIC, "NOT_IMPLEMENTED %s:%d\n", file, line);
  abort();
}
