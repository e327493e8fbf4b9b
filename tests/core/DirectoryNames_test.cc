// Directory listings come in one order for every reader of the configuration.
#include <gtest/gtest.h>

#include <cerrno>

#include "src/core/SysPaths.h"
#include "support/TempDir.h"

namespace {

TEST(DirectoryNames, AreSortedByteWiseWithoutDotEntries) {
  TempDir dir;
  for (const char *name : {"b.json", "B.json", "a.json", ".state_a.json"}) {
    WriteFile(dir.Sub(name), "{}");
  }
  std::vector<std::string> names = {"stale"};
  ASSERT_TRUE(ListDirectoryNames(dir.path(), &names));
  EXPECT_EQ(names, (std::vector<std::string>{".state_a.json", "B.json", "a.json", "b.json"}));

  EXPECT_FALSE(ListDirectoryNames(dir.Sub("missing"), &names));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(names.empty());
}

}  // namespace
