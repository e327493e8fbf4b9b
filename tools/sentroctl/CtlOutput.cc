#include "tools/sentroctl/CtlOutput.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>

namespace {

// A buffered output is written once it holds this much.
#define OUTPUT_BUFFER_BYTES 65536

}  // namespace

CtlOutput &CtlOutput::operator<<(std::string_view text) {
  if (tie_ != nullptr) {
    tie_->Flush();
  }
  buffer_.append(text);
  bool lineDone = tie_ != nullptr && !text.empty() && text.back() == '\n';
  if (fd_ >= 0 && (lineDone || buffer_.size() >= OUTPUT_BUFFER_BYTES)) {
    Flush();
  }
  return *this;
}

// Like an ostream's default: six significant digits.
CtlOutput &CtlOutput::operator<<(double value) {
  char text[32];
  snprintf(text, sizeof text, "%g", value);
  return *this << std::string_view(text);
}

bool CtlOutput::Flush() {
  if (fd_ < 0) {
    return true;
  }
  size_t written = 0;
  while (!failed_ && written < buffer_.size()) {
    ssize_t count = write(fd_, buffer_.data() + written, buffer_.size() - written);
    if (count > 0) {
      written += static_cast<size_t>(count);
    } else if (count == 0 || errno != EINTR) {
      failed_ = true;
    }
  }
  buffer_.clear();
  return !failed_;
}
