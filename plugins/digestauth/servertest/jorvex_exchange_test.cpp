// jorvex2 as the server meets it: created by ProgID from the class object
// this process registered, driven by the server's header chain over real
// messages and WSDL reader, each case a whole exchange from the client's
// request to the client reading the answer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "interfaces/jorvex.h"
#include "message/testing/component_env.h"
#include "platform/com/remote/remote.h"
#include "platform/text/text.h"
#include "plugins/digestauth/digest_context.h"
#include "plugins/digestauth/jorvex_impl.h"
#include "plugins/digestauth/protocol.h"
#include "plugins/digestauth/registration.h"
#include "message/digest_block_types.h"
#include "message/plugin_contract.h"
#include "xml/xml_parser.h"
#include "xml/namespaces.h"

namespace digestauth {

using message::testing::ComponentEnvironment;

// One environment for the binary: the components' registry and apartment.
ComponentEnvironment* DigestTestEnvironment() {
  static auto* const environment = static_cast<ComponentEnvironment*>(
      ::testing::AddGlobalTestEnvironment(new ComponentEnvironment));
  return environment;
}

namespace {

namespace fs = std::filesystem;

ComponentEnvironment* const kEnvironment = DigestTestEnvironment();

constexpr char16_t kService[] = u"DigestEchoService";  // realm "Lab:West"
constexpr char16_t kOpenService[] = u"OpenEchoService";  // the default realm
constexpr char kRealm[] = "Lab:West";
constexpr char kDefaultRealm[] = "Quorvel";
constexpr char kUser[] = "J\xC3\xBCrgen";
constexpr char kPassword[] = "pa\xF0\x9F\x98\x80ss";
constexpr int kNonceLife = 60;

const std::string kWsdl = std::string(QV_DIGEST_TESTDATA) + "/digest_echo.wsdl";

std::u16string W(std::string_view utf8) { return text::Widen(utf8); }

// IDispatch under its own identity, for an adapter that offers only it.
class PlainDispatch : public IDispatch {
 public:
  static constexpr IID kIid = IID_IDispatch;

 protected:
  ~PlainDispatch() = default;
};

// A message as one from another process answers: IUnknown and IDispatch only.
class DispatchOnly final : public com::ComObject<DispatchOnly, PlainDispatch> {
 public:
  explicit DispatchOnly(IDispatch* target) : target_(target) {}
  HRESULT GetTypeInfoCount(UINT* count) override { return target_->GetTypeInfoCount(count); }
  HRESULT GetTypeInfo(UINT i, LCID lcid, ITypeInfo** info) override {
    return target_->GetTypeInfo(i, lcid, info);
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT n, LCID lcid, DISPID* ids) override {
    return target_->GetIDsOfNames(riid, names, n, lcid, ids);
  }
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* excep, UINT* arg_err) override {
    return target_->Invoke(id, riid, lcid, flags, params, result, excep, arg_err);
  }

 private:
  ComPtr<IDispatch> target_;
};

enum class AuthForm { Absent, Right, WrongPassword, Short, Long };

struct Credentials {
  std::u16string block = u"ClientAuth";  // or InitChallenge
  std::optional<std::string> nonce, user, realm, clientNonce;
  AuthForm auth = AuthForm::Absent;
  std::string nonceFor;  // the nonce Auth is computed over, when not `nonce`
};

// What the client reads back.
struct Answer {
  bool requestResult = false;
  bool requestLegAdded = false;  // a fault or a fault block after the request leg
  bool fault = false;
  std::u16string faultString, faultCode;
  std::u16string block;  // Challenge or NextChallenge
  // Where the server put its answer block: the fault's header list or the
  // response's (a parsed answer holds both in one list).
  bool inFaultList = false, inHeaderList = false;
  std::map<std::u16string, std::string> texts;
  std::optional<Digest> serverAuth;
  std::string wire;

