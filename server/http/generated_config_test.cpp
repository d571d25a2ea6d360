// The configuration generator and the server agree on the file: what cuvrel
// writes loads whole, and saving what was loaded gives the same bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/http/config.h"
#include "server/http/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;
using server_testing::FreshTestDir;
using server_testing::ReadFile;
using server_testing::RunCommand;

TEST(GeneratedConfigTest, ServerLoadsEverySettingEndpointAndTypeAndSavesTheSameBytes) {
  const fs::path dir = FreshTestDir("generated-config");
  const fs::path exe = dir / "cuvrel";
  fs::copy_file(CUVREL_PATH, exe);
  int status = -1;
  EXPECT_EQ(RunCommand("'" + exe.string() + "'", &status), dir.string());
  ASSERT_EQ(status, 0);
  const std::string file = (dir / kConfigFileName).string();

  ServerConfig config;
  std::vector<std::string> notes;
  ASSERT_TRUE(LoadConfig(file, "/elsewhere", &config, &notes));
  EXPECT_TRUE(notes.empty()) << notes.front();

  ServerSettings settings;
  settings.listenAddress = "";
  settings.listenPort = 80;
  settings.numWorkThreads = 8;
  settings.maxClients = 16;
  settings.clientTimeout = 60;
  settings.watchdogInterval = 15;
  settings.wsdlCacheSize = 20;
  settings.enableNameLookup = false;
  settings.logRotationIntervalMs = 0;
  EXPECT_EQ(config.settings, settings);

  const ConfigSnapshot& c = config.snapshot;
  EXPECT_EQ(c.docBasePath, dir.string() + "/docroot/");
  EXPECT_EQ(c.defaultDocument, "default.htm");
  LogSettings logs;
  logs.enable_server_log = true;
  logs.server_log_path = dir.string() + "/logs/server.log";
  logs.trace_log_path = dir.string() + "/logs/trace.log";
  logs.user_agent_log_path = dir.string() + "/logs/useragent.log";
  EXPECT_EQ(c.logs, logs);
  EXPECT_EQ(c.mimeMap, BuiltInMimeMap());

  std::vector<std::string> uris;
  for (const auto& [uri, ep] : c.endpoints) {
    uris.push_back(uri);
    EXPECT_TRUE(ep.enabled) << uri;
    EXPECT_FALSE(ep.wildcard || ep.enableLoopback || ep.enableExplicitTyping || ep.enableNodeType)
        << uri;
  }
  EXPECT_EQ(uris, (std::vector<std::string>{
                      "/QVSOAPSvrCP", "/digauthtest", "/dime-rpc/tandrel", "/echohdr", "/interop",
                      "/interop/wsrouter/endpoint", "/interop/wsrouter/intermediary", "/interopB",
                      "/interopdoc", "/soap12/test-doc", "/soap12/test-intermediary",
                      "/soap12/test-rpc", "/soap12/test-rpc-lit", "/test-rpc-lit"}));

  EndpointInfo intermediary;
  intermediary.requestURI = "/soap12/test-intermediary";
  intermediary.wsdlDocURL = "file://" + dir.string() + "/docroot/wsdl/qv_ws-rp_int.wsdl";
  intermediary.wsdlService = u"interopRoutingSvc";
  intermediary.wsdlPort = u"interopRoutingSoap12Port";
  intermediary.headerProcessingProgIds = {u"nimbor.doc"};
  intermediary.roles = {u"http://example.org/ts-tests/B"};
  intermediary.nodeURI = u"http://localhost/soap12/test-intermediary";
  intermediary.nextHopURL = u"http://localhost/soap12/test-doc";
  intermediary.enabled = true;
  EXPECT_EQ(c.endpoints.at("/soap12/test-intermediary"), intermediary);

  const fs::path saved = dir / "saved.xml";
  std::string error;
  ASSERT_TRUE(SaveConfig(saved.string(), config.settings, c, &error)) << error;
  EXPECT_EQ(ReadFile(saved), ReadFile(file));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace server
