// jorvex2 against inputs no real message produces: arguments that are no
// message, block contents of the wrong variant type, a content object that
// is no struct, Auth members of the wrong form. A scripted message stands in.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "interfaces/soapstruct.h"
#include "interfaces/testing/quenlin_stub.h"
#include "message/testing/component_env.h"
#include "platform/text/text.h"
#include "plugins/digestauth/jorvex_impl.h"
#include "xml/namespaces.h"

namespace digestauth {
namespace {

// A request-phase message whose header blocks the test scripts; it records
// the blocks and the fault the processor adds.
class HeaderScript final : public com::ComObject<HeaderScript, quenlin_testing::StubMessage> {
 public:
  std::map<std::u16string, std::function<void(VARIANT*)>> blocks;  // by local name
  std::vector<std::u16string> taken, added;
  bool fault = false;

  HRESULT IsRequestPhase(VARIANT_BOOL* r) override {
    *r = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT GetHeaderElem(BSTR ns, BSTR name, VARIANT* content, VARIANT_BOOL* r) override {
    VariantInit(content);
    *r = VARIANT_FALSE;
    auto it = blocks.find(std::u16string(BstrView(name)));
    if (BstrView(ns) != xml::kDigestAuthNamespace || it == blocks.end()) return S_OK;
    it->second(content);
    taken.emplace_back(BstrView(name));
    *r = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT GetServiceName(BSTR* name) override {
    *name = SysAllocString(u"Svc");
    return S_OK;
  }
  HRESULT GetSOAPVersion(LONG* v) override {
    *v = 11;
    return S_OK;
  }
  HRESULT SetSOAPFault(BSTR, BSTR, BSTR, VARIANT_BOOL, VARIANT_BOOL* r) override {
    fault = true;
    *r = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT AddFaultHeaderElem(BSTR, BSTR name, VARIANT content, VARIANT_BOOL, BSTR,
                             VARIANT_BOOL* r) override {
    ComPtr<ISoapStruct> s = content.vt == VT_DISPATCH
                                ? com::QueryInterfacePtr<ISoapStruct>(content.pdispVal)
                                : nullptr;
    Variant status;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (s) s->GetMember(Bstr(kStatusMember).Get(), &status, &ok);
    added.push_back(std::u16string(BstrView(name)) + u":" +
                    (status.vt == VT_BSTR ? std::u16string(BstrView(status.bstrVal)) : u""));
    *r = VARIANT_TRUE;
    return S_OK;
  }
};

// An object that is no struct.
class NotAStruct final : public com::ComObject<NotAStruct, quenlin_testing::StubMessage> {};

class JorvexInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = EnvironmentDir() + "/inputs";
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ + "/auth-config.xml")
        << "<c><defaultRealm>R</defaultRealm><authRealms><realm name='R'><users>"
           "<user userId='u' password='p'/></users></realm></authRealms></c>";
    AuthConfig config;
    ASSERT_TRUE(config.Load(dir_));
    context_ = std::make_shared<DigestContext>(std::move(config), SystemClock, EventSink());
    processor_ = com::MakeComObject<Jorvex2Impl>(context_);
  }
  static std::string EnvironmentDir();

  // A ClientAuth struct with a valid nonce, user and realm, Auth as given.
  ComPtr<ISoapStruct> Credentials(const std::function<void(VARIANT*)>& auth) {
    ComPtr<ISoapStruct> s = message::testing::NewStruct();
    Bstr none;
    VARIANT_BOOL ok = VARIANT_FALSE;
    nonce_ = context_->nonces.Renew("");
    s->AddMember(Bstr(kNonceMember).Get(), none.Get(), Variant::FromText(text::Widen(nonce_)), &ok);
    if (auth) {
      Variant a;
      auth(&a);
      s->AddMember(Bstr(kAuthMember).Get(), none.Get(), a, &ok);
    }
    s->AddMember(Bstr(kUserIdMember).Get(), none.Get(), Variant::FromText(u"u"), &ok);
    s->AddMember(Bstr(kRealmMember).Get(), none.Get(), Variant::FromText(u"R"), &ok);
    return s;
  }
  Digest Proof() const { return ClientProof(UserHash("u", "R", "p"), nonce_, nullptr); }

