// The management class as the server's RPC invoker reaches it: created by
// ProgID from the class object this process registered, called by name with
// the decoded parameters, its results written back into the message.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "interfaces/braskelmgr.h"
#include "platform/com/activation.h"
#include "platform/com/module.h"
#include "platform/com/remote/remote.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "server/soap/management.h"
#include "server/soap/rpc_invoker.h"
#include "server/soap/soap_server.h"
#include "server/soap/testing/scripted_message.h"
#include "server/http/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;
using server_testing::ScriptedMessage;
using server_testing::SummaryMessage;
using server_testing::FakeParam;

SoapServer* g_server = nullptr;  // what the registered class object serves

HRESULT CreateForRunningServer(IUnknown* outer, REFIID iid, void** object) {
  if (outer) return CLASS_E_NOAGGREGATION;
  return CreateManagementObject(g_server, iid, object);
}

class ManagementInvokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    // Only the ProgID is registered: the class object comes from this process.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "braskel.braskelmgr2\\CLSID", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::string clsid = com::GuidToRegistryString(CLSID_braskelmgr2);
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid.c_str()),
                             DWORD(clsid.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);

    dir_ = server_testing::FreshTestDir("qvmgmtinvoke");
    server_testing::WriteFile(dir_ / kConfigFileName,
                              "<configuration><listenAddress>127.0.0.1</listenAddress>"
                              "<listenPort>0</listenPort><numWorkThreads>2</numWorkThreads>"
                              "<clientTimeout>17</clientTimeout></configuration>");
    server_ = std::make_unique<SoapServer>((dir_ / "braskel").string(), [](const std::string&) {});
    server_->SetStartPauseForTest(std::chrono::milliseconds(0));
    ASSERT_TRUE(server_->InitServer());
    g_server = server_.get();
    ComPtr<com::ClassFactory> factory =
        com::MakeComObject<com::ClassFactory>(CreateForRunningServer);
    ASSERT_EQ(CoRegisterClassObject(CLSID_braskelmgr2, factory.Get(), CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie_),
              S_OK);
  }
  void TearDown() override {
    if (cookie_) CoRevokeClassObject(cookie_);
    g_server = nullptr;
    server_.reset();
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "braskel.braskelmgr2");
    CoUninitialize();
    fs::remove_all(dir_);
  }

  static FakeParam Param(std::u16string name, Variant value, bool in, bool out) {
    FakeParam p;
    p.name = std::move(name);
    p.value = std::move(value);
    p.in = in;
    p.out = out;
    return p;
  }

  fs::path dir_;
  std::unique_ptr<SoapServer> server_;
  DWORD cookie_ = 0;
};

TEST_F(ManagementInvokeTest, OutParametersAndResultComeBackByName) {
  ComPtr<ScriptedMessage> message = SummaryMessage();
  message->rpc = true;
  message->method = u"GetServerParams";
  // Decoded in another order than the method declares them.
  for (const char16_t* name :
       {u"WatchdogTimer", u"ClientTimeout", u"ListenPort", u"NumClientConn", u"NumWorkThreads"}) {
    message->params.push_back(Param(name, Variant(), false, true));
  }
  RpcInvoker invoker;
  ASSERT_TRUE(ProcessRpcBody(invoker, u"braskel.braskelmgr2", message.Get()));
  EXPECT_FALSE(message->HasFault());
  ASSERT_TRUE(message->returnSet);
  EXPECT_EQ(message->returnValue.vt, VT_BOOL);
  EXPECT_EQ(message->returnValue.boolVal, VARIANT_TRUE);
  ASSERT_EQ(message->outParams.size(), 5u);
  int checked = 0;
  for (const FakeParam& p : message->outParams) {
    if (p.name == u"ClientTimeout") {
      EXPECT_EQ(p.value.lVal, 17);
      ++checked;
    } else if (p.name == u"NumWorkThreads") {
      EXPECT_EQ(p.value.lVal, 2);
      ++checked;
    }
  }
  EXPECT_EQ(checked, 2);
}

TEST_F(ManagementInvokeTest, InParametersChangeTheRunningServer) {
  ComPtr<ScriptedMessage> message = SummaryMessage();
  message->rpc = true;
  message->method = u"SetLogSettings";
  const std::string log = (dir_ / "invoked.log").string();
  message->params.push_back(Param(u"SOAPTraceLogEnabled", Variant::FromBool(false), true, false));
  message->params.push_back(
      Param(u"ServerLogPath", Variant::FromText(text::Widen(log)), true, false));
  message->params.push_back(Param(u"UserAgentLogPath", Variant::FromText(u""), true, false));
  message->params.push_back(Param(u"SOAPTraceLogPath", Variant::FromText(u""), true, false));
  message->params.push_back(Param(u"ServerLogEnabled", Variant::FromBool(true), true, false));
  message->params.push_back(Param(u"UserAgentLogEnabled", Variant::FromBool(false), true, false));
  RpcInvoker invoker;
  ASSERT_TRUE(ProcessRpcBody(invoker, u"braskel.braskelmgr2", message.Get()));
  EXPECT_EQ(message->returnValue.boolVal, VARIANT_TRUE);
  EXPECT_EQ(server_->Config()->logs.server_log_path, log);
  EXPECT_TRUE(server_->Config()->logs.enable_server_log);
  EXPECT_TRUE(fs::exists(log));
}

}  // namespace
}  // namespace server
