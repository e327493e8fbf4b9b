#include "src/core/JsonFileWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/TempDir.h"

namespace {

// The descriptor of this process open on path, or -1.
int OpenDescriptor(const std::string &path) {
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path) {
      return std::stoi(entry.path().filename());
    }
  }
  return -1;
}

TEST(JsonFileWriter, MembersAreWrittenCompactAndEscapedInOrderOverAnOlderFile) {
  TempDir dir;
  JsonFileWriter writer;
  ASSERT_TRUE(writer.Open(dir.File("empty")));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(ReadWholeFile(dir.File("empty")), "{}");

  std::string path = dir.Write("state", "an older and much longer file content, truncated now");
  ASSERT_TRUE(writer.Open(path));
  int fd = OpenDescriptor(path);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  writer.WriteString("State", "STARTED");
  writer.WriteInt("Count", -5);
  writer.WriteInt("Max", 2147483647);
  writer.WriteString("k\"ey", std::string("q\"b\\s\nn\tt\x01/\0z", 13));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(OpenDescriptor(path), -1);
  EXPECT_EQ(
      ReadWholeFile(path),
      R"({"State":"STARTED","Count":-5,"Max":2147483647,"k\"ey":"q\"b\\s\nn\tt\u0001/\u0000z"})");

  // More than the writer's buffer holds is written whole.
  ASSERT_TRUE(writer.Open(path));
  std::string expected = "{";
  for (int i = 0; i < 300; i++) {
    writer.WriteInt(("Key" + std::to_string(i)).c_str(), i * 1000);
    expected += "\"Key" + std::to_string(i) + "\":" + std::to_string(i * 1000) + ",";
  }
  writer.WriteString("Tail", std::string(5000, 'x'));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(ReadWholeFile(path), expected + "\"Tail\":\"" + std::string(5000, 'x') + "\"}");
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
