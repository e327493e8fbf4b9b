#include <gtest/gtest.h>

#include <string>

#include "lib/asyncsocket/asyncsocket.h"
#include "poll/LogCapture.h"

namespace {

TEST(ErrorTextTest, CodesHaveTheirTextsAndUnknownCodesWarn) {
  LogCapture log;
  const struct {
    int code;
    const char *text;
    bool known;
  } kCases[] = {
      {0, "Success", true},
      {4, "Remote disconnected", true},
      {6, "Connection error", true},
      {11, "Socket bind address already in use", true},
      {21, "Invalid or not supported type proxy", true},
      {7, "Unknown error", false},  // an accept failure has no text of its own
      {22, "Unknown error", false},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.code);
    EXPECT_STREQ(AsyncSocket_ErrorText(c.code), c.text);
    EXPECT_EQ(log.Count(Format("AsyncSocket_MsgError was passed bad code %d\n", c.code)),
              c.known ? 0 : 1);
  }
  // The catalogue string carries the message id before the text.
  std::string closed = AsyncSocket_MsgError(ASOCKERR_CLOSED);
  EXPECT_NE(closed.find("msg.asyncsocket.closed"), std::string::npos);
  EXPECT_NE(closed.find("Closed socket"), std::string::npos);
  EXPECT_NE(std::string(AsyncSocket_MsgError(-1)).find("msg.asyncsocket.unknown"),
            std::string::npos);
}

}  // namespace
