// The level table, the line prefix and the message ring.
#include <cstring>

#include "lib/log/logOutput.h"
#include "lib/log/logOutput.h"
#include "lib/log/messageRing.h"
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

LogLineHeader HeaderAt(int level, bool continuation, const char *opId = "") {
  LogLineHeader header{};
  header.level = level;
  header.continuation = continuation;
  strcpy(header.threadName, "host-4242");
  strcpy(header.opId, opId);
  header.timestamp = LogTimestamp{1769847342, 117};  // 2026-01-31T08:15:42.117Z
  return header;
}

TEST(LogLinePrefix, EnabledFieldsAppearInOrderEachFollowedByABlank) {
  struct Case {
    LinePrefixFields fields;  // timeStamps, milliseconds, designator, thread, opId
    int level;
    bool continuation;
    const char *opId;
    const char *prefix;
  } cases[] = {
      // The file tests see the default fields, bare lines and the audit line.
      {{}, 17, false, "", "2026-01-31T08:15:42.117Z Db(17) host-4242 "},
      {{true, false, true, true, false}, 3, false, "", "2026-01-31T08:15:42Z Wa(03) host-4242 "},
      {{false, true, true, true, true}, 5, false, "", "In(05) host-4242 - "},
      {{false, true, true, true, true}, 5, false, "abc123", "In(05) host-4242 abc123 "},
  };
  for (const Case &c : cases) {
    char buffer[LOG_PREFIX_SIZE];
    size_t length = FormatLinePrefix(buffer, sizeof buffer, c.fields,
                                     HeaderAt(c.level, c.continuation, c.opId));
    EXPECT_EQ(std::string(buffer, length), c.prefix);
  }
}

// The ring's oldest text, taken out; its order and headers are seen through
// the early-message ring in the dispatch tests.
std::string TakeText(MessageRing &ring) {
  static char text[MESSAGE_RING_READ_LIMIT + 1];
  LogLineHeader header;
  size_t length = 0;
  if (!ring.Take(&header, text, &length)) {
    return "<empty>";
  }
  EXPECT_EQ(strlen(text), length);
  return std::string(text, length);
}

TEST(LogMessageRingTest, FullRingDropsTheOldestAcrossTheWrapAndLongTextIsCut) {
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

  // A text beyond the reader's limit is cut and ends with a newline.
  static char large[65536];
  MessageRing big(large, sizeof large);
  std::string text(40000, 'z');
  ASSERT_TRUE(big.Add(HeaderAt(5, false), text.data(), text.size()));
  std::string read = TakeText(big);
  EXPECT_EQ(read.size(), static_cast<size_t>(MESSAGE_RING_READ_LIMIT));
  EXPECT_EQ(read.back(), '\n');
}

}  // namespace
