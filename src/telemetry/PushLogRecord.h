// The log records the telemetry push helper sends to the daemon over its
// standard output, so that the push's messages land in the daemon's log at
// their own levels, as if the daemon had logged them itself.
//
// A record is the level and the text length as two 32-bit integers in host
// order (both ends are the same build on the same machine), then the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A longer record means the stream is not what the daemon expects.
#define PUSH_LOG_RECORD_MAX_TEXT 65536

// Appends one record to out.
void EncodePushLogRecord(int level, const char *text, size_t length, std::string *out);

// Reassembles records from the bytes as they arrive.
class PushLogDecoder {
 public:
  void Feed(const char *data, size_t length);
  // Takes the next complete record; false when none is complete yet.
  bool Next(int *level, std::string *text);
  // True once a record header was impossible; everything after it is
  // dropped.
  bool Corrupt() const { return corrupt_; }

 private:
  std::string buffer_;
  size_t offset_ = 0;  // start of the first record not yet taken
  bool corrupt_ = false;
};
