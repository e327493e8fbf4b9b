// Expands arbitrary text and checks what any input must satisfy.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "src/core/EnvExpand.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("A", "alpha", 1);
  setenv("HOME", "/home/fuzz", 1);
  setenv("EMPTY", "", 1);
  setenv("PCT", "%A%", 1);
  setenv("A%B", "pair", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string source(reinterpret_cast<const char *>(data), size);
  std::string out = "stale";
  bool expanded = ExpandEnvVars(source, &out);

  // Text without a percent sign is copied unchanged.
  if (memchr(data, '%', size) == nullptr && (!expanded || out != source)) __builtin_trap();
  // Doubling every percent sign makes any text expand to itself.
  std::string escaped;
  for (char c : source) escaped += c == '%' ? std::string("%%") : std::string(1, c);
  if (!ExpandEnvVars(escaped, &out) || out != source) __builtin_trap();
  return 0;
}
