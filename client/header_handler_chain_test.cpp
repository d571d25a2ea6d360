// The client's header handlers, with the test plug-ins and the real message
// object registered into the binary's own registry.
#include "client/header_handler_chain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/testing/client_testing.h"
#include "client/testing/message_testing.h"
#include "platform/com/bstr.h"
#include "platform/com/dispatch.h"
#include "platform/com/object.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace client {
namespace {

[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(
    new testing::ComponentEnvironment({QV_SOAPSTRUCT_COMPONENT, QV_QUENLIN_COMPONENT,
                                       QV_TEST_PLUGINS}));

constexpr char16_t kSoap12Env[] = u"http://www.w3.org/2003/05/soap-envelope";
constexpr char16_t kTrace[] = u"urn:test:trace";  // where the plug-ins mark their calls

struct Block {
  std::u16string ns, name;
};

ComPtr<Iquenlin2> RequestWith(int version, const std::vector<Block>& mandatory) {
  ComPtr<Iquenlin2> message = testing::NewMessage();
  message->SetSOAPVersion(version);
  for (const Block& b : mandatory) {
    Bstr ns(b.ns), name(b.name), empty(u"");
    Bstr literal(u"<n:" + b.name + u" xmlns:n=\"" + b.ns + u"\"/>");
    VARIANT_BOOL ok = VARIANT_FALSE;
    message->AddHeaderElemLiteral(ns.Get(), name.Get(), literal.Get(), VARIANT_TRUE, empty.Get(),
                                  empty.Get(), &ok);
    EXPECT_EQ(ok, VARIANT_TRUE);
  }
  return message;
}

// The handlers that ran, in order, by the blocks they left.
std::string Trace(Iquenlin2* message) {
  std::string out;
  Bstr ns, name, literal, role, style;
  VARIANT_BOOL mu = VARIANT_FALSE, more = VARIANT_FALSE;
  LONG position = 0;
  message->GetFirstHeaderElemLiteral(ns.Receive(), name.Receive(), literal.Receive(), &mu,
                                     role.Receive(), style.Receive(), &position, &more);
  while (more == VARIANT_TRUE) {
    if (ns.View() == kTrace) out += (out.empty() ? "" : ",") + text::Narrow(name.View());
    more = VARIANT_FALSE;
    message->GetNextHeaderElemLiteral(ns.Receive(), name.Receive(), literal.Receive(), &mu,
                                      role.Receive(), style.Receive(), &position, &more);
  }
  return out;
}

// "code|text|fault header literals", or "" when the message holds no fault.
std::string Fault(Iquenlin2* message) {
  VARIANT_BOOL fault = VARIANT_FALSE;
  message->IsSOAPFault(&fault);
  if (fault != VARIANT_TRUE) return "";
  std::string out = testing::FaultText(message) + "|";
  Bstr ns, name, literal, role, style;
  VARIANT_BOOL mu = VARIANT_FALSE, more = VARIANT_FALSE;
  LONG position = 0;
  message->GetFirstFaultHeaderElemLiteral(ns.Receive(), name.Receive(), literal.Receive(), &mu,
                                          role.Receive(), style.Receive(), &position, &more);
  while (more == VARIANT_TRUE) {
    out += text::Narrow(literal.View());
    more = VARIANT_FALSE;
    message->GetNextFaultHeaderElemLiteral(ns.Receive(), name.Receive(), literal.Receive(), &mu,
                                           role.Receive(), style.Receive(), &position, &more);
  }
  return out;
}

TEST(HeaderHandlerChainTest, CreatesAndCallsHandlersAsTheServerDoes) {
  // A ProgID whose class names a library that is not there.
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "QvTest.Gone\\CLSID", nullptr,
                                  "{5B7F2C10-1A2B-4C3D-8E4F-0A1B2C3D4EFF}"),
            ERROR_SUCCESS);
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT,
                                  "CLSID\\{5B7F2C10-1A2B-4C3D-8E4F-0A1B2C3D4EFF}\\InprocServer32",
                                  nullptr, "/nonexistent/libgone.so"),
            ERROR_SUCCESS);
  const std::string notUnderstood = "MustUnderstand|Headers: Mandatory header block not understood.|";
  struct Case {
    const char* name;
    int version;
    std::vector<std::u16string> progIds;
    std::vector<Block> mandatory;
    bool created;     // CreateHandlers' result
    size_t handlers;  // handlers held after CreateHandlers
    bool processed;   // ProcessHeaders' result
    std::string trace;
    std::string fault;
  };
  const Case cases[] = {
      {"no mandatory block: every handler called", 11,
       {u"QvTest.HeaderAccept", u"QvTest.HeaderAccept"}, {}, true, 2, true, "accept,accept", ""},
      {"a block only the second understands passes", 11,
       {u"QvTest.HeaderOne", u"QvTest.HeaderAccept"}, {{u"urn:test:known", u"k"}}, true, 2, false,
       "one", ""},
      {"a block none understands, 1.1", 11, {u"QvTest.HeaderAccept", u"QvTest.HeaderRefuse"},
       {{u"urn:other", u"b"}}, true, 2, false, "", notUnderstood},
      {"blocks none understands, 1.2: the first one named", 12,
       {u"QvTest.HeaderAccept", u"QvTest.HeaderRefuse"},
       {{u"urn:test:known", u"k"}, {u"urn:a", u"x"}, {u"urn:b", u"y"}}, true, 2, false, "",
       notUnderstood +
           "<SOAP-ENV:NotUnderstood qname=\"ns:x\" "
           "xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" xmlns:ns=\"urn:a\" />"},
      {"VT_BOOL false stops the chain without a fault", 11,
       {u"QvTest.HeaderRefuse", u"QvTest.HeaderAccept"}, {}, true, 2, false, "refuse", ""},
      {"VT_I4 1 stops the chain without a fault", 12,
       {u"QvTest.HeaderOne", u"QvTest.HeaderAccept"}, {}, true, 2, false, "one", ""},
      {"unregistered ProgID, 1.1; handlers made before it stay", 11,
       {u"QvTest.HeaderAccept", u"QvTest.Missing"}, {}, false, 1, true, "",
       "Server|Headers: Failed to resolve ProgID for header handler.|"},
      {"unregistered ProgID, 1.2", 12, {u"QvTest.Missing"}, {}, false, 0, true, "",
       "Receiver|Headers: Failed to resolve ProgID for header handler.|"},
      {"library missing", 11, {u"QvTest.Gone"}, {}, false, 0, true, "",
       "Server|Headers: Failed to create instance for header handler.|"},
      {"no OnProcessHeader", 12, {u"QvTest.Echo"}, {}, true, 1, false, "",
       "Receiver|Headers: Failed to resolve header handler call parameters.|"},
      {"OnProcessHeader fails, 1.1", 11, {u"QvTest.HeaderFail"}, {}, true, 1, false, "fail",
       "Server|Headers: Invocation of header handler failed.|"},
      {"OnProcessHeader fails, 1.2", 12, {u"QvTest.HeaderFail"}, {}, true, 1, false, "fail",
       "Receiver|Headers: Invocation of header handler failed.|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<Iquenlin2> message = RequestWith(c.version, c.mandatory);
    HeaderHandlerChain chain;
    EXPECT_EQ(chain.CreateHandlers(c.progIds, message.Get()), c.created);
    EXPECT_EQ(chain.Processors().size(), c.handlers);
    // Like the client, the request leg runs only after the handlers were made.
    if (c.created) {
      EXPECT_EQ(chain.ProcessHeaders(message.Get()), c.processed);
    }
    EXPECT_EQ(Trace(message.Get()), c.trace);
    EXPECT_EQ(Fault(message.Get()), c.fault);
    chain.ReleaseAll();
    EXPECT_TRUE(chain.Processors().empty());
  }
}