  std::string Text(std::u16string_view member) const {
    const auto it = texts.find(std::u16string(member));
    return it == texts.end() ? "<absent>" : it->second;
  }
  bool Has(std::u16string_view member) const { return texts.count(std::u16string(member)) != 0; }
};

class DigestExchangeTest : public ::testing::Test {
 public:
  void SetUp() override {
    dir_ = kEnvironment->Dir() + "/digest";
    fs::create_directories(dir_);
    eventLog_ = dir_ + "/eventlog.txt";
    setenv("QUORVEL_EVENTLOG_FILE", eventLog_.c_str(), 1);
    std::ofstream(dir_ + "/auth-config.xml")
        << "<authConfig><defaultRealm>" << kDefaultRealm << "</defaultRealm><nonceLife>"
        << kNonceLife << "</nonceLife><soapServices><service name='DigestEchoService' realm='"
        << kRealm << "'/></soapServices><authRealms><realm name='" << kRealm
        << "'><users><user userId='" << kUser << "' password='" << kPassword
        << "'/></users></realm><realm name='" << kDefaultRealm
        << "'><users><user userId='admin' password='secret'/></users></realm>"
        << "</authRealms></authConfig>";
    AuthConfig config;
    ASSERT_TRUE(config.Load(dir_));
    context_ = std::make_shared<DigestContext>(std::move(config), [this] { return now_; },
                                               EventLogSink());
    const com::ClassRegistration reg = Jorvex2Registration(dir_ + "/no-such-host");
    ASSERT_EQ(com::RegisterServerClass(reg), S_OK);
    ComPtr<Jorvex2Factory> factory = com::MakeComObject<Jorvex2Factory>(context_);
    ASSERT_EQ(CoRegisterClassObject(CLSID_jorvex2, factory.Get(), CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie_),
              S_OK);
  }
  void TearDown() override {
    if (cookie_) CoRevokeClassObject(cookie_);
    (void)com::UnregisterServerClass(Jorvex2Registration(dir_ + "/no-such-host"));
    unsetenv("QUORVEL_EVENTLOG_FILE");
    fs::remove_all(dir_);
  }

  ComPtr<Iquenlin2> NewMessage(IDispatch* reader, int version, std::u16string_view service) {
    ComPtr<Iquenlin2> m;
    EXPECT_EQ(CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_SERVER, IID_Iquenlin2,
                               m.ReceiveVoid()),
              S_OK);
    if (!m) return m;
    Bstr svc(service), port(version == 11 ? u"Echo11Port" : u"Echo12Port"), none,
        action(u"\"urn:qv:digest-echo#echo\"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    m->Initialize(svc.Get(), port.Get(), none.Get(), action.Get(), none.Get(), VARIANT_FALSE,
                  VARIANT_FALSE, reader, &ok);
    EXPECT_EQ(ok, VARIANT_TRUE);
    m->SetSOAPVersion(version);
    return m;
  }

  std::string Nonce() { return context_->nonces.Renew(""); }

