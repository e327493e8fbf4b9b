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
  std::string File(const std::string &name) const { return Sub(name); }
  // Writes contents to path()/name and returns that path.
  std::string Write(const std::string &name, const std::string &contents) const;

 private:
  std::string path_;
};

// Small file helpers for tests: each fails the current test on error.
void WriteFile(const std::string &path, const std::string &content);
std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);
// The whole contents of a file, or "<missing>".
std::string ReadWholeFile(const std::string &path);
void MakeDirs(const std::string &path);
