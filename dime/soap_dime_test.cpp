#include "dime/soap_dime.h"

#include <gtest/gtest.h>

namespace dime {
namespace {

TEST(IsUsableNextHopUrlTest, AcceptsOnlyPlainHttpUrlsThatCannotReshapeTheRequestHead) {
  const struct {
    const char* url;
    bool usable;
  } cases[] = {
      {"http://h", true},
      {"http://h/", true},
      {"http://node-1.example_x:8080/a/b?q=%41", true},
      {"http://h:1/x", true},
      {"http://h:65535/x", true},
      {"http://h/~!$&'()*+,;=", true},
      {"https://h/x", false},
      {"HTTP://h/x", false},
      {" http://h/x", false},
      {"http://", false},
      {"http:///x", false},
      {"http://:80/x", false},
      {"http://h:0/x", false},
      {"http://h:65536/x", false},
      {"http://h:/x", false},
      {"http://h:8a/x", false},
      {"http://h\r\nX-Injected: 1/x", false},
      {"http://h x/", false},
      {"http://user@h/x", false},
      {"http://h/a b", false},
      {"http://h/a\tb", false},
      {"http://h/a\x7F", false},
      {"http://h/caf\xC3\xA9", false},
      {"http://h?x", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsUsableNextHopUrl(c.url), c.usable) << c.url;
}

}  // namespace
}  // namespace dime
