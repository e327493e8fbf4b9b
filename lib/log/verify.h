// Fatal assertions for invariants that cannot fail in a correct build. Each
// logs its line ("VERIFY %s:%d\n" and its siblings) and aborts.
#pragma once

[[noreturn]] void PanicVerify(const char *file, int line);
[[noreturn]] void PanicNotReached(const char *file, int line);
[[noreturn]] void PanicNotImplemented(const char *file, int line);

#define VERIFY(cond)                   \
  do {                                 \
    if (!(cond)) {                     \
      PanicVerify(__FILE__, __LINE__); \
    }                                  \
  } while (0)
#define NOT_REACHED() PanicNotReached(__FILE__, __LINE__)
#define NOT_IMPLEMENTED() PanicNotImplemented(__FILE__, __LINE__)
