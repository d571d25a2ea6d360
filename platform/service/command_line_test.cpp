#include "platform/service/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace service {
namespace {

TEST(CommandLineTest, FindsWholeSwitchWordsAfterDashOrSlashInAnyCase) {
  struct Case {
    std::vector<const char*> argv;  // argv[0] first
    int expected;                   // index into {UnregServer, RegServer, Service}
  };
  const Case cases[] = {
      {{"braskel", "-RegServer"}, 1},
      {{"braskel", "/regserver"}, 1},
      {{"braskel", "-UNREGSERVER"}, 0},
      {{"braskel", "-Service"}, 2},
      {{"braskel", "/sErViCe"}, 2},
      {{"braskel"}, -1},
      {{"braskel", "Service"}, -1},            // no leading '-' or '/'
      {{"braskel", "-Services"}, -1},          // a longer word is no switch
      {{"braskel", "-Serv"}, -1},              // nor a shorter one
      {{"braskel", "-Service\tx"}, 2},         // a tab ends the token
      {{"braskel", "-Service x"}, 2},          // so does a blank
      {{"braskel", "--Service"}, 2},           // the second '-' starts a token of its own
      {{"braskel", "-x", "-RegServer", "-Service"}, 1},  // the first switch wins
      {{"braskel", "-Service", "-RegServer"}, 2},
      // The program path is not part of the switches, even when it looks like one.
      {{"/opt/x/Service"}, -1},
      {{"/opt/x/RegServer", "-Service"}, 2},
  };
  for (const Case& c : cases) {
    const int found = FindCommandLineSwitch(static_cast<int>(c.argv.size()), c.argv.data(),
                                            {"UnregServer", "RegServer", "Service"});
    std::string joined;
    for (const char* a : c.argv) joined += std::string(a) + " ";
    EXPECT_EQ(found, c.expected) << joined;
  }
  EXPECT_EQ(FindCommandLineSwitch(0, nullptr, {"Service"}), -1);
}

TEST(CommandLineTest, ExitCodeIsZeroOnlyForSuccess) {
  struct Case {
    HRESULT result;
    int exit_code;
  };
  const Case cases[] = {
      {S_OK, 0},
      {S_FALSE, 1},
      {-1, 255},
      {2, 2},  // the not-found code stays itself
      {MakeHresult(0x80040100), 1},  // low byte 0 must not read as success
      {MakeHresult(0x80070005), 5},
      {E_FAIL, 5},
      {MakeHresult(0x80040154), 0x54},
      {0x100, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExitCodeFromResult(c.result), c.exit_code) << std::hex << c.result;
  }
}

}  // namespace
}  // namespace service
