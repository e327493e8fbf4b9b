// Rotation of a log file, keeping `keepOld` old files beside it.
//
// By rename: "dir/sentro.log" becomes "dir/sentro-0.log", the older ones move
// up by one and the oldest ("sentro-<keepOld-1>.log") is removed.
// By renumbering: the log becomes "sentro-<largest+1>.log" and only the oldest
// numbers are removed; nothing else is renamed.
//
// Failures are logged at info level and never stop the caller, which opens a
// fresh file either way.
#pragma once

#include <string>

void FileRotateByRename(const std::string &path, int keepOld);
void FileRotateByRenumber(const std::string &path, int keepOld);

// "dir/name.ext" -> "dir/name" and ".ext"; the extension is that of the last
// path component, empty when it has none.
void SplitExtension(const std::string &path, std::string *base, std::string *extension);