  // The first `n` bytes of `d` (zero beyond) as a byte array.
  static void Bytes(VARIANT* v, const Digest& d, size_t n) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, ULONG(n));
    void* p = nullptr;
    SafeArrayAccessData(a, &p);
    if (n) memcpy(p, d.data(), std::min(n, d.size()));
    SafeArrayUnaccessData(a);
    v->vt = VT_ARRAY | VT_UI1;
    v->parray = a;
  }

  // A message whose ClientAuth block is `content`.
  static ComPtr<HeaderScript> WithClientAuth(IDispatch* content) {
    ComPtr<HeaderScript> message = com::MakeComObject<HeaderScript>();
    message->blocks[u"ClientAuth"] = [content](VARIANT* v) {
      v->vt = VT_DISPATCH;
      v->pdispVal = content;
      content->AddRef();
    };
    return message;
  }

  // OnProcessHeader over `message`, as a VT_DISPATCH argument.
  VARIANT_BOOL Run(HeaderScript* message) {
    Variant arg;
    arg.vt = VT_DISPATCH;
    message->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&arg.pdispVal));
    VARIANT_BOOL result = 0x1234;
    EXPECT_EQ(processor_->OnProcessHeader(arg, &result), S_OK);
    return result;
  }

  std::string dir_, nonce_;
  DigestContextPtr context_;
  ComPtr<Jorvex2Impl> processor_;
};

}  // namespace

message::testing::ComponentEnvironment* DigestTestEnvironment();

