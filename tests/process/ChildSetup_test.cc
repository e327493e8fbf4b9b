// The pieces of the child's set-up that can be checked on their own: the
// lock-free formatter behind the child's messages and the descriptor sweep.
#include "src/process/ChildSetup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>

#include "src/process/ChildReport.h"

namespace {

TEST(ChildFormat, FormatsTheChildsConversionsAndCutsAtTheBuffer) {
  char buf[256];
  size_t length = ChildFormat(buf, sizeof buf, "[Child %d] %s %ld %lu %llu %u 100%%", -42, "text",
                              LONG_MIN, 7UL, 18446744073709551615ULL, 0u);
  EXPECT_STREQ(buf, "[Child -42] text -9223372036854775808 7 18446744073709551615 0 100%");
  EXPECT_EQ(length, strlen(buf));
  char small[8];
  EXPECT_EQ(ChildFormat(small, sizeof small, "%s/%s", "abcdef", "ghijkl"), 7u);
  EXPECT_STREQ(small, "abcdef/");
  // Error texts need no locale.
  EXPECT_STREQ(ChildErrorText(ENOENT), "No such file or directory");
  EXPECT_STREQ(ChildErrorText(100000), "Unknown error");
}

// Runs sweep in a forked child holding extra descriptors; true when every
// descriptor from 3 up is close-on-exec afterwards and stdout is not.
bool SweepMarksEverything(void (*sweep)(int)) {
  pid_t pid = fork();
  if (pid == 0) {
    int fds[] = {open("/dev/null", O_RDONLY), dup(0), dup(1), dup2(1, 700)};
    sweep(3);
    for (int fd : fds) {
      if (fd < 0 || (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) {
        _exit(1);
      }
    }
    _exit((fcntl(1, F_GETFD) & FD_CLOEXEC) == 0 ? 0 : 2);
  }
  siginfo_t info = {};
  waitid(P_PID, pid, &info, WEXITED);
  return info.si_code == CLD_EXITED && info.si_status == 0;
}

TEST(DescriptorSweep, CloseRangeAndProcListingMarkEveryDescriptorAboveStderr) {
  EXPECT_TRUE(SweepMarksEverything(CloseDescriptorsOnExec));
  EXPECT_TRUE(SweepMarksEverything(CloseDescriptorsOnExecByListing));
}

}  // namespace