  static Variant Bytes(const uint8_t* data, size_t n) {
    Variant v;
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(n));
    void* p = nullptr;
    SafeArrayAccessData(v.parray, &p);
    if (n) memcpy(p, data, n);
    SafeArrayUnaccessData(v.parray);
    return v;
  }

  static ComPtr<ISoapStruct> CredentialStruct(const Credentials& c) {
    ComPtr<ISoapStruct> s = message::testing::NewStruct();
    Bstr none;
    VARIANT_BOOL ok = VARIANT_FALSE;
    auto add = [&](std::u16string_view name, const VARIANT& v) {
      s->AddMember(Bstr(name).Get(), none.Get(), v, &ok);
    };
    if (c.block == u"ClientAuth" && c.nonce) add(kNonceMember, Variant::FromText(W(*c.nonce)));
    if (c.auth != AuthForm::Absent) {
      const std::string password = c.auth == AuthForm::WrongPassword ? "wrong" : kPassword;
      const std::string hash = UserHash(c.user.value_or(""), c.realm.value_or(""), password);
      const Digest proof = ClientProof(hash, c.nonceFor.empty() ? c.nonce.value_or("") : c.nonceFor,
                                       c.clientNonce ? &*c.clientNonce : nullptr);
      std::vector<uint8_t> bytes(proof.begin(), proof.end());
      if (c.auth == AuthForm::Short) bytes.resize(8);
      if (c.auth == AuthForm::Long) bytes.insert(bytes.end(), {1, 2, 3, 4});
      add(kAuthMember, Bytes(bytes.data(), bytes.size()));
    }
    if (c.user) add(kUserIdMember, Variant::FromText(W(*c.user)));
    if (c.realm) add(kRealmMember, Variant::FromText(W(*c.realm)));
    if (c.clientNonce) add(kClientNonceMember, Variant::FromText(W(*c.clientNonce)));
    return s;
  }

  static void AddBlock(Iquenlin2* client, const Credentials& c, bool mustUnderstand) {
    ComPtr<ISoapStruct> s = CredentialStruct(c);
    Variant content;
    content.vt = VT_DISPATCH;
    s->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&content.pdispVal));
    Bstr ns(xml::kDigestAuthNamespace), name(c.block), actor(u"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    client->AddHeaderElem(ns.Get(), name.Get(), content,
                          mustUnderstand ? VARIANT_TRUE : VARIANT_FALSE, actor.Get(), &ok);
    EXPECT_EQ(ok, VARIANT_TRUE);
  }

  // One leg through the chain, or, for a message handed over as a bare
  // IDispatch, through the same named call the chain makes.
  static bool RunLeg(message::HeaderHandlerChain& chain, Iquenlin2* message, bool dispatchOnly) {
    if (!dispatchOnly) return message::ProcessHeaderBlocks(chain, message);
    if (!message::TestMustUnderstandBlocks(chain, message)) return false;
    ComPtr<IDispatch> real = com::QueryInterfacePtr<IDispatch>(message);
    ComPtr<DispatchOnly> wrapper = com::MakeComObject<DispatchOnly>(real.Get());
    static constexpr std::u16string_view kNames[] = {u"SOAPMsgInterface"};
    Variant arg;
    arg.vt = VT_DISPATCH;
    wrapper->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&arg.pdispVal));
    const message::CallOutcome out =
        message::CallByName(chain.Processors()[0].Get(), u"OnProcessHeader", kNames,
                           message::AsVariants(&arg, 1), message::ResultRule::ExactlyTrue);
    EXPECT_EQ(out.status, message::CallStatus::Ok);
    return out.result;
  }

  // The whole exchange. `blocks` are added to the client's request; a
  // `bodyFault` stands in for a body service answering with a fault.
  Answer Exchange(int version, std::u16string_view service, const std::vector<Credentials>& blocks,
                  bool mandatory = false, bool bodyFault = false, bool dispatchOnly = false) {
    Answer a;
    ComPtr<Idorvish2> reader =
        message::testing::LoadReader(kWsdl, service, version == 11 ? u"Echo11Port" : u"Echo12Port");
    if (!reader) return a;
    VARIANT_BOOL ok = VARIANT_FALSE;
    ComPtr<Iquenlin2> client = NewMessage(reader.Get(), version, service);
    client->SetMethodName(Bstr(u"echo").Get());
    client->SetMethodNS(Bstr(u"urn:qv:digest-echo").Get());
    Bstr none;
    client->AddMethodParam(none.Get(), Bstr(u"text").Get(), Variant::FromText(u"hi"), VARIANT_TRUE,
                           VARIANT_FALSE, &ok);
    for (const Credentials& c : blocks) AddBlock(client.Get(), c, mandatory);
    client->Serialize(&ok);
    EXPECT_EQ(ok, VARIANT_TRUE);
    Variant request;
    client->GetBuffer(&request, &ok);

    ComPtr<Iquenlin2> server = NewMessage(reader.Get(), version, service);
    server->SetBuffer(request, &ok);
    server->Deserialize(&ok);
    EXPECT_EQ(ok, VARIANT_TRUE) << "request did not parse";
    message::HeaderHandlerChain chain;
    EXPECT_TRUE(message::CreateHeaderProcessors(chain, {std::u16string(W(kJorvexProgId))},
                                               server.Get()));
    a.requestResult = RunLeg(chain, server.Get(), dispatchOnly);
    VARIANT_BOOL isFault = VARIANT_FALSE;
    server->IsSOAPFault(&isFault);
    LONG faultBlocks = 0;
    server->GetNumFaultHeaderElems(&faultBlocks);
    a.requestLegAdded = isFault == VARIANT_TRUE || faultBlocks != 0;
    if (a.requestResult) {
      server->CheckMustUnderstand(&ok);
      server->IsSOAPFault(&isFault);
      if (isFault != VARIANT_TRUE) {
        server->ClearHeaderElems();
        server->ProcessRPC(&ok);
        if (bodyFault) {
          Bstr code(u"Server"), text(u"body failed"),
              codeNs(version == 11 ? xml::kSoap11EnvelopeNamespace : xml::kSoap12EnvelopeNamespace);
          if (version == 11) {
            server->SetSOAPFault(code.Get(), codeNs.Get(), text.Get(), VARIANT_FALSE, &ok);
          } else {
            server->SetSOAP12Fault(Bstr(u"Receiver").Get(), codeNs.Get(), none.Get(), none.Get(),
                                   text.Get(), Bstr(u"en").Get(), &ok);
          }
        } else {
          server->ClearMethodParams();
          server->SetReturnValue(Variant::FromText(u"hi"));
        }
      }
      server->SetRequestPhase(VARIANT_FALSE);
      RunLeg(chain, server.Get(), dispatchOnly);
    } else {
      server->SetRequestPhase(VARIANT_FALSE);
    }
    LONG headerBlocks = 0;
    server->GetNumFaultHeaderElems(&faultBlocks);
    server->GetNumHeaderElems(&headerBlocks);
    a.inFaultList = faultBlocks != 0;
    a.inHeaderList = headerBlocks != 0;
    server->Serialize(&ok);
    Variant response;
    server->GetBuffer(&response, &ok);
    if (response.vt == (VT_ARRAY | VT_UI1) && response.parray) {
      void* p = nullptr;
      SafeArrayAccessData(response.parray, &p);
      a.wire.assign(static_cast<const char*>(p), response.parray->rgsabound[0].cElements);
      SafeArrayUnaccessData(response.parray);
    }

    client->SetRequestPhase(VARIANT_FALSE);
    client->ClearMethodParams();
    client->SetBuffer(response, &ok);
    client->Deserialize(&ok);
    client->IsSOAPFault(&isFault);
    a.fault = isFault == VARIANT_TRUE;
    Bstr s;
    if (version == 11) {
      client->GetSOAPFaultString(s.Receive());
    } else {
      client->GetSOAP12ReasonText(Bstr(kAuthFaultLang).Get(), s.Receive(), &ok);
    }
    a.faultString = s.View();
    client->GetSOAPFaultCode(s.Receive());
    a.faultCode = s.View();
    ReadAnswerBlock(client.Get(), &a);
    return a;
  }

  static void ReadAnswerBlock(Iquenlin2* client, Answer* a) {
    Bstr ns(xml::kDigestAuthNamespace);
    for (std::u16string_view name : {kChallengeBlock, kNextChallengeBlock}) {
      Variant content;
      VARIANT_BOOL ok = VARIANT_FALSE;
      client->GetHeaderElem(ns.Get(), Bstr(name).Get(), &content, &ok);
      bool found = ok == VARIANT_TRUE;
      if (!found) {
        Bstr bns, bname, actor;
        VARIANT_BOOL mu = VARIANT_FALSE;
        LONG pos = 0;
        for (HRESULT more = client->GetFirstFaultHeaderElem(bns.Receive(), bname.Receive(),
                                                            content.Receive(), &mu,
                                                            actor.Receive(), &pos, &ok);
             SUCCEEDED(more) && ok == VARIANT_TRUE;
             more = client->GetNextFaultHeaderElem(bns.Receive(), bname.Receive(),
                                                   content.Receive(), &mu, actor.Receive(), &pos,
                                                   &ok)) {
          if (bns.View() == xml::kDigestAuthNamespace && bname.View() == name) {
            found = true;
            break;
          }
        }
      }
      if (!found) continue;
      a->block = name;
      ASSERT_EQ(content.vt, VT_DISPATCH);
      ComPtr<ISoapStruct> st = com::QueryInterfacePtr<ISoapStruct>(content.pdispVal);
      ASSERT_TRUE(st);
      for (std::u16string_view m : {kStatusMember, kNonceMember, kRealmMember, kClientNonceMember}) {
        Variant v;
        st->GetMember(Bstr(m).Get(), &v, &ok);
        if (ok == VARIANT_TRUE && v.vt == VT_BSTR) a->texts[std::u16string(m)] = text::Narrow(BstrView(v.bstrVal));
      }
      Variant v;
      st->GetMember(Bstr(kServerAuthMember).Get(), &v, &ok);
      if (ok == VARIANT_TRUE && v.vt == (VT_ARRAY | VT_UI1) &&
          v.parray->rgsabound[0].cElements == kMd5DigestBytes) {
        Digest d;
        void* p = nullptr;
        SafeArrayAccessData(v.parray, &p);
        memcpy(d.data(), p, d.size());
        SafeArrayUnaccessData(v.parray);
        a->serverAuth = d;
      }
      return;
    }
  }

  std::string EventLog() const {
    std::ifstream in(eventLog_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Public: the case table's functions reach them.
  std::string dir_, eventLog_;
  int64_t now_ = 2'000'000;
  DigestContextPtr context_;
  DWORD cookie_ = 0;
};

bool IsNonce(const std::string& s) {
  return s.size() == 32 && s.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

void ExpectChallenge(const Answer& a, int version, std::string_view status, std::string_view realm) {
  EXPECT_TRUE(a.requestResult);
  EXPECT_TRUE(a.fault);
  EXPECT_EQ(a.faultString, kAuthFaultText);
  EXPECT_EQ(a.faultCode, version == 11 ? kAuthFaultCode11 : kAuthFaultCode12);
  EXPECT_EQ(a.block, kChallengeBlock) << a.wire;
  EXPECT_TRUE(a.inFaultList);
  EXPECT_EQ(a.texts.at(std::u16string(kStatusMember)), status) << a.wire;
  EXPECT_TRUE(IsNonce(a.Text(kNonceMember))) << a.wire;
  EXPECT_EQ(a.Text(kRealmMember), realm);
}

TEST_F(DigestExchangeTest, Exchanges) {
  struct Case {
    const char* name;
    std::function<void(DigestExchangeTest&, int version, bool dispatchOnly)> run;
  };
  const auto verified = [](DigestExchangeTest& t, int version, bool dispatchOnly,
                           std::optional<std::string> clientNonce, bool bodyFault) {
    Credentials c;
    c.nonce = t.Nonce();
    c.user = kUser;
    c.realm = kRealm;
    c.clientNonce = clientNonce;
    c.auth = AuthForm::Right;
    const Answer a = t.Exchange(version, kService, {c}, false, bodyFault, dispatchOnly);
    EXPECT_TRUE(a.requestResult);
    EXPECT_FALSE(a.requestLegAdded);
    EXPECT_EQ(a.fault, bodyFault);
    EXPECT_EQ(a.block, kNextChallengeBlock) << a.wire;
    EXPECT_EQ(a.inFaultList, bodyFault);
    EXPECT_EQ(a.inHeaderList, !bodyFault);
    EXPECT_EQ(a.Text(kStatusMember), kStatusAuthenticated);
    const std::string next = a.Text(kNonceMember);
    EXPECT_TRUE(IsNonce(next));
    EXPECT_NE(next, *c.nonce);
    EXPECT_TRUE(t.context_->nonces.Contains(next));
    EXPECT_FALSE(t.context_->nonces.Contains(*c.nonce));
    if (clientNonce) {
      EXPECT_EQ(a.Text(kClientNonceMember), *clientNonce);
      ASSERT_TRUE(a.serverAuth) << a.wire;
      EXPECT_EQ(*a.serverAuth, ServerProof(UserHash(kUser, kRealm, kPassword), next, *clientNonce));
    } else {
      EXPECT_EQ(a.Has(kClientNonceMember), false);
      EXPECT_FALSE(a.serverAuth);
    }
  };
  const auto failing = [](DigestExchangeTest& t, int version, bool dispatchOnly, Credentials c,
                          std::string_view status, std::string_view realm = kRealm) {
    const Answer a = t.Exchange(version, kService, {c}, false, false, dispatchOnly);
    ExpectChallenge(a, version, status, realm);
    if (c.nonce) {
      EXPECT_FALSE(t.context_->nonces.Contains(*c.nonce)) << "the presented nonce is forgotten";
    }
  };
  auto good = [](DigestExchangeTest& t) {
    Credentials c;
    c.nonce = t.Nonce();
    c.user = kUser;
    c.realm = kRealm;
    c.auth = AuthForm::Right;
    return c;
  };

  const Case cases[] = {
      {"no header",
       [](DigestExchangeTest& t, int v, bool d) {
         ExpectChallenge(t.Exchange(v, kService, {}, false, false, d), v, kStatusNoCredentials,
                         kRealm);
         ExpectChallenge(t.Exchange(v, kOpenService, {}, false, false, d), v, kStatusNoCredentials,
                         kDefaultRealm);
       }},
      {"verified without client nonce",
       [&](DigestExchangeTest& t, int v, bool d) { verified(t, v, d, std::nullopt, false); }},
      {"verified with client nonce",
       [&](DigestExchangeTest& t, int v, bool d) { verified(t, v, d, "c-\xC3\xA9-1", false); }},
      {"verified, body fault",
       [&](DigestExchangeTest& t, int v, bool d) { verified(t, v, d, "c1", true); }},
      {"replay",
       [&](DigestExchangeTest& t, int v, bool d) {
         const Credentials c = good(t);
         EXPECT_EQ(t.Exchange(v, kService, {c}, false, false, d).block, kNextChallengeBlock);
         failing(t, v, d, c, kStatusExpiredNonce);
       }},
      {"realm differs in case",
       [&](DigestExchangeTest& t, int v, bool d) {
         Credentials c = good(t);
         c.realm = "lab:west";
         failing(t, v, d, c, kStatusInvalidRealm);
       }},
      {"unknown user",
       [&](DigestExchangeTest& t, int v, bool d) {
         Credentials c = good(t);
         c.user = "nobody";
         failing(t, v, d, c, kStatusInvalidUser);
       }},
      {"wrong password",
       [&](DigestExchangeTest& t, int v, bool d) {
         Credentials c = good(t);
         c.auth = AuthForm::WrongPassword;
         failing(t, v, d, c, kStatusInvalidResponse);
       }},
      {"expired nonce",
       [&](DigestExchangeTest& t, int v, bool d) {
         Credentials c = good(t);
         t.now_ += kNonceLife + 1;
         failing(t, v, d, c, kStatusExpiredNonce);
       }},
      {"never issued nonce",
       [&](DigestExchangeTest& t, int v, bool d) {
         Credentials c = good(t);
         c.nonceFor = *c.nonce;
         c.nonce = "00000000000000000000000000000000";
         failing(t, v, d, c, kStatusExpiredNonce);
       }},
      {"Auth short",
       [&](DigestExchangeTest& t, int v, bool d) {
         Credentials c = good(t);
         c.auth = AuthForm::Short;
         failing(t, v, d, c, kStatusInvalidResponse);
       }},
      {"Auth long: its first 16 bytes count",
       [&](DigestExchangeTest& t, int v, bool d) {
         Credentials c = good(t);
         c.auth = AuthForm::Long;
         EXPECT_EQ(t.Exchange(v, kService, {c}, false, false, d).block, kNextChallengeBlock);
       }},
      {"InitChallenge, known user",
       [](DigestExchangeTest& t, int v, bool d) {
         Credentials c;
         c.block = u"InitChallenge";
         c.user = kUser;
         c.realm = kRealm;
         c.clientNonce = "cn";
         const Answer a = t.Exchange(v, kService, {c}, false, false, d);
         EXPECT_TRUE(a.fault);
         EXPECT_EQ(a.faultString, kAuthFaultText);
         EXPECT_EQ(a.block, kNextChallengeBlock) << a.wire;
         EXPECT_TRUE(a.inFaultList);
         EXPECT_EQ(a.Text(kStatusMember), kStatusNoCredentials);
         const std::string nonce = a.Text(kNonceMember);
         EXPECT_TRUE(t.context_->nonces.Contains(nonce));
         EXPECT_EQ(a.Text(kClientNonceMember), "cn");
         ASSERT_TRUE(a.serverAuth);
         EXPECT_EQ(*a.serverAuth, ServerProof(UserHash(kUser, kRealm, kPassword), nonce, "cn"));
       }},
      {"InitChallenge, unknown user",
       [](DigestExchangeTest& t, int v, bool d) {
         Credentials c;
         c.block = u"InitChallenge";
         c.user = "nobody";
         c.realm = kRealm;
         ExpectChallenge(t.Exchange(v, kService, {c}, false, false, d), v, kStatusInvalidUser,
                         kRealm);
       }},
      {"both blocks, InitChallenge mandatory",
       [&](DigestExchangeTest& t, int v, bool d) {
         Credentials init;
         init.block = u"InitChallenge";
         init.user = kUser;
         init.realm = kRealm;
         const Answer a = t.Exchange(v, kService, {good(t), init}, /*mandatory=*/true, false, d);
         EXPECT_FALSE(a.fault) << a.wire;
         EXPECT_EQ(a.block, kNextChallengeBlock);
         EXPECT_EQ(a.Text(kStatusMember), kStatusAuthenticated);
       }},
      {"ClientAuth lacking Auth beside an InitChallenge",
       [&](DigestExchangeTest& t, int v, bool d) {
         Credentials c = good(t);
         c.auth = AuthForm::Absent;
         Credentials init;
         init.block = u"InitChallenge";
         init.user = kUser;
         init.realm = kRealm;
         ExpectChallenge(t.Exchange(v, kService, {c, init}, false, false, d), v,
                         kStatusNoCredentials, kRealm);
       }},
  };
  for (int version : {11, 12}) {
    for (bool dispatchOnly : {false, true}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " SOAP " + std::to_string(version) +
                     (dispatchOnly ? " as bare IDispatch" : ""));
        now_ = 2'000'000;
        c.run(*this, version, dispatchOnly);
      }
    }
  }
}