namespace {

std::string JorvexInputTest::EnvironmentDir() { return DigestTestEnvironment()->Dir(); }

TEST_F(JorvexInputTest, AnArgumentThatIsNoMessageFailsWithResultUnwritten) {
  ComPtr<HeaderScript> message = com::MakeComObject<HeaderScript>();
  IDispatch* dispatch = nullptr;
  message->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
  struct Case {
    const char* name;
    std::function<void(VARIANT*)> make;
  };
  const Case cases[] = {
      {"empty", [](VARIANT*) {}},
      {"null object", [](VARIANT* v) { v->vt = VT_DISPATCH; }},
      {"null unknown", [](VARIANT* v) { v->vt = VT_UNKNOWN; }},
      {"string",
       [](VARIANT* v) {
         v->vt = VT_BSTR;
         v->bstrVal = SysAllocString(u"message");
       }},
      {"by reference",
       [&](VARIANT* v) {
         v->vt = VT_BYREF | VT_DISPATCH;
         v->ppdispVal = &dispatch;
       }},
  };
  for (const Case& c : cases) {
    Variant arg;
    c.make(&arg);
    VARIANT_BOOL result = 0x1234;
    EXPECT_EQ(processor_->OnProcessHeader(arg, &result), E_FAIL) << c.name;
    EXPECT_EQ(result, 0x1234) << c.name;
  }
  dispatch->Release();
}

TEST_F(JorvexInputTest, BlockContentsOfTheWrongTypeCountAsNoBlock) {
  ComPtr<ISoapStruct> good = message::testing::NewStruct();
  IDispatch* goodDispatch = good.Get();
  struct Case {
    const char* name;
    std::function<void(VARIANT*)> content;
  };
  const Case cases[] = {
      {"null object", [](VARIANT* v) { v->vt = VT_DISPATCH; }},
      {"by reference to null",
       [](VARIANT* v) {
         static IDispatch* null = nullptr;
         v->vt = VT_BYREF | VT_DISPATCH;
         v->ppdispVal = &null;
       }},
      {"array of objects",
       [](VARIANT* v) {
         v->vt = VT_ARRAY | VT_DISPATCH;
         v->parray = SafeArrayCreateVector(VT_DISPATCH, 0, 1);
       }},
      {"string",
       [](VARIANT* v) {
         v->vt = VT_BSTR;
         v->bstrVal = SysAllocString(u"x");
       }},
  };
  for (const Case& c : cases) {
    ComPtr<HeaderScript> message = com::MakeComObject<HeaderScript>();
    message->blocks[u"ClientAuth"] = c.content;
    // The InitChallenge is considered: the ClientAuth did not count.
    message->blocks[u"InitChallenge"] = [&](VARIANT* v) {
      v->vt = VT_DISPATCH;
      v->pdispVal = goodDispatch;
      goodDispatch->AddRef();
    };
    EXPECT_EQ(Run(message.Get()), VARIANT_TRUE) << c.name;
    EXPECT_EQ(message->taken, (std::vector<std::u16string>{u"ClientAuth", u"InitChallenge"}))
        << c.name;
    EXPECT_TRUE(message->fault) << c.name;
    EXPECT_EQ(message->added, std::vector<std::u16string>{u"Challenge:Unauthenticated.NoCredentials"})
        << c.name;
  }
}

TEST_F(JorvexInputTest, AContentObjectThatIsNoStructIsAnsweredAsNoCredentials) {
  ComPtr<HeaderScript> message = com::MakeComObject<HeaderScript>();
  message->blocks[u"ClientAuth"] = [](VARIANT* v) {
    v->vt = VT_DISPATCH;
    v->pdispVal = com::MakeComObject<NotAStruct>().Detach();
  };
  EXPECT_EQ(Run(message.Get()), VARIANT_TRUE);
  EXPECT_TRUE(message->fault);
  EXPECT_EQ(message->added, std::vector<std::u16string>{u"Challenge:Unauthenticated.NoCredentials"});
}

TEST_F(JorvexInputTest, AuthMustBeAByteArrayOfAtLeastSixteenBytes) {
  struct Case {
    const char* name;
    std::function<void(VARIANT*, const Digest&)> auth;
    bool verified;
  };
  const Case cases[] = {
      {"16 bytes", [](VARIANT* v, const Digest& d) { Bytes(v, d, 16); }, true},
      {"20 bytes", [](VARIANT* v, const Digest& d) { Bytes(v, d, 20); }, true},
      {"15 bytes", [](VARIANT* v, const Digest& d) { Bytes(v, d, 15); }, false},
      {"empty array", [](VARIANT* v, const Digest& d) { Bytes(v, d, 0); }, false},
      {"string",
       [](VARIANT* v, const Digest&) {
         v->vt = VT_BSTR;
         v->bstrVal = SysAllocString(u"0123456789ABCDEF0123456789ABCDEF");
       },
       false},
      {"array of longs",
       [](VARIANT* v, const Digest&) {
         v->vt = VT_ARRAY | VT_I4;
         v->parray = SafeArrayCreateVector(VT_I4, 0, 8);
       },
       false},
      {"two dimensions",
       [](VARIANT* v, const Digest&) {
         SAFEARRAYBOUND b[2] = {{4, 0}, {4, 0}};
         v->vt = VT_ARRAY | VT_UI1;
         v->parray = SafeArrayCreate(VT_UI1, 2, b);
       },
       false},
  };
  for (const Case& c : cases) {
    ComPtr<ISoapStruct> s = Credentials([&](VARIANT* v) { c.auth(v, Proof()); });
    ComPtr<HeaderScript> message = WithClientAuth(s.Get());
    EXPECT_EQ(Run(message.Get()), VARIANT_TRUE) << c.name;
    EXPECT_EQ(message->fault, !c.verified) << c.name;
    if (!c.verified) {
      EXPECT_EQ(message->added,
                std::vector<std::u16string>{u"Challenge:Unauthenticated.InvalidResponse"})
          << c.name;
    }
  }
}

// Two requests presenting one nonce, both request legs before either
// response leg (another processor may still refuse the first): only the
// first is accepted.
TEST_F(JorvexInputTest, ANonceIsAcceptedOnceEvenBeforeAnyAnswerIsBuilt) {
  ComPtr<ISoapStruct> s = Credentials([this](VARIANT* v) { Bytes(v, Proof(), 16); });
  ComPtr<HeaderScript> first = WithClientAuth(s.Get()), second = WithClientAuth(s.Get());
  ComPtr<Jorvex2Impl> other = com::MakeComObject<Jorvex2Impl>(context_);
  EXPECT_EQ(Run(first.Get()), VARIANT_TRUE);
  EXPECT_FALSE(first->fault);
  Variant arg;
  arg.vt = VT_DISPATCH;
  second->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&arg.pdispVal));
  VARIANT_BOOL result = VARIANT_FALSE;
  EXPECT_EQ(other->OnProcessHeader(arg, &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_TRUE(second->fault);
  EXPECT_EQ(second->added, std::vector<std::u16string>{u"Challenge:Unauthenticated.ExpiredNonce"});
}

}  // namespace
}  // namespace digestauth
