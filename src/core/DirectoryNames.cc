#include "src/core/DirectoryNames.h"

#include <dirent.h>

#include <algorithm>

bool ListDirectoryNames(const std::string &dir, std::vector<std::string> *names) {
  names->clear();
  DIR *listing = opendir(dir.c_str());  // close-on-exec in glibc
  if (listing == nullptr) {
    return false;
  }
  while (struct dirent *entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names->push_back(std::move(name));
    }
  }
  closedir(listing);
  std::sort(names->begin(), names->end());
  return true;
}
