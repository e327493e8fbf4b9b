// logs: the daemon's log lines, for one service or all, across the log file
// and its rotated files, oldest first; -f follows through rotations.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>

#include "lib/log/logOutput.h"
#include "src/core/JsonFileReader.h"
#include "tools/sentroctl/CtlReport.h"
#include "tools/sentroctl/OpsCommands.h"

namespace {

#define DEFAULT_LOG_FILE "/var/log/norvane/sentro.log"
#define LOGS_EXIT_NO_LOG 4
#define FOLLOW_POLL_US 200000  // how often -f looks for new lines and a rotation

// Which lines to print.
struct LineFilter {
  std::string service;  // empty: every line
  std::string since;    // "YYYY-MM-DDTHH:MM:SS" (UTC), empty: no bound
  int level = LOG_MAX_LEVEL;
};

// One log line's prefix: "2026-01-31T08:15:42.117Z In(05)[+] thread text".
struct ParsedLine {
  std::string time;  // first 19 characters of the timestamp
  int level = -1;    // -1 when the line has no prefix
  bool continuation = false;
  std::string text;  // after the thread name
};

// Calls take with each line of file (without its newline) and the bytes it
// took in the file; a file that cannot be read has no lines.
void ForEachLine(const std::string &file,
                 const std::function<void(const std::string &line, size_t length)> &take) {
  FILE *in = fopen(file.c_str(), "re");
  if (in == nullptr) {
    return;
  }
  char *text = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&text, &capacity, in)) >= 0) {
    size_t size = static_cast<size_t>(length);
    take(std::string(text, size > 0 && text[size - 1] == '\n' ? size - 1 : size), size);
  }
  free(text);
  fclose(in);
}

ParsedLine ParseLine(const std::string &line) {
  ParsedLine parsed;
  size_t levelStart = line.find(' ');
  if (line.size() < 20 || line[4] != '-' || line[10] != 'T' || levelStart == std::string::npos ||
      line.compare(levelStart + 3, 1, "(") != 0) {
    parsed.text = line;
    return parsed;
  }
  parsed.time = line.substr(0, 19);
  parsed.level = atoi(line.c_str() + levelStart + 4);
  size_t levelEnd = line.find(' ', levelStart + 1);
  parsed.continuation = levelEnd != std::string::npos && line[levelEnd - 1] == '+';
  size_t threadEnd =
      levelEnd == std::string::npos ? std::string::npos : line.find(' ', levelEnd + 1);
  parsed.text = threadEnd == std::string::npos ? "" : line.substr(threadEnd + 1);
  return parsed;
}

// The service's own tag and those of its helper commands.
bool IsAboutService(const std::string &text, const std::string &service) {
  for (const char *suffix : {">", "-prestart>", "-healthcmd>"}) {
    std::string tag = "<" + service + suffix;
    if (text.compare(0, tag.size(), tag) == 0) {
      return true;
    }
  }
  return false;
}

// Decides line by line; a continuation line goes with its message.
class LineSelector {
 public:
  explicit LineSelector(const LineFilter &filter) : filter_(filter) {}
  bool Take(const std::string &line) {
    ParsedLine parsed = ParseLine(line);
    if (parsed.level < 0 || parsed.continuation) {
      return lastTaken_;
    }
    lastTaken_ = parsed.level <= filter_.level &&
                 (filter_.since.empty() || parsed.time >= filter_.since) &&
                 (filter_.service.empty() || IsAboutService(parsed.text, filter_.service));
    return lastTaken_;
  }

 private:
  const LineFilter &filter_;
  bool lastTaken_ = false;
};

// "2026-01-31T08:15:42", "2026-01-31 08:15", "2026-01-31" or an age such
// as "90s", "15m", "2h", "1d"; false when text is none of these.
bool ParseSince(const std::string &text, std::string *since) {
  char *end = nullptr;
  long amount = strtol(text.c_str(), &end, 10);
  static const struct {
    char unit;
    long seconds;
  } kUnits[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
  for (const auto &unit : kUnits) {
    if (end != text.c_str() && amount >= 0 && end[0] == unit.unit && end[1] == '\0') {
      time_t at = time(nullptr) - amount * unit.seconds;
      struct tm parts;
      gmtime_r(&at, &parts);
      char buffer[32];
      strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &parts);
      *since = buffer;
      return true;
    }
  }
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') {
    return false;
  }
  *since = text.substr(0, 19);
  if (since->size() > 10) {
    (*since)[10] = 'T';
  }
  return true;
}

// The rotated files of the log (base-N.ext), oldest first by modification
// time, then the log itself.
std::vector<std::string> LogFiles(const std::string &path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : name.substr(dot);
  std::vector<std::pair<struct timespec, std::string>> rotated;
  if (DIR *listing = opendir(dir.c_str())) {
    while (struct dirent *entry = readdir(listing)) {
      std::string entryName = entry->d_name;
      if (entryName.size() <= base.size() + 1 + ext.size() ||
          entryName.compare(0, base.size() + 1, base + "-") != 0 ||
          entryName.compare(entryName.size() - ext.size(), ext.size(), ext) != 0) {
        continue;
      }
      std::string number =
          entryName.substr(base.size() + 1, entryName.size() - base.size() - 1 - ext.size());
      struct stat info;
      std::string full = dir + "/" + entryName;
      if (number.find_first_not_of("0123456789") == std::string::npos &&
          stat(full.c_str(), &info) == 0) {
        rotated.push_back({info.st_mtim, full});
      }
    }
    closedir(listing);
  }
  std::sort(rotated.begin(), rotated.end(), [](const auto &a, const auto &b) {
    if (a.first.tv_sec != b.first.tv_sec) {
      return a.first.tv_sec < b.first.tv_sec;
    }
    return a.first.tv_nsec != b.first.tv_nsec ? a.first.tv_nsec < b.first.tv_nsec
                                              : a.second > b.second;
  });
  std::vector<std::string> files;
  for (const auto &file : rotated) {
    files.push_back(file.second);
  }
  files.push_back(path);
  return files;
}

