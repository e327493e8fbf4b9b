// Runs sentroctl in-process against a socket and captures what it prints.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "tools/sentroctl/Sentroctl.h"

struct CtlRun {
  int status = -1;
  std::string out;
  std::string err;
};

// The space-separated words of text: the arguments of a table row.
inline std::vector<std::string> Words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return words;
}

// sentroctl --socket socketPath args...
inline CtlRun RunCtl(const std::string &socketPath, std::vector<std::string> args) {
  args.insert(args.begin(), {"--socket", socketPath});
  std::ostringstream out;
  std::ostringstream err;
  CtlRun run;
  run.status = RunSentroctl(args, nullptr, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}
