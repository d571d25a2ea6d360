#include "controlpanel/model/control_panel_app.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace controlpanel {
namespace {

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "/cpconfig-" + std::to_string(getpid());
    ASSERT_EQ(system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str()), 0);
    path_ = CControlPanelApp::ConfigPathIn(dir_);
  }
  void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  void Write(const std::string& bytes) const { std::ofstream(path_, std::ios::binary) << bytes; }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
  std::string path_;
};

std::string Utf16(const std::string& ascii, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char c : ascii) {
    out += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
  }
  return out;
}

const std::string kSample =
    "<configuration><hostname>srv</hostname><portNbr>8080x</portNbr><useProxy>1</useProxy>"
    "<proxyHost>px</proxyHost><proxyPort>3128</proxyPort></configuration>";

TEST_F(ConfigFile, ReadsEachKindOfInput) {
  const struct Case {
    const char* name;
    std::string bytes;  // empty: no file at all
    bool loaded;
    Settings expected;
  } cases[] = {
      {"root without children", "<configuration/>", true,
       {"", 80, "/QVSOAPSvrCP", "QVSOAPSvrMgr", "QVSOAPSvrMgrPort", false, false, "", 0}},
      {"values, digits then junk", kSample, true,
       {"srv", 8080, "/QVSOAPSvrCP", "QVSOAPSvrMgr", "QVSOAPSvrMgrPort", false, true, "px", 3128}},
      {"a port past the int range saturates",
       "<configuration><portNbr>4294967376</portNbr></configuration>", true,
       {"", 2147483647, "/QVSOAPSvrCP", "QVSOAPSvrMgr", "QVSOAPSvrMgrPort", false, false, "", 0}},
      {"UTF-8 mark and text", "\xEF\xBB\xBF<configuration><hostname>h\xC3\xA9</hostname></configuration>",
       true, {"h\xC3\xA9", 80, "/QVSOAPSvrCP", "QVSOAPSvrMgr", "QVSOAPSvrMgrPort", false, false, "", 0}},
      {"UTF-16LE", Utf16(kSample, false), true,
       {"srv", 8080, "/QVSOAPSvrCP", "QVSOAPSvrMgr", "QVSOAPSvrMgrPort", false, true, "px", 3128}},
      {"UTF-16BE", Utf16(kSample, true), true,
       {"srv", 8080, "/QVSOAPSvrCP", "QVSOAPSvrMgr", "QVSOAPSvrMgrPort", false, true, "px", 3128}},
      // The read stops at the bad switch: what follows keeps its start value.
      {"viewBuffers yes",
       "<configuration><hostname>h</hostname><viewBuffers>yes</viewBuffers>"
       "<proxyHost>px</proxyHost></configuration>",
       false, {"h", 80, "/QVSOAPSvrCP", "QVSOAPSvrMgr", "QVSOAPSvrMgrPort", false, false, "", 0}},
      {"not well-formed", "<configuration>", false, {}},
      {"missing file", "", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(path_.c_str());
    if (!c.bytes.empty()) Write(c.bytes);
    CControlPanelApp app(1000);
    EXPECT_EQ(app.LoadConfig(path_), c.loaded);
    EXPECT_EQ(app.ConfigPath(), c.loaded ? path_ : "");
    const Settings& s = app.GetSettings();
    EXPECT_EQ(s.hostname, c.expected.hostname);
    EXPECT_EQ(s.port, c.expected.port);
    EXPECT_EQ(s.service_uri, c.expected.service_uri);
    EXPECT_EQ(s.wsdl_service_name, c.expected.wsdl_service_name);
    EXPECT_EQ(s.wsdl_port_name, c.expected.wsdl_port_name);
    EXPECT_EQ(s.view_buffers, c.expected.view_buffers);
    EXPECT_EQ(s.use_proxy, c.expected.use_proxy);
    EXPECT_EQ(s.proxy_host, c.expected.proxy_host);
    EXPECT_EQ(s.proxy_port, c.expected.proxy_port);
  }
}

TEST_F(ConfigFile, SavesEverySettingInOrder) {
  Write(kSample);
  CControlPanelApp app(1000);
  ASSERT_TRUE(app.LoadConfig(path_));
  app.GetSettings().hostname = "typed.example";
  app.GetSettings().port = 8081;
  app.GetSettings().proxy_host.clear();
  app.SaveConfig();
  EXPECT_EQ(Read(),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n\r\n<configuration>"
            "\r\n    <hostname>typed.example</hostname>\r\n    <portNbr>8081</portNbr>"
            "\r\n    <svcURI>/QVSOAPSvrCP</svcURI>\r\n    <wsdlServiceName>QVSOAPSvrMgr</wsdlServiceName>"
            "\r\n    <wsdlPortName>QVSOAPSvrMgrPort</wsdlPortName>"
            "\r\n    <viewBuffers>false</viewBuffers>\r\n    <useProxy>true</useProxy>"
            "\r\n    <proxyHost />\r\n    <proxyPort>3128</proxyPort>\r\n</configuration>");
}

TEST_F(ConfigFile, APartlyReadFileIsNeverOverwritten) {
  const std::string bad =
      "<configuration><viewBuffers>yes</viewBuffers><proxyHost>px</proxyHost></configuration>";
  Write(bad);
  CControlPanelApp app(1000);
  EXPECT_FALSE(app.LoadConfig(path_));
  app.GetSettings().hostname = "h";
  app.SaveConfig();
  EXPECT_EQ(Read(), bad);
}

TEST_F(ConfigFile, AFailedWriteKeepsTheOldFile) {
  Write(kSample);
  CControlPanelApp app(1000);
  ASSERT_TRUE(app.LoadConfig(path_));
  app.GetSettings().hostname = std::string(4096, 'h');

  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  app.SaveConfig();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
  signal(SIGXFSZ, old_handler);

  EXPECT_EQ(Read(), kSample);
}

TEST_F(ConfigFile, TheShippedDefaultLoads) {
  CControlPanelApp app(1000);
  ASSERT_TRUE(app.LoadConfig(QV_DEFAULT_CP_CONFIG));
  const Settings& s = app.GetSettings();
  EXPECT_EQ(s.hostname, "localhost");
  EXPECT_EQ(s.port, 80);
  EXPECT_EQ(s.service_uri, "/QVSOAPSvrCP");
  EXPECT_EQ(s.wsdl_service_name, "QVSOAPSvrMgr");
  EXPECT_EQ(s.wsdl_port_name, "QVSOAPSvrMgrPort");
  EXPECT_FALSE(s.view_buffers);
  EXPECT_FALSE(s.use_proxy);
  EXPECT_EQ(s.proxy_host, "");
  EXPECT_EQ(s.proxy_port, 0);
}

// Digests below were computed outside this code base (Python's hashlib).
constexpr char kNonceOfTick01020304[] = "C73CABEB6558ABA030BBA9CA49DCDD75";

std::string Hex(const digestauth::Digest& d) {
  std::string out;
  digestauth::HexEncoder().Encode(d.data(), d.size(), out);
  return out;
}

TEST(DigestClient, ClientNonceIsTheTickHashedLowByteFirst) {
  CControlPanelApp app(1000);
  uint32_t tick = 0x01020304;
  app.SetTickSource([&] { return tick; });
  app.MakeClientNonce();
  EXPECT_EQ(app.Digest().client_nonce, kNonceOfTick01020304);
  // The same tick gives the same nonce; the next one another.
  app.MakeClientNonce();
  EXPECT_EQ(app.Digest().client_nonce, kNonceOfTick01020304);
  ++tick;
  app.MakeClientNonce();
  EXPECT_NE(app.Digest().client_nonce, kNonceOfTick01020304);
  EXPECT_EQ(app.Digest().client_nonce.size(), 32u);
}

TEST(DigestClient, ProofAndServerCheckFollowTheFormulas) {
  CControlPanelApp app(1000);
  app.SetTickSource([] { return 0x01020304u; });
  DigestState& d = app.Digest();
  d.user_id = "alice";
  d.realm = "Quorvel";
  d.password = "secret";
  d.server_nonce = "N1";
  app.MakeClientNonce();
  app.ComputeAuth();
  EXPECT_EQ(Hex(d.client_proof), "916EA778E51D4C906E4ABFC71F891B6B");
  const std::string user_hash = digestauth::UserHash("alice", "Quorvel", "secret");
  EXPECT_EQ(d.client_proof, digestauth::ClientProof(user_hash, "N1", &d.client_nonce));

  // The answer issues N2 and proves it knows the password over N2 and our nonce.
  d.server_nonce = "N2";
  d.server_proof = digestauth::ServerProof(user_hash, "N2", d.client_nonce);
  EXPECT_EQ(Hex(d.server_proof), "49F7B3BC0ECC4A9FF0458368091576FD");
  EXPECT_TRUE(app.VerifyServerAuth());
  const struct {
    const char* name;
    std::function<void(DigestState&)> change;
  } wrong[] = {
      {"last byte", [](DigestState& s) { s.server_proof[15] ^= 1; }},
      {"password", [](DigestState& s) { s.password = "Secret"; }},
      {"stale nonce", [](DigestState& s) { s.server_nonce = "N1"; }},
      {"no proof read", [](DigestState& s) { s.server_proof = {}; }},
  };
  for (const auto& w : wrong) {
    SCOPED_TRACE(w.name);
    const DigestState saved = d;
    w.change(d);
    EXPECT_FALSE(app.VerifyServerAuth());
    d = saved;
  }
}

}  // namespace
}  // namespace controlpanel
