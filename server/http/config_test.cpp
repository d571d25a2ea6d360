#include "server/http/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <initializer_list>
#include <string>

#include "server/http/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;

std::string Crlf(std::initializer_list<const char*> lines) {
  std::string out;
  for (const char* l : lines) {
    if (!out.empty()) out += "\r\n";
    out += l;
  }
  return out;
}

// A file in exactly the form SaveConfig writes, every field set.
const std::string kFullFile = Crlf({
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
    "",
    "<configuration>",
    "    <listenAddress>127.0.0.1</listenAddress>",
    "    <listenPort>8080</listenPort>",
    "    <numWorkThreads>4</numWorkThreads>",
    "    <maxClients>32</maxClients>",
    "    <clientTimeout>-7</clientTimeout>",
    "    <watchdogInterval>4294967295</watchdogInterval>",
    "    <wsdlCacheSize>5</wsdlCacheSize>",
    "    <enableNameLookup>true</enableNameLookup>",
    "    <docBasePath>/srv/a&amp;b &lt;c&gt;/</docBasePath>",
    "    <defaultDocument>index.html</defaultDocument>",
    "    <enableServerLog>true</enableServerLog>",
    "    <serverLogPath>/var/log/q/server.log</serverLogPath>",
    "    <enableTraceLog>false</enableTraceLog>",
    "    <traceLogPath />",
    "    <enableUserAgentLog>true</enableUserAgentLog>",
    "    <userAgentLogPath>/var/log/q/agent.log</userAgentLogPath>",
    "    <logRotationInterval>24</logRotationInterval>",
    "    <endpointList>",
    "        <endpoint>",
    "            <requestURI>/interop/*</requestURI>",
    "            <wsdlService>\xC3\x9Cnicode Service</wsdlService>",
    "            <wsdlPort>EchoPort</wsdlPort>",
    "            <wsdlDocURL>file:///srv/echo.wsdl</wsdlDocURL>",
    "            <bodyProcessingProgId>echo.body.1</bodyProcessingProgId>",
    "            <headerProcessingProgIds>",
    "                <progId>hdr.first</progId>",
    "                <progId>hdr.second</progId>",
    "            </headerProcessingProgIds>",
    "            <roles>",
    "                <uri>urn:role:a</uri>",
    "            </roles>",
    "            <nodeURI>urn:node</nodeURI>",
    "            <nextHopURL>http://127.0.0.1:9/next</nextHopURL>",
    "            <enabled>true</enabled>",
    "            <enableExplicitTyping>true</enableExplicitTyping>",
    "            <enableNodeType>false</enableNodeType>",
    "            <enableLoopback>true</enableLoopback>",
    "        </endpoint>",
    "        <endpoint>",
    "            <requestURI>/manage</requestURI>",
    "            <wsdlService>Mgr</wsdlService>",
    "            <wsdlPort>MgrPort</wsdlPort>",
    "            <wsdlDocURL>mgr.wsdl</wsdlDocURL>",
    "            <bodyProcessingProgId>braskel.braskelmgr2</bodyProcessingProgId>",
    "            <headerProcessingProgIds />",
    "            <roles />",
    "            <nodeURI />",
    "            <nextHopURL />",
    "            <enabled>false</enabled>",
    "            <enableExplicitTyping>false</enableExplicitTyping>",
    "            <enableNodeType>true</enableNodeType>",
    "        </endpoint>",
    "    </endpointList>",
    "    <mimeMappings>",
    "        <item>",
    "            <extension>.HTM</extension>",
    "            <mimeType>text/html</mimeType>",
    "        </item>",
    "        <item>",
    "            <extension>.WSDL</extension>",
    "            <mimeType>text/xml; charset=\"utf-8\"</mimeType>",
    "        </item>",
    "    </mimeMappings>",
    "</configuration>",
});

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = server_testing::FreshTestDir("qvconfig"); }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const char* name = kConfigFileName) const { return (dir_ / name).string(); }

  void Write(const std::string& text, const char* name = kConfigFileName) const {
    server_testing::WriteFile(Path(name), text);
  }
  std::string Read(const char* name = kConfigFileName) const {
    return server_testing::ReadFile(Path(name));
  }
  // Loads `body` wrapped in a configuration root.
  bool LoadBody(const std::string& body, ServerConfig* config,
                std::vector<std::string>* notes = nullptr) {
    Write("<configuration>" + body + "</configuration>");
    return LoadConfig(Path(), "/opt/q", config, notes);
  }

  fs::path dir_;
};

