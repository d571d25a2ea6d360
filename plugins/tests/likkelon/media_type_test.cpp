#include "plugins/tests/likkelon/media_type.h"

#include <gtest/gtest.h>

#include <string>

namespace testsvc {
namespace {

TEST(TrimSpaces, RemovesAsciiSpaceOnlyAndKeepsOtherBytes) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {" \t\r\n\v\fa b\t ", "a b"},
      {"   ", ""},
      {"", ""},
      // Bytes of a UTF-8 character (and NBSP's) are not spaces.
      {"\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0"},
      {"\xE2\x80\x83 y", "\xE2\x80\x83 y"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.in);
    TrimSpaces(c.in);
    EXPECT_EQ(c.in, c.want);
  }
}

TEST(ParseMediaType, MediaTypeParametersAndCharset) {
  struct Case {
    std::string type;
    std::string mediaType;
    MediaTypeParams params;
    std::string charset;
  } cases[] = {
      {"text/xml", "TEXT/XML", {}, "US-ASCII"},
      {"  Text/Plain ; charset=UTF16", "TEXT/PLAIN", {{"CHARSET", "UTF16"}}, "UTF16"},
      {"text/plain; ChArSeT = \"utf-16\"", "TEXT/PLAIN", {{"CHARSET", "utf-16"}}, "UTF-16"},
      {"text/plain;charset=us-ascii;charset=utf-8", "TEXT/PLAIN", {{"CHARSET", "utf-8"}}, "UTF-8"},
      {"application/octet-stream; charset=utf-8",
       "APPLICATION/OCTET-STREAM",
       {{"CHARSET", "utf-8"}},
       "UTF-8"},
      {" \t ", "", {}, "US-ASCII"},
      // A single quote: the text after it; segments without '=' ignored.
      {"text/a; x=\"Open; flag; y = \"q\"uo\"ted\"",
       "TEXT/A",
       {{"X", "Open"}, {"Y", "q\"uo\"ted"}},
       "US-ASCII"},
      // No ';': the whole type is the parameter text.
      {"text/x=y", "TEXT/X=Y", {{"TEXT/X", "y"}}, "US-ASCII"},
      // Upper-casing is ASCII only: a UTF-8 letter stays as it is.
      {"t\xC3\xA9xt/plain", "T\xC3\xA9XT/PLAIN", {}, "US-ASCII"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    std::string mediaType;
    MediaTypeParams params;
    ParseMediaType(c.type, mediaType, params);
    EXPECT_EQ(mediaType, c.mediaType);
    EXPECT_EQ(params, c.params);
    EXPECT_EQ(CharsetOf(params), c.charset);
  }
}

TEST(DecodeText, ByCharset) {
  struct Case {
    std::string bytes, charset;
    std::u16string want;
  } cases[] = {
      {std::string("\xFF\xFE\x41\x00", 4), "UTF-16", u"\uFEFFA"},
      {std::string("\x41\x00\x42", 3), "UTF-16", u"A"},  // odd last byte ignored
      {"caf\xC3\xA9", "UTF-8", u"caf\u00E9"},
      {"caf\xC3\xA9", "US-ASCII", u"caf\u00E9"},
      {"ab\xFF"
       "cd",
       "UTF-8", u"ab"},  // up to the first malformed sequence
      {"abc", "ISO-8859-1", u""},
      {"abc", "UTF16", u""},
      {"", "UTF-8", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.charset + " " + c.bytes);
    EXPECT_EQ(DecodeText(c.bytes, c.charset), c.want);
  }
}

}  // namespace
}  // namespace testsvc
