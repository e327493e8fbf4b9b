// The daemon's command line and environment: where its configuration and
// data live, which profile it starts, and whether start failures are ignored.
#pragma once

#include <string>

struct DaemonOptions {
  std::string configDir = ".";
  std::string dataDir = ".";
  std::string startupProfile;  // empty: chosen from the data directory
  bool ignoreFail = false;
};

// Derives the directories from NORVANE_CFG_DIR and NORVANE_DATA_DIR (each
// with "/norvane-sentro" appended), then applies the options, which win.
// Returns false after printing the usage (for -h, an unknown option or a
// missing argument); the caller then exits with status 1.
bool ParseDaemonOptions(int argc, char **argv, DaemonOptions *options);
