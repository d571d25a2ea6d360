#include "plugins/digestauth/auth_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace digestauth {
namespace {

namespace fs = std::filesystem;

struct ConfigCase {
  const char* name;
  const char* file;  // null: no file
  bool loads;
  std::function<void(const AuthConfig&)> check;
};

std::string Password(const AuthConfig& c, std::string_view realm, std::string_view user) {
  const std::string* p = c.FindPassword(realm, user);
  return p ? *p : "<none>";
}

const ConfigCase kCases[] = {
    {"missing", nullptr, false,
     [](const AuthConfig& c) {
       EXPECT_EQ(c.DefaultRealm(), "");
       EXPECT_EQ(c.NonceLife(), 0);
       EXPECT_EQ(c.ServiceCountForTest(), 0u);
       EXPECT_EQ(c.UserCountForTest(), 0u);
       EXPECT_EQ(c.Path(), "");
     }},
    {"does not parse", "<authConfig><defaultRealm>R</defaultRealm>", false,
     [](const AuthConfig& c) {
       EXPECT_EQ(c.DefaultRealm(), "");
       EXPECT_EQ(c.NonceLife(), 0);
     }},
    {"no nonceLife, any root name", "<whatever><defaultRealm>Main</defaultRealm></whatever>", true,
     [](const AuthConfig& c) {
       EXPECT_EQ(c.NonceLife(), kDefaultNonceLife);
       EXPECT_EQ(c.DefaultRealm(), "Main");
       EXPECT_EQ(c.ServiceRealm("Unlisted"), "Main");
     }},
    {"first wins",
     "<authConfig><soapServices><service name='S' realm='first'/><service name='S' realm='second'/>"
     "</soapServices><authRealms>"
     "<realm name='R'><users><user userId='u' password='p1'/><user userId='u' password='p2'/>"
     "</users></realm>"
     "<realm name='R2'><users><user userId='u' password='p3'/></users></realm>"
     "</authRealms></authConfig>",
     true,
     [](const AuthConfig& c) {
       EXPECT_EQ(c.ServiceRealm("S"), "first");
       EXPECT_EQ(Password(c, "R", "u"), "p1");
       EXPECT_EQ(Password(c, "R2", "u"), "p3");
       EXPECT_EQ(Password(c, "r", "u"), "<none>");
     }},
    {"colon pairs are two users",
     "<authConfig><authRealms>"
     "<realm name='a:b'><users><user userId='c' password='one'/></users></realm>"
     "<realm name='a'><users><user userId='b:c' password='two'/></users></realm>"
     "</authRealms></authConfig>",
     true,
     [](const AuthConfig& c) {
       EXPECT_EQ(Password(c, "a:b", "c"), "one");
       EXPECT_EQ(Password(c, "a", "b:c"), "two");
     }},
    {"nonceLife with blanks and trailing text", "<c><nonceLife>  90abc</nonceLife></c>", true,
     [](const AuthConfig& c) { EXPECT_EQ(c.NonceLife(), 90); }},
    {"nonceLife without digits", "<c><nonceLife>x</nonceLife></c>", true,
     [](const AuthConfig& c) { EXPECT_EQ(c.NonceLife(), 0); }},
    {"nonceLife negative", "<c><nonceLife>-5</nonceLife></c>", true,
     [](const AuthConfig& c) { EXPECT_EQ(c.NonceLife(), -5); }},
    {"nonceLife beyond int", "<c><nonceLife>99999999999</nonceLife></c>", true,
     [](const AuthConfig& c) { EXPECT_EQ(c.NonceLife(), INT_MAX); }},
    {"user directly under realm",
     "<c><authRealms><realm name='R'><user userId='u' password='p'/></realm></authRealms></c>",
     true, [](const AuthConfig& c) { EXPECT_EQ(c.UserCountForTest(), 0u); }},
    {"required attributes",
     "<c><soapServices><service name='NoRealm'/><service realm='NoName'/>"
     "<service name='Ok' realm='R'/></soapServices>"
     "<authRealms><realm><users><user userId='u' password='p'/></users></realm>"
     "<realm name='R'><users><user userId='nopw'/><user password='noid'/>"
     "<user userId='u' password='p'/></users></realm></authRealms></c>",
     true,
     [](const AuthConfig& c) {
       EXPECT_EQ(c.ServiceCountForTest(), 1u);
       EXPECT_EQ(c.ServiceRealm("Ok"), "R");
       EXPECT_EQ(c.UserCountForTest(), 1u);
       EXPECT_EQ(Password(c, "R", "u"), "p");
     }},
    {"text is UTF-8, a pair as one sequence",
     "<c><defaultRealm>Z\xC3\xBCrich</defaultRealm><authRealms><realm name='Z&#xFC;rich'><users>"
     "<user userId='J&#xFC;rgen' password='pa&#x1F600;ss'/></users></realm></authRealms></c>",
     true,
     [](const AuthConfig& c) {
       EXPECT_EQ(c.DefaultRealm(), "Z\xC3\xBCrich");
       EXPECT_EQ(Password(c, "Z\xC3\xBCrich", "J\xC3\xBCrgen"), "pa\xF0\x9F\x98\x80ss");
     }},
};

class AuthConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = (fs::temp_directory_path() / "qvauthcfg.XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST_F(AuthConfigTest, FixtureFiles) {
  for (const ConfigCase& c : kCases) {
    SCOPED_TRACE(c.name);
    fs::remove(fs::path(dir_) / kAuthConfigFileName);
    if (c.file) std::ofstream(fs::path(dir_) / kAuthConfigFileName) << c.file;
    AuthConfig config;
    EXPECT_EQ(config.Load(dir_), c.loads);
    if (c.loads) {
      EXPECT_EQ(config.Path(), dir_ + "/" + kAuthConfigFileName);
    }
    c.check(config);
  }
}

TEST_F(AuthConfigTest, NoDirectoryLoadsNothing) {
  std::ofstream(kAuthConfigFileName) << "<c><nonceLife>5</nonceLife></c>";
  AuthConfig config;
  EXPECT_FALSE(config.Load(""));
  EXPECT_EQ(config.NonceLife(), 0);
  fs::remove(kAuthConfigFileName);
}

}  // namespace
}  // namespace digestauth
