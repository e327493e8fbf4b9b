#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "poll/PollFixture.h"

namespace {

struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    readEnd = fds[0];
    writeEnd = fds[1];
  }
  ~Pipe() {
    Close(readEnd);
    Close(writeEnd);
  }
  void Fill() { ASSERT_EQ(write(writeEnd, "x", 1), 1); }
  static void Close(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

using DescriptorTest = PollFixture;

TEST_F(DescriptorTest, PersistentReaderFiresWhileDataIsReadableAlongsideAOneShotWriter) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  ASSERT_EQ(PollAddReader(Record, Tag(1), pair[0], true), POLL_OK);
  Step();
  EXPECT_TRUE(fired.empty()) << "nothing to read yet";
  ASSERT_EQ(write(pair[1], "x", 1), 1);
  ASSERT_EQ(
      PollAddCallback(POLL_CS_MAIN, POLL_FLAG_WRITE, Record, Tag(2), POLL_DEVICE, pair[0], nullptr),
      POLL_OK);
  Step();
  EXPECT_EQ(fired, (std::vector<intptr_t>{1, 2})) << "both callbacks of the descriptor";
  Step();
  EXPECT_EQ(fired, (std::vector<intptr_t>{1, 2, 1})) << "the writer was one-shot";
  EXPECT_TRUE(PollRemoveReader(Record, Tag(1), true));
  Step();
  EXPECT_EQ(fired.size(), 3u);
  close(pair[0]);
  close(pair[1]);
}

TEST_F(DescriptorTest, OneShotReaderFiresOnceOnHangUpAndIsThenNoLongerRegistered) {
  Pipe pipe;
  ASSERT_EQ(PollAddReader(Record, Tag(1), pipe.readEnd, false), POLL_OK);
  Pipe::Close(pipe.writeEnd);
  Step();
  Step();
  EXPECT_EQ(fired.size(), 1u);
  EXPECT_FALSE(PollRemoveReader(Record, Tag(1), false));
}

void RemoveSecondReader(void *data) {
  PollFixture::Record(data);
  PollRemoveReader(PollFixture::Record, reinterpret_cast<void *>(2), true);
}

TEST_F(DescriptorTest, ReaderRemovedByAnEarlierCallbackOfTheSameStepIsNotCalled) {
  Pipe first, second;
  first.Fill();
  second.Fill();
  ASSERT_EQ(PollAddReader(RemoveSecondReader, Tag(1), first.readEnd, true), POLL_OK);
  ASSERT_EQ(PollAddReader(Record, Tag(2), second.readEnd, true), POLL_OK);
  Step();
  EXPECT_EQ(fired, (std::vector<intptr_t>{1}));
}

TEST_F(DescriptorTest, ClosedDescriptorIsReportedOnceAndItsCallbackDeleted) {
  Pipe pipe;
  int fd = pipe.readEnd;
  ASSERT_EQ(PollAddReader(Record, Tag(1), fd, true), POLL_OK);
  Pipe::Close(pipe.readEnd);  // behind the loop's back
  Step();
  Step();
  EXPECT_TRUE(fired.empty());
  std::string invalid =
      Format("POLL invalid fd %d events %#x revents %#x reader cbFn %p writer cbFn %p\n", fd,
             POLLIN, POLLNVAL, reinterpret_cast<void *>(Record), nullptr);
  EXPECT_EQ(log.Count(invalid), 1) << log.Text();
  EXPECT_EQ(log.Count(Format(" for invalid fd %d\n", fd)), 1);
  EXPECT_EQ(log.Count("POLL: deleting entry "), 1);
  EXPECT_FALSE(PollRemoveReader(Record, Tag(1), true)) << "the callback is gone";
}

TEST_F(DescriptorTest, BusyRecordLockKeepsTheDescriptorCallbackRegistered) {
  Pipe pipe;
  pipe.Fill();
  std::mutex lock;
  BusyLock busy(lock);
  ASSERT_EQ(PollAddCallback(POLL_CS_MAIN, POLL_FLAG_READ, Record, Tag(1), POLL_DEVICE, pipe.readEnd,
                            &lock),
            POLL_OK);
  Step();
  EXPECT_TRUE(fired.empty());
  busy.Release();
  Step();
  EXPECT_EQ(fired.size(), 1u);
  Step();
  EXPECT_EQ(fired.size(), 1u) << "a one-shot callback fires once";
}

TEST_F(DescriptorTest, TableOfAClassHolds4095Descriptors) {
  constexpr int kFirstFd = 100000;  // never opened: the loop does not run here
  for (int i = 0; i < POLL_MAX_CLASS_ENTRIES; i++) {
    ASSERT_EQ(PollAddReader(Record, Tag(1), kFirstFd + i, true), POLL_OK) << i;
  }
  EXPECT_EQ(PollAddReader(Record, Tag(2), kFirstFd + POLL_MAX_CLASS_ENTRIES, true),
            POLL_LIMIT_REACHED);
  EXPECT_EQ(log.Count("POLL: reached limit of 4095 events in class 0\n"), 1);
  EXPECT_FALSE(PollRemoveReader(Record, Tag(2), true)) << "the failed registration left nothing";
  EXPECT_EQ(PollAddCallback(POLL_CS_MAIN, POLL_FLAG_WRITE, Record, Tag(3), POLL_DEVICE, kFirstFd,
                            nullptr),
            POLL_OK)
      << "a descriptor already in the table still takes a writer";
  EXPECT_EQ(PollAddCallback(PollClassSet(1) << 1, POLL_FLAG_READ, Record, Tag(4), POLL_DEVICE,
                            kFirstFd + POLL_MAX_CLASS_ENTRIES, nullptr),
            POLL_OK)
      << "other classes have tables of their own";
  EXPECT_TRUE(PollRemoveReader(Record, Tag(1), true));
  EXPECT_EQ(PollAddReader(Record, Tag(2), kFirstFd + POLL_MAX_CLASS_ENTRIES, true), POLL_OK)
      << "a removal frees a place";
}

int FailWithEbadf(struct pollfd *, nfds_t, int) {
  errno = EBADF;
  return -1;
}

void Ignore(void *) {}

TEST(PollDeathTest, PollFailingWithEbadfDumpsTheTablesAndStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        LogCapture echo(true);
        PollInstallDefault();
        Pipe pipe;
        PollAddReader(Ignore, nullptr, pipe.readEnd, true);
        PollDefaultSetSystemCall(FailWithEbadf);
        volatile uint8_t exitFlag = 0;
        PollRun(false, &exitFlag, POLL_CLASS_MAIN, 0);
      },
      "POLL fds [0-9]+: r-\n"
      "POLL class 0\n"
      "POLL func 0x[0-9a-f]+\\(\\(nil\\)\\) flags 0x7 count 1 onQueue 1 handle [0-9]+ good\n"
      "VERIFY .*pollDefault.cc:[0-9]+");
}

}  // namespace
