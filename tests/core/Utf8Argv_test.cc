// The command line reaches the option parser as UTF-8 whatever the locale.
#include "src/core/Utf8Argv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(Utf8Argv, WellFormedUtf8IsKeptAsItIs) {
  std::string out;
  ASSERT_TRUE(ConvertArgToUtf8("/etc/caf\xc3\xa9", "ISO-8859-1", &out));
  EXPECT_EQ(out, "/etc/caf\xc3\xa9");
}

TEST(Utf8Argv, LocaleBytesAreConvertedFromTheLocaleCharset) {
  std::string out;
  ASSERT_TRUE(ConvertArgToUtf8("caf\xe9", "ISO-8859-1", &out));
  EXPECT_EQ(out, "caf\xc3\xa9");
}

TEST(Utf8Argv, BytesValidInNeitherEncodingAreRefused) {
  std::string out = "unchanged";
  EXPECT_FALSE(ConvertArgToUtf8("\xff\xfe", "UTF-8", &out));
  EXPECT_FALSE(ConvertArgToUtf8("\xff", "NO-SUCH-CHARSET", &out));
  EXPECT_EQ(out, "unchanged");
}

TEST(Utf8Argv, MalformedSequencesAreNotUtf8) {
  EXPECT_TRUE(IsValidUtf8("plain ascii"));
  EXPECT_TRUE(IsValidUtf8("\xf0\x9f\x98\x80"));   // U+1F600
  EXPECT_FALSE(IsValidUtf8("\xc0\xaf"));          // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));      // a surrogate
  EXPECT_FALSE(IsValidUtf8("\xf4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\xe2\x82"));          // cut short
}

TEST(Utf8Argv, InThePlainCLocaleHighBytesAreReadAsLatin1) {
  const char *saved = getenv("LC_ALL");
  std::string previous = saved != nullptr ? saved : "";
  setenv("LC_ALL", "C", 1);
  char arg0[] = "sentro";
  char arg1[] = "-s";
  char arg2[] = "caf\xe9";
  char *argvIn[] = {arg0, arg1, arg2, nullptr};
  char **argv = argvIn;
  ASSERT_TRUE(ConvertArgvToUtf8(3, &argv));
  EXPECT_NE(argv, argvIn);
  EXPECT_STREQ(argv[0], "sentro");
  EXPECT_STREQ(argv[1], "-s");
  EXPECT_STREQ(argv[2], "caf\xc3\xa9");  // the C locale reads it as Latin-1
  EXPECT_EQ(argv[3], nullptr);
  // The daemon keeps its copy for life; the test gives it back.
  for (int i = 0; i < 3; i++) {
    delete[] argv[i];
  }
  delete[] argv;
  if (saved != nullptr) {
    setenv("LC_ALL", previous.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
}
