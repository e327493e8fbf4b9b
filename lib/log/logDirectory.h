// The directories a file output may place its log in.
//
// The system log directory is "/var/log/norvane" unless the program
// relocates it (LogSetSystemLogDir). The per-user safe directory is
// "<TMPDIR or /tmp>/norvane-<effective uid>": created with mode 0700 when
// missing, and accepted only when it is a real directory (not a symbolic
// link) owned by the effective user and closed to the group and others, so
// that no other user can plant or read the files in it.
#pragma once

#include <string>

// Establishes and validates the directory; logs the failure and returns
// false when it cannot be used.
bool LogEstablishDirectory(bool systemArea, std::string *directory);