// Follows path from offset: new lines as they come, and after a rotation
// (another file at the path, or a shorter one) the new file from its start.
// Runs until the process is ended.
[[noreturn]] void Follow(CtlContext &context, const std::string &path, off_t offset,
                         LineSelector &selector) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat opened = {};
  if (fd >= 0) {
    fstat(fd, &opened);
    lseek(fd, offset, SEEK_SET);
  }
  std::string partial;
  auto drain = [&] {
    char buffer[8192];
    ssize_t count;
    while (fd >= 0 && (count = read(fd, buffer, sizeof buffer)) > 0) {
      partial.append(buffer, static_cast<size_t>(count));
      size_t newline;
      while ((newline = partial.find('\n')) != std::string::npos) {
        std::string line = partial.substr(0, newline);
        partial.erase(0, newline + 1);
        if (selector.Take(line)) {
          context.out << line << "\n";
        }
      }
      context.out.Flush();
    }
  };
  for (;;) {
    drain();
    struct stat now;
    bool replaced = stat(path.c_str(), &now) == 0 &&
                    (fd < 0 || now.st_ino != opened.st_ino || now.st_dev != opened.st_dev ||
                     now.st_size < lseek(fd, 0, SEEK_CUR));
    if (replaced) {
      drain();  // what was written to the old file before it was renamed
      if (fd >= 0) {
        close(fd);
      }
      fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        fstat(fd, &opened);
      }
      partial.clear();
      continue;
    }
    usleep(FOLLOW_POLL_US);
  }
}

bool LogsToSyslog(const std::string &configDir) {
  JsonFileReader reader;
  bool toSyslog = false;
  return access((configDir + "/config.json").c_str(), R_OK) == 0 &&
         reader.Load(configDir + "/config.json") && reader.GetBool("LogToSyslog", &toSyslog) &&
         toSyslog;
}

}  // namespace

int RunLogs(CtlContext &context) {
  LineFilter filter;
  if (!context.options.args.empty()) {
    filter.service = context.options.args[0];
  }
  if (const std::string *since = OpsOption(context.options, "--since")) {
    if (!ParseSince(*since, &filter.since)) {
      return UsageError(context, "invalid --since '" + *since +
                                     "': give 2026-01-31T08:15:42 or an "
                                     "age such as 15m");
    }
  }
  if (const std::string *level = OpsOption(context.options, "--level")) {
    filter.level = LogLevelParse(level->c_str(), -2);
    if (filter.level == -2) {
      return UsageError(context, "invalid --level '" + *level + "'");
    }
  }
  long lines = -1;
  if (const std::string *count = OpsOption(context.options, "--lines")) {
    char *end = nullptr;
    lines = strtol(count->c_str(), &end, 10);
    if (count->empty() || *end != '\0' || lines < 0) {
      return UsageError(context, "invalid -n '" + *count + "'");
    }
  }
  std::string configDir = OpsConfigDir(context.options);
  if (LogsToSyslog(configDir)) {
    context.err << "sentroctl: the daemon logs to syslog (LogToSyslog in " << configDir
                << "/config.json): see journalctl -t sentro"
                << (filter.service.empty() ? "" : " -g '<" + filter.service + "'")
                << ", or /var/log/syslog\n";
    return LOGS_EXIT_NO_LOG;
  }
  const std::string *option = OpsOption(context.options, "--log-file");
  std::string path = option != nullptr ? *option : DEFAULT_LOG_FILE;
  std::vector<std::string> files = LogFiles(path);
  if (files.size() == 1 && access(path.c_str(), R_OK) != 0 &&
      !HasOpsOption(context.options, "--follow")) {
    context.err << "sentroctl: no log at " << path << " (give it with --log-file)\n";
    return LOGS_EXIT_NO_LOG;
  }
  LineSelector selector(filter);
  std::deque<std::string> kept;
  off_t endOfLog = 0;
  for (const std::string &file : files) {
    ForEachLine(file, [&](const std::string &line, size_t length) {
      endOfLog += file == path ? static_cast<off_t>(length) : 0;
      if (selector.Take(line)) {
        kept.push_back(line);
        if (lines >= 0 && kept.size() > static_cast<size_t>(lines)) {
          kept.pop_front();
        }
      }
    });
  }
  for (const std::string &line : kept) {
    context.out << line << "\n";
  }
  context.out.Flush();
  if (HasOpsOption(context.options, "--follow")) {
    Follow(context, path, endOfLog, selector);
  }
  return CTL_EXIT_OK;
}
