#include <gtest/gtest.h>

#include <string>

#include "lib/asyncsocket/asyncsocket.h"
#include "poll/LogCapture.h"

namespace {

TEST(ErrorTextTest, CodesHaveTheirEnglishTexts) {
  EXPECT_STREQ(AsyncSocket_ErrorText(0), "Success");
  EXPECT_STREQ(AsyncSocket_ErrorText(4), "Remote disconnected");
  EXPECT_STREQ(AsyncSocket_ErrorText(6), "Connection error");
  EXPECT_STREQ(AsyncSocket_ErrorText(11), "Socket bind address already in use");
  EXPECT_STREQ(AsyncSocket_ErrorText(21), "Invalid or not supported type proxy");
}

TEST(ErrorTextTest, CatalogueStringCarriesTheMessageId) {
  std::string catalogued = AsyncSocket_MsgError(9);
  EXPECT_NE(catalogued.find("msg.asyncsocket.closed"), std::string::npos);
  EXPECT_NE(catalogued.find("Closed socket"), std::string::npos);
}

TEST(ErrorTextTest, AcceptFailureAndUnknownCodesWarnAndReadUnknownError) {
  LogCapture log;
  EXPECT_STREQ(AsyncSocket_ErrorText(7), "Unknown error");
  EXPECT_STREQ(AsyncSocket_ErrorText(22), "Unknown error");
  EXPECT_NE(std::string(AsyncSocket_MsgError(-1)).find("msg.asyncsocket.unknown"),
            std::string::npos);
  EXPECT_EQ(log.Count("AsyncSocket_MsgError was passed bad code 7\n"), 1);
  EXPECT_EQ(log.Count("AsyncSocket_MsgError was passed bad code 22\n"), 1);
  EXPECT_EQ(log.Count("AsyncSocket_MsgError was passed bad code -1\n"), 1);
}

}  // namespace
