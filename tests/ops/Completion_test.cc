// The installed bash completion, driven without bash-completion itself: the
// commands come from sentroctl's help, service and profile names from the
// configuration directory when no daemon answers.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/SandboxDaemon.h"
#include "support/TempDir.h"

namespace {

std::string SourceDir() {
  return SENTRO_SOURCE_DIR;
}

// What the completion offers for the words typed so far (the last one is
// being completed), one candidate a line.
std::string Complete(const std::string &words) {
  static TempDir dir;
  std::string driver = dir.Write(
      "complete.sh",
      "_init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; "
      "words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; }\n"
      "_filedir() { :; }\n"
      "source \"$1\"; shift\n"
      "COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _sentroctl\n"
      "printf '%s\\n' \"${COMPREPLY[@]}\"\n");
  std::string build = SandboxDaemon::BuildPath("sentroctl");
  std::string command = "PATH=" + build.substr(0, build.rfind('/')) + ":$PATH bash " + driver +
                        " " + SourceDir() + "/packaging/sentroctl.bash-completion sentroctl " +
                        words;
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t count; pipe != nullptr && (count = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, count);
  }
  if (pipe != nullptr) {
    pclose(pipe);
  }
  return out;
}

TEST(Completion, OffersCommandsServicesAndProfiles) {
  std::string offline = "--datadir /nonexistent -c " + SourceDir() + "/examples ";
  const struct {
    std::string words;
    const char *offered;
  } kCases[] = {
      {"c", "check-config\ncritical-chain\n"},           {offline + "logs ga", "gateway\n"},
      {offline + "start-profile C", "CORE\nCRITICAL\n"}, {offline + "logs api --le", "--level\n"},
      {offline + "logs api --level w", "warning\n"},
  };
  for (const auto &entry : kCases) {
    EXPECT_EQ(Complete(entry.words), entry.offered) << entry.words;
  }
}

}  // namespace
