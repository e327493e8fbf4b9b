#include "lib/log/fileRotate.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "lib/log/log.h"

void SplitExtension(const std::string &path, std::string *base, std::string *extension) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == (slash == std::string::npos ? 0 : slash + 1)) {
    *base = path;
    extension->clear();
    return;
  }
  *base = path.substr(0, dot);
  *extension = path.substr(dot);
}

static std::string NumberedName(const std::string &base, long number, const std::string &ext) {
  char digits[24];
  snprintf(digits, sizeof digits, "-%ld", number);
  return base + digits + ext;
}

static void RenameLogged(const char *who, const std::string &from, const std::string &to) {
  if (rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
    LogAtLevel(LOG_INFO, "FILE: %s: rename of %s -> %s failed: %s\n", who, from.c_str(), to.c_str(),
               strerror(errno));
  }
}

static void RemoveLogged(const char *who, const std::string &name) {
  if (unlink(name.c_str()) != 0 && errno != ENOENT) {
    LogAtLevel(LOG_INFO, "FILE: %s: failed to remove %s: %s\n", who, name.c_str(), strerror(errno));
  }
}

void FileRotateByRename(const std::string &path, int keepOld) {
  static const char who[] = "FileRotateByRename";
  std::string base, ext;
  SplitExtension(path, &base, &ext);
  RemoveLogged(who, NumberedName(base, keepOld - 1, ext));
  for (int i = keepOld - 2; i >= 0; --i) {
    RenameLogged(who, NumberedName(base, i, ext), NumberedName(base, i + 1, ext));
  }
  RenameLogged(who, path, NumberedName(base, 0, ext));
}

// The number k of an entry named "<base>-<k><ext>", where k has no leading
// zero and fits 32 bits; false for any other name.
static bool ParseOldNumber(const char *entry, const std::string &base, const std::string &ext,
                           uint32_t *number) {
  size_t entryLength = strlen(entry);
  if (entryLength <= base.size() + 1 + ext.size() || strncmp(entry, base.c_str(), base.size()) ||
      entry[base.size()] != '-') {
    return false;
  }
  const char *digits = entry + base.size() + 1;
  const char *extStart = entry + entryLength - ext.size();
  if (*digits < '1' || *digits > '9' || strcmp(extStart, ext.c_str()) != 0) {
    return false;
  }
  uint64_t value = 0;
  for (const char *c = digits; c < extStart; ++c) {
    if (*c < '0' || *c > '9') {
      return false;
    }
    value = value * 10 + (*c - '0');
    if (value > UINT32_MAX) {
      return false;
    }
  }
  *number = static_cast<uint32_t>(value);
  return true;
}

static bool ListOldNumbers(const std::string &directory, const std::string &base,
                           const std::string &ext, std::vector<uint32_t> *numbers) {
  DIR *dir = opendir(directory.c_str());
  if (dir == nullptr) {
    return false;
  }
  while (struct dirent *entry = readdir(dir)) {
    uint32_t number;
    if (ParseOldNumber(entry->d_name, base, ext, &number)) {
      numbers->push_back(number);
    }
  }
  closedir(dir);
  std::sort(numbers->begin(), numbers->end());
  return true;
}

static std::string RenumberedName(const std::string &directory, const std::string &base,
                                  uint64_t number, const std::string &ext) {
  char name[PATH_MAX];
  snprintf(name, sizeof name, "%s/%s-%u%s", directory.c_str(), base.c_str(),
           static_cast<unsigned>(number), ext.c_str());
  return name;
}

void FileRotateByRenumber(const std::string &path, int keepOld) {
  static const char who[] = "FileRotateByRenumber";
  char *fullPath = realpath(path.c_str(), nullptr);
  if (fullPath == nullptr) {
    LogAtLevel(LOG_INFO, "FILE: %s: failed to get full path for '%s'.\n", who, path.c_str());
    return;
  }
  std::string full = fullPath;
  free(fullPath);
  size_t slash = full.rfind('/');
  std::string directory = slash == 0 ? "/" : full.substr(0, slash);
  std::string base, ext;
  SplitExtension(full.substr(slash + 1), &base, &ext);
  if (base.empty()) {
    LogAtLevel(LOG_INFO, "FILE: %s: failed to get base name for path '%s'.\n", who, full.c_str());
    return;
  }
  std::vector<uint32_t> numbers;
  if (!ListOldNumbers(directory, base, ext, &numbers)) {
    LogAtLevel(LOG_INFO, "FILE: %s: failed to read the directory '%s'.\n", who, directory.c_str());
    return;
  }
  if (!numbers.empty() && numbers.back() == UINT32_MAX) {
    for (size_t i = 0; i < numbers.size(); ++i) {
      uint32_t renumbered = static_cast<uint32_t>(i + 1);
      if (numbers[i] != renumbered) {
        RenameLogged(who, RenumberedName(directory, base, numbers[i], ext),
                     RenumberedName(directory, base, renumbered, ext));
        numbers[i] = renumbered;
      }
    }
  }
  uint64_t largest = numbers.empty() ? 0 : numbers.back();
  RenameLogged(who, full, RenumberedName(directory, base, largest + 1, ext));
  size_t keep = static_cast<size_t>(keepOld);
  if (numbers.size() >= keep) {
    for (size_t i = 0; i < numbers.size() - keep + 1; ++i) {
      RemoveLogged(who, RenumberedName(directory, base, numbers[i], ext));
    }
  }
}
