// The level table, the line prefix and the message ring.
#include <cstring>

#include "lib/log/linePrefix.h"
#include "lib/log/logLevels.h"
#include "lib/log/messageRing.h"
#include "lib/log/utf8Cut.h"
#include "logTestUtil.h"

namespace {

TEST(LogLevels, TableGivesDesignatorsAndSyslogPriorities) {
  struct Expected {
    int level;
    const char *name;
    const char *designator;
    int priority;
  } table[] = {{0, "audit", "No", 5},   {1, "panic", "Cr", 3},   {2, "error", "Er", 3},
               {3, "warning", "Wa", 4}, {4, "notice", "No", 5},  {5, "info", "In", 6},
               {6, "verbose", "In", 6}, {7, "trivia", "In", 6},  {8, "debug", "Db", 7},
               {9, "debug1", "Db", 7},  {23, "debug15", "Db", 7}};
  for (const Expected &row : table) {
    const LogLevelEntry &entry = LogLevelLookup(row.level);
    EXPECT_EQ(entry.number, row.level);
    EXPECT_STREQ(entry.name, row.name);
    EXPECT_STREQ(entry.designator, row.designator);
    EXPECT_EQ(entry.syslogPriority, row.priority);
  }
  EXPECT_EQ(LogLevelLookup(24).number, 5);
  EXPECT_EQ(LogLevelLookup(-3).number, 5);
}

TEST(LogLevels, NamesMatchWithoutCaseAndNoneBlocksEverything) {
  EXPECT_EQ(LogLevelParse("WARNING", 5), 3);
  EXPECT_EQ(LogLevelParse("Debug15", 5), 23);
  EXPECT_EQ(LogLevelParse("NoNe", 5), -1);
  EXPECT_EQ(LogLevelParse("loud", 7), 7);
  EXPECT_EQ(LogLevelParse("8", 5), 8);
  EXPECT_EQ(LogLevelParse("24", 5), 5);
  EXPECT_EQ(LogLevelParse(nullptr, 4), 4);
}

LogLineHeader HeaderAt(int level, bool continuation) {
  LogLineHeader header{};
  header.level = level;
  header.continuation = continuation;
  strcpy(header.threadName, "host-4242");
  header.timestamp = LogTimestamp{1769847342, 117};  // 2026-01-31T08:15:42.117Z
  return header;
}

std::string Prefix(const LinePrefixFields &fields, const LogLineHeader &header) {
  char buffer[LOG_PREFIX_SIZE];
  size_t length = FormatLinePrefix(buffer, sizeof buffer, fields, header);
  return std::string(buffer, length);
}

TEST(LogLinePrefix, DefaultFieldsReadTimeDesignatorAndThread) {
  LinePrefixFields fields;
  EXPECT_EQ(Prefix(fields, HeaderAt(5, false)), "2026-01-31T08:15:42.117Z In(05) host-4242 ");
  EXPECT_EQ(Prefix(fields, HeaderAt(5, true)), "2026-01-31T08:15:42.117Z In(05)+ host-4242 ");
  EXPECT_EQ(Prefix(fields, HeaderAt(2, false)), "2026-01-31T08:15:42.117Z Er(02) host-4242 ");
  EXPECT_EQ(Prefix(fields, HeaderAt(17, false)), "2026-01-31T08:15:42.117Z Db(17) host-4242 ");
}

TEST(LogLinePrefix, FieldsCanBeLeftOut) {
  LinePrefixFields fields;
  fields.milliseconds = false;
  EXPECT_EQ(Prefix(fields, HeaderAt(3, false)), "2026-01-31T08:15:42Z Wa(03) host-4242 ");
  fields.timeStamps = false;
  fields.threadName = false;
  EXPECT_EQ(Prefix(fields, HeaderAt(0, false)), "No(00) ");
  fields.levelDesignator = false;
  EXPECT_EQ(Prefix(fields, HeaderAt(0, false)), "");
}

TEST(LogLinePrefix, OperationIdShowsDashWhenEmpty) {
  LinePrefixFields fields;
  fields.timeStamps = false;
  fields.opId = true;
  LogLineHeader header = HeaderAt(5, false);
  EXPECT_EQ(Prefix(fields, header), "In(05) host-4242 - ");
  strcpy(header.opId, "abc123");
  EXPECT_EQ(Prefix(fields, header), "In(05) host-4242 abc123 ");
}

TEST(LogUtf8Cut, CutNeverSplitsASequence) {
  const char text[] = "ab\xC3\xA9\xE2\x82\xAC";  // a b é €
  EXPECT_EQ(Utf8CutLength(text, 7, 10), 7u);
  EXPECT_EQ(Utf8CutLength(text, 7, 6), 4u);
  EXPECT_EQ(Utf8CutLength(text, 7, 5), 4u);
  EXPECT_EQ(Utf8CutLength(text, 7, 4), 4u);
  EXPECT_EQ(Utf8CutLength(text, 7, 3), 2u);
}

std::string TakeText(MessageRing &ring, LogLineHeader *header = nullptr) {
  static char text[MESSAGE_RING_READ_LIMIT + 1];
  LogLineHeader ignored;
  size_t length = 0;
  if (!ring.Take(header ? header : &ignored, text, &length)) {
    return "<empty>";
  }
  EXPECT_EQ(strlen(text), length);
  return std::string(text, length);
}

TEST(LogMessageRingTest, ReturnsRecordsOldestFirstWithTheirHeaders) {
  char storage[4096];
  MessageRing ring(storage, sizeof storage);
  ring.Add(HeaderAt(3, false), "first\n", 6);
  ring.Add(HeaderAt(5, true), "second\n", 7);
  LogLineHeader header;
  EXPECT_EQ(TakeText(ring, &header), "first\n");
  EXPECT_EQ(header.level, 3);
  EXPECT_EQ(TakeText(ring, &header), "second\n");
  EXPECT_TRUE(header.continuation);
  EXPECT_EQ(TakeText(ring), "<empty>");
}

TEST(LogMessageRingTest, AddingToAFullRingDropsTheOldestAcrossTheWrap) {
  char storage[1024];
  MessageRing ring(storage, sizeof storage);
  for (int i = 0; i < 100; ++i) {
    std::string text = "message " + std::to_string(i) + "\n";
    ASSERT_TRUE(ring.Add(HeaderAt(5, false), text.data(), text.size()));
  }
  size_t kept = ring.Records();
  ASSERT_GT(kept, 1u);
  ASSERT_LT(kept, 100u);
  for (size_t i = 100 - kept; i < 100; ++i) {
    EXPECT_EQ(TakeText(ring), "message " + std::to_string(i) + "\n");
  }
  EXPECT_EQ(ring.Records(), 0u);
  std::string tooBig(2000, 'x');
  EXPECT_FALSE(ring.Add(HeaderAt(5, false), tooBig.data(), tooBig.size()));
}

TEST(LogMessageRingTest, TextBeyondTheReadLimitIsCutAndEndsWithNewline) {
  static char storage[65536];
  MessageRing ring(storage, sizeof storage);
  std::string text(40000, 'z');
  ASSERT_TRUE(ring.Add(HeaderAt(5, false), text.data(), text.size()));
  std::string read = TakeText(ring);
  EXPECT_EQ(read.size(), static_cast<size_t>(MESSAGE_RING_READ_LIMIT));
  EXPECT_EQ(read.back(), '\n');
}

}  // namespace
