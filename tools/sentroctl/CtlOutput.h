// What sentroctl writes: to a file descriptor (standard output and error, a
// metrics file), or into a string (the metrics text, tests).
//
// sentroctl does not use iostreams. Constructing any stream builds the
// classic locale with all of its facets, and the standard streams are built
// at start-up: for a fresh process that costs more than its whole request to
// the daemon, and a status query is mostly start-up.
#pragma once

#include <concepts>
#include <string>
#include <string_view>

class CtlOutput {
 public:
  // Into a string only (Text()).
  CtlOutput() = default;
  // To fd, buffered until Flush, destruction, or a full buffer. An output
  // tied to another (standard error to standard output) flushes that one
  // first, so that a diagnostic never overtakes the results printed before
  // it, and is written line by line.
  explicit CtlOutput(int fd, CtlOutput *tie = nullptr) : fd_(fd), tie_(tie) {}
  ~CtlOutput() { Flush(); }
  CtlOutput(const CtlOutput &) = delete;
  CtlOutput &operator=(const CtlOutput &) = delete;

  CtlOutput &operator<<(std::string_view text);
  CtlOutput &operator<<(const char *text) { return *this << std::string_view(text); }
  CtlOutput &operator<<(const std::string &text) { return *this << std::string_view(text); }
  CtlOutput &operator<<(char c) { return *this << std::string_view(&c, 1); }
  CtlOutput &operator<<(double value);
  template <std::integral Int>
  requires(!std::same_as<Int, char> && !std::same_as<Int, bool>) CtlOutput &operator<<(Int value) {
    return *this << std::to_string(value);
  }

  // Writes what is buffered; false once a write has failed (the rest is
  // then dropped, as a closed terminal would drop it).
  bool Flush();
  // What was written, for an output without a descriptor.
  const std::string &Text() const { return buffer_; }

 private:
  int fd_ = -1;
  CtlOutput *tie_ = nullptr;
  bool failed_ = false;
  std::string buffer_;
};
