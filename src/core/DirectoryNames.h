// The entries of a configuration directory, in one order for every reader,
// so that of two files declaring one name the same one wins everywhere and
// on every start.
#pragma once

#include <string>
#include <vector>

// The entry names of dir ("." and ".." left out) in ascending byte order.
// False, with errno set, when the directory cannot be opened.
bool ListDirectoryNames(const std::string &dir, std::vector<std::string> *names);
