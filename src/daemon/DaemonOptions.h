// What the daemon is started with: its command line (made UTF-8 first), the
// directory variables of its environment, and the startup profile.
#pragma once

#include <string>

struct DaemonOptions {
  std::string configDir = ".";
  std::string dataDir = ".";
  std::string startupProfile;  // empty: chosen from the data directory
  bool ignoreFail = false;
};

// Replaces argv by a UTF-8 copy that lives until the process ends, so that
// directory and profile names reach the daemon in one encoding whatever the
// locale of the shell that started it. Returns false (and leaves argv alone)
// when an argument cannot be converted.
bool ConvertArgvToUtf8(int argc, char ***argv);

// Converts one argument from localeCharset; text that already is valid UTF-8
// is kept as it is. False when the bytes are valid in neither encoding.
bool ConvertArgToUtf8(const std::string &arg, const char *localeCharset, std::string *out);

// True when text is well-formed UTF-8 (no overlongs, surrogates or values
// beyond U+10FFFF).
bool IsValidUtf8(const std::string &text);

// Derives the directories from NORVANE_CFG_DIR and NORVANE_DATA_DIR (each
// with "/norvane-sentro" appended), then applies the options, which win.
// Returns false after printing the usage (for -h, an unknown option or a
// missing argument); the caller then exits with status 1.
bool ParseDaemonOptions(int argc, char **argv, DaemonOptions *options);

// The profile started when -s was not given: the first line of the one-line
// file at profileFilePath, or "ALL" when that file does not exist. False,
// after logging why, when the file exists but cannot be used.
bool ChooseStartupProfile(const std::string &profileFilePath, std::string *profile);
