// A scratch directory removed with everything in it at the end of a test.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // path()/name
  std::string File(const std::string &name) const { return path_ + "/" + name; }
  // Writes contents to path()/name and returns that path.
  std::string Write(const std::string &name, const std::string &contents) const;

 private:
  std::string path_;
};

// The whole contents of a file, or "<missing>".
std::string ReadWholeFile(const std::string &path);