TEST_F(ConfigTest, RoundTripIsByteExact) {
  Write(kFullFile);
  ServerConfig c;
  ASSERT_TRUE(LoadConfig(Path(), "/opt/q", &c, nullptr));

  const ServerSettings& s = c.settings;
  EXPECT_EQ(s.listenAddress, "127.0.0.1");
  EXPECT_EQ(s.listenPort, 8080);
  EXPECT_EQ(s.numWorkThreads, 4);
  EXPECT_EQ(s.maxClients, 32);
  EXPECT_EQ(s.clientTimeout, -7);
  EXPECT_EQ(s.watchdogInterval, 4294967295u);
  EXPECT_EQ(s.wsdlCacheSize, 5);
  EXPECT_TRUE(s.enableNameLookup);
  EXPECT_EQ(s.logRotationIntervalMs, 24u * 3'600'000u);
  EXPECT_EQ(c.snapshot.docBasePath, "/srv/a&b <c>/");
  EXPECT_EQ(c.snapshot.defaultDocument, "index.html");
  LogSettings logs;
  logs.enable_server_log = true;
  logs.server_log_path = "/var/log/q/server.log";
  logs.enable_user_agent_log = true;
  logs.user_agent_log_path = "/var/log/q/agent.log";
  EXPECT_EQ(c.snapshot.logs, logs);
  ASSERT_EQ(c.snapshot.endpoints.size(), 2u);
  const EndpointInfo& interop = c.snapshot.endpoints.at("/interop");
  EXPECT_TRUE(interop.wildcard);
  EXPECT_EQ(interop.requestURI, "/interop");
  EXPECT_EQ(interop.wsdlService, u"\u00DCnicode Service");
  EXPECT_EQ(interop.headerProcessingProgIds,
            (std::vector<std::u16string>{u"hdr.first", u"hdr.second"}));
  EXPECT_EQ(interop.roles, (std::vector<std::u16string>{u"urn:role:a"}));
  EXPECT_TRUE(interop.enabled && interop.enableExplicitTyping && interop.enableLoopback);
  EXPECT_FALSE(interop.enableNodeType);
  const EndpointInfo& manage = c.snapshot.endpoints.at("/manage");
  EXPECT_FALSE(manage.wildcard || manage.enabled || manage.enableLoopback);
  EXPECT_TRUE(manage.enableNodeType);
  EXPECT_TRUE(manage.headerProcessingProgIds.empty());
  EXPECT_EQ(c.snapshot.mimeMap,
            (MimeMap{{".HTM", "text/html"}, {".WSDL", "text/xml; charset=\"utf-8\""}}));

  const std::string copy = Path("copy.xml");
  ASSERT_TRUE(SaveConfig(copy, c.settings, c.snapshot));
  EXPECT_EQ(Read("copy.xml"), kFullFile);
  EXPECT_EQ(BuildConfigText(c.settings, c.snapshot), kFullFile);

  ServerConfig again;
  ASSERT_TRUE(LoadConfig(copy, "/elsewhere", &again, nullptr));
  EXPECT_EQ(again.settings, c.settings);
  EXPECT_EQ(again.snapshot, c.snapshot);
}

TEST_F(ConfigTest, EmptyRootGivesDefaults) {
  ServerConfig c;
  c.settings.listenPort = 1;  // every default must be applied, not kept
  c.settings.maxClients = 1;
  ASSERT_TRUE(LoadBody("", &c));
  EXPECT_EQ(c.settings, ServerSettings{});
  EXPECT_EQ(c.settings.listenPort, 80);
  EXPECT_EQ(c.settings.numWorkThreads, 8);
  EXPECT_EQ(c.settings.maxClients, 16);
  EXPECT_EQ(c.settings.clientTimeout, 60);
  EXPECT_EQ(c.settings.watchdogInterval, 30u);
  EXPECT_EQ(c.settings.wsdlCacheSize, 20);
  EXPECT_EQ(c.settings.logRotationIntervalMs, 0u);
  EXPECT_EQ(c.snapshot.docBasePath, "/opt/q/docroot/");
  EXPECT_EQ(c.snapshot.defaultDocument, "default.htm");
  EXPECT_EQ(c.snapshot.logs, LogSettings{});
  EXPECT_EQ(c.snapshot.mimeMap, BuiltInMimeMap());
  EXPECT_EQ(c.snapshot.mimeMap.size(), 18u);
  EXPECT_EQ(c.snapshot.mimeMap.at(".PS"), "application/postscript");
  EXPECT_TRUE(c.snapshot.endpoints.empty());
}