TEST_F(DigestExchangeTest, ChainedCallsAndTheEventLog) {
  // A client follows the protocol: no credentials, then each answer's nonce.
  Answer a = Exchange(11, kService, {});
  ASSERT_EQ(a.block, kChallengeBlock);
  for (int i = 0; i < 3; ++i) {
    Credentials c;
    c.nonce = a.Text(kNonceMember);
    c.user = kUser;
    c.realm = a.Has(kRealmMember) ? a.Text(kRealmMember)
                                                          : std::string(kRealm);
    c.auth = AuthForm::Right;
    a = Exchange(11, kService, {c});
    ASSERT_EQ(a.block, kNextChallengeBlock) << i;
    EXPECT_EQ(a.Text(kStatusMember), kStatusAuthenticated);
  }
  EXPECT_EQ(context_->nonces.Size(), 1u) << "only the last answer's nonce is live";

  Credentials c;
  c.nonce = Nonce();
  c.user = kUser;
  c.realm = "Other";
  c.auth = AuthForm::Right;
  Exchange(11, kService, {c});
  c.realm = kRealm;
  c.user = "nobody";
  Exchange(11, kService, {c});
  c.user = kUser;
  Exchange(11, kService, {c});  // its nonce was forgotten by the last answer
  c.nonce = Nonce();
  c.auth = AuthForm::WrongPassword;
  Exchange(11, kService, {c});
  const std::string log = EventLog();
  for (const char* line :
       {"Invalid Realm name in request", "Invalid User ID in request",
        "Expired Server Nonce in request", "Invalid Client response in request"}) {
    EXPECT_NE(log.find(std::string(kEventSource) + ": " + line + "\n"), std::string::npos)
        << line << "\n"
        << log;
  }
}

