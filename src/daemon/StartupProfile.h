// Chooses the profile the daemon starts when none is given on the command
// line: the one-line "defaultStartProfile" file of the data directory, or
// "ALL" when that file does not exist.
#pragma once

#include <string>

// Returns false, after logging why, when the file exists but cannot be used;
// the daemon then ends with status 1.
bool ChooseStartupProfile(const std::string &profileFilePath, std::string *profile);
