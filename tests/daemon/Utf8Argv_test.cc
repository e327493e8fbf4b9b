// The command line reaches the option parser as UTF-8 whatever the locale.
#include "src/daemon/Utf8Argv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(Utf8Argv, ArgumentsAreKeptAsUtf8OrConvertedFromTheLocaleCharset) {
  struct Case {
    const char *arg;
    const char *charset;
    const char *expected;  // nullptr: refused, out untouched
  } cases[] = {
      {"/etc/caf\xc3\xa9", "ISO-8859-1", "/etc/caf\xc3\xa9"},  // already UTF-8
      {"caf\xe9", "ISO-8859-1", "caf\xc3\xa9"},
      {"\xff\xfe", "UTF-8", nullptr},
      {"\xff", "NO-SUCH-CHARSET", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.arg);
    std::string out = "unchanged";
    EXPECT_EQ(ConvertArgToUtf8(c.arg, c.charset, &out), c.expected != nullptr);
    EXPECT_EQ(out, c.expected != nullptr ? c.expected : "unchanged");
  }
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
  char arg1[] = "caf\xe9";
  char *argvIn[] = {arg0, arg1, nullptr};
  char **argv = argvIn;
  ASSERT_TRUE(ConvertArgvToUtf8(2, &argv));
  EXPECT_NE(argv, argvIn);
  EXPECT_STREQ(argv[0], "sentro");
  EXPECT_STREQ(argv[1], "caf\xc3\xa9");
  EXPECT_EQ(argv[2], nullptr);
  // The daemon keeps its copy for life; the test gives it back.
  for (int i = 0; i < 2; i++) {
    delete[] argv[i];
  }
  delete[] argv;
  if (saved != nullptr) {
    setenv("LC_ALL", previous.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
}