TEST_F(ConfigTest, UnreadableFilesFail) {
  ServerConfig c;
  EXPECT_FALSE(LoadConfig(Path(), "/opt/q", &c, nullptr)) << "missing file";
  Write("<configuration><listenPort>1</listenPort>");
  EXPECT_FALSE(LoadConfig(Path(), "/opt/q", &c, nullptr)) << "unclosed root";
  Write("");
  EXPECT_FALSE(LoadConfig(Path(), "/opt/q", &c, nullptr)) << "empty file";
  Write("<configuration>" + std::string(kMaxConfigFileBytes, ' ') + "</configuration>");
  EXPECT_FALSE(LoadConfig(Path(), "/opt/q", &c, nullptr)) << "oversized file";
}

TEST_F(ConfigTest, BadServerBooleanFailsAfterEarlierSettings) {
  ServerConfig c;
  c.settings.logRotationIntervalMs = 7;
  std::vector<std::string> notes;
  EXPECT_FALSE(
      LoadBody("<logRotationInterval>2</logRotationInterval>"
               "<enableTraceLog>TRUE</enableTraceLog><maxClients>3</maxClients>",
               &c, &notes));
  EXPECT_EQ(notes, (std::vector<std::string>{"enableTraceLog is not one of 1, true, 0, false"}));
  EXPECT_EQ(c.settings.maxClients, 3) << "read before the bad boolean";
  EXPECT_EQ(c.settings.logRotationIntervalMs, 7u) << "read after it";
  EXPECT_FALSE(LoadBody("<enableNameLookup>yes</enableNameLookup>", &c));
  EXPECT_FALSE(LoadBody("<enableServerLog></enableServerLog>", &c));
}

TEST_F(ConfigTest, NumbersKeepTheirLiteralReading) {
  struct Case {
    const char* body;
    int port, workers, clients;
    uint32_t watchdog, rotationMs;
  };
  const Case cases[] = {
      {"<listenPort>abc</listenPort>", 0, 8, 16, 30, 0},
      {"<listenPort> 70000x</listenPort><numWorkThreads>-3</numWorkThreads>", 70000, -3, 16, 30, 0},
      {"<maxClients>0</maxClients><watchdogInterval>0</watchdogInterval>", 80, 8, 0, 0, 0},
      {"<watchdogInterval>99999999999</watchdogInterval>", 80, 8, 16, 0xFFFFFFFF, 0},
      {"<logRotationInterval>5000</logRotationInterval>", 80, 8, 16, 30, 1193u * 3'600'000u},
      {"<logRotationInterval>1193</logRotationInterval>", 80, 8, 16, 30, 1193u * 3'600'000u},
      {"<logRotationInterval>1</logRotationInterval>", 80, 8, 16, 30, 3'600'000u},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.body);
    ServerConfig c;
    ASSERT_TRUE(LoadBody(k.body, &c));
    EXPECT_EQ(c.settings.listenPort, k.port);
    EXPECT_EQ(c.settings.numWorkThreads, k.workers);
    EXPECT_EQ(c.settings.maxClients, k.clients);
    EXPECT_EQ(c.settings.watchdogInterval, k.watchdog);
    EXPECT_EQ(c.settings.logRotationIntervalMs, k.rotationMs);
  }
}

TEST_F(ConfigTest, RotationAboveLimitIsSavedAsLimit) {
  ServerConfig c;
  ASSERT_TRUE(LoadBody("<logRotationInterval>5000</logRotationInterval>", &c));
  EXPECT_NE(BuildConfigText(c.settings, c.snapshot)
                .find("<logRotationInterval>1193</logRotationInterval>"),
            std::string::npos);
}

TEST_F(ConfigTest, SettingsThatCannotServeAreNoted) {
  ServerConfig c;
  std::vector<std::string> notes;
  ASSERT_TRUE(
      LoadBody("<listenPort>70000</listenPort><numWorkThreads>0</numWorkThreads>"
               "<maxClients>-1</maxClients>",
               &c, &notes));
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0], "listenPort 70000 is outside 0..65535: no listening socket");
  EXPECT_EQ(notes[1], "numWorkThreads is 0: accepted connections will not be served");
  EXPECT_EQ(notes[2], "maxClients is -1: every connection will be refused");

  notes.clear();
  ASSERT_TRUE(LoadBody("<listenPort>0</listenPort>", &c, &notes));
  EXPECT_TRUE(notes.empty());
}

