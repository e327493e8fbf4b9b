// Writes one flat JSON object to a file in compact form: no spaces, no
// newlines, no trailing newline. Used for the daemon's small state files.
#pragma once

#include <rapidjson/filewritestream.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class JsonFileWriter {
 public:
  JsonFileWriter() = default;
  ~JsonFileWriter();
  JsonFileWriter(const JsonFileWriter &) = delete;
  JsonFileWriter &operator=(const JsonFileWriter &) = delete;

  // Creates or truncates path and begins the object.
  bool Open(const std::string &path);
  // Each writes one member; nothing happens unless the file is open.
  void WriteString(const char *key, const std::string &value);
  void WriteInt(const char *key, int32_t value);
  // Ends the object, flushes and closes the file. True when nothing failed,
  // or when the file was never opened; on false errno tells why.
  bool Close();

 private:
  using Writer = rapidjson::Writer<rapidjson::FileWriteStream>;

  // The size of the stream buffer between the writer and the file.
  static const size_t kBufferSize = 1048;

  FILE *file_ = nullptr;
  char buffer_[kBufferSize];
  std::unique_ptr<rapidjson::FileWriteStream> stream_;
  std::unique_ptr<Writer> writer_;
};
