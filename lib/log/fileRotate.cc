// Opening a file output's log: type checks, the guarded open, rotation of
// the previous file (by rename or by renumbering), and the header lines of
// every new file.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "lib/log/fileOutput.h"

static bool IsUnacceptableType(mode_t mode) {
  return S_ISCHR(mode) || S_ISBLK(mode) || S_ISDIR(mode) || S_ISFIFO(mode) || S_ISSOCK(mode);
}

// Opens `path` but never through a symbolic link, and makes sure the file
// opened is the one at the path once the open has returned.
static int SafeOpen(const char *path, int flags, int mode) {
  struct stat before;
  if (lstat(path, &before) == 0) {
    if (S_ISLNK(before.st_mode)) {
      Warning("Log file '%s' is a symbolic link.\n", path);
      return -1;
    }
  } else if (errno != ENOENT) {
    Warning("Cannot lstat the file '%s': '%s'\n", path, strerror(errno));
    return -1;
  }
  int fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    if (errno == ELOOP) {
      Warning("Log file '%s' is a symbolic link.\n", path);
    } else {
      Warning("Unable to open '%s': %s\n", path, strerror(errno));
    }
    return -1;
  }
  struct stat opened, after;
  if (fstat(fd, &opened) != 0) {
    Warning("Cannot fstat the file '%s': '%s'\n", path, strerror(errno));
    close(fd);
    return -1;
  }
  if (lstat(path, &after) != 0) {
    Warning("Cannot lstat the file '%s': '%s'\n", path, strerror(errno));
    close(fd);
    return -1;
  }
  if (after.st_dev != opened.st_dev || after.st_ino != opened.st_ino) {
    Warning("Log file '%s' has changed.\n", path);
    close(fd);
    return -1;
  }
  return fd;
}

static bool PathExists(const char *path) {
  struct stat info;
  return lstat(path, &info) == 0;
}

bool FileOutput::OpenLog() {
  const char *path = options_.path.c_str();
  struct stat existing;
  if (lstat(path, &existing) == 0 && IsUnacceptableType(existing.st_mode)) {
    Warning("Rejecting '%s' because it is not an acceptable type.\n", path);
    return false;
  }
  if (options_.append) {
    fd_ = SafeOpen(path, O_WRONLY | O_APPEND | O_CREAT, options_.permissions);
    if (fd_ < 0) {
      Warning("Could not open log file '%s' for append, ignoring log.append option\n", path);
    }
  }
  struct stat info;
  if (fd_ >= 0) {
    // A file created by the append is as new as one created below.
    if (fstat(fd_, &info) == 0 && info.st_size == 0 && !WriteHeaderLines()) {
      Close();
      return false;
    }
  } else {
    if (!options_.generatedName && options_.keepOld > 0 && PathExists(path)) {
      if (options_.fastRotation) {
        FileRotateByRenumber(options_.path, options_.keepOld);
      } else {
        FileRotateByRename(options_.path, options_.keepOld);
      }
    }
    if (!OpenFresh()) {
      return false;
    }
  }
  ringStorage_.reset(new (std::nothrow) char[FILE_OUTPUT_RING_SIZE]);
  ringText_.reset(new (std::nothrow) char[MESSAGE_RING_READ_LIMIT + 1]);
  if (!ringStorage_ || !ringText_) {
    Close();
    return false;
  }
  ring_ = std::make_unique<MessageRing>(ringStorage_.get(), FILE_OUTPUT_RING_SIZE);
  bytesWritten_ = fstat(fd_, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
  return true;
}

// Opens the log as an empty file carrying only its header lines.
bool FileOutput::OpenFresh() {
  const char *path = options_.path.c_str();
  fd_ = SafeOpen(path, O_WRONLY | O_CREAT, options_.permissions);
  if (fd_ < 0) {
    Warning("Open of '%s' failed\n", path);
    return false;
  }
  if (ftruncate(fd_, 0) != 0) {
    Warning("Truncation of '%s' failed: %s\n", path, strerror(errno));
    Close();
    return false;
  }
  bytesWritten_ = 0;
  if (!WriteHeaderLines()) {
    Close();
    return false;
  }
  return true;
}

void FileOutput::RotateForSize() {
  Close();
  if (options_.keepOld > 0) {
    if (options_.fastRotation) {
      FileRotateByRenumber(options_.path, options_.keepOld);
    } else {
      FileRotateByRename(options_.path, options_.keepOld);
    }
  }
  // With no old files to keep, the log simply starts over.
  OpenFresh();
}

static void DescribeHost(char *buffer, size_t size) {
  struct utsname host;
  if (uname(&host) != 0) {
    snprintf(buffer, size, "unknown");
    return;
  }
  snprintf(buffer, size, "%s %s %s %s", host.sysname, host.release, host.version, host.machine);
}

bool FileOutput::WriteHeaderLines() {
  LogLineHeader header;
  LogLineHeaderInit(&header, LOG_INFO);
  char prefix[LOG_HEADER_PREFIX_SIZE];
  size_t prefixLength = FormatLinePrefix(prefix, sizeof prefix, options_.prefix, header);
  LogAppInfo app = LogGetAppInfo();
  TimestampTexts created;
  FormatTimestamp(header.timestamp, options_.prefix.milliseconds, &created);
  char host[512];
  DescribeHost(host, sizeof host);
  long offset = utcOffsetSeconds_;
  long offsetMinutes = (offset < 0 ? -offset : offset) % 3600 / 60;

  char lines[6][1024];
  int count = 0;
  snprintf(lines[count++], sizeof lines[0], "Log for %s pid=%d version=%s build=%s option=%s\n",
           app.appName, static_cast<int>(getpid()), app.version, app.build, app.option);
  snprintf(lines[count++], sizeof lines[0], "The host is %d-bit.\n",
           static_cast<int>(sizeof(void *) * 8));
  snprintf(lines[count++], sizeof lines[0], "Host codepage=%s encoding=%s\n", nl_langinfo(CODESET),
           "UTF-8");
  if (!options_.prefix.timeStamps) {
    snprintf(lines[count++], sizeof lines[0], "Log creation time is %s%s%s\n", created.date,
             created.millis, created.suffix);
  }
  int hostLine = count;
  snprintf(lines[count++], sizeof lines[0], "%sHost is %s\n", prefix, host);
  snprintf(lines[count++], sizeof lines[0], "Host offset from UTC is %+03d:%02d.\n",
           static_cast<int>(offset / 3600), static_cast<int>(offsetMinutes));

  for (int i = 0; i < count; ++i) {
    // The host line carries its prefix inside its own text.
    size_t usedPrefix = i == hostLine ? 0 : prefixLength;
    size_t textLength = strlen(lines[i]);
    struct iovec parts[2] = {{prefix, usedPrefix}, {lines[i], textLength}};
    ssize_t written = writev(fd_, parts, 2);
    if (written > 0) {
      bytesWritten_ += written;
    }
    if (written != static_cast<ssize_t>(usedPrefix + textLength)) {
      Warning("Unable to label log file '%s'\n", options_.path.c_str());
      return false;
    }
  }
  return true;
}

// ---- Rotation --------------------------------------------------------------

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
