// sentroctl: the operator's client of the sentro control socket.
#include <cstdlib>
#include <iostream>

#include "tools/sentroctl/Sentroctl.h"

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int status = RunSentroctl(args, getenv("NORVANE_DATA_DIR"), std::cout, std::cerr);
  std::cout.flush();
  return status;
}
