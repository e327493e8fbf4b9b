#include "lib/log/messageRing.h"

#include <string.h>

static const size_t recordOverhead = sizeof(uint16_t) + sizeof(LogLineHeader);

void MessageRing::CopyIn(const void *data, size_t length) {
  const char *bytes = static_cast<const char *>(data);
  size_t first = capacity_ - tail_ < length ? capacity_ - tail_ : length;
  memcpy(storage_ + tail_, bytes, first);
  memcpy(storage_, bytes + first, length - first);
  tail_ = (tail_ + length) % capacity_;
  used_ += length;
}

void MessageRing::CopyOut(void *data, size_t length) {
  char *bytes = static_cast<char *>(data);
  size_t first = capacity_ - head_ < length ? capacity_ - head_ : length;
  if (bytes != nullptr) {
    memcpy(bytes, storage_ + head_, first);
    memcpy(bytes + first, storage_, length - first);
  }
  head_ = (head_ + length) % capacity_;
  used_ -= length;
}

void MessageRing::DropOldest() {
  uint16_t recordLength;
  CopyOut(&recordLength, sizeof recordLength);
  CopyOut(nullptr, recordLength);
  --records_;
}

bool MessageRing::Add(const LogLineHeader &header, const char *text, size_t length) {
  size_t recordLength = sizeof(LogLineHeader) + length;
  if (recordLength > UINT16_MAX || recordOverhead + length > capacity_) {
    return false;
  }
  while (capacity_ - used_ < recordOverhead + length) {
    DropOldest();
  }
  uint16_t storedLength = static_cast<uint16_t>(recordLength);
  CopyIn(&storedLength, sizeof storedLength);
  CopyIn(&header, sizeof header);
  CopyIn(text, length);
  ++records_;
  return true;
}

bool MessageRing::Take(LogLineHeader *header, char *text, size_t *length) {
  if (records_ == 0) {
    return false;
  }
  uint16_t recordLength;
  CopyOut(&recordLength, sizeof recordLength);
  CopyOut(header, sizeof *header);
  size_t textLength = recordLength - sizeof(LogLineHeader);
  if (textLength <= MESSAGE_RING_READ_LIMIT) {
    CopyOut(text, textLength);
  } else {
    CopyOut(text, MESSAGE_RING_READ_LIMIT);
    CopyOut(nullptr, textLength - MESSAGE_RING_READ_LIMIT);
    textLength = Utf8CutLength(text, MESSAGE_RING_READ_LIMIT, MESSAGE_RING_READ_LIMIT - 1);
    text[textLength++] = '\n';
  }
  text[textLength] = '\0';
  *length = textLength;
  --records_;
  return true;
}
