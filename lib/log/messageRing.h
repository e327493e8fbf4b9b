// A fixed byte ring of message records: (u16 record length, line header,
// text). Adding a record drops the oldest records until the new one fits, so
// the ring always holds the most recent messages. It never allocates after
// construction and is not thread-safe; the facility guards it with logLock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/log/logOutput.h"

// The longest text a reader is handed; longer texts are cut and end in "\n".
#define MESSAGE_RING_READ_LIMIT 32768

class MessageRing {
 public:
  // `storage` of `capacity` bytes is owned by the caller.
  MessageRing(char *storage, size_t capacity) : storage_(storage), capacity_(capacity) {}

  // Adds a record; false when it could never fit.
  bool Add(const LogLineHeader &header, const char *text, size_t length);

  // Takes the oldest record out. `text` must hold MESSAGE_RING_READ_LIMIT + 1
  // bytes; the text is NUL-terminated and its length stored in `length`.
  bool Take(LogLineHeader *header, char *text, size_t *length);

  void Clear() { head_ = tail_ = used_ = records_ = 0; }
  size_t Records() const { return records_; }

 private:
  void CopyIn(const void *data, size_t length);
  void CopyOut(void *data, size_t length);
  void DropOldest();

  char *storage_;
  size_t capacity_;
  size_t head_ = 0;  // where the oldest record starts
  size_t tail_ = 0;  // where the next record goes
  size_t used_ = 0;
  size_t records_ = 0;
};
