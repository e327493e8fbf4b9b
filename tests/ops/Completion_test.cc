// The installed bash completion, driven without bash-completion itself: the
// commands come from sentroctl's help, service and profile names from the
// configuration directory when no daemon answers.
#include <gtest/gtest.h>

#include "ops/OpsRun.h"
#include "support/TempDir.h"

TEST(Completion, OffersCommandsServicesAndProfiles) {
  const std::string source = SENTRO_SOURCE_DIR, build = SandboxDaemon::BuildPath("");
  TempDir dir;
  // What the completion offers for the words typed so far (the last one is
  // being completed), one candidate a line.
  const std::string driver = dir.Write(
      "complete.sh",
      "_init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; "
      "words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; }\n_filedir() { :; }\n"
      "source \"$1\"; shift\nCOMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _sentroctl\n"
      "printf '%s\\n' \"${COMPREPLY[@]}\"\n");
  const std::string complete = "PATH=" + build + ":$PATH bash " + driver + " " + source +
                               "/packaging/sentroctl.bash-completion sentroctl ",
                    offline = "--datadir /nonexistent -c " + source + "/examples ";
  for (auto [words, offered] :
       {std::pair<std::string, std::string>{"c", "check-config\ncritical-chain\n"},
        {offline + "logs ga", "gateway\n"},
        {offline + "set-startup ga", "gateway\n"},
        {"blame -", "--last\n--operation\n--db\n"},  // only what blame accepts
        {offline + "start-profile C", "CORE\nCRITICAL\n"},
        {offline + "logs api --le", "--level\n"},
        {offline + "logs api --level w", "warning\n"}})
    EXPECT_EQ(Shell(complete + words).out, offered);
}
