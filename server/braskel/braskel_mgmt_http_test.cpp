// The management endpoint of a running braskel service, called over HTTP with
// the real message object and WSDL reader on the server side: by hand-written
// SOAP requests, and by an independent SOAP client given only the endpoint's
// WSDL document from the server's document root.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "server/braskel/service_registration.h"
#include "server/braskel/testing/braskel_process.h"
#include "server/testing/loopback_client.h"
#include "server/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using server_testing::LoopbackClient;
using server_testing::ReadFile;

const std::string kSource = std::string(kServiceName) + ": ";
const std::string kNs = "urn:quorvel:QVSOAPSvrMgr";
// The interpreter the Debian client library is installed for.
const std::string kPython = "/usr/bin/python3";

// xsd:boolean has two spellings for each value.
bool BoolText(const std::string& s, bool value) {
  return value ? (s == "true" || s == "1") : (s == "false" || s == "0");
}

class BraskelMgmtHttpTest : public server_testing::BraskelProcessTest {
 protected:
  void SetUp() override {
    BraskelProcessTest::SetUp();
    if (HasFatalFailure()) return;
    // The server creates the message object and the WSDL reader by ProgID.
    for (const char* component :
         {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_SOAPSTRUCT_COMPONENT}) {
      const std::string command = std::string(QV_REGCOMP) + " -s " + component;
      ASSERT_EQ(system(command.c_str()), 0) << command;
    }
    fs::create_directories(dir_ / "www" / "wsdl");
    fs::copy_file(QV_MANAGEMENT_WSDL, dir_ / "www" / "wsdl" / "QVSOAPSvrCP.wsdl");
    server_testing::WriteFile(dir_ / "www" / "index.htm", "<p>home</p>");
    WriteConfig(
        "<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>"
        "<numWorkThreads>3</numWorkThreads>"
        "<docBasePath>" +
        (dir_ / "www").string() +
        "</docBasePath><defaultDocument>index.htm</defaultDocument>"
        "<endpointList><endpoint><requestURI>/QVSOAPSvrCP</requestURI><wsdlDocURL>file://" +
        (dir_ / "www" / "wsdl" / "QVSOAPSvrCP.wsdl").string() +
        "</wsdlDocURL><wsdlService>QVSOAPSvrMgr</wsdlService>"
        "<wsdlPort>QVSOAPSvrMgrPort</wsdlPort>"
        "<bodyProcessingProgId>braskel.braskelmgr2</bodyProcessingProgId>"
        "<enabled>true</enabled></endpoint></endpointList>");
    ASSERT_EQ(Run({"-Service"}), 0);
  }

  // Starts the service and returns the port it reports, counting the
  // listening lines already in the event log from an earlier start.
  uint16_t StartService() {
    const std::string prefix = kSource + "Listening on 127.0.0.1:";
    size_t seen = 0;
    for (const std::string& l : EventLines()) seen += l.rfind(prefix, 0) == 0;
    pid_ = Spawn(exe_, {}, std::string(kServiceName));
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      size_t n = 0;
      for (const std::string& l : EventLines()) {
        if (l.rfind(prefix, 0) == 0 && ++n > seen)
          return static_cast<uint16_t>(std::stoi(l.substr(prefix.size())));
      }
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "no listening line in:\n" << ReadFile(eventLog_);
    return 0;
  }

  void StopService() {
    kill(pid_, SIGTERM);
    EXPECT_EQ(Wait(pid_, 60s), 0);
    pid_ = -1;
  }

  static std::string Exchange(uint16_t port, const std::string& request) {
    LoopbackClient c(port);
    EXPECT_TRUE(c.Connected());
    c.Send(request);
    std::string reply = c.ReadAll(20s);
    EXPECT_FALSE(c.TimedOut());
    return reply;
  }

  // Calls `op` with `args` (child elements) and returns the reply's output
  // elements by name; the HTTP status line goes under "status".
  static std::map<std::string, std::string> Call(uint16_t port, const std::string& op,
                                                 const std::string& args = "") {
    const std::string body =
        "<?xml version=\"1.0\"?>"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
        "<SOAP-ENV:Body><m:" +
        op + " xmlns:m=\"" + kNs + "\">" + args + "</m:" + op +
        "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    const std::string reply =
        Exchange(port,
                 "POST /QVSOAPSvrCP HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 "Content-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"" +
                     kNs + "#" + op + "\"\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n" + body);
    std::map<std::string, std::string> out;
    out["status"] = reply.substr(0, reply.find("\r\n"));
    out["raw"] = reply;
    // Leaf elements without a prefix: the reply's output accessors.
    for (size_t open = reply.find('<'); open != std::string::npos;
         open = reply.find('<', open + 1)) {
      const size_t nameEnd = reply.find_first_of(" >", open + 1);
      const size_t gt = reply.find('>', open);
      if (nameEnd == std::string::npos || gt == std::string::npos) break;
      const std::string name = reply.substr(open + 1, nameEnd - open - 1);
      if (name.empty() || name.find_first_of(":/?!") != std::string::npos) continue;
      const size_t close = reply.find("</" + name + ">", gt);
      if (close == std::string::npos) continue;
      const std::string text = reply.substr(gt + 1, close - gt - 1);
      if (text.find('<') == std::string::npos) out[name] = text;
    }
    return out;
  }
};

