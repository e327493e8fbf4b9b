// A scratch directory removed, with everything in it, when the test ends.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string Sub(const std::string &relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Small file helpers for tests: each fails the current test on error.
void WriteFile(const std::string &path, const std::string &content);
std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);
void MakeDirs(const std::string &path);
