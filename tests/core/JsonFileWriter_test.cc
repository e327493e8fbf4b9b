#include "src/core/JsonFileWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "lib/log/log.h"
#include "src/core/JsonFileReader.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

// The descriptor of this process open on path, or -1.
int FindOpenDescriptor(const std::string &path) {
  DIR *fds = opendir("/proc/self/fd");
  int found = -1;
  while (dirent *entry = fds != nullptr ? readdir(fds) : nullptr) {
    char target[4096];
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, length) == path) {
      found = atoi(entry->d_name);
    }
  }
  if (fds != nullptr) {
    closedir(fds);
  }
  return found;
}

TEST(JsonFileWriter, MembersAreWrittenCompactAndEscapedInOrderOverAnOlderFile) {
  TempDir dir;
  JsonFileWriter writer;
  ASSERT_TRUE(writer.Open(dir.File("empty")));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(ReadWholeFile(dir.File("empty")), "{}");

  std::string path = dir.Write("state", "an older and much longer file content, truncated now");
  ASSERT_TRUE(writer.Open(path));
  int fd = FindOpenDescriptor(path);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  writer.WriteString("State", "STARTED");
  writer.WriteInt("Count", -5);
  writer.WriteInt("Max", 2147483647);
  writer.WriteString("k\"ey", std::string("q\"b\\s\nn\tt\x01/\0z", 13));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(FindOpenDescriptor(path), -1);
  EXPECT_EQ(
      ReadWholeFile(path),
      R"({"State":"STARTED","Count":-5,"Max":2147483647,"k\"ey":"q\"b\\s\nn\tt\u0001/\u0000z"})");
}

TEST(JsonFileWriter, OutputLargerThanTheBufferReadsBack) {
  TempDir dir;
  JsonFileWriter writer;
  ASSERT_TRUE(writer.Open(dir.File("big")));
  for (int i = 0; i < 300; i++) {
    writer.WriteInt(("Key" + std::to_string(i)).c_str(), i * 1000);
  }
  writer.WriteString("Tail", std::string(5000, 'x'));
  EXPECT_TRUE(writer.Close());

  JsonFileReader reader;
  ASSERT_TRUE(reader.Load(dir.File("big")));
  int32_t value = 0;
  EXPECT_TRUE(reader.GetInt("Key299", &value));
  EXPECT_EQ(value, 299000);
  std::string tail;
  EXPECT_TRUE(reader.GetString("Tail", false, &tail));
  EXPECT_EQ(tail.size(), 5000u);
}

TEST(JsonFileWriter, WriteErrorMakesCloseFailWithTheSystemError) {
  if (access("/dev/full", W_OK) != 0) {
    GTEST_SKIP() << "no /dev/full";
  }
  JsonFileWriter writer;
  ASSERT_TRUE(writer.Open("/dev/full"));
  writer.WriteString("Key", "value");
  errno = 0;
  EXPECT_FALSE(writer.Close());
  EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
