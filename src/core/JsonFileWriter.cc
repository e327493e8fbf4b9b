#include "src/core/JsonFileWriter.h"

#include <cerrno>
#include <cstring>

#include "lib/log/log.h"

JsonFileWriter::~JsonFileWriter() {
  if (file_ != nullptr) {
    fclose(file_);
  }
}

bool JsonFileWriter::Open(const std::string &path) {
  if (file_ != nullptr) {
    Close();
  }
  file_ = fopen(path.c_str(), "we");
  if (file_ == nullptr) {
    LogAtLevel(LOG_ERROR, "Failed to open file %s. Error: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  // The stream's own buffer is the only one between the writer and the file.
  setvbuf(file_, nullptr, _IONBF, 0);
  stream_ = std::make_unique<rapidjson::FileWriteStream>(file_, buffer_, sizeof buffer_);
  writer_ = std::make_unique<Writer>(*stream_);
  writer_->StartObject();
  return true;
}

void JsonFileWriter::WriteString(const char *key, const std::string &value) {
  if (writer_ == nullptr) {
    return;
  }
  writer_->Key(key);
  writer_->String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

void JsonFileWriter::WriteInt(const char *key, int32_t value) {
  if (writer_ == nullptr) {
    return;
  }
  writer_->Key(key);
  writer_->Int(value);
}

bool JsonFileWriter::Close() {
  if (file_ == nullptr) {
    return true;
  }
  writer_->EndObject();
  stream_->Flush();
  bool streamFailed = ferror(file_) != 0;
  int streamErrno = errno;
  writer_.reset();
  stream_.reset();
  bool closeFailed = fclose(file_) != 0;
  file_ = nullptr;
  if (streamFailed && !closeFailed) {
    errno = streamErrno;
  }
  return !streamFailed && !closeFailed;
}
