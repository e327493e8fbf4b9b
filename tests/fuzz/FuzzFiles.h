// File helpers shared by the fuzz targets that feed their input through a
// file, as the daemon reads it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

// Writes the bytes to path, replacing it; aborts on failure, which a fuzzer
// reports.
inline void WriteFuzzFile(const std::string &path, const uint8_t *data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    abort();
  }
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written <= 0) {
      abort();
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  close(fd);
}