TEST_F(DigestExchangeTest, MustUnderstandTest) {
  ComPtr<IDispatch> plugin;
  HRESULT hr = S_OK;
  ASSERT_EQ(message::CreatePlugin(W(kJorvexProgId), &plugin, &hr), message::CreateStatus::Ok);
  const std::u16string ns(xml::kDigestAuthNamespace);
  struct Case {
    std::u16string ns, name;
    bool understood;
  };
  const Case cases[] = {
      {ns, u"ClientAuth", true},       {ns, u"InitChallenge", true},
      {ns, u"Challenge", false},       {ns, u"NextChallenge", false},
      {ns, u"clientauth", false},      {ns + u"/", u"ClientAuth", false},
      {u"", u"ClientAuth", false},     {u"urn:other", u"InitChallenge", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(message::InvokeOnTestMUHeaderBlock(plugin.Get(), c.ns, c.name), c.understood)
        << text::Narrow(c.ns) << " " << text::Narrow(c.name);
  }
}

}  // namespace
}  // namespace digestauth

namespace digestauth {
namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every WSDL that types the digest blocks carries the one schema text, and
// every literal of the digest namespace in them is the constant.
TEST(DigestSchemaTest, WsdlCopiesMatchTheSchemaAndTheNamespaceConstant) {
  const fs::path root(QV_SOURCE_ROOT);
  std::string schema = ReadFile(root / "plugins/digestauth/digest_header.xsd");
  while (!schema.empty() && schema.back() == '\n') schema.pop_back();
  ASSERT_FALSE(schema.empty());
  const std::string constant = text::Narrow(xml::kDigestAuthNamespace);
  int carriers = 0;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string name = it->path().filename().string();
    if (it->is_directory() && (name == "build" || name == ".git")) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->path().extension() != ".wsdl") continue;
    const std::string wsdl = ReadFile(it->path());
    if (wsdl.find("digest-auth") == std::string::npos) continue;
    ++carriers;
    EXPECT_NE(wsdl.find(schema), std::string::npos) << it->path() << " lacks the schema text";
    for (size_t at = wsdl.find("digest-auth"); at != std::string::npos;
         at = wsdl.find("digest-auth", at + 1)) {
      const size_t open = wsdl.find_last_of("\"'", at), close = wsdl.find_first_of("\"'", at);
      ASSERT_NE(open, std::string::npos);
      ASSERT_NE(close, std::string::npos);
      EXPECT_EQ(wsdl.substr(open + 1, close - open - 1), constant) << it->path();
    }
  }
  EXPECT_GE(carriers, 1);
}

