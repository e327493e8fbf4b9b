// File helpers shared by the fuzz targets that feed their input through
// files, as the daemon reads them.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

// Writes path anew; aborts on failure, which the fuzzer reports.
inline void WriteFuzzFile(const std::string &path, const void *data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  close(fd);
}
inline void WriteFuzzFile(const std::string &path, const std::string &text) {
  WriteFuzzFile(path, text.data(), text.size());
}

// A fresh directory, memory-backed when possible since inputs are written on
// every run, removed with its contents when the fuzzer exits.
inline std::string MakeFuzzScratchDir(const std::string &target) {
  static std::string dir;
  const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  dir = std::string(base) + "/sentro-" + target + "-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) abort();
  atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  });
  return dir;
}
