#include "src/process/ChildReport.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <unordered_map>

#include "lib/pollDefault/poll.h"

namespace {

// A record on the pipe: one level byte, two length bytes (little-endian),
// then the text. One write(2) of at most PIPE_BUF bytes, so records of
// different writers never interleave.
constexpr size_t kHeaderBytes = 3;
constexpr size_t kMaxMessageBytes = 1024;

class Appender {
 public:
  Appender(char *buf, size_t size) : buf_(buf), size_(size) {}

  void Char(char c) {
    if (used_ + 1 < size_) {
      buf_[used_++] = c;
    }
  }
  void Text(const char *text) {
    for (const char *p = text == nullptr ? "(null)" : text; *p != '\0'; ++p) {
      Char(*p);
    }
  }
  void Unsigned(unsigned long long value) {
    char digits[24];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0) {
      Char(digits[--count]);
    }
  }
  void Signed(long long value) {
    if (value < 0) {
      Char('-');
      // Negate in unsigned arithmetic so that LLONG_MIN does not overflow.
      Unsigned(0ULL - static_cast<unsigned long long>(value));
    } else {
      Unsigned(static_cast<unsigned long long>(value));
    }
  }
  size_t Finish() {
    if (size_ > 0) {
      buf_[used_] = '\0';
    }
    return used_;
  }

 private:
  char *buf_;
  size_t size_;
  size_t used_ = 0;
};

}  // namespace

// The analyzer cannot see that args arrives initialized by the caller's
// va_start, hence the suppression.
// NOLINTBEGIN(clang-analyzer-valist.Uninitialized)
size_t ChildFormatV(char *buf, size_t size, const char *fmt, va_list args) {
  Appender out(buf, size);
  for (const char *p = fmt; *p != '\0'; ++p) {
    if (*p != '%') {
      out.Char(*p);
      continue;
    }
    int longs = 0;
    while (p[1] == 'l') {
      ++longs;
      ++p;
    }
    char conversion = *++p;
    switch (conversion) {
      case 's':
        out.Text(va_arg(args, const char *));
        break;
      case 'd':
        out.Signed(longs == 0   ? va_arg(args, int)
                   : longs == 1 ? va_arg(args, long)
                                : va_arg(args, long long));
        break;
      case 'u':
        out.Unsigned(longs == 0   ? va_arg(args, unsigned)
                     : longs == 1 ? va_arg(args, unsigned long)
                                  : va_arg(args, unsigned long long));
        break;
      case '%':
        out.Char('%');
        break;
      case '\0':
        return out.Finish();
      default:
        out.Char('%');
        out.Char(conversion);
        break;
    }
  }
  return out.Finish();
}
// NOLINTEND(clang-analyzer-valist.Uninitialized)

size_t ChildFormat(char *buf, size_t size, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  size_t length = ChildFormatV(buf, size, fmt, args);
  va_end(args);
  return length;
}

const char *ChildErrorText(int err) {
  const char *text = strerrordesc_np(err);
  return text == nullptr ? "Unknown error" : text;
}

void ChildReport(int fd, int level, const char *fmt, ...) {
  if (fd < 0) {
    return;
  }
  static_assert(kHeaderBytes + kMaxMessageBytes + 1 <= PIPE_BUF);
  char record[kHeaderBytes + kMaxMessageBytes + 1];
  va_list args;
  va_start(args, fmt);
  size_t length = ChildFormatV(record + kHeaderBytes, kMaxMessageBytes + 1, fmt, args);
  va_end(args);
  record[0] = static_cast<char>(level);
  record[1] = static_cast<char>(length & 0xff);
  record[2] = static_cast<char>(length >> 8);
  // Nothing useful can be done when the write fails: the exit status still
  // tells the parent that the set-up failed.
  ssize_t ignored = write(fd, record, kHeaderBytes + length);
  (void)ignored;
}

namespace {

struct ReportPipe {
  pid_t pid;
  int fd;
  bool watched;         // registered with the event loop
  std::string pending;  // bytes of a record not yet complete
};

std::unordered_map<pid_t, ReportPipe *> &OpenReports() {
  static auto *reports = new std::unordered_map<pid_t, ReportPipe *>();
  return *reports;
}

void LogCompleteRecords(ReportPipe *report) {
  std::string &pending = report->pending;
  size_t offset = 0;
  while (pending.size() - offset >= kHeaderBytes) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(pending[offset + i]); };
    size_t length = byte(1) | (static_cast<size_t>(byte(2)) << 8);
    if (pending.size() - offset < kHeaderBytes + length) {
      break;
    }
    LogAtLevel(byte(0), "%.*s", static_cast<int>(length), pending.data() + offset + kHeaderBytes);
    offset += kHeaderBytes + length;
  }
  pending.erase(0, offset);
}

// Reads what is there; true once the pipe is finished (end of file or an
// error other than "nothing yet").
bool DrainReport(ReportPipe *report) {
  char buf[1024];
  for (;;) {
    ssize_t n = read(report->fd, buf, sizeof buf);
    if (n > 0) {
      report->pending.append(buf, static_cast<size_t>(n));
      LogCompleteRecords(report);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n == 0 || errno != EAGAIN;
    }
  }
}

void ReleaseReport(ReportPipe *report);

void ReportReadable(void *clientData) {
  auto *report = static_cast<ReportPipe *>(clientData);
  if (DrainReport(report)) {
    ReleaseReport(report);
  }
}

void ReleaseReport(ReportPipe *report) {
  if (report->watched) {
    PollRemoveReader(ReportReadable, report, true);
  }
  close(report->fd);
  OpenReports().erase(report->pid);
  delete report;
}

}  // namespace

void ChildReportWatch(pid_t pid, int readFd) {
  auto &reports = OpenReports();
  auto old = reports.find(pid);
  if (old != reports.end()) {
    // The pid was reused before the previous child's pipe was seen closing.
    ReportPipe *previous = old->second;
    DrainReport(previous);
    ReleaseReport(previous);
  }
  auto *report = new ReportPipe{pid, readFd, false, {}};
  reports[pid] = report;
  // Without a reader the flush at reaping time still logs the messages.
  report->watched = PollAddReader(ReportReadable, report, readFd, true) == POLL_OK;
}

void ChildReportFlush(pid_t pid) {
  auto &reports = OpenReports();
  auto it = reports.find(pid);
  if (it == reports.end()) {
    return;
  }
  ReportPipe *report = it->second;
  DrainReport(report);
  ReleaseReport(report);
}

void ChildReportCollect(int readFd) {
  ReportPipe report{0, readFd, false, {}};
  DrainReport(&report);
  close(readFd);
}

size_t ChildReportOpenCount() {
  return OpenReports().size();
}
