// Runs sentroctl in-process against a socket and captures what it prints.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tools/sentroctl/Sentroctl.h"

struct CtlRun {
  int status = -1;
  std::string printed;  // stdout, then "! " and stderr after its "sentroctl: "
};

// sentroctl --socket socketPath, then the space-separated words of args.
inline CtlRun RunCtl(const std::string &socketPath, const std::string &args) {
  std::vector<std::string> words = {"--socket", socketPath};
  std::istringstream in(args);
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  std::ostringstream out, err;
  CtlRun run;
  run.status = RunSentroctl(words, nullptr, out, err);
  EXPECT_EQ(err.str().rfind("sentroctl: ", 0), err.str().empty() ? std::string::npos : 0);
  run.printed = out.str() + (err.str().empty() ? "" : "! " + err.str().substr(11));
  return run;
}

// Exact when expected is empty or ends in a newline, else a part of text.
inline void ExpectPrinted(const std::string &text, const std::string &expected) {
  if (expected.empty() || expected.back() == '\n') {
    EXPECT_EQ(text, expected);
  } else {
    EXPECT_NE(text.find(expected), std::string::npos) << text;
  }
}
