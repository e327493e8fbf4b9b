#include "src/daemon/DaemonOptions.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

namespace {

const char kProductSubdir[] = "norvane-sentro";

void PrintLine(const char *text) {
  fputs(text, stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void PrintUsage(const char *program, const char *message) {
  if (message != nullptr) {
    PrintLine(message);
  }
  printf("Usage: %s [options]\n", program);
  fflush(stdout);
  PrintLine("");
  PrintLine("Options:");
  PrintLine("  -c, --configdir <dir>  Sentro configuration directory.");
  PrintLine("  -d, --datadir   <dir>  Sentro data directory path.");
  PrintLine("  -s, --startupprofile <name>  Sentro startup profile.");
  PrintLine("  -i, --ignorefail       Ignore service startup failure.");
  PrintLine("  -h                     Print help information.");
}

void DirFromEnvironment(const char *variable, std::string *dir) {
  const char *value = getenv(variable);
  if (value != nullptr) {
    *dir = std::string(value) + "/" + kProductSubdir;
  }
}

}  // namespace

bool ParseDaemonOptions(int argc, char **argv, DaemonOptions *options) {
  DirFromEnvironment("NORVANE_CFG_DIR", &options->configDir);
  DirFromEnvironment("NORVANE_DATA_DIR", &options->dataDir);

  static const struct option kLongOptions[] = {
      {"configdir", required_argument, nullptr, 'c'},
      {"datadir", required_argument, nullptr, 'd'},
      {"startupprofile", required_argument, nullptr, 's'},
      {"ignorefail", no_argument, nullptr, 'i'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  const char *program = argc > 0 ? argv[0] : "sentro";
  opterr = 0;  // the usage below is the only complaint
  optind = 1;
  int opt;
  while ((opt = getopt_long(argc, argv, "c:d:s:i:h", kLongOptions, nullptr)) != -1) {
    switch (opt) {
      case 'c':
        options->configDir = optarg;
        break;
      case 'd':
        options->dataDir = optarg;
        break;
      case 's':
        options->startupProfile = optarg;
        break;
      case 'i':
        options->ignoreFail = true;
        break;
      case 'h':
        PrintUsage(program, nullptr);
        return false;
      default:
        PrintUsage(program, "Invalid Option.");
        return false;
    }
  }
  return true;
}