const char* const kEndpointTail =
    "<wsdlDocURL>u</wsdlDocURL><wsdlService>s</wsdlService><wsdlPort>p</wsdlPort>"
    "<bodyProcessingProgId>b</bodyProcessingProgId>";

std::string Endpoint(const std::string& uri, const std::string& extra = "") {
  return "<endpoint><requestURI>" + uri + "</requestURI>" + kEndpointTail + extra + "</endpoint>";
}

TEST_F(ConfigTest, EndpointRecords) {
  ServerConfig c;
  ASSERT_TRUE(LoadBody("<endpointList>" + Endpoint("/a/*", "<enabled>1</enabled>") +
                           Endpoint("/a") + Endpoint("/yes", "<enabled>yes</enabled>") +
                           Endpoint("/loop", "<enableLoopback>maybe</enableLoopback>") +
                           "<endpoint><requestURI>/nobody</requestURI><wsdlDocURL>u</wsdlDocURL>"
                           "<wsdlService>s</wsdlService><wsdlPort>p</wsdlPort></endpoint>" +
                           Endpoint("/lists",
                                    "<headerProcessingProgIds><progId>h1</progId><other>x</other>"
                                    "<progId>h2</progId></headerProcessingProgIds>"
                                    "<roles><uri>r1</uri><role>no</role></roles>") +
                           Endpoint("/*") + Endpoint("*") + "</endpointList>" + "<endpointList>" +
                           Endpoint("/second-list") + "</endpointList>",
                       &c));
  const EndpointTable& t = c.snapshot.endpoints;
  std::vector<std::string> keys;
  for (const auto& [k, v] : t) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "*", "/a", "/lists", "/second-list"}));

  EXPECT_TRUE(t.at("/a").wildcard) << "the first in the file keeps the key";
  EXPECT_TRUE(t.at("/a").enabled);
  EXPECT_TRUE(t.at("").wildcard);
  EXPECT_FALSE(t.at("*").wildcard);
  EXPECT_EQ(t.at("/lists").headerProcessingProgIds, (std::vector<std::u16string>{u"h1", u"h2"}));
  EXPECT_EQ(t.at("/lists").roles, (std::vector<std::u16string>{u"r1"}));

  // Saving writes "/*" back only for the wildcard one, keys in order.
  const std::string text = BuildConfigText(c.settings, c.snapshot);
  EXPECT_NE(text.find("<requestURI>/a/*</requestURI>"), std::string::npos);
  EXPECT_NE(text.find("<requestURI>/*</requestURI>"), std::string::npos);
  EXPECT_LT(text.find("<requestURI>/*</requestURI>"), text.find("<requestURI>*</requestURI>"));
  EXPECT_EQ(text.find("enableLoopback"), std::string::npos);
}

TEST_F(ConfigTest, MimeMapping) {
  ServerConfig c;
  ASSERT_TRUE(
      LoadBody("<mimeMappings>"
               "<item><extension>.svg</extension><mimeType>image/svg+xml</mimeType></item>"
               "<item><extension>.Svg</extension><mimeType>text/plain</mimeType></item>"
               "<item><extension>.nomime</extension></item>"
               "<item><mimeType>x/noext</mimeType></item>"
               "<item><extension>.\xC3\xA9t\xC3\xA9</extension><mimeType>x/y</mimeType></item>"
               "</mimeMappings>",
               &c));
  EXPECT_EQ(c.snapshot.mimeMap,
            (MimeMap{{".SVG", "image/svg+xml"}, {".\xC3\xA9T\xC3\xA9", "x/y"}}));

  // Items that are all invalid still replace the built-in table.
  ASSERT_TRUE(LoadBody("<mimeMappings><item><extension>.a</extension></item></mimeMappings>", &c));
  EXPECT_TRUE(c.snapshot.mimeMap.empty());
  // A list without items does not.
  ASSERT_TRUE(LoadBody("<mimeMappings><entry /></mimeMappings>", &c));
  EXPECT_EQ(c.snapshot.mimeMap, BuiltInMimeMap());
}