TEST_F(BraskelMgmtHttpTest, StatisticsMoveWithTrafficAndParamsAreTheConfigured) {
  const uint16_t port = StartService();
  ASSERT_NE(port, 0);
  auto params = Call(port, "GetServerParams");
  ASSERT_EQ(params["status"], "HTTP/1.1 200 OK") << params["raw"] << ReadFile(eventLog_);
  EXPECT_TRUE(BoolText(params["Result"], true)) << params["raw"];
  EXPECT_EQ(params["ListenPort"], "0");
  EXPECT_EQ(params["NumWorkThreads"], "3");

  auto before = Call(port, "GetServerStats");
  ASSERT_TRUE(BoolText(before["Result"], true)) << before["raw"];
  // Three pages and a request of an unsupported HTTP version: connections
  // and bytes sent move, and the refused version counts as an HTTP error.
  for (int i = 0; i < 3; ++i) {
    const std::string page =
        Exchange(port, "GET /index.htm HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(page.substr(0, page.find("\r\n")).substr(8), " 200 OK") << page;
  }
  const std::string refused = Exchange(port, "GET /index.htm HTTP/3.0\r\n\r\n");
  EXPECT_NE(refused.find(" 505 "), std::string::npos) << refused;
  auto after = Call(port, "GetServerStats");
  ASSERT_TRUE(BoolText(after["Result"], true)) << after["raw"];
  EXPECT_GE(std::stol(after["NumConnects"]), std::stol(before["NumConnects"]) + 4);
  EXPECT_GT(std::stol(after["NumBytesSent"]), std::stol(before["NumBytesSent"]));
  EXPECT_GE(std::stol(after["NumHTTPErrors"]), std::stol(before["NumHTTPErrors"]) + 1);
  StopService();
}

TEST_F(BraskelMgmtHttpTest, LogSettingsChangedAreReadBackAndSurviveARestart) {
  uint16_t port = StartService();
  ASSERT_NE(port, 0);
  const std::string log = (dir_ / "managed-server.log").string();
  auto set = Call(port, "SetLogSettings",
                  "<ServerLogPath>" + log +
                      "</ServerLogPath><UserAgentLogPath></UserAgentLogPath>"
                      "<SOAPTraceLogPath></SOAPTraceLogPath>"
                      "<ServerLogEnabled>true</ServerLogEnabled>"
                      "<UserAgentLogEnabled>false</UserAgentLogEnabled>"
                      "<SOAPTraceLogEnabled>false</SOAPTraceLogEnabled>");
  ASSERT_EQ(set["status"], "HTTP/1.1 200 OK") << set["raw"];
  EXPECT_TRUE(BoolText(set["Result"], true)) << set["raw"];
  auto got = Call(port, "GetLogSettings");
  EXPECT_EQ(got["ServerLogPath"], log) << got["raw"];
  EXPECT_TRUE(BoolText(got["ServerLogEnabled"], true));
  EXPECT_TRUE(BoolText(got["UserAgentLogEnabled"], false));
  StopService();

  EXPECT_NE(ReadFile(dir_ / "brevla-config.xml").find("<serverLogPath>" + log + "<"),
            std::string::npos);
  port = StartService();
  ASSERT_NE(port, 0);
  got = Call(port, "GetLogSettings");
  EXPECT_EQ(got["ServerLogPath"], log) << got["raw"];
  EXPECT_TRUE(BoolText(got["ServerLogEnabled"], true));
  StopService();
}

// An independent SOAP client, given only the WSDL document the server serves,
// reads the statistics and the parameters.
TEST_F(BraskelMgmtHttpTest, IndependentClientReadsStatisticsAndParameters) {
  if (system((kPython + " -c 'import suds' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "python3-suds is not installed";
  const uint16_t port = StartService();
  ASSERT_NE(port, 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  const std::string command = kPython + " " + QV_SUDS_SCRIPT + " " + base +
                              "/wsdl/QVSOAPSvrCP.wsdl " + base + "/QVSOAPSvrCP 2>&1";
  std::string output;
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) output.append(buf, n);
  EXPECT_EQ(pclose(p), 0) << output;
  for (const char* line : {"GetServerStats.Result=True", "GetServerParams.Result=True",
                           "GetServerParams.NumWorkThreads=3", "GetServerParams.ListenPort=0"}) {
    EXPECT_NE(output.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << output;
  }
  EXPECT_NE(output.find("GetServerStats.NumConnects="), std::string::npos) << output;
  StopService();
}

}  // namespace
}  // namespace server
