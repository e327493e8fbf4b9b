// sentroctl: the operator's client of the sentro control socket.
#include <unistd.h>

#include <cstdlib>

#include "tools/sentroctl/Sentroctl.h"

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  CtlOutput out(STDOUT_FILENO);
  CtlOutput err(STDERR_FILENO, &out);
  return RunSentroctl(args, getenv("NORVANE_DATA_DIR"), out, err);
}