// The message object writes the digest blocks from its own table of their
// types, on every endpoint: the table is the schema's.
TEST(DigestSchemaTest, TheMessageObjectsTableIsTheSchema) {
  const std::string schema = ReadFile(fs::path(QV_SOURCE_ROOT) / "plugins/digestauth/digest_header.xsd");
  xml::XmlParser parser;
  ASSERT_NO_THROW(parser.Parse(text::Widen(schema), nullptr));
  const std::u16string xsd(xml::kXmlSchemaNamespace);
  int blocks = 0;
  for (const auto& type : parser.GetRoot()->GetChildList()) {
    if (type->GetLocalName() != u"complexType") continue;
    std::u16string name;
    type->GetAttributeValue(u"", u"name", &name);
    SCOPED_TRACE(text::Narrow(name));
    ++blocks;
    const xml::XmlElement* content = type->FindChild(u"complexContent", xsd);
    const xml::XmlElement* restriction = content ? content->FindChild(u"restriction", xsd) : nullptr;
    const xml::XmlElement* sequence = restriction ? restriction->FindChild(u"sequence", xsd) : nullptr;
    ASSERT_TRUE(sequence);
    std::vector<std::string> want, have;
    for (const auto& element : sequence->GetChildList()) {
      std::u16string member, member_type;
      element->GetAttributeValue(u"", u"name", &member);
      element->GetAttributeValue(u"", u"type", &member_type);
      want.push_back(text::Narrow(member + u" " + member_type.substr(member_type.find(u':') + 1)));
    }
    for (const message::DigestMemberType& m : message::DigestBlockMembers(name)) {
      have.push_back(text::Narrow(std::u16string(m.name) + u" " + std::u16string(m.type)));
    }
    EXPECT_EQ(have, want);
  }
  EXPECT_EQ(blocks, 4);
  EXPECT_TRUE(message::DigestBlockMembers(u"Other").empty());
}

}  // namespace
}  // namespace digestauth
