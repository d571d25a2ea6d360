#include "configgen/default_config.h"

#include <gtest/gtest.h>

#include <string>

#include "configgen/testing/expected_config.h"
#include "xmldoc/xml_nodes.h"

namespace configgen {
namespace {

using configgen_testing::ExpectedConfig;

// The whole file text, byte for byte, against the hand-written fixture: the
// settings, the endpoints in byte order of their URIs, the MIME rows in
// extension order, empty elements in the short form, CR LF and no final line
// end. The directory is written whole and escaped only where XML needs it.
TEST(DefaultConfigTest, DocumentMatchesFixture) {
  const struct {
    const char* dir;
    const char* asText;
  } cases[] = {
      {"/srv/bin", "/srv/bin"},
      {"", ""},
      {"/srv/a&b<c>d", "/srv/a&amp;b&lt;c&gt;d"},
      {"/srv/\xC3\xA9t\xC3\xA9/\xF0\x9D\x84\x9E", "/srv/\xC3\xA9t\xC3\xA9/\xF0\x9D\x84\x9E"},
      {"/srv/back\\slash", "/srv/back\\slash"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    xml::XmlElementPtr root = BuildDefaultConfig(c.dir);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(xmldoc::DocumentFileText(*root), ExpectedConfig(c.asText));
  }
}

TEST(DefaultConfigTest, InstallDirectoryIsTheTextBeforeTheLastSlash) {
  const struct {
    const char* executable;
    const char* dir;
  } cases[] = {
      {"/srv/bin/cuvrel", "/srv/bin"},         {"/cuvrel", ""},
      {"/srv/a\\b/cuvrel", "/srv/a\\b"},  // '\' is a file-name byte here
      {"/srv/bin.d/cu/vrel", "/srv/bin.d/cu"}, {"cuvrel", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(InstallDirectory(c.executable), c.dir) << c.executable;
  }
  EXPECT_EQ(WsdlBase("/srv/bin"), "file:///srv/bin/docroot/wsdl/");
}

TEST(DefaultConfigTest, OnlyDirectoriesThatReadBackUnchangedAreWritable) {
  const struct {
    std::string dir;
    bool writable;
  } cases[] = {
      {"", true},
      {"/srv/bin", true},
      {"/srv/a&b<c>\"'", true},
      {"/srv/\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E", true},
      {"/srv/\xFF", false},              // no UTF-8 at all
      {"/srv/\xC3", false},              // cut sequence at the end
      {"/srv/\xC3/x", false},            // cut sequence inside
      {"/srv/\xC0\xAF", false},          // overlong '/'
      {"/srv/\xED\xA0\x80", false},      // an encoded surrogate half
      {"/srv/\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"/srv/line\nbreak", false},       // XML cannot hold it as it stands
      {"/srv/tab\tstop", false},
      {"/srv/del\x7F", false},
      {"/srv/\xEF\xBF\xBE", false},  // U+FFFE and U+FFFF are no XML characters
      {"/srv/a\xEF\xBF\xBF" "b", false},
      {"/srv/\xEF\xBF\xBD\xEF\xBF\xBC", true},          // U+FFFD, U+FFFC are
      {"/srv/\xF0\x9F\xBF\xBE\xF4\x8F\xBF\xBF", true},  // so are U+1FFFE, U+10FFFF
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsWritableInstallDirectory(c.dir), c.writable) << c.dir;
  }
}

}  // namespace
}  // namespace configgen