TEST_F(ConfigTest, RereadingReordersAndWritesEveryElement) {
  ServerConfig c;
  ASSERT_TRUE(LoadBody("<endpointList>" + Endpoint("/z") + Endpoint("/b") + "</endpointList>", &c));
  ASSERT_TRUE(SaveConfig(Path(), c.settings, c.snapshot));
  const std::string text = Read();
  EXPECT_LT(text.find("/b"), text.find("/z"));
  for (const char* e :
       {"<listenAddress />", "<serverLogPath />", "<nodeURI />", "<nextHopURL />", "<roles />",
        "<enableNodeType>false</enableNodeType>", "<extension>.GIF</extension>"}) {
    EXPECT_NE(text.find(e), std::string::npos) << e;
  }
  // A second round changes nothing: spacing read between elements is dropped.
  ServerConfig again;
  ASSERT_TRUE(LoadConfig(Path(), "/opt/q", &again, nullptr));
  ASSERT_TRUE(SaveConfig(Path(), again.settings, again.snapshot));
  EXPECT_EQ(Read(), text);
}

TEST_F(ConfigTest, SaveReplacesTheFileWhole) {
  Write("old");
  chmod(Path().c_str(), 0640);
  ServerConfig c;
  ASSERT_TRUE(SaveConfig(Path(), c.settings, c.snapshot));
  EXPECT_EQ(Read(), BuildConfigText(c.settings, c.snapshot));
  struct stat st {};
  ASSERT_EQ(stat(Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << "permissions of the old file are kept";
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 1u) << "no temporary file is left behind";
}

// A configuration kept elsewhere and linked into place: saving writes the
// file the link names, and the link stays a link.
TEST_F(ConfigTest, SaveThroughALinkReplacesItsTarget) {
  fs::create_directories(dir_ / "real");
  const fs::path target = dir_ / "real" / "conf.xml";
  server_testing::WriteFile(target, "old");
  fs::create_symlink("real/conf.xml", Path());  // relative, from the link's folder
  ServerConfig c;
  ASSERT_TRUE(SaveConfig(Path(), c.settings, c.snapshot));
  EXPECT_TRUE(fs::is_symlink(Path()));
  EXPECT_EQ(server_testing::ReadFile(target), BuildConfigText(c.settings, c.snapshot));

  fs::remove(Path());
  fs::create_symlink(kConfigFileName, Path());  // a loop is refused
  std::string error;
  EXPECT_FALSE(SaveConfig(Path(), c.settings, c.snapshot, &error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
}

TEST_F(ConfigTest, SaveFailureIsReportedAndKeepsTheOldFile) {
  ServerConfig c;
  std::string error;
  const std::string missingDir = (dir_ / "gone" / kConfigFileName).string();
  EXPECT_FALSE(SaveConfig(missingDir, c.settings, c.snapshot, &error));
  EXPECT_NE(error.find("gone"), std::string::npos) << error;

  // The target is a directory: the rename fails and the temporary file goes.
  fs::create_directories(Path());
  fs::create_directories(dir_ / "x" / "keep");
  error.clear();
  EXPECT_FALSE(SaveConfig(Path(), c.settings, c.snapshot, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(fs::is_directory(Path()));
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 2u);
}

TEST(ConfigValues, ListenPort) {
  const std::pair<int, std::optional<uint16_t>> cases[] = {{0, 0},
                                                           {80, 80},
                                                           {65535, 65535},
                                                           {65536, std::nullopt},
                                                           {70000, std::nullopt},
                                                           {-1, std::nullopt}};
  for (const auto& [configured, expected] : cases) {
    EXPECT_EQ(ListenPortFor(configured), expected) << configured;
  }
}

TEST(ConfigValues, WatchdogPeriod) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {0, kMinTimerPeriodMs},         {30, 30'000},
      {2'147'483, 2'147'483'000},     {2'147'484, kMaxTimerPeriodMs},
      {4'294'967, kMaxTimerPeriodMs}, {4'294'967'295u, kMaxTimerPeriodMs}};
  for (const auto& [seconds, ms] : cases) EXPECT_EQ(WatchdogPeriodMs(seconds), ms) << seconds;
}

TEST(ConfigValues, Directories) {
  EXPECT_EQ(ExecutableDirectory("/opt/q/braskel"), "/opt/q");
  EXPECT_EQ(ExecutableDirectory("/braskel"), "/");
  EXPECT_EQ(ExecutableDirectory("braskel"), ".");
  EXPECT_EQ(DefaultDocBasePath("/opt/q"), "/opt/q/docroot/");
  EXPECT_EQ(DefaultDocBasePath("/"), "/docroot/");
}

}  // namespace
}  // namespace server
