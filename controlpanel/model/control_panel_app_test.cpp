#include "controlpanel/model/control_panel_app.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "client/testing/message_testing.h"
#include "client/testing/client_testing.h"
#include "interfaces/soapstruct.h"
#include "platform/text/text.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"

namespace controlpanel {
namespace {

[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(
    new client::testing::ComponentEnvironment(
        {QV_SOAPSTRUCT_COMPONENT, QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT}));

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

// A fixed tick and a known log-on, so the digests are the ones above.
void KnownLogOn(CControlPanelApp& app) {
  app.SetTickSource([] { return 0x01020304u; });
  DigestState& d = app.Digest();
  d.user_id = "alice";
  d.realm = "Quorvel";
  d.password = "secret";
  d.server_nonce = "N1";
}

TEST(DigestClient, ProofAndServerCheckFollowTheFormulas) {
  CControlPanelApp app(1000);
  DigestState& d = app.Digest();
  KnownLogOn(app);
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

// A struct object of the registered component with the given members.
ComPtr<ISoapStruct> Struct(std::initializer_list<std::pair<std::u16string, Variant*>> members) {
  ComPtr<ISoapStruct> s;
  EXPECT_EQ(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_INPROC_SERVER, ISoapStruct::kIid,
                             s.ReceiveVoid()),
            S_OK);
  for (const auto& [name, value] : members) {
    const Bstr n(name);
    VARIANT_BOOL ok = VARIANT_FALSE;
    s->SetMember(n.Get(), *value, &ok);
    EXPECT_EQ(ok, VARIANT_TRUE);
  }
  return s;
}

Variant Bytes(size_t n, uint8_t fill) {
  Variant v;
  v.vt = VT_ARRAY | VT_UI1;
  v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n));
  std::fill_n(static_cast<uint8_t*>(v.parray->pvData), n, fill);
  return v;
}

Variant Dispatch(const ComPtr<ISoapStruct>& s) {
  Variant v;
  v.vt = VT_DISPATCH;
  v.pdispVal = com::QueryInterfacePtr<IDispatch>(s.Get()).Detach();
  return v;
}

TEST(DigestClient, ReadsOnlyWellTypedBlocksAndMembers) {
  Variant status = Variant::FromText(u"Unauthenticated.ExpiredNonce");
  Variant nonce = Variant::FromText(u"N2");
  Variant realm = Variant::FromText(u"R");
  Variant proof = Bytes(16, 0xAB);
  Variant short_proof = Bytes(15, 0xAB);
  Variant number = Variant::FromI4(7);
  const ComPtr<ISoapStruct> full = Struct({{u"Status", &status},
                                           {u"Nonce", &nonce},
                                           {u"Realm", &realm},
                                           {u"ServerAuth", &proof}});
  const ComPtr<ISoapStruct> odd =
      Struct({{u"Status", &number}, {u"Nonce", &number}, {u"ServerAuth", &short_proof}});

  Variant full_block = Dispatch(full);
  Variant odd_block = Dispatch(odd);
  Variant by_ref;
  by_ref.vt = VT_BYREF | VT_DISPATCH;
  by_ref.ppdispVal = &full_block.pdispVal;
  Variant null_dispatch;
  null_dispatch.vt = VT_DISPATCH;

  const struct Case {
    const char* name;
    const VARIANT* content;
    bool read;  // the full block's values arrive
  } cases[] = {
      {"struct", &full_block, true},
      {"by reference", &by_ref, false},
      {"null object", &null_dispatch, false},
      {"text", &nonce, false},
      {"wrongly typed members", &odd_block, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CControlPanelApp app(1000);
    DigestState& d = app.Digest();
    d.server_nonce = "N1";
    d.realm = "old";
    d.server_proof.fill(0x11);
    app.ReadAuthBlock(*c.content);
    EXPECT_EQ(d.status, c.read ? "Unauthenticated.ExpiredNonce" : "");
    EXPECT_EQ(d.expired_nonce, c.read);
    EXPECT_EQ(d.server_nonce, c.read ? "N2" : "N1");
    EXPECT_EQ(d.realm, c.read ? "R" : "old");
    EXPECT_EQ(d.server_proof[0], c.read ? 0xAB : 0x11);
  }
}

// The message's first header block, checked to be a mandatory ClientAuth
// for no particular actor; null when it is no struct.
ComPtr<ISoapStruct> FirstClientAuth(Iquenlin2* message) {
  Bstr ns, name, actor;
  Variant content;
  VARIANT_BOOL must = VARIANT_FALSE, more = VARIANT_FALSE;
  LONG position = 0;
  message->GetFirstHeaderElem(ns.Receive(), name.Receive(), content.Receive(), &must,
                              actor.Receive(), &position, &more);
  EXPECT_EQ(more, VARIANT_TRUE);
  EXPECT_EQ(ns.View(), u"urn:quorvel:soap:digest-auth");
  EXPECT_EQ(name.View(), u"ClientAuth");
  EXPECT_EQ(must, VARIANT_TRUE);
  EXPECT_EQ(actor.View(), u"");
  if (more != VARIANT_TRUE || content.vt != VT_DISPATCH) return nullptr;
  return com::QueryInterfacePtr<ISoapStruct>(content.pdispVal);
}

TEST_F(ConfigFile, ClientAuthCarriesTheMembersInOrder) {
  CControlPanelApp app(1000);
  const std::string wsdl = client::testing::CopyWsdl(
      std::filesystem::path(QV_SERVER_TESTDATA) / "echo.wsdl", dir_ + "/echo.wsdl",
      "http://localhost/", "http://127.0.0.1:1/");
  ASSERT_TRUE(app.Client().Initialize(wsdl, "EchoService", "EchoPort", "", "", {}, false, false, 0));
  KnownLogOn(app);

  app.AddAuthHeader(true);  // a probe carries nothing
  Iquenlin2* message = app.Client().MessageForTest();
  Bstr ns, name, actor;
  Variant content;
  VARIANT_BOOL must = VARIANT_FALSE, more = VARIANT_FALSE;
  LONG position = 0;
  message->GetFirstHeaderElem(ns.Receive(), name.Receive(), &content, &must, actor.Receive(),
                              &position, &more);
  EXPECT_NE(more, VARIANT_TRUE);

  app.AddAuthHeader(false);
  ComPtr<ISoapStruct> block = FirstClientAuth(message);
  ASSERT_TRUE(block);

  const struct {
    std::u16string name;
    VARTYPE vt;
  } expected[] = {{u"Nonce", VT_BSTR},
                  {u"Auth", VT_ARRAY | VT_UI1},
                  {u"UserID", VT_BSTR},
                  {u"Realm", VT_BSTR},
                  {u"ClientNonce", VT_BSTR}};
  Bstr member, member_ns;
  Variant value;
  LONG at = 0;
  VARIANT_BOOL found = VARIANT_FALSE;
  block->GetFirstMember(member.Receive(), member_ns.Receive(), value.Receive(), &at, &found);
  for (const auto& e : expected) {
    ASSERT_EQ(found, VARIANT_TRUE) << text::Narrow(e.name);
    EXPECT_EQ(member.View(), e.name);
    EXPECT_EQ(value.vt, e.vt) << text::Narrow(e.name);
    if (e.name == u"Auth") {
      ASSERT_EQ(value.parray->rgsabound[0].cElements, 16u);
      std::string hex;
      digestauth::HexEncoder().Encode(static_cast<const uint8_t*>(value.parray->pvData), 16, hex);
      EXPECT_EQ(hex, "916EA778E51D4C906E4ABFC71F891B6B");  // hashlib, as above
    }
    if (e.name == u"ClientNonce") {
      EXPECT_EQ(text::Narrow(std::u16string_view(value.bstrVal, SysStringLen(value.bstrVal))),
                kNonceOfTick01020304);
    }
    found = VARIANT_FALSE;
    block->GetNextMember(member.Receive(), member_ns.Receive(), value.Receive(), &at, &found);
  }
  EXPECT_NE(found, VARIANT_TRUE);
}

// The server's side of the pair: a message object bound like the server's
// to the same document.
struct ServerSide {
  ComPtr<Idorvish2> reader;
  ComPtr<Iquenlin2> message;
};

ServerSide ServerMessage(const std::string& wsdl, std::u16string_view port, int version) {
  ServerSide side;
  EXPECT_EQ(CoCreateInstance(CLSID_dorvish2, nullptr, CLSCTX_SERVER, IID_Idorvish2,
                             side.reader.ReceiveVoid()),
            S_OK);
  const Bstr service(u"DigestEchoService"), port_name(port), url(text::Widen(wsdl)), none,
      action(u"\"urn:qv:digest-echo#echo\"");
  VARIANT_BOOL ok = VARIANT_FALSE;
  side.reader->ReadServiceDesc(service.Get(), port_name.Get(), url.Get(), &ok);
  EXPECT_EQ(ok, VARIANT_TRUE);
  side.message = client::testing::NewMessage();
  const ComPtr<IDispatch> dispatch = com::QueryInterfacePtr<IDispatch>(side.reader.Get());
  ok = VARIANT_FALSE;
  side.message->Initialize(service.Get(), port_name.Get(), none.Get(), action.Get(), none.Get(),
                           VARIANT_FALSE, VARIANT_FALSE, dispatch.Get(), &ok);
  EXPECT_EQ(ok, VARIANT_TRUE);
  side.message->SetSOAPVersion(version);
  return side;
}

std::string MemberText(ISoapStruct* s, std::u16string_view name, VARTYPE* vt) {
  const Bstr n(name);
  Variant value;
  VARIANT_BOOL found = VARIANT_FALSE;
  s->GetMember(n.Get(), value.Receive(), &found);
  *vt = found == VARIANT_TRUE ? value.vt : VARTYPE{VT_EMPTY};
  if (value.vt == VT_BSTR) return text::Narrow(BstrView(value.bstrVal));
  if (value.vt == (VT_ARRAY | VT_UI1)) {
    std::vector<uint8_t> bytes;
    client::SafeArrayToBytes(value.parray, &bytes);
    std::string hex;
    digestauth::HexEncoder().Encode(bytes.data(), bytes.size(), hex);
    return hex;
  }
  return "";
}

// The blocks as they travel: the client's ClientAuth serialised by its
// message object and parsed by a server-side one over a document carrying
// the digest schema; the server's NextChallenge written there and read back
// by the client.
TEST_F(ConfigFile, DigestBlocksTravelThroughARealMessagePair) {
  const std::string wsdl = client::testing::CopyWsdl(
      std::filesystem::path(QV_SERVER_TESTDATA) /
          "../../plugins/digestauth/servertest/testdata/digest_echo.wsdl",
      dir_ + "/digest_echo.wsdl", "http://127.0.0.1/", "http://127.0.0.1:1/");
  const struct {
    const char* port;
    int version;
  } bindings[] = {{"Echo11Port", 11}, {"Echo12Port", 12}};
  for (const auto& b : bindings) {
    SCOPED_TRACE(b.port);
    CControlPanelApp app(1000);
    ASSERT_TRUE(app.Client().Initialize(wsdl, "DigestEchoService", b.port, "", "", {}, false,
                                        false, b.version));
    KnownLogOn(app);
    Iquenlin2* client_message = app.Client().MessageForTest();
    const Bstr method(u"echo"), method_ns(u"urn:qv:digest-echo"), none, param(u"text");
    VARIANT_BOOL ok = VARIANT_FALSE;
    client_message->SetMethodName(method.Get());
    client_message->SetMethodNS(method_ns.Get());
    client_message->AddMethodParam(none.Get(), param.Get(), Variant::FromText(u"hi"),
                                   VARIANT_TRUE, VARIANT_FALSE, &ok);
    app.AddAuthHeader(false);
    ok = VARIANT_FALSE;
    client_message->Serialize(&ok);
    ASSERT_EQ(ok, VARIANT_TRUE);
    Variant request;
    client_message->GetBuffer(request.Receive(), &ok);

    ServerSide server = ServerMessage(wsdl, text::Widen(b.port), b.version);
    ok = VARIANT_FALSE;
    server.message->SetBuffer(request, &ok);
    server.message->Deserialize(&ok);
    ASSERT_EQ(ok, VARIANT_TRUE) << client::testing::ArrayBytes(request.parray);
    {
      const ComPtr<ISoapStruct> block = FirstClientAuth(server.message.Get());
      ASSERT_TRUE(block);
      const struct {
        std::u16string_view name;
        VARTYPE vt;
        std::string value;
      } members[] = {
          {u"Nonce", VT_BSTR, "N1"},
          // hashlib over the known log-on, as above
          {u"Auth", VT_ARRAY | VT_UI1, "916EA778E51D4C906E4ABFC71F891B6B"},
          {u"UserID", VT_BSTR, "alice"},
          {u"Realm", VT_BSTR, "Quorvel"},
          {u"ClientNonce", VT_BSTR, kNonceOfTick01020304},
      };
      for (const auto& m : members) {
        SCOPED_TRACE(text::Narrow(m.name));
        VARTYPE vt = VT_EMPTY;
        EXPECT_EQ(MemberText(block.Get(), m.name, &vt), m.value);
        EXPECT_EQ(vt, m.vt);
      }
    }

    // The server answers with the next nonce and its proof over it.
    server.message->ClearHeaderElems();
    ok = VARIANT_FALSE;
    server.message->ProcessRPC(&ok);
    server.message->ClearMethodParams();
    server.message->SetReturnValue(Variant::FromText(u"hi"));
    server.message->SetRequestPhase(VARIANT_FALSE);
    const digestauth::Digest proof = digestauth::ServerProof(
        digestauth::UserHash("alice", "Quorvel", "secret"), "N2", kNonceOfTick01020304);
    Variant status = Variant::FromText(u"Authenticated");
    Variant next = Variant::FromText(u"N2");
    Variant client_nonce = Variant::FromText(text::Widen(kNonceOfTick01020304));
    Variant server_auth;
    server_auth.vt = VT_ARRAY | VT_UI1;
    server_auth.parray = client::BytesToSafeArray(proof.data(), proof.size());
    const ComPtr<ISoapStruct> answer = Struct({{u"Status", &status},
                                               {u"Nonce", &next},
                                               {u"ClientNonce", &client_nonce},
                                               {u"ServerAuth", &server_auth}});
    const Bstr digest_ns(u"urn:quorvel:soap:digest-auth"), next_block(u"NextChallenge");
    ok = VARIANT_FALSE;
    server.message->AddHeaderElem(digest_ns.Get(), next_block.Get(), Dispatch(answer),
                                  VARIANT_FALSE, none.Get(), &ok);
    ASSERT_EQ(ok, VARIANT_TRUE);
    ok = VARIANT_FALSE;
    server.message->Serialize(&ok);
    ASSERT_EQ(ok, VARIANT_TRUE);
    Variant response;
    server.message->GetBuffer(response.Receive(), &ok);

    client_message->SetRequestPhase(VARIANT_FALSE);
    client_message->ClearMethodParams();
    client_message->ClearHeaderElems();
    ok = VARIANT_FALSE;
    client_message->SetBuffer(response, &ok);
    client_message->Deserialize(&ok);
    ASSERT_EQ(ok, VARIANT_TRUE) << client::testing::ArrayBytes(response.parray);
    app.ReadAuthHeader();
    const DigestState& d = app.Digest();
    EXPECT_EQ(d.status, "Authenticated");
    EXPECT_FALSE(d.expired_nonce);
    EXPECT_EQ(d.server_nonce, "N2");
    EXPECT_EQ(Hex(d.server_proof), "49F7B3BC0ECC4A9FF0458368091576FD");  // hashlib, as above
    EXPECT_TRUE(app.VerifyServerAuth());
  }
}

TEST(DigestClient, AnAnswerWithoutBlocksClearsOnlyTheStatus) {
  CControlPanelApp app(1000);  // not bound: no answer at all
  DigestState& d = app.Digest();
  d.status = "Authenticated";
  d.expired_nonce = true;
  d.server_nonce = "N1";
  app.ReadAuthHeader();
  EXPECT_EQ(d.status, "");
  EXPECT_FALSE(d.expired_nonce);
  EXPECT_EQ(d.server_nonce, "N1");
}

}  // namespace
}  // namespace controlpanel
