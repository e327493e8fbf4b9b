// The daemon's control socket: local clients connect to "sentroserver" in
// the data directory, send one request, read one reply. Access control is
// the socket file's owner (root), group ("sentroapi") and mode (0775).
#pragma once

#include <cstddef>
#include <string>

// Listens on path; false (after logging why) when the socket cannot be
// created or given its owner and mode. The daemon then exits with status 1.
bool CreateServer(const std::string &path);

// Closes the listening socket; accepted connections go on.
bool ShutdownServer();