#define QV_CHAIN_FAKE_PARAM(dir, t, name) [[maybe_unused]] QV_PTYPE_##dir(t) name
#define QV_CHAIN_FAKE_STUB(name, dispid, ...) \
  HRESULT name(QV_FOR_EACH(QV_CHAIN_FAKE_PARAM, __VA_ARGS__)) override { return E_NOTIMPL; }
class StubMessage : public com::Dispatch<Iquenlin2> {
 public:
  QV_IQUENLIN2_METHODS(QV_CHAIN_FAKE_STUB)
};

// A message object whose blocks array is not the two-dimensional one.
class NoArrayMessage final : public com::ComObject<NoArrayMessage, StubMessage> {
 public:
  explicit NoArrayMessage(int dims) : dims_(dims) {}
  HRESULT GetMUHeaderBlocks(VARIANT* blocks) override {
    VariantInit(blocks);
    if (dims_ == 0) return S_OK;
    const SAFEARRAYBOUND bounds[2] = {{2, 0}, {1, 0}};
    blocks->vt = VT_ARRAY | VT_VARIANT;
    blocks->parray = SafeArrayCreate(VT_VARIANT, dims_, bounds);
    return S_OK;
  }
  HRESULT SetSOAPFault(BSTR, BSTR, BSTR, VARIANT_BOOL, VARIANT_BOOL*) override {
    ++faults;
    return S_OK;
  }
  HRESULT SetSOAP12Fault(BSTR, BSTR, BSTR, BSTR, BSTR, BSTR, VARIANT_BOOL*) override {
    ++faults;
    return S_OK;
  }
  int faults = 0;

 private:
  int dims_;
};

TEST(HeaderHandlerChainTest, NoBlocksArrayRefusesWithoutAFault) {
  for (int dims : {0, 1}) {
    SCOPED_TRACE(dims);
    ComPtr<NoArrayMessage> message = com::MakeComObject<NoArrayMessage>(dims);
    HeaderHandlerChain chain;
    EXPECT_FALSE(chain.CheckMustUnderstand(message.Get()));
    EXPECT_FALSE(chain.ProcessHeaders(message.Get()));
    // The server lets such a message through.
    EXPECT_TRUE(message::TestMustUnderstandBlocks(chain, message.Get()));
    EXPECT_EQ(message->faults, 0);
  }
}

}  // namespace
}  // namespace client
