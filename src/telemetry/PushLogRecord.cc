#include "src/telemetry/PushLogRecord.h"

#include <cstring>

struct PushLogHeader {
  int32_t level;
  uint32_t length;
};

void EncodePushLogRecord(int level, const char *text, size_t length, std::string *out) {
  if (length > PUSH_LOG_RECORD_MAX_TEXT) {
    length = PUSH_LOG_RECORD_MAX_TEXT;
  }
  PushLogHeader header = {level, static_cast<uint32_t>(length)};
  out->append(reinterpret_cast<const char *>(&header), sizeof header);
  out->append(text, length);
}

void PushLogDecoder::Feed(const char *data, size_t length) {
  if (!corrupt_) {
    buffer_.append(data, length);
  }
}

bool PushLogDecoder::Next(int *level, std::string *text) {
  PushLogHeader header;
  if (corrupt_ || buffer_.size() - offset_ < sizeof header) {
    return false;
  }
  memcpy(&header, buffer_.data() + offset_, sizeof header);
  if (header.length > PUSH_LOG_RECORD_MAX_TEXT) {
    corrupt_ = true;
    buffer_.clear();
    offset_ = 0;
    return false;
  }
  if (buffer_.size() - offset_ - sizeof header < header.length) {
    return false;
  }
  *level = header.level;
  text->assign(buffer_, offset_ + sizeof header, header.length);
  offset_ += sizeof header + header.length;
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  } else if (offset_ > PUSH_LOG_RECORD_MAX_TEXT) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  return true;
}
